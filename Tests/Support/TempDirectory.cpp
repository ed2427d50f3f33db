#include "Support/TempDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vornelo::test {

namespace {

// Tests make folders unreadable on purpose; give them back before removing.
void makeRemovable(const std::filesystem::path& root) {
    std::error_code error;
    ::chmod(root.c_str(), 0700);
    for (auto it = std::filesystem::recursive_directory_iterator(
             root, std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) ::chmod(it->path().c_str(), 0700);
    }
}

}  // namespace

TempDirectory::TempDirectory(std::string_view label) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(label) + ".XXXXXX")).native();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    // Resolved, so that tests compare against the path the file system reports.
    path_ = std::filesystem::canonical(pattern);
}

TempDirectory::~TempDirectory() {
    std::error_code error;
    makeRemovable(path_);
    std::filesystem::remove_all(path_, error);
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path.native());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

}  // namespace vornelo::test
