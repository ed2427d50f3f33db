#include "Core/PrivilegedHelperConstants.h"
#include "Platform/Identity/CodeSigning.h"
#include "Platform/Identity/PeerProcess.h"
#include "Support/ChildProcess.h"
#include "Support/FileChecks.h"
#include "Support/PlatformScenario.h"
#include "Support/SigningIdentity.h"
#include "Support/TempDirectory.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <tuple>

namespace vornelo::platform {
namespace {

namespace fs = std::filesystem;
using test::CertificateProfile;
using test::PemIdentity;

constexpr const char* clientIdentifier = "com.tessaldon.Vornelo";
constexpr const char* teamUnit = "K7Q2M8X4ZD";

CodeRequirement clientRequirement() { return CodeRequirement::parse(PrivilegedHelperConstants::clientRequirement).value(); }

class CodeSigningTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::permissions(temp.path(), fs::perms(0755));  // the peer tests run copies as another user
        fs::create_directories(pki);
        anchor = test::makeCertificate(pki, "anchor", CertificateProfile::anchor("Test Anchor"));
        stranger = test::makeCertificate(pki, "stranger", CertificateProfile::anchor("Stranger"));
        leaf = test::makeCertificate(pki, "leaf", CertificateProfile::signer(teamUnit), anchor);
        resetAnchors();
    }

    // A store holding the anchor, as an administrator sets it up.
    void resetAnchors() {
        fs::remove_all(anchors);
        fs::create_directory(anchors);
        fs::permissions(anchors, fs::perms(0755));
        fs::copy_file(anchor.certificate, anchors / "anchor.pem");
        fs::permissions(anchors / "anchor.pem", fs::perms(0644));
    }

    fs::path signedCopy(const fs::path& source, const std::string& name, const PemIdentity& signer,
                        const std::string& identifier = clientIdentifier) {
        const auto copy = temp / name;
        fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms(0755));
        const auto made = CodeSignature::sign(copy, identifier, {signer.certificate, signer.key, std::nullopt});
        EXPECT_TRUE(made.has_value()) << (made ? "" : made.error());
        return copy;
    }

    test::TempDirectory temp{"codesign"};
    fs::path pki = temp / "pki";
    fs::path anchors = temp / "anchors";
    PemIdentity anchor, stranger, leaf;
    CodeSigning signing{anchors};
};

TEST_F(CodeSigningTest, ExecutableFileVerdictsNameWhatFailed) {
    VORNELO_REQUIRE_ROOT();  // a trusted store must be owned by root
    const auto otherUnit = test::makeCertificate(pki, "other-unit", CertificateProfile::signer("Q9Q9Q9Q9Q9"), anchor);
    const auto expired = test::makeCertificate(pki, "expired", CertificateProfile::signer(teamUnit, -30, -1), anchor);
    const auto foreign = test::makeCertificate(pki, "foreign", CertificateProfile::signer(teamUnit), stranger);
    using Change = std::function<void(const fs::path&)>;
    const Change none = [](const fs::path&) {};
    const std::tuple<const char*, const PemIdentity*, std::string, Change, const char*> cases[] = {
        {"right identity", &leaf, clientIdentifier, none, "satisfies the requirement"},
        {"other unit", &otherUnit, clientIdentifier, none, "organisational unit is \"Q9Q9Q9Q9Q9\", not \"K7Q2M8X4ZD\""},
        {"other identifier", &leaf, "com.example.Other", none, "identifier is \"com.example.Other\""},
        {"foreign anchor", &foreign, clientIdentifier, none, "does not chain to a trusted anchor"},
        {"expired", &expired, clientIdentifier, none, "certificate has expired"},
        {"tampered signature", &leaf, clientIdentifier, [](const fs::path& p) { test::flipLastByte(CodeSignature::signaturePath(p)); }, "does not verify"},
        {"garbage signature", &leaf, clientIdentifier, [](const fs::path& p) { test::writeFile(CodeSignature::signaturePath(p), "sig"); }, "not a CMS"},
        {"modified executable", &leaf, clientIdentifier, [](const fs::path& p) { std::ofstream(p, std::ios::app) << '\n'; }, "differ from what was signed"},
        {"no signature", &leaf, clientIdentifier, [](const fs::path& p) { fs::remove(CodeSignature::signaturePath(p)); }, "is not signed"},
    };
    for (const auto& [label, signer, identifier, afterSigning, reason] : cases) {
        const auto program = temp / label;
        test::writeFile(program, "#!/bin/sh\necho signed code\n");
        ASSERT_TRUE(CodeSignature::sign(program, identifier, {signer->certificate, signer->key, std::nullopt})) << label;
        afterSigning(program);
        const auto verdict = signing.checkFile(program, clientRequirement());
        EXPECT_EQ(verdict.satisfied, label == std::string("right identity")) << label << ": " << verdict.reason;
        EXPECT_NE(verdict.reason.find(reason), std::string::npos) << label << ": " << verdict.reason;
    }
    // The anchor may also travel inside the signature; it still has to be in the store.
    const auto chained = temp / "chained";
    test::writeFile(chained, "code");
    ASSERT_TRUE(CodeSignature::sign(chained, clientIdentifier, {foreign.certificate, foreign.key, stranger.certificate}));
    EXPECT_FALSE(signing.checkFile(chained, clientRequirement()).satisfied);
    ASSERT_TRUE(CodeSignature::sign(chained, clientIdentifier, {leaf.certificate, leaf.key, anchor.certificate}));
    EXPECT_TRUE(signing.checkFile(chained, clientRequirement()).satisfied);
}

