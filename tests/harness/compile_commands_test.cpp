// build/compile_commands: a program's compile and link commands read from its build
// folder (compile_commands.json and ninja's answer, scripted here) and rewritten to
// write into a scratch folder; caching launchers left out.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "build/compile_commands.hpp"
#include "exec/errors.hpp"
#include "exec/words.hpp"
#include "scripted_runner.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(CompileCommands, CommandsSplitIntoWordsAsAShellWould) {
  struct Case {
    const char* command;
    Words words;
  };
  const Case cases[] = {
      {"g++  -O2 -c a.cpp", {"g++", "-O2", "-c", "a.cpp"}},
      {"  g++\t-DNAME='a b' -c\n'x y.cpp'  ", {"g++", "-DNAME=a b", "-c", "x y.cpp"}},
      {R"(g++ "-DQ=\"q\"" -DS=\$x a\ b.cpp)", {"g++", "-DQ=\"q\"", "-DS=$x", "a b.cpp"}},
      {R"(g++ "-DP=a\b" '' x)", {"g++", "-DP=a\\b", "", "x"}},
      {": && g++ a.o -o b && :", {":", "&&", "g++", "a.o", "-o", "b", "&&", ":"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(shellWords(c.command), c.words) << c.command;
  for (const char* bad : {"g++ 'a", "g++ \"a", "g++ a\\"})
    EXPECT_THROW(shellWords(bad), BadInput) << bad;
}

TEST(CompileCommands, CachingLaunchersAreFoundAndLeftOut) {
  const Scratch s("compile-launchers");
  const std::string script = "#!/bin/sh\nexec \"$@\"\n";
  const fs::path ccache = s.write("bin1/ccache", script, true);
  s.write("bin1/sccache", script, true);
  fs::create_symlink("ccache", s.root / "bin1" / "g++"); // ccache's masquerading link
  const fs::path realGxx = s.write("bin2/g++", script, true);
  fs::create_directories(s.root / "bin3");
  fs::create_symlink(ccache, s.root / "bin3" / "clang++"); // and no real clang++ anywhere
  const std::string bin1 = (s.root / "bin1").string(), bin2 = (s.root / "bin2").string(),
                    bin3 = (s.root / "bin3").string();

  struct Case {
    Words argv;
    std::string path;
    std::string launcher; // what is detected
    Words left;           // the command that runs; empty: refused
  };
  const Case cases[] = {
      {{"g++", "-c", "a.cpp"}, bin2, "", {"g++", "-c", "a.cpp"}},
      {{"ccache", "g++", "-c", "a.cpp"}, bin2, "ccache", {"g++", "-c", "a.cpp"}},
      {{(s.root / "bin1/sccache").string(), "g++", "-c"}, bin2, "sccache", {"g++", "-c"}},
      {{"g++", "-c"}, bin1 + ":" + bin2, "ccache (as g++)", {realGxx.string(), "-c"}},
      {{bin1 + "/g++", "-c"}, bin2, "ccache (as " + bin1 + "/g++)", {realGxx.string(), "-c"}},
      {{"ccache", "g++"}, bin1 + ":" + bin2, "ccache", {realGxx.string()}},
      {{"clang++", "-c"}, bin3, "ccache (as clang++)", {}},
      {{"ccache"}, bin2, "ccache", {}},
  };
  for (const auto& c : cases) {
    const std::string label = c.argv.front() + " on " + c.path;
    EXPECT_EQ(cachingLauncher(c.argv, c.path), c.launcher) << label;
    if (c.left.empty())
      EXPECT_THROW(withoutLauncher(c.argv, c.path), BadInput) << label;
    else
      EXPECT_EQ(withoutLauncher(c.argv, c.path), c.left) << label;
  }
}

// A Ninja build folder of one program, bin/prog: its object's compile command in
// compile_commands.json (or none), and ninja answering for its link with `link`.
struct FakeBuild {
  Scratch s{"compile-plan"};
  fs::path dir = s.root / "build";
  ScriptedRunner tools;

  void make(const std::string& link, bool compileCommands = true, nlohmann::json entry = nullptr) {
    fs::remove_all(dir);
    tools = ScriptedRunner();
    tools.on({"ninja", "-t", "commands"}, prints(link + "\n"));
    s.write("build/build.ninja", "# generated\n");
    if (entry.is_null())
      entry = {{"directory", dir.string()},
               {"command", "/usr/bin/g++ -O2 -o obj/a.cpp.o -c /src/a.cpp"},
               {"file", "/src/a.cpp"}};
    if (compileCommands)
      s.write("build/compile_commands.json", nlohmann::json::array({entry}).dump());
  }
  CompileJob plan() {
    return planCompile(dir, dir / "bin" / "prog", scratch(), "/usr/bin", runner());
  }
  fs::path scratch() const { return s.root / "scratch"; }
  Runner runner() { return tools.runner(); }
};

TEST(CompileCommands, JobRewritesOnlyTheOutputsIntoTheScratchFolder) {
  FakeBuild b;
  b.make(": && /usr/bin/g++ -O2 obj/a.cpp.o -o bin/prog lib/libx.a -Wl,--as-needed && :");
  const CompileJob job = b.plan();
  EXPECT_EQ(b.tools.calls(), (std::vector<Words>{{"ninja", "-C", b.dir.string(), "-t", "commands",
                                                  "-s", "bin/prog"}}));
  const std::string object = (b.scratch() / "0-a.cpp.o").string();
  ASSERT_EQ(job.compiles.size(), 1u);
  EXPECT_EQ(job.compiles[0].argv, (Words{"/usr/bin/g++", "-O2", "-o", object, "-c", "/src/a.cpp"}));
  EXPECT_EQ(job.compiles[0].directory, b.dir);
  EXPECT_EQ(job.objects, std::vector<fs::path>{object});
  EXPECT_EQ(job.link.argv,
            (Words{"/usr/bin/g++", "-O2", object, "-o", (b.scratch() / "prog").string(),
                   "lib/libx.a", "-Wl,--as-needed"}));
  EXPECT_EQ(job.link.directory, b.dir);
  EXPECT_EQ(job.executable, b.scratch() / "prog");
  EXPECT_EQ(job.launcher, "");
}

TEST(CompileCommands, ArgumentListsDependencyFilesAndTheConfiguredLauncher) {
  FakeBuild b;
  b.make("g++ obj/a.cpp.o -obin/prog", true,
         {{"directory", (b.dir / "sub").string()},
          {"arguments",
           {"ccache", "/usr/bin/g++", "-MD", "-MF", "../obj/a.cpp.o.d", "-o", "../obj/a.cpp.o",
            "-c", "/src/a b.cpp"}}});
  b.s.write("build/CMakeCache.txt", "CMAKE_CXX_COMPILER_LAUNCHER:STRING=sccache;--flag\n");
  const CompileJob job = b.plan();
  const std::string object = (b.scratch() / "0-a.cpp.o").string();
  ASSERT_EQ(job.compiles.size(), 1u);
  EXPECT_EQ(job.compiles[0].argv, (Words{"/usr/bin/g++", "-MD", "-MF", object + ".d", "-o", object,
                                         "-c", "/src/a b.cpp"}));
  EXPECT_EQ(job.compiles[0].directory, b.dir / "sub");
  EXPECT_EQ(job.link.argv, (Words{"g++", object, "-o" + (b.scratch() / "prog").string()}));
  EXPECT_EQ(job.launcher, "ccache"); // the one in the command, said after the configured one
}

TEST(CompileCommands, WhatCannotBeRebuiltIsRefusedWithOneLine) {
  struct Case {
    std::string link;
    bool compileCommands;
    const char* says;
    Answer ninja; // when it is not the link's text
  };
  const Case cases[] = {
      {"g++ obj/a.cpp.o obj/b.cpp.o -o bin/prog",
       true,
       "obj/b.cpp.o (linked into bin/prog) has no",
       {}},
      {"g++ @CMakeFiles/prog.rsp -o bin/prog", true, "reads a response file", {}},
      {"g++ obj/a.cpp.o -o bin/prog && strip bin/prog", true, "more than one command", {}},
      {"g++ obj/a.cpp.o -o bin/prog\nstrip bin/prog", true, "more than one command", {}},
      {"g++ obj/a.cpp.o lib/libx.a", true, "names no output", {}},
      {"g++ lib/libx.a -o bin/prog", true, "reads no object of the build", {}},
      {"g++ obj/a.cpp.o -o bin/prog", false, "CMAKE_EXPORT_COMPILE_COMMANDS=ON", {}},
      {"", true, "ninja gives no link command for bin/prog: ninja: error: unknown target",
       fails(1, "ninja: error: unknown target 'bin/prog'\n")},
      {"", true, "ninja gives no link command for bin/prog: ninja: not found",
       cannotStart("ninja: not found")},
      {"", true, "ninja gives no link command", prints("")},
  };
  for (const auto& c : cases) {
    FakeBuild b;
    b.make(c.link, c.compileCommands);
    if (c.link.empty()) b.tools.on({"ninja"}, c.ninja);
    try {
      b.plan();
      ADD_FAILURE() << c.link << ": not refused";
    } catch (const BadInput& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
  }
  // Not a Ninja folder, or an executable outside it: refused before ninja is asked.
  FakeBuild b;
  b.make("g++ obj/a.cpp.o -o bin/prog");
  EXPECT_THROW(
      planCompile(b.dir, b.s.root / "elsewhere" / "prog", b.scratch(), "/usr/bin", b.runner()),
      BadInput);
  fs::remove(b.dir / "build.ninja");
  EXPECT_THROW(b.plan(), BadInput);
  EXPECT_TRUE(b.tools.calls().empty());
}

} // namespace
} // namespace bench32
