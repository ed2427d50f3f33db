#include "Core/Log.h"

namespace vornelo {

namespace {

platform::Logger makeLogger(std::string_view category) {
    return platform::Logger(std::string(Log::subsystem), std::string(category));
}

}  // namespace

const platform::Logger& Log::deletion() {
    static const platform::Logger logger = makeLogger("deletion");
    return logger;
}

const platform::Logger& Log::scan() {
    static const platform::Logger logger = makeLogger("scan");
    return logger;
}

const platform::Logger& Log::process() {
    static const platform::Logger logger = makeLogger("process");
    return logger;
}

const platform::Logger& Log::app() {
    static const platform::Logger logger = makeLogger("app");
    return logger;
}

}  // namespace vornelo
