// build/build: configurations from the command line, and build errors in one line.

#include "build/build.hpp"
#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "exec/tool.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "output/export/exporter.hpp"
#include "output/table.hpp"
#include "results_fixtures.hpp"
#include "run/environment.hpp"
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <unistd.h>

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(Build, ConfigurationsAndErrorLines) {
  struct Case {
    const char* text;
    bool valid;
    const char* compiler;
    const char* flags;
  };
  const Case cases[] = {
      {"gcc-O2=g++:-O2", true, "g++", "-O2"},
      {"clang=clang++:-O3 -march=native", true, "clang++", "-O3 -march=native"},
      {"plain=g++:", true, "g++", ""},
      {"noflags=g++", false, "", ""},
      {"=g++:-O2", false, "", ""},
      {"../up=g++:-O2", false, "", ""},
      {"x=:-O2", false, "", ""},
  };
  for (const auto& c : cases) {
    if (!c.valid) {
      EXPECT_THROW(parseConfig(c.text, "/b"), BadInput) << c.text;
      continue;
    }
    const BuildTarget t = parseConfig(c.text, "/b");
    EXPECT_EQ(t.info.compiler, c.compiler);
    EXPECT_EQ(t.info.flags, c.flags);
    EXPECT_EQ(t.info.buildDir, "/b/cfg-" + t.info.name);
  }
  EXPECT_EQ(firstErrorLine("[1/2] ok\nx.cpp:3:1: error: expected ';'\nmore\n"),
            "x.cpp:3:1: error: expected ';'");
  EXPECT_EQ(firstErrorLine("one\nlast line\n\n"), "last line");
  EXPECT_EQ(firstErrorLine("-- Configuring incomplete, errors occurred!\n"
                           "g++: error: unrecognized command-line option\n"),
            "g++: error: unrecognized command-line option");
}

} // namespace

} // namespace bench32
