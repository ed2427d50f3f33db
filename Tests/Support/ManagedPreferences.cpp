#include "Support/ManagedPreferences.h"

#include "Support/ChildProcess.h"
#include "Support/TempDirectory.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vornelo::test {

std::string withManagedPreferences(const platform::PlistValue::Dictionary& keys, mode_t mode,
                                   const std::function<std::string()>& body) {
    TempDirectory layers;
    std::filesystem::create_directories(layers / "upper");
    std::filesystem::create_directories(layers / "work");
    const auto outcome = runInPrivateMountNamespace([&]() -> std::string {
        const std::string options = "lowerdir=/etc,upperdir=" + (layers / "upper").native() +
                                    ",workdir=" + (layers / "work").native();
        if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
            return std::string("SKIP overlay over /etc unavailable: ") + std::strerror(errno);
        }
        std::filesystem::create_directories("/etc/managed-preferences");
        const auto bytes = platform::PropertyList::serialize(platform::PlistValue(keys), platform::PlistFormat::binary);
        const std::filesystem::path file = "/etc/managed-preferences/com.tessaldon.Vornelo.plist";
        writeFile(file, std::string(bytes.begin(), bytes.end()));
        ::chmod(file.c_str(), mode);
        return body();
    });
    return outcome.succeeded ? "" : outcome.message;
}

}  // namespace vornelo::test
