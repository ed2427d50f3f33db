#include "Platform/System/Confinement.h"
#include "Platform/System/PlatformTexts.h"
#include "Platform/System/UserDirsFile.h"
#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

    // Bytes that are no such file give the English names; so does a NUL in a name.
    const char raw[] = "\x7f" "ELF\0\0XDG_DESKTOP_DIR=\0\"\nXDG_MUSIC_DIR=\"$HOME/a\0b\"\n\xff\xfe";
    for (const auto& folder : UserDirsFile::parse(std::string_view(raw, sizeof raw - 1), "/home/u")) {
        EXPECT_FALSE(folder.named || fs::path(folder.path).parent_path() != "/home/u") << folder.key;
    }
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

TEST(ConfinementTest, FlatpakSnapAppArmorAndSELinuxAreToldApartAndOnlyEnforcedLabelsConfine) {
    using Kind = Confinement::Kind;
    using Text = std::optional<std::string>;
    const auto evidence = [](Text flatpak, Text label, Text mode, Text context = {}, bool enforcing = true) {
        return Confinement::Evidence{std::move(flatpak), std::move(label), std::move(mode), std::move(context), enforcing};
    };
    const Text info = "[Application]\nname=org.example.Cleaner\n\n[Instance]\nname=x\n";
    const std::tuple<Confinement::Evidence, Kind, std::string> cases[] = {
        {evidence({}, {}, {}), Kind::none, ""},
        {evidence(info, "snap.firefox.firefox", "enforce"), Kind::flatpak, "org.example.Cleaner"},
        {evidence("", {}, {}), Kind::flatpak, ""},  // there but unreadable: still a sandbox
        {evidence({}, "unconfined", {}), Kind::none, ""},
        {evidence({}, "snap.firefox.firefox", "enforce"), Kind::snap, "firefox"},
        {evidence({}, "/usr/bin/vornelo-cli", {}), Kind::appArmor, "/usr/bin/vornelo-cli"},
        {evidence({}, "/usr/bin/vornelo-cli", "complain"), Kind::none, ""},
        {evidence({}, {}, {}, "unconfined_u:unconfined_r:unconfined_t:s0-s0:c0.c1023"), Kind::none, ""},
        {evidence({}, {}, {}, "system_u:system_r:httpd_t:s0"), Kind::seLinux, "system_u:system_r:httpd_t:s0"},
        {evidence({}, {}, {}, "system_u:system_r:httpd_t:s0", false), Kind::none, ""},  // permissive
    };
    for (const auto& [found, kind, detail] : cases) {
        const auto confinement = Confinement::classify(found);
        EXPECT_EQ(std::tuple(confinement.kind, confinement.detail, confinement.confined()), std::tuple(kind, detail, kind != Kind::none));
    }
}

// The commands the texts name must work when pasted into a shell, whatever the name holds.
TEST(PlatformTextsTest, TheSuggestedCommandsQuoteAnyNameForTheShell) {
    const std::string name = "/home/u/it's \"odd\" $HOME `x` \\ \n*.txt";
    const auto echoed = test::runProgram("/bin/sh", {"-c", "printf %s " + PlatformTexts::shellQuoted(name)});
    EXPECT_EQ(std::tuple(echoed.exitCode, echoed.out), std::tuple(0, name));
    EXPECT_NE(PlatformTexts::removeFromTrashSuggestion("/t/a'b").find("\u201Csudo vornelo-cli clean --mode permanent '/t/a'\\''b'\u201D"),
              std::string::npos);
}

}  // namespace
}  // namespace vornelo::platform
