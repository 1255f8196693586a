// The simulator as a process of its own, started the way every test that
// drives it starts it: ZUL_SIM_LAUNCHER's words (the emulator in a cross
// build, nothing in a native one), then ZUL_SIM_PATH.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

TEST(SimulatorProcess, StartsThroughTheLauncherAndPrintsTheVersion) {
  const std::string command =
      std::string(ZUL_SIM_LAUNCHER) + " '" + ZUL_SIM_PATH + "' -- -v 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
    out.append(buf, n);
  }
  const int status = pclose(p);
  EXPECT_EQ(out, "ZUL_STM_Driver 1.22\n");
  ASSERT_TRUE(WIFEXITED(status)) << command;
  EXPECT_EQ(WEXITSTATUS(status), 2) << command;
}

}  // namespace
