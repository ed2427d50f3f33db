#pragma once
// What SpaceTree's source files share beyond its header.

#include "Scan/SpaceTree.h"

#include <string>
#include <string_view>
#include <vector>

namespace vornelo {

// The files kept by name in one folder: a heap with the smallest kept file on top, so that a
// larger newcomer replaces it in logarithmic time. Names live in one string per folder; those of
// replaced files are squeezed out once they are the larger part.
struct SpaceTree::KeptFiles {
    struct File {
        std::uint32_t nameOffset = 0;
        std::uint16_t nameLength = 0;
        Kind kind = Kind::file;
        std::int64_t sizeBytes = 0;
        std::int64_t apparentBytes = 0;
    };

    std::vector<File> heap;
    std::string names;
    std::size_t deadBytes = 0;

    std::string_view name(const File& file) const { return std::string_view(names).substr(file.nameOffset, file.nameLength); }

    void compact() {
        std::string live;
        live.reserve(names.size() - deadBytes);
        for (auto& file : heap) {
            const auto offset = live.size();
            live.append(name(file));
            file.nameOffset = static_cast<std::uint32_t>(offset);
        }
        names = std::move(live);
        deadBytes = 0;
    }
};

}  // namespace vornelo
