// A program's workloads.json: every key known, every mistake one line naming the file
// and what is wrong.
#include <fstream>

#include <gtest/gtest.h>

#include "exec/expectation.hpp"

namespace bench32 {
namespace {

std::string writeWorkloads(const std::string& name, const std::string& text) {
  const std::string file = testing::TempDir() + name + "-workloads.json";
  std::ofstream(file) << text;
  return file;
}

TEST(Workloads, MistakesAreRefusedNamingTheFileAndTheKey) {
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
    }
  }
}

TEST(Workloads, EveryDocumentedKeyIsRead) {
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

} // namespace
} // namespace bench32