TEST_F(CodeSigningTest, SigningRefusesIdentitiesThatCouldNeverVerify) {
    const auto tls = test::makeCertificate(pki, "tls", CertificateProfile::signer(teamUnit, -1, 30, false), anchor);
    const auto program = temp / "program";
    test::writeFile(program, "code");
    const std::tuple<fs::path, std::string, SigningIdentityFiles, std::string> cases[] = {
        {program, clientIdentifier, {tls.certificate, tls.key, std::nullopt}, "is not a code-signing certificate"},
        {program, clientIdentifier, {leaf.certificate, anchor.key, std::nullopt}, "is not the key of"},
        {program, "com.example app", {leaf.certificate, leaf.key, std::nullopt}, "\"com.example app\" may hold only"},
        {program, clientIdentifier, {leaf.key, leaf.key, std::nullopt}, "holds no PEM certificate"},
        {temp / "missing", clientIdentifier, {leaf.certificate, leaf.key, std::nullopt}, "missing cannot be opened"},
    };
    for (const auto& [executable, identifier, identity, error] : cases) {
        const auto made = CodeSignature::sign(executable, identifier, identity);
        ASSERT_FALSE(made.has_value()) << error;
        EXPECT_NE(made.error().find(error), std::string::npos) << made.error();
    }
    EXPECT_FALSE(fs::exists(CodeSignature::signaturePath(program)));
}

TEST_F(CodeSigningTest, AnchorStoreCountsOnlyWhenRootAloneCanChangeIt) {
    VORNELO_REQUIRE_ROOT();
    const auto program = signedCopy("/bin/true", "true", leaf);
    const auto nobody = test::unprivilegedAccount();
    const std::function<void()> weakenings[] = {
        [&] { fs::permissions(anchors, fs::perms(0775)); },
        [&] { fs::permissions(anchors, fs::perms(0757)); },
        [&] { ASSERT_EQ(::chown(anchors.c_str(), nobody.uid, 0), 0); },
        [&] { fs::permissions(anchors / "anchor.pem", fs::perms(0664)); },
        [&] { ASSERT_EQ(::chown((anchors / "anchor.pem").c_str(), nobody.uid, 0), 0); },
        [&] {
            fs::rename(anchors / "anchor.pem", temp / "moved.pem");
            fs::create_symlink(temp / "moved.pem", anchors / "anchor.pem");
        },
        [&] {
            fs::rename(anchors, temp / "real-anchors");
            fs::create_directory_symlink(temp / "real-anchors", anchors);
        },
    };
    int index = 0;
    for (const auto& weaken : weakenings) {
        ASSERT_TRUE(signing.checkFile(program, clientRequirement()).satisfied) << "before weakening " << index;
        weaken();
        const auto verdict = signing.checkFile(program, clientRequirement());
        EXPECT_FALSE(verdict.satisfied) << "weakening " << index;
        EXPECT_NE(verdict.reason.find("does not chain to a trusted anchor"), std::string::npos) << verdict.reason;
        if (fs::is_symlink(anchors)) fs::remove(anchors);
        fs::remove_all(temp / "real-anchors");
        resetAnchors();
        ++index;
    }
}

