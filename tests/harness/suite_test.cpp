// model/suite: the programs and their executables' sizes.

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "exec/process.hpp"
#include "model/suite.hpp"

namespace bench32 {
namespace {

TEST(Suite, TextSizeMatchesTheSectionHeaders) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  RunRequest request;
  request.argv = {"size", "-A", self};
  const RunResult run = runProcess(request);
  ASSERT_EQ(run.exitStatus, 0) << run.stderrBytes;
  const std::string out = run.stdoutText();
  const auto at = out.find("\n.text ");
  ASSERT_NE(at, std::string::npos);
  const auto expected = std::stoull(out.substr(at + 6));
  EXPECT_EQ(textSize(self), expected);

  // Not ELF, or cut short anywhere: no size, and no crash.
  const std::string dir = testing::TempDir();
  std::ofstream(dir + "not-elf") << "#!/bin/sh\n";
  EXPECT_FALSE(textSize(dir + "not-elf"));
  EXPECT_FALSE(textSize(dir + "no-such-file"));
  std::ifstream in(self, std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  for (std::size_t cut : {5u, 20u, 64u, 4096u}) {
    std::ofstream(dir + "cut-elf", std::ios::binary) << head.substr(0, cut);
    EXPECT_FALSE(textSize(dir + "cut-elf")) << cut;
  }
}

} // namespace

} // namespace bench32
