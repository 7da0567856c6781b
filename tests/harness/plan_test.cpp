// run/plan: which programs, workloads and configurations a session runs, and every
// mistake in them refused before anything is built, in one line.
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "build/build.hpp"
#include "exec/errors.hpp"
#include "model/results.hpp"
#include "model/suite.hpp"
#include "run/plan.hpp"
#include "scripted_runner.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;
using Names = std::vector<std::string>;

// A source tree of small programs, each with ref, smoke and train workloads.
struct Suite {
  Scratch s{"plan"};
  fs::path source = s.root / "source";
  Suite() {
    for (const char* name : {"alpha", "beta", "listmath", "listtree"})
      s.write(std::string("source/benchmarks/") + name + "/workloads.json",
              R"({"workloads": {"ref": {"input": "1\n", "stdout": "r\n"},
                                "smoke": {"input": "2\n", "stdout": "s\n"},
                                "train": {"input": "3\n", "stdout": "t\n"}}})");
  }
};

Names names(const std::vector<ProgramInfo>& programs) {
  Names all;
  for (const auto& p : programs) all.push_back(p.name);
  return all;
}

// The refusal's message, or "" when there is none.
std::string refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const BadInput& e) {
    return e.what();
  }
  return "";
}

TEST(Plan, ProgramsAreChosenByNameOrGlobInSuiteOrder) {
  const Suite suite;
  const auto all = discoverPrograms(suite.source);
  struct Case {
    Names wanted, excluded;
    Names chosen;        // when accepted
    std::string refused; // the whole message
  };
  const Case cases[] = {
      {{}, {}, {"alpha", "beta", "listmath", "listtree"}, ""},
      {{"listtree", "alpha"}, {}, {"alpha", "listtree"}, ""},
      {{"list*"}, {}, {"listmath", "listtree"}, ""},
      {{"list*", "listmath"}, {}, {"listmath", "listtree"}, ""},
      {{}, {"list*"}, {"alpha", "beta"}, ""},
      {{"list*"}, {"*tree"}, {"listmath"}, ""},
      {{"Alpha"}, {}, {}, "--programs: unknown program \"Alpha\"; did you mean \"alpha\"?"},
      // One letter from a known name is a slip for it; further, every name is listed.
      {{"zeta"}, {}, {}, "--programs: unknown program \"zeta\"; did you mean \"beta\"?"},
      {{"omega"},
       {},
       {},
       "--programs: unknown program \"omega\" (known: alpha, beta, listmath, listtree)"},
      {{}, {"LISTMATH"}, {}, "--exclude: unknown program \"LISTMATH\"; did you mean \"listmath\"?"},
      {{"q*"},
       {},
       {},
       "--programs: unknown program \"q*\" (known: alpha, beta, listmath, listtree)"},
      {{"list*"}, {"list*"}, {}, "no program left to run after --exclude"},
  };
  for (const auto& c : cases) {
    const std::string label = ScriptedRunner::joinedWords(c.wanted) + " without " +
                              ScriptedRunner::joinedWords(c.excluded);
    if (!c.refused.empty()) {
      EXPECT_EQ(refusal([&] { selectPrograms(all, c.wanted, c.excluded); }), c.refused) << label;
      continue;
    }
    EXPECT_EQ(names(selectPrograms(all, c.wanted, c.excluded)), c.chosen) << label;
  }
}

