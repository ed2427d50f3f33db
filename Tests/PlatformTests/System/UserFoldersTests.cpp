#include "Platform/System/Confinement.h"
#include "Platform/System/PlatformTexts.h"
#include "Platform/System/UserDirsFile.h"
#include "Platform/System/UserFolders.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;
using test::writeFile;

// The path user-dirs.dirs gives for one key, and whether the file named it.
std::pair<std::string, bool> folderFor(const std::vector<UserDirectory>& folders, std::string_view key) {
    for (const auto& folder : folders) {
        if (folder.key == key) return {folder.path, folder.named};
    }
    return {"(no such key)", false};
}

TEST(UserDirsFileTest, ValidLinesNameTheFoldersAndAnythingElseKeepsTheEnglishDefault) {
    const std::string text =
        "# written by the desktop\n"
        "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"
        "  XDG_DOWNLOAD_DIR = \"$HOME/Téléchargements\"\n"
        "XDG_PICTURES_DIR=\"/srv/photos/\"\n"
        "XDG_MUSIC_DIR=\"Musik\"\n"                   // relative: not the format
        "XDG_VIDEOS_DIR=\"$HOMEX/Filme\"\n"           // another variable
        "XDG_TEMPLATES_DIR=\"$HOME/Vorlagen\n"        // never closed
        "XDG_PUBLICSHARE_DIR=\"$HOME\"\n"             // switched off: the home itself
        "XDG_DOCUMENTS_DIRX=\"$HOME/Wrong\"\n"        // another key
        "XDG_DOCUMENTS_DIR=\"$HOME/first\"\n"
        "XDG_DOCUMENTS_DIR=\"$HOME/say \\\"hi\\\"/../Dokumente\"\n";  // the later line wins, escapes and ".." work
    const auto folders = UserDirsFile::parse(text, "/home/u");
    ASSERT_EQ(folders.size(), 8u);
    const std::tuple<const char*, std::string, bool> expected[] = {
        {"XDG_DESKTOP_DIR", "/home/u/Bureau", true},
        {"XDG_DOWNLOAD_DIR", "/home/u/Téléchargements", true},
        {"XDG_PICTURES_DIR", "/srv/photos", true},
        {"XDG_MUSIC_DIR", "/home/u/Music", false},
        {"XDG_VIDEOS_DIR", "/home/u/Videos", false},
        {"XDG_TEMPLATES_DIR", "/home/u/Templates", false},
        {"XDG_PUBLICSHARE_DIR", "/home/u", true},
        {"XDG_DOCUMENTS_DIR", "/home/u/Dokumente", true},
    };
    for (const auto& [key, path, named] : expected) EXPECT_EQ(folderFor(folders, key), std::pair(path, named)) << key;

    // Bytes that are no such file at all give the English names, every one; so does a NUL in a name.
    const char raw[] = "\x7f" "ELF\0\0XDG_DESKTOP_DIR=\0\"\nXDG_MUSIC_DIR=\"$HOME/a\0b\"\n\xff\xfe";
    const auto garbage = UserDirsFile::parse(std::string_view(raw, sizeof raw - 1), "/home/u");
    for (const auto& folder : garbage) {
        EXPECT_FALSE(folder.named) << folder.key;
        EXPECT_EQ(fs::path(folder.path).parent_path(), "/home/u") << folder.key;
    }
    const char withNul[] = "\"$HOME/a\0b\"";
    EXPECT_EQ(UserDirsFile::value(std::string_view(withNul, sizeof withNul - 1), "/h"), std::nullopt);
    EXPECT_EQ(UserDirsFile::value("\"$HOME/a\\\"b\"", "/h"), "/h/a\"b");
}

// The file is the user's to write: only a regular file of bounded size, never through a final link.
TEST(UserDirsFileTest, OnlyABoundedRegularFileIsReadAndAnythingElseGivesTheDefaultsWithAReason) {
    const test::TempDirectory directory;
    const auto good = directory / "good.dirs";
    writeFile(good, "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
    EXPECT_EQ(folderFor(UserDirsFile::read(good, "/h").folders, "XDG_PICTURES_DIR"), std::pair(std::string("/h/Bilder"), true));

    fs::create_symlink(good, directory / "link.dirs");
    writeFile(directory / "huge.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n" + std::string(UserDirsFile::maxBytes, '#'));
    ASSERT_EQ(::mkfifo((directory / "fifo.dirs").c_str(), 0600), 0);  // would block a reader that waits for a writer
    fs::create_directory(directory / "folder.dirs");
    for (const auto* name : {"link.dirs", "huge.dirs", "fifo.dirs", "folder.dirs"}) {
        const auto reading = UserDirsFile::read(directory / name, "/h");
        EXPECT_EQ(folderFor(reading.folders, "XDG_PICTURES_DIR"), std::pair(std::string("/h/Pictures"), false)) << name;
        EXPECT_TRUE(reading.problem.has_value()) << name;
    }
    const auto missing = UserDirsFile::read(directory / "missing.dirs", "/h");
    EXPECT_EQ(std::tuple(missing.folders.size(), missing.problem.has_value()), std::tuple(8u, false));
}

// Sets an environment variable for one scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(UserFoldersTest, AbsoluteXdgVariablesMoveTheBaseFoldersRelativeOnesAreIgnoredAndTheFileIsReadFromTheConfigFolder) {
    const test::TempDirectory directory;
    const auto home = (directory / "home").native();
    writeFile(directory / "elsewhere/config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    writeFile(directory / "home/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Escritorio\"\n");
    const ScopedVariable homeVariable("HOME", home);
    const ScopedVariable config("XDG_CONFIG_HOME", (directory / "elsewhere/config/").native());
    const ScopedVariable state("XDG_STATE_HOME", "relative/state");
    const ScopedVariable data("XDG_DATA_HOME", std::nullopt);
    const ScopedVariable cache("XDG_CACHE_HOME", "/var/cache/someone");

    const auto current = UserFolders::currentUser();
    EXPECT_EQ(std::tuple(current.home, current.configHome, current.dataHome, current.stateHome, current.cacheHome),
              std::tuple(home, (directory / "elsewhere/config").native(), home + "/.local/share", home + "/.local/state",
                         std::string("/var/cache/someone")));
    EXPECT_EQ(current.userDirectory("XDG_DESKTOP_DIR")->path, home + "/Schreibtisch");
    // The standard places ignore the variables: another user's home has its own.
    const auto standard = UserFolders::standard(home);
    EXPECT_EQ(std::tuple(standard.configHome, standard.cacheHome, standard.userDirectory("XDG_DESKTOP_DIR")->path),
              std::tuple(home + "/.config", home + "/.cache", home + "/Escritorio"));
    EXPECT_EQ(standard.userDirectory("XDG_NOTHING_DIR"), nullptr);
}

