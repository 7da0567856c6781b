// A program's workloads.json: every key known, every mistake one line naming the file
// and what is wrong.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "exec/expectation.hpp"
#include "exec/process.hpp"

namespace bench32 {
namespace {

std::string writeWorkloads(const std::string& name, const std::string& text) {
  const std::string file = testing::TempDir() + name + "-workloads.json";
  std::ofstream(file) << text;
  return file;
}

TEST(Expectation, MistakesAreRefusedNamingTheFileAndTheKey) {
  const std::string good = R"("smoke": {"input": "7\n", "stdout": "7\n"})";
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"entry-key", R"({"workloads": {"smoke": {"stdout": "", "stauts": 2}}})",
       "entry \"smoke\": unknown key \"stauts\""},
      {"top-key", R"({"workload": {)" + good + "}}", "unknown key \"workload\""},
      {"input-part",
       R"({"workloads": {"smoke": {"input": [{"repeat": "1 ", "time": 3}], "stdout": ""}}})",
       "unknown key \"time\" in an input part"},
      {"profile-key",
       R"({"workloads": {)" + good +
           R"(}, "robustness": {"why": "", "reads": 1, "ranges": [[0, 1]], "signal": []}})",
       "unknown key \"signal\" in \"robustness\""},
      {"profile-range",
       R"({"workloads": {)" + good +
           R"(}, "robustness": {"why": "", "reads": 1, "ranges": [[5, 1]]}})",
       "a range is [low, high]"},
      {"profile-signal",
       R"({"workloads": {)" + good +
           R"(}, "robustness": {"why": "", "reads": 1, "ranges": [[0, 1]], "signals": ["SIGNOPE"]}})",
       "unknown signal SIGNOPE"},
      {"name-key", R"({"workloads": {"smoke": {"name": "x", "stdout": ""}}})",
       "entry \"smoke\": unknown key \"name\""},
      {"no-stdout", R"({"workloads": {"smoke": {"input": ""}}})", "needs \"stdout\""},
      // 2^63 repeats of two bytes wrap round to 0 bytes when multiplied.
      {"huge-repeat",
       R"({"workloads": {"smoke": {"input": [{"repeat": "12", "times": 9223372036854775808}], "stdout": ""}}})",
       "input larger than 1 GiB"},
      {"train-is-ref",
       R"({"workloads": {)" + good +
           R"(, "ref": {"input": "9\n", "stdout": "9\n"}, "train": {"input": ["9", "\n"], "stdout": "9\n"}}})",
       "workload \"train\" has the input of \"ref\""},
      {"negative-repeat",
       R"({"workloads": {"smoke": {"input": [{"repeat": "1", "times": -1}], "stdout": ""}}})",
       "\"times\" must be a count"},
      {"negative-stdout-size",
       R"({"workloads": {"smoke": {"stdout_xxh3": "00000000000000ff", "stdout_size": -5}}})",
       "entry \"smoke\": stdout_size must be an integer from 0 to 9223372036854775807, not -5"},
      {"fractional-status", R"({"workloads": {"smoke": {"stdout": "", "status": 0.5}}})",
       "entry \"smoke\": status must be an integer from 0 to 255, not 0.5"},
      {"status-as-text", R"({"workloads": {"smoke": {"stdout": "", "status": "1"}}})",
       "status must be an integer"},
      {"status-and-signal",
       R"({"workloads": {"smoke": {"stdout": "", "status": 1, "signal": "SIGFPE"}}})",
       "\"status\" or \"signal\", not both"},
      {"stdout-and-digest",
       R"({"workloads": {"smoke": {"stdout": "", "stdout_xxh3": "00000000000000ff", "stdout_size": 0}}})",
       "entry \"smoke\": \"stdout\" or \"stdout_xxh3\" with \"stdout_size\", not both"},
      {"stdout-and-size", R"({"workloads": {"smoke": {"stdout": "", "stdout_size": 0}}})",
       "not both"},
      {"short-digest", R"({"workloads": {"smoke": {"stdout_xxh3": "ff", "stdout_size": 0}}})",
       "stdout_xxh3 must be 16 hexadecimal digits"},
      {"digest-not-hex",
       R"({"workloads": {"smoke": {"stdout_xxh3": "12zz567890abcdef", "stdout_size": 0}}})",
       "stdout_xxh3 must be 16 hexadecimal digits"},
      {"negative-min-instructions",
       R"({"workloads": {"smoke": {"stdout": "", "min_instructions": -5}}})",
       "entry \"smoke\": min_instructions must be an integer from 0"},
      {"duplicate-key", R"({"workloads": {"smoke": {"stdout": "", "status": 1, "status": 2}}})",
       "duplicate key \"status\" at workloads.smoke"},
      {"duplicate-workload",
       R"({"workloads": {"smoke": {"stdout": ""}, "smoke": {"stdout": "x"}}})",
       "duplicate key \"smoke\" at workloads"},
      {"empty-repeat-for-ever",
       R"({"workloads": {"smoke": {"input": [{"repeat": "", "times": 1000000000000}], "stdout": ""}}})",
       "input[0].times must be at most 1073741824"},
      {"fractional-times",
       R"({"workloads": {"smoke": {"input": [{"repeat": "1", "times": 2.5}], "stdout": ""}}})",
       "\"times\" must be a count"},
      {"repeat-of-a-number",
       R"({"workloads": {"smoke": {"input": [{"repeat": 1, "times": 2}], "stdout": ""}}})",
       "input[0].repeat must be a string"},
      {"parts-past-the-cap",
       R"({"workloads": {"smoke": {"input": [{"repeat": "12", "times": 536870912}, "x"], "stdout": ""}}})",
       "input larger than 1 GiB"},
      {"a-device", R"({"workloads": {"smoke": {"input": [{"file": "/dev/zero"}], "stdout": ""}}})",
       "entry \"smoke\": /dev/zero: not a regular file"},
      {"a-folder", R"({"workloads": {"smoke": {"input": {"file": "."}, "stdout": ""}}})",
       "not a regular file"},
      {"no-such-file", R"({"workloads": {"smoke": {"input": {"file": "nope.in"}, "stdout": ""}}})",
       "nope.in: cannot open"},
      {"deep-note",
       R"({"workloads": {"smoke": {"stdout": "", "note": )" + std::string(100000, '[') +
           std::string(100000, ']') + "}}}",
       "too deeply nested (over 64 levels) at workloads.smoke.note[0]"},
      {"note-of-a-number", R"({"workloads": {"smoke": {"stdout": "", "note": 5}}})",
       "entry \"smoke\": note must be a string, not 5"},
      {"two-line-name", R"({"workloads": {"sm\noke": {"stdout": ""}}})",
       "workload \"sm\\noke\" must be a name on one line"},
      {"workloads-a-list", R"({"workloads": []})", "\"workloads\" must be an object"},
      {"bad-json", "{\"workloads\": {\n  \"smoke\": {\"stdout\": \"\", }}}",
       "not valid JSON at line 2, column 27"},
      {"reads-as-a-fraction",
       R"({"workloads": {)" + good +
           R"(}, "robustness": {"why": "", "reads": 1.5, "ranges": [[0, 1]]}})",
       "robustness.reads must be an integer from 0"},
      {"range-past-32-bits",
       R"({"workloads": {)" + good +
           R"(}, "robustness": {"why": "", "reads": 1, "ranges": [[0, 1e300]]}})",
       "robustness.ranges[0][1] must be an integer from -2147483648 to 2147483647"},
  };
  for (const auto& c : cases) {
    const std::string file = writeWorkloads(c.name, c.text);
    try {
      loadProgramFacts(file);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const BadInput& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind(file + ": ", 0), 0u) << c.name << ": " << message;
      EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << c.name << ": " << message;
      EXPECT_EQ(message.find("json.exception"), std::string::npos) << c.name << ": " << message;
    }
  }
}

