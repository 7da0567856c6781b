// The writer and the reader, checked against glibc's own printf and scanf on the
// same bytes, and the buffering that decides which bytes survive a SIGFPE.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench32/io.hpp"
#include "bench32/testing.hpp"

namespace {
using b32::Int;

// An in-memory file holding `bytes`, positioned at its start.
int memoryFile(const std::string& bytes) {
  int fd = memfd_create("bench32-test", 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string contents(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
  return text;
}

// What the runtime writes for `body`, captured in a file.
template <class Body>
std::string written(Body body) {
  int fd = memoryFile("");
  b32::testing::resetIo(-1, fd);
  body();
  b32::flushOutput();
  std::string text = contents(fd);
  b32::testing::resetIo(0, 1);
  close(fd);
  return text;
}

TEST(Print, MatchesPrintf) {
  std::vector<std::int32_t> values = {
      0,   1,     -1,        9,          10,        -10,       99,
      100, 12345, 999999999, 1000000000, INT32_MAX, INT32_MIN, INT32_MIN + 1};
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) values.push_back(std::int32_t(random()));
  std::string expected;
  char line[32];
  for (std::int32_t v : values) {
    std::snprintf(line, sizeof line, "%ld %ld\n", long(v), long(v));
    expected += line;
  }
  EXPECT_EQ(written([&] {
              for (std::int32_t v : values) {
                b32::print(Int(v));
                b32::println(Int(v));
              }
            }),
            expected);
}

TEST(Print, BooleansAreOneAndZero) {
  EXPECT_EQ(written([] {
              b32::print(true);
              b32::println(false);
              b32::println(b32::Bool(true));
              b32::println(2); // an int literal is a number, not a boolean
            }),
            "1 0\n1\n2\n");
}

struct Reads {
  std::vector<std::int32_t> values;
  std::vector<bool> exhausted; // inputExhausted() after each read
};

// Our reader on `input`: `count` reads, asking inputExhausted() after each.
Reads ourReads(const std::string& input, int count) {
  int fd = memoryFile(input);
  b32::testing::resetIo(fd, 1);
  Reads r;
  for (int i = 0; i < count; ++i) {
    r.values.push_back(b32::read());
    r.exhausted.push_back(b32::inputExhausted());
  }
  b32::testing::resetIo(0, 1);
  close(fd);
  return r;
}

// glibc's scanf("%ld") on the same bytes, with a 32-bit long's saturation. A failed
// conversion keeps the previous value; a failed read is final when no later read
// succeeds (each failed read consumes at least one character or none ever again, so
// input-length + 2 reads settle it).
Reads glibcReads(const std::string& input, int count) {
  int fd = memoryFile(input);
  FILE* file = fdopen(fd, "r");
  const int total = int(input.size()) + 2 + count;
  std::vector<std::int32_t> values;
  std::vector<bool> ok;
  std::int32_t scratch = 0;
  for (int i = 0; i < total; ++i) {
    long value = 0;
    bool success = std::fscanf(file, "%ld", &value) == 1;
    if (success) scratch = std::int32_t(std::clamp<long>(value, INT32_MIN, INT32_MAX));
    values.push_back(scratch);
    ok.push_back(success);
  }
  std::fclose(file);
  Reads r;
  for (int i = 0; i < count; ++i) {
    r.values.push_back(values[std::size_t(i)]);
    bool later = false;
    for (int j = i + 1; j < total; ++j) later = later || ok[std::size_t(j)];
    r.exhausted.push_back(!ok[std::size_t(i)] && !later);
  }
  return r;
}

TEST(Read, FollowsScanfRules) {
  struct Case {
    const char* input;
    std::vector<std::int32_t> values;
  };
  const Case cases[] = {
      {"5", {5, 5, 5}},
      {"", {0, 0}},
      {"12abc 7", {12, 12, 12}},
      {"- 5", {0, 5, 5}},
      {"-x 5", {0, 0, 0}},
      {"--5", {0, -5}},
      {"+-5 +6", {0, -5, 6}},
      {" \t\n\v\f\r-0042", {-42}},
      {"2147483647 2147483648 -2147483648 -2147483649",
       {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN}},
      {"00000000000000000000000000000000012", {12}},
      {"99999999999999999999999999999 -99999999999999999999999", {INT32_MAX, INT32_MIN}},
      {"0x1f", {0, 0}},
      {"7\n8", {7, 8, 8}},
  };
  for (const Case& c : cases) {
    Reads r = ourReads(c.input, int(c.values.size()));
    EXPECT_EQ(r.values, c.values) << "input: " << c.input;
  }
}

TEST(Read, ExhaustionIsReportedOnlyWhenFinal) {
  struct Case {
    const char* input;
    std::vector<bool> exhausted;
  };
  const Case cases[] = {
      {"5", {false, true}},          {"- 5", {false, false, true}}, {"-x", {true, true}},
      {"- - -", {true, true, true}}, {"--5", {false, false, true}}, {"3 \n ", {false, true}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ourReads(c.input, int(c.exhausted.size())).exhausted, c.exhausted)
        << "input: " << c.input;
}

TEST(Read, MatchesGlibcOnRandomInput) {
  const std::string alphabet = std::string(" \t\n\v\f\r+-0123456789x") + '\0' + "\x80";
  std::mt19937 random(42);
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    const int length = int(random() % 24);
    for (int i = 0; i < length; ++i) {
      // Digits often, so that numbers (and long ones) appear.
      input += random() % 3 == 0 ? char('0' + random() % 10) : alphabet[random() % alphabet.size()];
    }
    const int count = int(random() % 8) + 1;
    Reads ours = ourReads(input, count), glibc = glibcReads(input, count);
    ASSERT_EQ(ours.values, glibc.values) << "input: " << testing::PrintToString(input);
    ASSERT_EQ(ours.exhausted, glibc.exhausted) << "input: " << testing::PrintToString(input);
  }
}

// In a child writing to a pipe: `values` through the writer under test, then a
// division by zero. Returns the bytes that reached the pipe.
template <class Write>
std::string survivingBytes(Write writeAndDie) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    writeAndDie(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, std::size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGFPE);
  return text;
}

TEST(Buffering, SameBytesSurviveASigfpeAsWithGlibc) {
  // Each value "1234 " is 5 bytes; the totals straddle the 4096-byte pipe buffer.
  for (int count : {0, 1, 819, 820, 1000, 1638, 1639, 1640, 5000}) {
    const std::size_t total = std::size_t(count) * 5;
    std::string ours = survivingBytes([&](int fd) {
      b32::testing::resetIo(-1, fd);
      for (int i = 0; i < count; ++i) b32::print(Int(1234));
      (void)b32::divide(1, 0);
    });
    std::string glibc = survivingBytes([&](int fd) {
      FILE* f = fdopen(fd, "w");
      for (int i = 0; i < count; ++i) std::fprintf(f, "%ld ", 1234L);
      std::raise(SIGFPE);
    });
    EXPECT_EQ(ours, glibc) << count << " values";
    EXPECT_EQ(ours.size(), total == 0 ? 0 : (total - 1) / 4096 * 4096) << count << " values";
  }
}

// The same on a terminal, where the stream is line-buffered: completed lines are out
// before the signal, and so is a full buffer (a terminal's is 1024 bytes).
std::string survivingBytesOnTerminal(const std::function<void(int)>& writeAndDie) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw); // no newline translation: the bytes arrive as written
  tcsetattr(slave, TCSANOW, &raw);
  pid_t pid = fork();
  if (pid == 0) {
    close(master);
    writeAndDie(slave);
    _exit(0);
  }
  close(slave);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGFPE);
  std::string text;
  char buffer[4096];
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
    text.append(buffer, std::size_t(n));
  close(master);
  return text;
}

