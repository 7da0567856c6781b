// Writing output files: a regular file replaced whole or left as it was, anything else
// written directly; and the numbers of the command line.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>

#include <gtest/gtest.h>

#include "exec/decimal.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& file) {
  std::ifstream stream(file);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

fs::path scratch(const std::string& name) {
  const fs::path dir = fs::path(testing::TempDir()) / (name + "-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(Files, ARegularFileIsReplacedWholeAndALinkIsFollowed) {
  const fs::path dir = scratch("files-regular");
  const fs::path file = dir / "r.json", link = dir / "link.json";
  std::ofstream(file) << "old";
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(file.filename(), link);
  writeFile(link, "new\n");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(contents(file), "new\n");
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  writeFile(dir / "fresh.json", "x");
  EXPECT_EQ(contents(dir / "fresh.json"), "x");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3)
      << "a temporary file was left";
}

TEST(Files, WhatCannotBeWrittenThrowsAndLeavesTheOldFile) {
  const fs::path dir = scratch("files-refused");
  struct Case {
    fs::path file;
    const char* reason;
  };
  const Case cases[] = {
      {"/dev/full", "No space left on device"},
      {dir, "Is a directory"},
      {dir / "missing" / "r.json", "No such file or directory"},
  };
  for (const auto& c : cases) {
    try {
      writeFile(c.file, "text");
      ADD_FAILURE() << c.file;
    } catch (const WriteError& e) {
      EXPECT_EQ(std::string(e.what()), c.file.string() + ": cannot write: " + c.reason);
    }
  }
  struct stat status {};
  ASSERT_EQ(stat("/dev/full", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode));
  EXPECT_THROW(checkWritable(dir / "missing" / "r.json"), WriteError);
  EXPECT_THROW(checkWritable(dir), WriteError);
  EXPECT_NO_THROW(checkWritable("/dev/full")); // the write says whether it fits
}

TEST(Files, APipeIsWrittenIntoOnce) {
  const fs::path fifo = scratch("files-fifo") / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(replacedWhenWritten(fifo));
  EXPECT_FALSE(replacedWhenWritten("/dev/null"));
  EXPECT_TRUE(replacedWhenWritten(fifo.parent_path() / "none-yet.json"));
  auto read = std::async(std::launch::async, [&] { return contents(fifo); });
  writeFile(fifo, "through the pipe\n");
  EXPECT_EQ(read.get(), "through the pipe\n");
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(Files, AnOpenDescriptorIsWrittenIntoEvenOnARegularFile) {
  const fs::path file = scratch("files-descriptor") / "out.txt";
  std::FILE* stream = std::fopen(file.c_str(), "w");
  ASSERT_TRUE(stream);
  const std::string path = "/dev/fd/" + std::to_string(fileno(stream));
  EXPECT_FALSE(replacedWhenWritten(path));
  writeFile(path, "into the descriptor\n");
  std::fclose(stream);
  EXPECT_EQ(contents(file), "into the descriptor\n");
}

TEST(Files, OnlyFiniteDecimalNumbersAreTaken) {
  struct Case {
    const char* text;
    double value; // NaN: refused
    const char* why = "";
  };
  const double refused = NAN;
  const Case cases[] = {
      {"2", 2},
      {"0.5", 0.5},
      {".5", 0.5},
      {"5.", 5},
      {"-3", -3},
      {"1e-3", 0.001},
      {"1E+2", 100},
      {"00012", 12},
      {"inf", refused, "not a number"},
      {"-inf", refused, "not a number"},
      {"infinity", refused, "not a number"},
      {"nan", refused, "not a number"},
      {"NaN", refused, "not a number"},
      {"0x10", refused, "not a number"},
      {"+1", refused, "not a number"},
      {" 2", refused, "not a number"},
      {"2 ", refused, "not a number"},
      {"", refused, "not a number"},
      {".", refused, "not a number"},
      {"e5", refused, "not a number"},
      {"1e", refused, "not a number"},
      {"1.2.3", refused, "not a number"},
      {"1e999", refused, "out of range"},
      {"-1e999", refused, "out of range"},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto value = parseDecimal(c.text, why);
    if (std::isnan(c.value)) {
      EXPECT_FALSE(value) << c.text;
      EXPECT_EQ(why, c.why) << c.text;
    } else {
      ASSERT_TRUE(value) << c.text << ": " << why;
      EXPECT_EQ(*value, c.value) << c.text;
    }
  }
  EXPECT_EQ(shownText("0-3"), "0-3");
  EXPECT_EQ(shownText("0\n1"), "\"0\\n1\"");
}

} // namespace
} // namespace bench32