TEST(CodeRequirementTest, ParsesOnlyTheSupportedGrammarAndEvaluatesEveryClause) {
    const char* refused[] = {
        "", "identifier \"a\" or identifier \"b\"", "!identifier \"a\"", "identifier a", "identifier = \"a\"",
        "identifier \"a\" and", "identifier \"a\" identifier \"b\"", "(identifier \"a\"", "identifier \"a\")",
        "identifier \"a\\\"b\"", "identifier \"open", "anchor apple", "anchor trusted", "certificate leaf[subject.CN] = \"x\"",
        "certificate root[subject.OU] = \"x\"", "certificate leaf[subject.OU] \"x\"", "info[CFBundleVersion] = \"1\"",
        "identifier \"a\" and anchor apple generic; true",
    };
    for (const char* text : refused) {
        EXPECT_FALSE(CodeRequirement::parse(text).has_value()) << text;
    }
    const std::string deep = std::string(40, '(') + "anchor apple generic" + std::string(40, ')');
    EXPECT_FALSE(CodeRequirement::parse(deep).has_value());
    EXPECT_FALSE(CodeRequirement::parse(std::string(5000, ' ') + "anchor apple generic").has_value());
    const auto error = CodeRequirement::parse("identifier \"a\" or anchor apple generic").error();
    EXPECT_EQ(error, "The requirement has an unsupported term \"or\" at offset 15.");

    // What parses is evaluated clause by clause.
    const SigningFacts team{"com.tessaldon.Vornelo", true, {"K7Q2M8X4ZD"}};
    const std::tuple<std::string, SigningFacts, const char*> cases[] = {  // the clause unmet, nullptr when satisfied
        {std::string(PrivilegedHelperConstants::clientRequirement), team, nullptr},
        {std::string(PrivilegedHelperConstants::helperRequirement), team, "identifier is \"com.tessaldon.Vornelo\", not \"com.tessaldon.Vornelo.helper\""},
        {std::string(PrivilegedHelperConstants::clientRequirement), {team.identifier, false, team.leafOrganizationalUnits}, "trusted anchor"},
        {std::string(PrivilegedHelperConstants::clientRequirement), {team.identifier, true, {}}, "unit is \"\""},
        {std::string(PrivilegedHelperConstants::clientRequirement), {team.identifier, true, {"K7Q2M8X4ZD", "X"}}, "more than one"},
        {"(identifier \"com.tessaldon.Vornelo\" and (anchor apple generic))", team, nullptr},
        {" ( anchor apple generic ) and identifier \"x\"", team, "not \"x\""},
        {"certificate leaf[subject.OU] = \"K7Q2M8X4ZD\"", {"", false, {"K7Q2M8X4ZD"}}, nullptr},
    };
    for (const auto& [text, facts, clause] : cases) {
        const auto requirement = CodeRequirement::parse(text);
        ASSERT_TRUE(requirement.has_value()) << text << ": " << requirement.error();
        const auto unmet = requirement->unmetClause(facts);
        ASSERT_EQ(unmet.has_value(), clause != nullptr) << text << ": " << unmet.value_or("");
        if (clause) { EXPECT_NE(unmet->find(clause), std::string::npos) << *unmet; }
    }
}

