#include "Support/TestHome.h"

#include "Core/ManagedPolicy.h"

#include <unistd.h>

#include <cstdlib>

namespace vornelo::test {

namespace {

std::optional<std::string> environment(const char* name) {
    return std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

}  // namespace

TestHome::TestHome() : directory_("vornelo-home"), home_(directory_.path() / "home") {
    std::filesystem::create_directories(home_);
    previousHome_ = environment("HOME");
    previousConfig_ = environment("XDG_CONFIG_HOME");
    ::setenv("HOME", home_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");  // the Trash then lies in this home, never in a real one
    ::unsetenv("XDG_STATE_HOME");  // and the operation log
    ::unsetenv("XDG_CACHE_HOME");
    platform::UserDefaults::Locations locations{
        home_ / ".config" / "com.tessaldon.Vornelo.plist",
        directory_.path() / "managed-preferences" / "com.tessaldon.Vornelo.plist", ::getuid()};
    defaults_ = std::make_shared<platform::UserDefaults>(locations);
    previousStore_ = AppDefaults::store();
    AppDefaults::setStore(defaults_);
}

TestHome::~TestHome() {
    AppDefaults::setStore(previousStore_);
    restore("HOME", previousHome_);
    restore("XDG_CONFIG_HOME", previousConfig_);
}

void TestHome::writeManaged(const platform::PlistValue::Dictionary& keys, mode_t mode) const {
    const auto file = managedFile();
    std::filesystem::create_directories(file.parent_path());
    const auto bytes = platform::PropertyList::serialize(platform::PlistValue(keys), platform::PlistFormat::xml);
    std::filesystem::remove(file);
    writeFile(file, std::string(bytes.begin(), bytes.end()));
    ::chmod(file.c_str(), mode);
}

}  // namespace vornelo::test
