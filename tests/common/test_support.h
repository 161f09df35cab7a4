// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vtest {

// The throw-away profile of this test process (HOME is <profile>/home).
std::string profileDir();

// A new empty folder inside the profile.
std::string makeTempDir(const std::string& hint = "t");

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv[0] (a path or a name on PATH) with the given extra environment
// entries ("NAME=value"), feeding `input` on standard input.
CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                         const std::string& input = {});

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// Registers the comserver fixture's classes under HKEY_CLASSES_ROOT of
// this profile: "Velmora.TestEcho" (with "Velmora.TestEcho.1" and CurVer)
// and "Velmora.TestUnsafe", served by `module` (the fixture by default).
void registerComFixture(const std::string& module = {});
std::string comFixturePath();

// True under CI=true: a missing tool is then a failure, not a skip.
bool underCi();

}  // namespace vtest

// Skips the test on a developer's machine when `cond` is false, fails it under CI.
#define VTEST_REQUIRE(cond, what)                                                   \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      if (vtest::underCi()) FAIL() << "required under CI: " << (what);              \
      GTEST_SKIP() << "not available here: " << (what);                            \
    }                                                                               \
  } while (0)
