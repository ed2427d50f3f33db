#pragma once
// A program on a terminal of its own, driven as a person would: a private tmux server runs it
// in a window of a given size, keys are sent to it and the screen is read back as text.

#include "Support/Subprocess.h"
#include "Support/TempDirectory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vornelo::test {

class TmuxSession {
public:
    // Starts `command` (a program and its arguments, run without a shell) on a terminal of
    // width x height, with `environment` added to the test's own.
    TmuxSession(const std::vector<std::string>& command, int width, int height,
                const std::map<std::string, std::string>& environment = {}) {
        std::vector<std::string> arguments{"-f", "/dev/null", "start-server", ";", "set-option", "-g", "remain-on-exit", "on",
                                           ";", "new-session", "-d", "-s", "main", "-x", std::to_string(width), "-y",
                                           std::to_string(height)};
        for (const auto& [name, value] : environment) {
            arguments.push_back("-e");
            arguments.push_back(name + "=" + value);
        }
        // The exit status goes to a file: tmux itself does not always learn it.
        arguments.insert(arguments.end(), {"--", "/bin/sh", "-c", "\"$@\"; echo $? > \"$0\"", statusFile().native()});
        arguments.insert(arguments.end(), command.begin(), command.end());
        started_ = tmux(arguments).exitCode == 0;
    }
    ~TmuxSession() { tmux({"kill-server"}); }
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    bool started() const { return started_; }

    // Keys by tmux's names ("Down", "Enter", "C-c", "Space") or plain characters.
    void keys(const std::vector<std::string>& names) const {
        std::vector<std::string> arguments{"send-keys", "-t", "main"};
        arguments.insert(arguments.end(), names.begin(), names.end());
        tmux(arguments);
    }
    void resize(int width, int height) const {
        tmux({"resize-window", "-t", "main", "-x", std::to_string(width), "-y", std::to_string(height)});
    }

    // The screen as text, one line per row; with `escapes`, colours and attributes as well.
    std::string screen(bool escapes = false) const {
        std::vector<std::string> arguments{"capture-pane", "-p", "-t", "main"};
        if (escapes) arguments.push_back("-e");
        return tmux(arguments).out;
    }

    // The screen once it holds every one of `parts`, in that order; a test failure naming the part
    // missing, and the last screen seen, when the bound passes first.
    std::string waitFor(const std::vector<std::string>& parts,
                        std::chrono::milliseconds bound = std::chrono::seconds(20)) const {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            auto text = screen();
            std::size_t from = 0;
            const std::string* missing = nullptr;
            for (const auto& part : parts) {
                const auto at = text.find(part, from);
                if (at == std::string::npos) {
                    missing = &part;
                    break;
                }
                from = at + part.size();
            }
            if (!missing) return text;
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "\"" << *missing << "\" never appeared (in order) on the screen:\n" << text;
                return text;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    }

    // The program's exit code once it has ended (128 and the signal's number when one ended it);
    // nothing if it still runs after the bound.
    std::optional<int> exitCode(std::chrono::milliseconds bound = std::chrono::seconds(20)) const {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            if (const auto status = readFile(statusFile()); status.ends_with('\n')) return std::stoi(status);
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    }

private:
    std::filesystem::path statusFile() const { return directory_ / "status"; }
    ProgramResult tmux(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"-S", (directory_ / "socket").native()});
        return runProgram("/usr/bin/tmux", arguments);
    }

    TempDirectory directory_{"vornelo-tmux"};
    bool started_ = false;
};

}  // namespace vornelo::test