TEST(Expectation, CasesAreCheckedAsWorkloadsAre) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {R"({"cases": [{"name": "a", "stdout": ""}, {"name": "a", "stdout": ""}]})",
       "cases.json: cases[1]: a second case named \"a\""},
      {R"({"cases": [{"stdout": ""}]})", "cases.json: cases[0]: needs a \"name\""},
      {R"({"cases": [{"name": 7, "stdout": ""}]})", "cases[0].name must be a string"},
      {R"({"cases": [{"name": "a", "stdout": "", "status": 256}]})",
       "entry \"a\": status must be an integer from 0 to 255, not 256"},
      {R"({"cases": {}})", "\"cases\" must be a list"},
  };
  for (const auto& c : cases) {
    try {
      parseCases(c.text, "cases.json", {});
      ADD_FAILURE() << c.text << ": accepted";
    } catch (const BadInput& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// File parts are read through the source's seam, and the cap counts every part.
TEST(Expectation, InputsAreCappedBeforeTheyAreBuilt) {
  InputSource source;
  source.maxBytes = 10;
  std::vector<std::pair<std::string, std::uint64_t>> asked;
  source.readPart = [&](const std::string& name, std::uint64_t limit) {
    asked.emplace_back(name, limit);
    return std::string("abc");
  };
  const auto input = [&](const std::string& parts) {
    return parseProgramFacts(R"({"workloads": {"w": {"stdout": "", "input": )" + parts + "}}}",
                             "w.json", source)
        .workloads.at("w")
        .input;
  };
  EXPECT_EQ(input(R"(["12", {"file": "x.in"}, {"repeat": "", "times": 1073741824}])"), "12abc");
  EXPECT_EQ(asked, (std::vector<std::pair<std::string, std::uint64_t>>{{"x.in", 8}}));
  EXPECT_EQ(input(R"([{"repeat": "ab", "times": 5}])"), "ababababab");
  EXPECT_THROW(input(R"([{"repeat": "ab", "times": 5}, "c"])"), BadInput);
  EXPECT_THROW(input(R"(["123456789", {"file": "x.in"}])"), BadInput);

  // A file on disk is checked against the cap before it is read.
  const std::string dir = testing::TempDir();
  std::ofstream(dir + "eleven.in") << "01234567890";
  InputSource disk{dir, 10, {}};
  EXPECT_THROW(
      parseProgramFacts(R"({"workloads": {"w": {"stdout": "", "input": {"file": "eleven.in"}}}})",
                        "w.json", disk),
      BadInput);
  // A pipe nobody writes to is refused at once, not waited on.
  const std::string fifo = dir + "silent.fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(
      parseProgramFacts(R"({"workloads": {"w": {"stdout": "", "input": {"file": "silent.fifo"}}}})",
                        "w.json", disk),
      BadInput);
  disk.maxBytes = 11;
  EXPECT_EQ(
      parseProgramFacts(R"({"workloads": {"w": {"stdout": "", "input": {"file": "eleven.in"}}}})",
                        "w.json", disk)
          .workloads.at("w")
          .input,
      "01234567890");
}

TEST(Expectation, EveryDocumentedKeyIsRead) {
  const std::string file = writeWorkloads("full", R"({
    "workloads": {
      "smoke": {"note": "n", "input": ["1", {"repeat": " 2", "times": 2}], "stdout": "x",
                "status": 3, "min_instructions": 42},
      "ref": {"input": "", "stdout_xxh3": "00000000000000ff", "stdout_size": 9, "signal": "SIGFPE"}
    },
    "robustness": {"why": "w", "reads": 2, "ranges": [[-2147483648, 2147483647], [0, 9]],
                   "end_marker": "third", "signals": ["SIGFPE"]}})");
  const ProgramFacts facts = loadProgramFacts(file);
  const Expectation& smoke = facts.workloads.at("smoke");
  EXPECT_EQ(smoke.input, "1 2 2");
  EXPECT_EQ(smoke.status, 3);
  EXPECT_EQ(smoke.note, "n");
  EXPECT_EQ(facts.workloads.at("ref").note, "");
  EXPECT_EQ(smoke.minInstructions, 42u);
  const Expectation& ref = facts.workloads.at("ref");
  EXPECT_EQ(ref.stdoutDigest, 0xffu);
  EXPECT_EQ(ref.stdoutSize, 9u);
  EXPECT_EQ(signalName(ref.signal), "SIGFPE");
  ASSERT_TRUE(facts.robustness);
  EXPECT_EQ(facts.robustness->ranges.size(), 2u);
  EXPECT_EQ(facts.robustness->ranges[0].first, -2147483648);
  EXPECT_EQ(facts.robustness->endMarker, "third");
  EXPECT_EQ(facts.robustness->signals, std::vector<std::string>{"SIGFPE"});
}

