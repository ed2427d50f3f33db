#pragma once
// The library's diagnostic loggers. Each is created once, on first use, from any thread.

#include "Platform/System/Logger.h"

#include <string_view>

namespace vornelo {

struct Log {
    static constexpr std::string_view subsystem = "com.tessaldon.Vornelo";

    static const platform::Logger& deletion();
    static const platform::Logger& scan();
    static const platform::Logger& process();
    static const platform::Logger& app();
};

}  // namespace vornelo
