#pragma once
// Protections a process applies to itself.
//
// Thread safety: callable from any thread; meant for the first lines of main.

namespace vornelo::platform {

struct ProcessHardening {
    // Makes the process non-dumpable: processes of the same user can no longer attach to it with
    // ptrace or read its memory, and the kernel shows its /proc files as root's, which is how a
    // peer checks it. Returns false if the kernel refused.
    static bool forbidAttaching();

    // Gives up one capability: out of the effective, permitted and inheritable sets, so this
    // process cannot use it again, and out of the bounding set too where the process may change
    // that (CAP_SETPCAP), so nothing it executes regains it. False when the process still has it.
    static bool giveUpCapability(int capability);
};

}  // namespace vornelo::platform
