#pragma once
// A fresh directory under the system's temporary folder, removed with everything inside it
// (read-only folders included) when the object goes away.

#include <filesystem>
#include <string>
#include <string_view>

namespace vornelo::test {

class TempDirectory {
public:
    explicit TempDirectory(std::string_view label = "vornelo-test");
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// Writes a small file, creating its folders.
void writeFile(const std::filesystem::path& path, std::string_view contents = "x");
std::string readFile(const std::filesystem::path& path);

}  // namespace vornelo::test
