// Test runner: every case may replace the C library's stdout with the
// simulated shield's recorder; the real one is put back before GoogleTest
// reports the case. Each case gets a temporary directory of its own, removed
// when it ends.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support.h"

namespace {
FILE* const g_real_stdout = stdout;
FILE* const g_real_stdin = stdin;

class RestoreStdio : public testing::EmptyTestEventListener {
  // GoogleTest reports a failure on stdout, which may be the recorder just
  // then; say it on stderr as well.
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (result.failed()) {
      fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name() ? result.file_name() : "?",
              result.line_number(), result.message());
    }
  }
  void OnTestStart(const testing::TestInfo&) override { test::make_case_dir(); }
  void OnTestEnd(const testing::TestInfo&) override {
    stdout = g_real_stdout;
    stdin = g_real_stdin;
    test::remove_case_dir();
  }
};
}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests fork and are not re-executed: under an emulator the test
  // binary cannot be exec'd. Set once here, for every case alike.
  GTEST_FLAG_SET(death_test_style, "fast");
  testing::UnitTest::GetInstance()->listeners().Append(new RestoreStdio);
  return RUN_ALL_TESTS();
}