// The reproducers through `run`: refused before anything runs, in one line with status 2,
// and promptly (an empty part repeated 10^12 times once ran for ever).
TEST(Expectation, RunRefusesABadWorkloadInOneLineWithStatusTwo) {
  namespace fs = std::filesystem;
  const fs::path root =
      fs::path(testing::TempDir()) / ("workloads-run-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "build" / "bin");
  fs::create_directories(root / "benchmarks" / "p");
  fs::create_symlink(BENCH32_FAKE_PROGRAM, root / "build" / "bin" / "p");
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const struct {
    std::string entry, message;
  } cases[] = {
      {R"({"stdout_xxh3": "00000000000000ff", "stdout_size": -5})", "stdout_size must be"},
      {R"({"stdout": "", "status": 0.5})", "status must be an integer from 0 to 255"},
      {R"({"stdout": "", "stdout_xxh3": "00000000000000ff", "stdout_size": 0})", "not both"},
      {R"({"stdout": "", "min_instructions": -5})", "min_instructions must be"},
      {R"({"stdout": "", "status": 0, "status": 1})", "duplicate key \"status\""},
      {R"({"stdout": "", "input": [{"repeat": "", "times": 1000000000000}]})",
       "times must be at most"},
      {R"({"stdout": "", "input": [{"file": "/dev/zero"}]})", "/dev/zero: not a regular file"},
      {R"({"stdout": "", "note": )" + deep + "}", "too deeply nested"},
  };
  const std::string file = (root / "benchmarks" / "p" / "workloads.json").string();
  for (const auto& c : cases) {
    std::ofstream(file, std::ios::trunc) << R"({"workloads": {"smoke": )" + c.entry + "}}";
    RunRequest request;
    request.argv = {BENCH32_HARNESS,
                    "--source",
                    root.string(),
                    "run",
                    "--no-build",
                    "-b",
                    "fake=" + (root / "build").string(),
                    "-w",
                    "smoke",
                    "--warmup",
                    "0",
                    "-n",
                    "1"};
    request.timeout = std::chrono::seconds(30);
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = runProcess(request);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.message;
    EXPECT_EQ(r.exitStatus, 2) << c.message << ": " << r.stderrBytes;
    EXPECT_EQ(r.stderrBytes.rfind("bench32: " + file + ": ", 0), 0u) << r.stderrBytes;
    EXPECT_NE(r.stderrBytes.find(c.message), std::string::npos) << r.stderrBytes;
    EXPECT_EQ(r.stderrBytes.find('\n'), r.stderrBytes.size() - 1) << r.stderrBytes;
  }
  fs::remove_all(root);
}

} // namespace
} // namespace bench32