TEST(Buffering, TerminalIsLineBufferedAsWithGlibc) {
  // Short lines, a line longer than the buffer, and a newline that lands exactly when
  // the buffer is full.
  const std::vector<std::vector<std::int32_t>> lines = {{1, 2, 3},
                                                        {7},
                                                        std::vector<std::int32_t>(300, 1234),
                                                        std::vector<std::int32_t>(204, 1234),
                                                        {5}};
  for (std::size_t upTo = 1; upTo <= lines.size(); ++upTo) {
    auto body = [&](auto printValue, auto printLast) {
      for (std::size_t l = 0; l < upTo; ++l) {
        const auto& line = lines[l];
        for (std::size_t i = 0; i + 1 < line.size(); ++i) printValue(line[i]);
        printLast(line.back(), l + 1 < upTo);
      }
    };
    std::string ours = survivingBytesOnTerminal([&](int fd) {
      b32::testing::resetIo(-1, fd);
      body([](std::int32_t v) { b32::print(Int(v)); },
           [](std::int32_t v, bool end) { end ? b32::println(Int(v)) : b32::print(Int(v)); });
      (void)b32::divide(1, 0);
    });
    std::string glibc = survivingBytesOnTerminal([&](int fd) {
      FILE* f = fdopen(fd, "w");
      body([&](std::int32_t v) { std::fprintf(f, "%ld ", long(v)); },
           [&](std::int32_t v, bool end) { std::fprintf(f, end ? "%ld\n" : "%ld ", long(v)); });
      std::raise(SIGFPE);
    });
    EXPECT_EQ(ours, glibc) << upTo << " lines";
  }
}

} // namespace
