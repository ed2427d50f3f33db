#pragma once
// Whether the application may read data that the system's privacy controls keep for programs with
// full disk access. The probe opens known protected files for reading and closes them at once;
// it reads nothing inside them.
//
// A probe file that does not exist counts neither way, so on a system without them (Linux as a
// rule) the answer is false: no evidence of access, which is the truthful answer.
//
// Thread safety: callable from any thread. The probe list is built once, on first use, from the
// home directory at that moment.

#include "Platform/Files/FileManager.h"

#include <filesystem>
#include <vector>

namespace vornelo {

struct FullDiskAccessCheck {
    // "/Library/Application Support/com.apple.TCC/TCC.db", then the home directory followed by
    // "/Library/Safari/CloudTabs.db".
    [[nodiscard]] static const std::vector<std::filesystem::path>& probePaths();

    // True when some probe file exists and can be opened for reading.
    [[nodiscard]] static bool probe();
    // The same test over the given paths, in order.
    [[nodiscard]] static bool probe(const std::vector<std::filesystem::path>& paths,
                                    const platform::FileManager& fileManager);
};

}  // namespace vornelo