// A child process running program, as root or as another user, killed and reaped at the end.
class Peer {
public:
    Peer(const fs::path& program, std::vector<std::string> arguments, std::vector<std::string> environment,
         std::optional<test::Account> account = std::nullopt) {
        int pipeEnds[2];
        EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
        arguments.insert(arguments.begin(), program.filename().string());
        std::vector<char*> argv, envp;
        for (auto& argument : arguments) argv.push_back(argument.data());
        for (auto& entry : environment) envp.push_back(entry.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipeEnds[0], STDIN_FILENO);
            ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);  // the loader complains about the missing libraries
            if (account && (::setgroups(0, nullptr) != 0 || ::setgid(account->gid) != 0 || ::setuid(account->uid) != 0)) ::_exit(126);
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(pipeEnds[0]);
        input_.reset(pipeEnds[1]);
        pidfd_ = PeerProcess::pidfdOf(pid_);
        waitUntilRunning(program);
    }
    // Judging starts once the program runs rather than the forked test, and its exec is over.
    void waitUntilRunning(const fs::path& program) const {
        const auto startedWith = "/proc/" + std::to_string(pid_) + "/environ";
        test::eventually([&] { return executable() == program && !test::readFile(startedWith).empty(); }, std::chrono::seconds(10));
    }
    ~Peer() { stop(); }

    fs::path executable() const {
        std::error_code error;
        return fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", error);
    }
    void say(std::string_view line) { EXPECT_EQ(::write(input_.get(), line.data(), line.size()), static_cast<ssize_t>(line.size())); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int pidfd() const { return pidfd_.get(); }

private:
    pid_t pid_ = -1;
    FileDescriptor pidfd_;
    FileDescriptor input_;
};

bool says(const CodeSigning::Verdict& verdict, std::string_view text) { return verdict.reason.find(text) != std::string::npos; }

TEST_F(CodeSigningTest, PeerCheckFollowsTheProcessThroughExecAndExitAndRefusesLoaderVariablesOrDumpability) {
    VORNELO_REQUIRE_ROOT();
    const auto shell = signedCopy(fs::canonical("/bin/sh"), "sh", leaf);
    Peer peer(shell, {"-c", "read line; exec /bin/sleep 30"}, {"PATH=/usr/bin:/bin"});
    const auto first = signing.checkPeer(peer.pidfd(), clientRequirement());
    ASSERT_TRUE(first.satisfied) << first.reason;
    EXPECT_FALSE(first.fromCache);
    const auto again = signing.checkPeer(peer.pidfd(), clientRequirement(), first.executable);
    EXPECT_TRUE(again.satisfied && again.fromCache) << again.reason;

    // A new signature (here by another unit) is judged afresh rather than served from the cache.
    const auto otherUnit = test::makeCertificate(pki, "other-unit", CertificateProfile::signer("Q9Q9Q9Q9Q9"), anchor);
    ASSERT_TRUE(CodeSignature::sign(shell, clientIdentifier, {otherUnit.certificate, otherUnit.key, std::nullopt}));
    const auto resigned = signing.checkPeer(peer.pidfd(), clientRequirement(), first.executable);
    EXPECT_TRUE(!resigned.satisfied && !resigned.fromCache && says(resigned, "Q9Q9Q9Q9Q9")) << resigned.reason;
    ASSERT_TRUE(CodeSignature::sign(shell, clientIdentifier, {leaf.certificate, leaf.key, std::nullopt}));

    peer.say("go\n");
    peer.waitUntilRunning(fs::canonical("/bin/sleep"));
    const auto changed = signing.checkPeer(peer.pidfd(), clientRequirement(), first.executable);
    EXPECT_TRUE(!changed.satisfied && says(changed, "runs another executable")) << changed.reason;
    EXPECT_TRUE(says(signing.checkPeer(peer.pidfd(), clientRequirement()), "is not signed"));

    peer.stop();
    const auto gone = signing.checkPeer(peer.pidfd(), clientRequirement());
    EXPECT_TRUE(!gone.satisfied && says(gone, "exited")) << gone.reason;

    // A peer started with loader variables or dumpable is refused.
    const auto nobody = test::unprivilegedAccount();
    const std::tuple<std::string, std::optional<test::Account>, const char*> cases[] = {
        {"LD_PRELOAD=/nonexistent/inject.so", std::nullopt, "started with LD_PRELOAD"},
        {"LD_AUDIT=/nonexistent/audit.so", std::nullopt, "started with LD_AUDIT"},
        {"LD_LIBRARY_PATH=" + temp.path().string(), std::nullopt, "started with LD_LIBRARY_PATH"},
        {"LD_PRELOAD=", nobody, "is dumpable"},
    };
    for (const auto& [environment, account, reason] : cases) {
        Peer started(shell, {"-c", "read line"}, {"PATH=/usr/bin:/bin", environment}, account);
        const auto verdict = signing.checkPeer(started.pidfd(), clientRequirement());
        EXPECT_TRUE(!verdict.satisfied && says(verdict, reason)) << environment << ": " << verdict.reason;
    }
}


