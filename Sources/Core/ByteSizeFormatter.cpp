#include "Core/ByteSizeFormatter.h"

#include "Platform/Encoding/Formatters.h"

namespace vornelo {

namespace {

const platform::ByteCountFormatter& sharedByteCountFormatter() {
    static const platform::ByteCountFormatter formatter = [] {
        platform::ByteCountFormatter configured;
        using Unit = platform::ByteCountFormatter::Unit;
        configured.allowedUnits = Unit::useKB | Unit::useMB | Unit::useGB | Unit::useTB;
        configured.includesUnit = true;
        configured.allowsNonnumericFormatting = false;
        return configured;
    }();
    return formatter;
}

constexpr std::int64_t bytesPerMegabyte = 1'000'000;
constexpr std::int64_t bytesPerGigabyte = 1'000'000'000;
// 999.5 MB rounds (half to even) to 1000 MB, which is 1 GB.
constexpr std::int64_t firstGigabyteText = 999'500'000;

}  // namespace

std::string ByteSizeFormatter::format(std::int64_t bytes) { return sharedByteCountFormatter().string(bytes); }

std::string ByteSizeFormatter::formatRounded(std::int64_t bytes) {
    if (bytes < bytesPerMegabyte) return format(bytes);
    const bool gigabytes = bytes >= firstGigabyteText;
    const double value = static_cast<double>(bytes) / static_cast<double>(gigabytes ? bytesPerGigabyte : bytesPerMegabyte);
    platform::NumberFormatter number;
    number.maximumFractionDigits = 0;
    return number.string(value) + (gigabytes ? " GB" : " MB");
}

std::string ByteSizeFormatter::formatPercent(double value) {
    platform::NumberFormatter number;
    number.minimumFractionDigits = 1;
    number.maximumFractionDigits = 1;
    return number.string(value) + "%";
}

}  // namespace vornelo