TEST(Plan, ConfigurationsAndWorkloadsAreCheckedBeforeAnythingIsBuilt) {
  const Suite suite;
  struct Case {
    const char* what;
    std::function<void(RunOptions&)> options;
    std::string refused; // a part of the message; empty: planned
  };
  const auto none = [](RunOptions&) {};
  const Case cases[] = {
      {"nothing asked", none, ""},
      {"a configuration twice",
       [](RunOptions& o) {
         o.configs = {"a=g++:-O2", "a=clang++:-O2"};
       },
       "configuration \"a\" given twice"},
      {"a configuration and a build of one name",
       [](RunOptions& o) {
         o.configs = {"a=g++:-O2"};
         o.builds = {"a=/tmp/b"};
       },
       "configuration \"a\" given twice"},
      {"an anchor alone", [](RunOptions& o) { o.anchor = "old=/tmp/old"; },
       "--anchor is run beside the configurations: give them too (-c or -b)"},
      {"an anchor named as a configuration",
       [](RunOptions& o) {
         o.configs = {"old=g++:-O2"};
         o.anchor = "old=/tmp/old";
       },
       "configuration \"old\" given twice"},
      {"an unknown workload",
       [](RunOptions& o) {
         o.workloads = {"ref", "huge"};
       },
       "--workload: unknown workload \"huge\" (known: ref, smoke, train)"},
      {"no workload", [](RunOptions& o) { o.workloads = {}; }, "--workload needs a name"},
      {"an unknown program", [](RunOptions& o) { o.programs = {"Beta"}; }, "did you mean \"beta\""},
      {"deciding one configuration",
       [](RunOptions& o) {
         o.configs = {"a=g++:-O2"};
         o.settings.decide = DecidePlan{};
       },
       "--decide compares configurations: give at least two (-c or -b)"},
      {"deciding against no configuration",
       [](RunOptions& o) {
         o.configs = {"a=g++:-O2", "b=g++:-O3"};
         o.settings.decide = DecidePlan{};
         o.settings.decide->baseline = "c";
       },
       "--baseline c: no such configuration"},
      {"a bad configuration", [](RunOptions& o) { o.configs = {"a=g++"}; },
       "expected NAME=COMPILER:FLAGS"},
  };
  for (const auto& c : cases) {
    RunOptions options;
    c.options(options);
    if (!c.refused.empty()) {
      const std::string message = refusal([&] { makePlan(options, suite.source); });
      EXPECT_NE(message.find(c.refused), std::string::npos) << c.what << ": " << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << c.what;
      continue;
    }
    EXPECT_EQ(refusal([&] { makePlan(options, suite.source); }), "") << c.what;
  }
}

TEST(Plan, WithoutConfigurationsTheReleaseBuildIsRun) {
  const Suite suite;
  RunOptions options;
  options.workloads = {"smoke", "ref", "smoke"};
  options.buildRoot = (suite.s.root / "elsewhere").string();
  const Plan plan = makePlan(options, suite.source);
  ASSERT_EQ(plan.recipes.size(), 1u);
  EXPECT_EQ(plan.recipes[0].info.name, "release");
  EXPECT_EQ(plan.recipes[0].kind, BuildKind::preset);
  // The preset's folder is where the preset puts it, whatever --build-root says.
  EXPECT_EQ(plan.recipes[0].info.buildDir, (suite.source / "build" / "release").string());
  EXPECT_EQ(plan.workloads, (Names{"smoke", "ref"}));
  EXPECT_EQ(names(plan.programs), (Names{"alpha", "beta", "listmath", "listtree"}));
  ASSERT_EQ(plan.expected.size(), 8u);
  EXPECT_EQ(plan.expected.at({"beta", "smoke"})->input, "2\n");
  EXPECT_EQ(plan.anchor, "");
}

TEST(Plan, ConfigurationsBuildsAndTheAnchorKeepTheirOrderAndKinds) {
  const Suite suite;
  RunOptions options;
  options.configs = {"gcc=g++:-O2", "clang=clang++:-O2 -g"};
  options.builds = {"mine=" + (suite.s.root / "mine").string()};
  options.anchor = "old=" + (suite.s.root / "old").string();
  options.buildRoot = (suite.s.root / "root").string();
  const Plan plan = makePlan(options, suite.source);
  struct Want {
    const char* name;
    BuildKind kind;
    fs::path dir;
  };
  const Want wants[] = {
      {"gcc", BuildKind::owned, suite.s.root / "root" / "cfg-gcc"},
      {"clang", BuildKind::owned, suite.s.root / "root" / "cfg-clang"},
      {"mine", BuildKind::existing, suite.s.root / "mine"},
      {"old", BuildKind::pinned, suite.s.root / "old"},
  };
  ASSERT_EQ(plan.recipes.size(), std::size(wants));
  for (std::size_t i = 0; i < std::size(wants); ++i) {
    EXPECT_EQ(plan.recipes[i].info.name, wants[i].name);
    EXPECT_EQ(plan.recipes[i].kind, wants[i].kind) << wants[i].name;
    EXPECT_EQ(plan.recipes[i].info.buildDir, wants[i].dir.string()) << wants[i].name;
  }
  EXPECT_EQ(plan.recipes[1].info.flags, "-O2 -g");
  EXPECT_EQ(plan.anchor, "old");
}

TEST(Plan, ASourceTreeWithoutProgramsIsRefused) {
  const Scratch s("plan-empty");
  fs::create_directories(s.root / "benchmarks");
  EXPECT_NE(refusal([&] { makePlan(RunOptions{}, s.root); }).find("no programs in benchmarks/"),
            std::string::npos);
}

} // namespace
} // namespace bench32
