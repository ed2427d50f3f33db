// format bytes | rounded | percent: the texts the application shows for sizes and percentages.

#include "CLI/Context.h"
#include "Core/ByteSizeFormatter.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

namespace vornelo::cli {

namespace {

std::optional<std::int64_t> parseByteCount(const std::string& text) {
    std::int64_t value = 0;
    const auto end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

std::optional<double> parsePercent(const std::string& text) {
    double value = 0;
    const auto end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

void runByteCounts(const std::vector<std::string>& values, const std::function<std::string(std::int64_t)>& format,
                   Context& context) {
    std::vector<std::int64_t> counts;
    for (const auto& text : values) {
        const auto count = parseByteCount(text);
        if (!count) {
            printError("\u201C" + text + "\u201D is not a whole number of bytes between " +
                       std::to_string(INT64_MIN) + " and " + std::to_string(INT64_MAX) + ".");
            context.noteFailure(ExitCode::badUsage);
            return;
        }
        counts.push_back(*count);
    }
    nlohmann::json results = nlohmann::json::array();
    for (const auto count : counts) {
        const auto text = format(count);
        if (context.json) {
            results.push_back({{"bytes", count}, {"text", text}});
        } else {
            std::cout << text << '\n';
        }
    }
    if (context.json) printJson({{"results", results}});
}

void runPercents(const std::vector<std::string>& values, Context& context) {
    std::vector<double> percents;
    for (const auto& text : values) {
        const auto percent = parsePercent(text);
        if (!percent) {
            printError("\u201C" + text + "\u201D is not a number.");
            context.noteFailure(ExitCode::badUsage);
            return;
        }
        percents.push_back(*percent);
    }
    nlohmann::json results = nlohmann::json::array();
    for (const auto percent : percents) {
        const auto text = ByteSizeFormatter::formatPercent(percent);
        if (context.json) {
            // JSON has no NaN or infinity; the text still says which it was.
            results.push_back({{"percent", std::isfinite(percent) ? nlohmann::json(percent) : nlohmann::json(nullptr)},
                               {"text", text}});
        } else {
            std::cout << text << '\n';
        }
    }
    if (context.json) printJson({{"results", results}});
}

}  // namespace

void addFormatCommands(CLI::App& app, Context& context) {
    auto* format = app.add_subcommand("format", "Show sizes and percentages as the application writes them");
    format->require_subcommand(1);

    auto bytes = std::make_shared<std::vector<std::string>>();
    auto* exact = format->add_subcommand("bytes", "KB to TB, adaptive fraction digits: 999950 -> \"1 MB\"");
    exact->add_option("N", *bytes, "Byte counts (whole numbers)")->required();
    exact->callback([bytes, &context] { runByteCounts(*bytes, ByteSizeFormatter::format, context); });

    auto roundedBytes = std::make_shared<std::vector<std::string>>();
    auto* rounded = format->add_subcommand("rounded", "Whole megabytes or gigabytes: 2500000000 -> \"2 GB\"");
    rounded->add_option("N", *roundedBytes, "Byte counts (whole numbers)")->required();
    rounded->callback([roundedBytes, &context] { runByteCounts(*roundedBytes, ByteSizeFormatter::formatRounded, context); });

    auto values = std::make_shared<std::vector<std::string>>();
    auto* percent = format->add_subcommand("percent", "A percentage with one fraction digit: 7.25 -> \"7.2%\"");
    percent->add_option("X", *values, "Values already in percent (42.5 means 42.5 %)")->required();
    percent->callback([values, &context] { runPercents(*values, context); });
}

}  // namespace vornelo::cli
