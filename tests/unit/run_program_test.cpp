#include "publish/signing/run_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The helper program that CMake built beside the tests.
std::string EchoArgs() {
  std::string path = ECHO_ARGS_PATH;
#ifdef _WIN32
  // Wine shows the Unix root as drive Z:.
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

std::string Bracketed(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& arg : args) out += "[" + arg + "]\n";
  return out;
}

TEST(RunProgramTest, ArgumentsArriveAsGivenAndOutputIsCollected) {
  // Blanks, quotes and backslashes are what the Windows command line
  // mangles unless each argument is quoted right.
  const std::vector<std::string> args = {
      "plain",          "two words",   "",          "tab\there",   "quote\"inside",
      "\"quoted\"",     "trailing\\",  "a\\\\b",    "back\\\"quote", "dir with blank\\",
      "C:\\Program Files\\x.pem", "-CAfile", "%PATH%", "semi;colon", "amp&pipe|",
  };
  std::vector<std::string> command = {EchoArgs()};
  command.insert(command.end(), args.begin(), args.end());
  ProgramRun run;
  ASSERT_TRUE(RunProgram(command, &run)) << command[0];
  EXPECT_TRUE(run.started);
  EXPECT_FALSE(run.notFound);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ(Bracketed(args) + "stdin empty\ndone\n", run.output);
}

TEST(RunProgramTest, ExitStatusIsPassedOn) {
  for (int status : {0, 1, 3, 255}) {
    SCOPED_TRACE(status);
    ProgramRun run;
    std::string exit = "--exit=" + std::to_string(status);
    ASSERT_TRUE(RunProgram({EchoArgs(), exit}, &run));
    EXPECT_EQ(status, run.exitStatus);
    EXPECT_EQ("[" + exit + "]\nstdin empty\ndone\n", run.output);
  }
}

TEST(RunProgramTest, MissingProgramIsToldApart) {
  ProgramRun run;
  run.output = "left over";
  EXPECT_FALSE(RunProgram({"no-such-program-here-0c1f"}, &run));
  EXPECT_FALSE(run.started);
  EXPECT_TRUE(run.notFound);
  EXPECT_EQ("", run.output);
  EXPECT_FALSE(RunProgram({}, &run));
  EXPECT_FALSE(run.notFound);
}

// The caller's own output still goes where it went before the run, and
// none of the child's goes there.
TEST(RunProgramTest, OwnStandardStreamsAreRestored) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ProgramRun run;
  bool ran = RunProgram({EchoArgs(), "x"}, &run);
  std::printf("after\n");
  std::fflush(stdout);
  std::fprintf(stderr, "after too\n");
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ran);
  EXPECT_EQ("after\n", out);
  EXPECT_EQ("after too\n", err);
  EXPECT_EQ("[x]\nstdin empty\ndone\n", run.output);
}

TEST(RunProgramTest, WindowsQuotingOfOneArgument) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"two words", "\"two words\""},
      {"a\\b", "a\\b"},                     // no blank: backslashes stay alone
      {"a b\\", "\"a b\\\\\""},             // before the closing quote: doubled
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"x\\\"y", "\"x\\\\\\\"y\""},         // backslash then quote: 2n+1 backslashes
      {"tab\there", "\"tab\there\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.second, QuoteWindowsArgument(c.first)) << c.first;
  }
}

}  // namespace
