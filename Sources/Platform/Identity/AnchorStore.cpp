#include "Platform/Identity/AnchorStore.h"

#include "Platform/Files/FileDescriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vornelo::platform {

namespace {

constexpr std::size_t maxFileBytes = 256 * 1024;
constexpr int maxFiles = 256;

bool ownedByRootAlone(const struct stat& info) { return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

std::string readSmallFile(int folder, const char* name) {
    FileDescriptor fd(retryOnInterrupt([&] { return ::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || !ownedByRootAlone(info) ||
        static_cast<std::size_t>(info.st_size) > maxFileBytes) {
        return {};
    }
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto got = retryOnInterrupt([&] { return ::read(fd.get(), bytes.data() + done, bytes.size() - done); });
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

int addCertificates(X509_STORE* store, const std::string& pem) {
    std::unique_ptr<BIO, decltype(&::BIO_free)> input(::BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &::BIO_free);
    int added = 0;
    while (input) {
        X509* certificate = ::PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr);
        if (!certificate) break;
        added += ::X509_STORE_add_cert(store, certificate) == 1 ? 1 : 0;
        ::X509_free(certificate);
    }
    ::ERR_clear_error();  // the end of the PEM text reads as an error
    return added;
}

}  // namespace

AnchorStore::AnchorStore() : store_(::X509_STORE_new(), &::X509_STORE_free) {}

AnchorStore AnchorStore::load(const std::filesystem::path& folder) {
    AnchorStore anchors;
    FileDescriptor fd(retryOnInterrupt(
        [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW); }));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        anchors.ignoredBecause_ = fmt::format("The anchor folder {} cannot be opened: {}.", folder.native(), std::strerror(errno));
        return anchors;
    }
    if (!ownedByRootAlone(info)) {
        anchors.ignoredBecause_ = fmt::format("The anchor folder {} is not owned by root alone, so it is ignored.", folder.native());
        return anchors;
    }
    const int listingFd = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    DIR* listing = listingFd < 0 ? nullptr : ::fdopendir(listingFd);
    if (!listing) {
        if (listingFd >= 0) ::close(listingFd);
        return anchors;
    }
    int files = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.' || ++files > maxFiles) continue;
        anchors.count_ += addCertificates(anchors.store_.get(), readSmallFile(fd.get(), entry->d_name));
    }
    ::closedir(listing);
    return anchors;
}

std::string AnchorStore::stamp(const std::filesystem::path& folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) return {};
    return fmt::format("{}:{}:{}:{}.{}:{}.{}:{}", info.st_dev, info.st_ino, info.st_uid, info.st_mtim.tv_sec,
                       info.st_mtim.tv_nsec, info.st_ctim.tv_sec, info.st_ctim.tv_nsec, info.st_mode);
}

}  // namespace vornelo::platform
