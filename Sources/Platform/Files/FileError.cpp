#include "Platform/Files/FileError.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vornelo::platform {

namespace {

int cocoaCode(int error, FileOperation operation) {
    const bool reading = operation == FileOperation::read;
    switch (error) {
        case ENOENT:
        case ENOTDIR: return reading ? FileError::readNoSuchFile : FileError::noSuchFile;
        case EACCES:
        case EPERM: return reading ? FileError::readNoPermission : FileError::writeNoPermission;
        case EEXIST:
        case ENOTEMPTY: return reading ? FileError::readUnknown : FileError::writeFileExists;
        case ENOSPC:
        case EDQUOT: return reading ? FileError::readUnknown : FileError::writeOutOfSpace;
        case EROFS: return reading ? FileError::readUnknown : FileError::writeVolumeReadOnly;
        default: return reading ? FileError::readUnknown : FileError::writeUnknown;
    }
}

std::string describeErrno(int error) {
    const char* text = ::strerrordesc_np(error);
    return text ? text : "error " + std::to_string(error);
}

std::string sentence(int code, std::string_view path, int error) {
    const std::string name = std::filesystem::path(path).filename().string();
    const std::string quoted = "\u201C" + (name.empty() ? std::string(path) : name) + "\u201D";
    switch (code) {
        case FileError::noSuchFile: return quoted + " doesn\u2019t exist.";
        case FileError::readNoSuchFile: return "The file " + quoted + " couldn\u2019t be opened because there is no such file.";
        case FileError::readNoPermission:
            return "The file " + quoted + " couldn\u2019t be opened because you don\u2019t have permission to view it.";
        case FileError::writeNoPermission: return "You don\u2019t have permission to change " + quoted + ".";
        case FileError::writeFileExists: return "An item named " + quoted + " already exists.";
        case FileError::writeOutOfSpace: return "There isn\u2019t enough space to change " + quoted + ".";
        case FileError::writeVolumeReadOnly: return quoted + " couldn\u2019t be changed because the volume is read only.";
        default: return "The operation on " + quoted + " couldn\u2019t be completed. (" + describeErrno(error) + ")";
    }
}

}  // namespace

FileError FileError::fromErrno(int error, FileOperation operation, std::string_view path) {
    const int code = cocoaCode(error, operation);
    return FileError{std::string(cocoaDomain), code, error, sentence(code, path, error)};
}

FileError FileError::make(std::string_view domain, int code, std::string description,
                          std::optional<int> underlyingPosixCode) {
    return FileError{std::string(domain), code, underlyingPosixCode, std::move(description)};
}

}  // namespace vornelo::platform
