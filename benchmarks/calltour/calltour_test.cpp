// The failure forms of the checks, which a correct build never writes, and the
// functions the tour never calls with failing arguments (or at all).
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

#include "bench32/testing.hpp"
#include "calltour.cpp"

namespace {

// Runs `body` with standard output sent to a temporary file, and yields what it wrote.
std::string output(const std::function<void()>& body) {
  std::FILE* file = std::tmpfile();
  int input = ::open("/dev/null", O_RDONLY);
  b32::testing::resetIo(input, fileno(file));
  body();
  b32::flushOutput();
  std::string text;
  std::rewind(file);
  for (int ch; (ch = std::fgetc(file)) != EOF;) text += static_cast<char>(ch);
  b32::testing::resetIo(STDIN_FILENO, STDOUT_FILENO);
  ::close(input);
  std::fclose(file);
  return text;
}

class CalltourTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { b32::heap::reserve(); }
};

TEST_F(CalltourTest, ChecksWriteTheirFailureForms) {
  struct Row {
    const char* what;
    std::function<void()> body;
    const char* expected;
  };
  const Row rows[] = {
      {"integer check holds", [] { checkInt(42, 42); }, "1\n"},
      {"integer check fails", [] { checkInt(7, 42); }, "0 7\n"},
      {"integer check fails on a negative", [] { checkInt(INT32_MIN, 0); }, "0 -2147483648\n"},
      {"boolean check expecting true fails", [] { checkBool(false, true); }, "0\n"},
      {"boolean check expecting false fails", [] { checkBool(true, false); }, "0\n"},
      {"boolean check expecting false holds", [] { checkBool(false, false); }, "1\n"},
      {"fifth argument wrong", [] { tonofargs(1, 2, 3, 4, 9, 6, 7, 8); }, "0 9\n1\n1\n1\n"},
      {"last argument wrong", [] { tonofargs(0, 0, 0, 0, 5, 6, 7, -8); }, "1\n1\n1\n0 -8\n"},
      {"first four arguments ignored", [] { tonofargs(-1, -2, -3, -4, 5, 6, 7, 8); },
       "1\n1\n1\n1\n"},
      {"every argument of takealltypes wrong",
       [] {
         Ref<triad> s = newRecord<triad>();
         s->truth = false;
         takealltypes(4, false, s);
         release(s);
       },
       "0\n0\n0\n"},
      {"group header", [] { printgroup(10); }, "1 0 1 0 1 0 10\n"},
  };
  for (const Row& row : rows) EXPECT_EQ(output(row.body), row.expected) << row.what;
}

TEST_F(CalltourTest, UncalledAndIdentityFunctions) {
  counter = 0;
  EXPECT_TRUE(setcounter(5));
  EXPECT_EQ(counter, 5);

  EXPECT_EQ(returnint(INT32_MIN), INT32_MIN);
  EXPECT_FALSE(returnbool(false));
  Ref<triad> u = newRecord<triad>();
  Ref<triad> v = newRecord<triad>();
  EXPECT_TRUE(returnstruct(u) == u);
  EXPECT_FALSE(returnstruct(v) == u);
  release(u);
  release(v);
}

} // namespace
