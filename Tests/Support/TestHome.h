#pragma once
// A private HOME for one test: HOME and XDG_CONFIG_HOME point into a temporary folder, the
// application's settings live there, and a managed-preferences file of the test's own (trusted
// because the test owns it) stands in for the administrator's.

#include "Platform/Encoding/PropertyList.h"
#include "Platform/System/UserDefaults.h"
#include "Support/TempDirectory.h"

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

namespace vornelo::test {

class TestHome {
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    const std::filesystem::path& home() const { return home_; }
    const std::filesystem::path& root() const { return directory_.path(); }
    // A defaults object on this home's files, trusting managed files owned by the test's user.
    const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }
    std::filesystem::path managedFile() const { return defaults_->locations().managedFile; }

    // Replaces the administrator's file with these forced keys.
    void writeManaged(const platform::PlistValue::Dictionary& keys, mode_t mode = 0644) const;

private:
    TempDirectory directory_;
    std::filesystem::path home_;
    std::shared_ptr<platform::UserDefaults> defaults_;
    std::shared_ptr<platform::UserDefaults> previousStore_;
    std::optional<std::string> previousHome_;
    std::optional<std::string> previousConfig_;
};

}  // namespace vornelo::test