// A file rewritten in place need not show it: through a shared mapping on some kernels' tmpfs the
// times stay, and where times have whole seconds (ext2 with small inodes, as here) a rewrite
// within the second keeps device, inode, size and change time alike. A copy its user may rewrite
// is judged by its bytes at every check; one that only root can change is served from the cache.
TEST_F(CodeSigningTest, AnExecutableRewrittenInPlaceIsJudgedByItsNewBytesWhenItsUserCouldRewriteIt) {
    VORNELO_REQUIRE_ROOT();
    const auto image = temp / "seconds.img";
    const auto volume = temp / "volume";
    fs::create_directories(volume);
    test::writeFile(image, "");
    ASSERT_EQ(::truncate(image.c_str(), 64 << 20), 0);
    if (std::system(("/sbin/mkfs.ext2 -q -F -I 128 " + image.native() + " >/dev/null 2>&1").c_str()) != 0) GTEST_SKIP() << "mkfs.ext2 is missing";
    const auto nobody = test::unprivilegedAccount();
    const auto outcome = test::runInPrivateMountNamespace([&]() -> std::string {
        if (std::system(("mount -o loop " + image.native() + " " + volume.native() + " 2>/dev/null").c_str()) != 0) return "SKIP no loop device";
        // Two programs padded to one size: bytes after an ELF file's last segment are never loaded.
        const auto shell = test::readFile(fs::canonical("/bin/sh"));
        const auto sleeper = test::readFile(fs::canonical("/bin/sleep"));
        const auto size = std::max(shell.size(), sleeper.size()) + 4096;
        const auto padded = [size](std::string bytes) { return bytes.append(size - bytes.size(), '\0'); };
        for (const bool usersOwn : {false, true}) {
            const auto copy = volume / (usersOwn ? "users-client" : "roots-client");
            test::writeFile(copy, padded(shell));
            ::chown(copy.c_str(), usersOwn ? nobody.uid : 0, usersOwn ? nobody.gid : 0);
            if (!CodeSignature::sign(copy, clientIdentifier, {leaf.certificate, leaf.key, std::nullopt})) return "signing failed";
            for (int attempt = 0;; ++attempt) {
                CodeSigning fresh{anchors};
                ::chmod(copy.c_str(), 0755);  // a change time of this second
                const auto judged = test::statOf(copy);
                for (int run = 0; run < 2; ++run) {
                    Peer served(copy, {"-c", "read line"}, {"PATH=/usr/bin:/bin"});
                    const auto verdict = fresh.checkPeer(served.pidfd(), clientRequirement());
                    if (!verdict.satisfied || verdict.fromCache != (run == 1 && !usersOwn)) {
                        return copy.native() + " run " + std::to_string(run) + ": " + verdict.reason + (verdict.fromCache ? " (cached)" : "");
                    }
                }
                if (!usersOwn) break;
                // The owner rewrites it with another program, as a write that keeps the identity.
                test::writeFile(copy, padded(sleeper));
                if (test::statOf(copy).st_ctim.tv_sec != judged.st_ctim.tv_sec) {
                    if (attempt == 5) return "SKIP no rewrite within one second";
                    test::writeFile(copy, padded(shell));
                    continue;
                }
                Peer rewritten(copy, {"30"}, {"PATH=/usr/bin:/bin"});
                const auto verdict = fresh.checkPeer(rewritten.pidfd(), clientRequirement());
                if (verdict.satisfied) return std::string("the rewritten copy was served") + (verdict.fromCache ? " from the cache" : "");
                if (!says(verdict, "contents differ from what was signed")) return "refused for another reason: " + verdict.reason;
                break;
            }
        }
        return {};
    });
    if (outcome.message.starts_with("SKIP")) GTEST_SKIP() << outcome.message;
    EXPECT_TRUE(outcome.succeeded) << outcome.message;
}

}  // namespace
}  // namespace vornelo::platform
