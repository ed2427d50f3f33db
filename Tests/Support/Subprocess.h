#pragma once
// Runs a program to completion and collects what it wrote: for tests of executables.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vornelo::test {

struct ProgramResult {
    int exitCode = -1;  // -1 when killed by a signal or not started
    std::string out;
    std::string err;
};

// Environment entries in `environment` replace or add to the test's own environment. Standard
// input is the null device. The program runs under /usr/bin/env, so pass a resolved path, never
// /proc/self/exe.
ProgramResult runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {});

// vornelo-cli with HOME (and the XDG base folders) pointing at `home`.
ProgramResult runCli(const std::vector<std::string>& arguments, const std::filesystem::path& home,
                     const std::map<std::string, std::string>& environment = {});

}  // namespace vornelo::test
