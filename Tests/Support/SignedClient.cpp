#include "Support/SignedClient.h"

#include "Platform/CodeSignature.h"
#include "Support/ChildProcess.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vornelo::test {

namespace fs = std::filesystem;

ClientSigning::ClientSigning(const fs::path& where) : folder(where), anchors(where / "anchors") {
    fs::create_directories(folder / "pki");
    fs::permissions(folder, fs::perms(0755));
    anchor = makeCertificate(folder / "pki", "anchor", CertificateProfile::anchor("Test Anchor"));
    leaf = makeCertificate(folder / "pki", "leaf", CertificateProfile::signer("K7Q2M8X4ZD"), anchor);
    fs::create_directory(anchors);
    fs::permissions(anchors, fs::perms(0755));
    fs::copy_file(anchor.certificate, anchors / "anchor.pem", fs::copy_options::overwrite_existing);
    fs::permissions(anchors / "anchor.pem", fs::perms(0644));
}

fs::path ClientSigning::signedCopy(const std::string& name, const PemIdentity& signer, const std::string& identifier,
                                  const fs::path& source) const {
    const auto copy = folder / name;
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms(0755));
    if (const auto made = platform::CodeSignature::sign(copy, identifier, {signer.certificate, signer.key, std::nullopt}); !made) {
        throw std::runtime_error("could not sign " + copy.native() + ": " + made.error());
    }
    return copy;
}

namespace {

std::string failed(const std::string& what, const fs::path& path) {
    return what + " " + path.native() + " failed: " + std::strerror(errno);
}

// Makes `target` a folder that exists in this namespace only: the nearest existing folder above it
// is overlaid with a tmpfs-backed upper layer (mounted under scratchRoot, gone with the namespace), and `keep` (a folder under it holding sockets, which
// an overlay does not pass through) is bound back in.
std::string makeMountPoint(const fs::path& target, const fs::path& scratchRoot, const fs::path& keep = {}) {
    if (fs::is_directory(target)) return {};
    auto base = target.parent_path();
    while (!fs::exists(base)) base = base.parent_path();
    const auto scratch = scratchRoot / ("overlay" + base.filename().native());
    fs::create_directories(scratch);
    if (::mount("none", scratch.c_str(), "tmpfs", 0, "mode=0755") != 0) return failed("tmpfs on", scratch);
    fs::create_directories(scratch / "upper");
    fs::create_directories(scratch / "work");
    fs::create_directories(scratch / "kept");
    const bool keeping = !keep.empty() && fs::is_directory(keep);
    if (keeping && ::mount(keep.c_str(), (scratch / "kept").c_str(), nullptr, MS_BIND, nullptr) != 0) return failed("binding", keep);
    const auto options = "lowerdir=" + base.native() + ",upperdir=" + (scratch / "upper").native() + ",workdir=" + (scratch / "work").native();
    if (::mount("overlay", base.c_str(), "overlay", 0, options.c_str()) != 0) return failed("overlay on", base);
    if (keeping && ::mount((scratch / "kept").c_str(), keep.c_str(), nullptr, MS_BIND, nullptr) != 0) return failed("binding back", keep);
    fs::create_directories(target);
    return {};
}

}  // namespace

std::string mountClientTrust(const fs::path& anchors, const fs::path& runFolder) {
    const fs::path anchorTarget = "/etc/code-signing/anchors";
    const fs::path runTarget = "/run/vornelo";
    for (const auto& made : {makeMountPoint(anchorTarget, anchors.parent_path()),
                            makeMountPoint(runTarget, anchors.parent_path(), "/run/dbus")}) {
        if (!made.empty()) return made;
    }
    if (auto bound = bindMount(anchors, anchorTarget); !bound.empty()) return bound;
    return bindMount(runFolder, runTarget);
}

}  // namespace vornelo::test