TEST(ConfinementTest, FlatpakSnapAppArmorAndSELinuxAreToldApartAndOnlyEnforcedLabelsConfine) {
    using Kind = Confinement::Kind;
    using Evidence = Confinement::Evidence;
    const auto selinux = [](std::string context, bool enforcing) {
        Evidence evidence;
        evidence.seLinuxContext = std::move(context);
        evidence.seLinuxEnforcing = enforcing;
        return evidence;
    };
    const auto apparmor = [](std::string label, std::optional<std::string> mode) {
        Evidence evidence;
        evidence.appArmorLabel = std::move(label);
        evidence.appArmorMode = std::move(mode);
        return evidence;
    };
    Evidence flatpak = apparmor("snap.firefox.firefox", "enforce");
    flatpak.flatpakInfo = "[Application]\nname=org.example.Cleaner\nruntime=runtime/org.gnome.Platform\n\n[Instance]\nname=x\n";
    Evidence unreadableInfo;
    unreadableInfo.flatpakInfo = "";
    const std::tuple<const char*, Evidence, Kind, std::string> cases[] = {
        {"nothing", Evidence{}, Kind::none, ""},
        {"flatpak first", flatpak, Kind::flatpak, "org.example.Cleaner"},
        {"flatpak unreadable", unreadableInfo, Kind::flatpak, ""},
        {"apparmor unconfined", apparmor("unconfined", std::nullopt), Kind::none, ""},
        {"snap", apparmor("snap.firefox.firefox", "enforce"), Kind::snap, "firefox"},
        {"profile", apparmor("/usr/bin/vornelo-cli", std::nullopt), Kind::appArmor, "/usr/bin/vornelo-cli"},
        {"complain", apparmor("/usr/bin/vornelo-cli", "complain"), Kind::none, ""},
        {"selinux unconfined", selinux("unconfined_u:unconfined_r:unconfined_t:s0-s0:c0.c1023", true), Kind::none, ""},
        {"selinux confined", selinux("system_u:system_r:httpd_t:s0", true), Kind::seLinux, "system_u:system_r:httpd_t:s0"},
        {"selinux permissive", selinux("system_u:system_r:httpd_t:s0", false), Kind::none, ""},
    };
    for (const auto& [name, evidence, kind, detail] : cases) {
        const auto found = Confinement::classify(evidence);
        EXPECT_EQ(std::tuple(found.kind, found.detail, found.confined()), std::tuple(kind, detail, kind != Kind::none)) << name;
        EXPECT_TRUE(found.description().ends_with('.')) << name;
    }
    EXPECT_EQ(Confinement::classify(flatpak).description(),
              "This process runs in a Flatpak sandbox (org.example.Cleaner), which hides the system and much of the home.");
}

// The commands the texts name must work when pasted into a shell, whatever the name holds.
TEST(PlatformTextsTest, TheSuggestedCommandsQuoteAnyNameForTheShellAndEveryTextIsASentenceOfThisPlatform) {
    const std::string name = "/home/u/it's \"odd\" $HOME `x` \\ \n*.txt";
    const auto echoed = test::runProgram("/bin/sh", {"-c", "printf %s " + PlatformTexts::shellQuoted(name)});
    EXPECT_EQ(std::tuple(echoed.exitCode, echoed.out), std::tuple(0, name));

    const auto inTrash = PlatformTexts::removeFromTrashSuggestion("/home/u/.local/share/Trash/files/a'b");
    EXPECT_NE(inTrash.find("\u201Csudo vornelo-cli clean --mode permanent '/home/u/.local/share/Trash/files/a'\\''b'\u201D"),
              std::string::npos)
        << inTrash;
    const auto elsewhere = PlatformTexts::moveToTrashSuggestion("/opt/tool");
    EXPECT_NE(elsewhere.find("\u201Csudo vornelo-cli clean '/opt/tool'\u201D"), std::string::npos) << elsewhere;
    for (const std::string& text : {std::string(PlatformTexts::ownedByAnotherUser), std::string(PlatformTexts::permissionDenied),
                                   std::string(PlatformTexts::noFileIdentityRecorded),
                                   std::string(PlatformTexts::noTrashLocationRecorded), inTrash, elsewhere}) {
        EXPECT_TRUE(text.ends_with('.')) << text;
        for (const auto* word : {"Finder", "App Store", "macOS"}) EXPECT_EQ(text.find(word), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace vornelo::platform
