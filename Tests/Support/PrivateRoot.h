#pragma once
// A root of the test's own, for a body already in a private mount namespace
// (runInPrivateMountNamespace, runWithPolkit): a tmpfs in which every entry of / is bound in
// (folders recursively, so the mounts below them come along), except the `own` paths, which are
// the given folders instead. A folder above an own path is a tmpfs of its own with the real
// folder's entries bound in one by one, so fixed system paths that do not exist here
// (/Applications, /run/vornelo, ...) appear without anything being created on the real file
// systems. The calling process then chroots into it; it and its children see the new root,
// processes started earlier (the sandbox's bus and polkitd) keep theirs.

#include <filesystem>
#include <map>
#include <string>

namespace vornelo::test {

// `own` maps absolute paths in the new root to the folders that appear there; each one's parent
// must exist on the real root. `scratch` is an empty folder the new root is mounted on. Empty, or
// what failed.
std::string enterPrivateRoot(const std::map<std::filesystem::path, std::filesystem::path>& own,
                             const std::filesystem::path& scratch);

}  // namespace vornelo::test
