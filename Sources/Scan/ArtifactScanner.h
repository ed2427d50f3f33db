#pragma once
// Build outputs next to the file that makes them (node_modules beside package.json, target/
// beside Cargo.toml, a build folder holding CMakeCache.txt, __pycache__, ...), once nothing in
// them changed for the category's age (30 days). Found below the folders the scan covers.

#include "Scan/TreeObserver.h"

#include <optional>
#include <string_view>

namespace vornelo::scan {

class ArtifactScanner final : public TreeObserver {
public:
    [[nodiscard]] Category category() const override { return Category::artifact; }
    [[nodiscard]] std::optional<Candidate> folder(const platform::TreeWalkItem& item,
                                                  const ScanContext& context) const override;

    // Whether a folder of that name could be a build output at all (before its marker is looked for).
    [[nodiscard]] static bool mayBeArtifact(std::string_view name);
};

}  // namespace vornelo::scan
