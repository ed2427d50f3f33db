#pragma once
// Values the helper daemon and the desktop application must agree on, byte for byte.

#include <cstdint>
#include <string_view>

namespace vornelo {

struct PrivilegedHelperConstants {
    static constexpr std::string_view machServiceName = "com.tessaldon.Vornelo.helper";
    static constexpr std::string_view daemonPlistName = "com.tessaldon.Vornelo.helper.plist";
    static constexpr std::string_view helperExecutableName = "VorneloHelper";
    static constexpr std::string_view authorizationRight = "com.tessaldon.Vornelo.helper.remove";
    static constexpr std::int64_t protocolVersion = 1;
    // The roots the removal policy judges requests against.
    static constexpr std::string_view applicationsRoot = "/Applications";
    static constexpr std::string_view libraryRoot = "/Library";
    static constexpr std::string_view clientRequirement =
        R"(identifier "com.tessaldon.Vornelo" and anchor apple generic and certificate leaf[subject.OU] = "K7Q2M8X4ZD")";
    static constexpr std::string_view helperRequirement =
        R"(identifier "com.tessaldon.Vornelo.helper" and anchor apple generic and certificate leaf[subject.OU] = "K7Q2M8X4ZD")";
};

}  // namespace vornelo
