#pragma once
// What a client needs to reach the helper: its socket, its Varlink interface and the interface's
// text, which the helper serves through org.varlink.service.GetInterfaceDescription and
// docs/helper-protocol.md repeats word for word.

#include <string_view>

namespace vornelo::helper {

struct HelperInterface {
    static constexpr std::string_view socketPath = "/run/vornelo/com.tessaldon.Vornelo.helper";
    static constexpr std::string_view name = "com.tessaldon.vornelo.helper";
    static constexpr std::string_view helperVersionMethod = "com.tessaldon.vornelo.helper.HelperVersion";
    static constexpr std::string_view removeItemsMethod = "com.tessaldon.vornelo.helper.RemoveItems";

    static constexpr std::string_view text =
        R"(# Vornelo's root helper: moves software installed for all users into the Trash of the
# user who asks, once an administrator has approved the request.
interface com.tessaldon.vornelo.helper

# The protocol version the helper speaks (selector "helperVersionWithReply:").
method HelperVersion() -> (version: int)

# Moves each path into the caller's Trash, in order (selector
# "removeItemsAtPaths:authorization:reply:"). authorization is the caller's
# 32-byte authorization in external form, as base64. moved maps a request path
# to the item's new path in the Trash; failed maps it to a sentence for the user.
method RemoveItems(paths: []string, authorization: string) -> (
  moved: [string]string,
  failed: [string]string
)
)";
};

}  // namespace vornelo::helper
