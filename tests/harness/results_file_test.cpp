// model/results_file: results files written and read back whole, and refused with a
// reason when they are bad.

#include "model/results_file.hpp"

#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "results_fixtures.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(ResultsFile, JsonRoundTripKeepsEverything) {
  Results before = sampleResults();
  before.anchor = "gcc-O2";
  const json doc = toJson(before);
  const Results after = resultsFromJson(json::parse(doc.dump()));
  EXPECT_EQ(toJson(after), doc);
  ASSERT_EQ(after.units.size(), 2u);
  EXPECT_EQ(after.units[0].samples[1].wall, 0.125);
  EXPECT_EQ(after.units[0].samples[1].maxRssKiB, 2049);
  EXPECT_EQ(*after.units[0].instructions, 123456789012u);
  EXPECT_FALSE(after.units[1].textBytes.has_value());
  EXPECT_EQ(after.units[1].failure, before.units[1].failure);
  EXPECT_FALSE(after.complete);
  EXPECT_EQ(after.anchor, "gcc-O2");
}

TEST(ResultsFile, TheTargetIsKeptAndNamedOnlyWhenItIsNotTheBuildHost) {
  Results results = sampleResults();
  results.environment["host"] = "builder";
  results.environment["kernel"] = "Linux 6.1 x86_64";
  const auto here = thisMachine(results.environment);
  const auto there = std::map<std::string, std::string>{{"machine", "armv7l"},
                                                        {"kernel", "Linux 5.10 armv7l"},
                                                        {"cpu", "ARMv7 Processor rev 3"},
                                                        {"cores", "4"},
                                                        {"host", "board"},
                                                        {"remote", "pi@board:bench"}};
  const struct {
    std::map<std::string, std::string> target;
    const char* note; // "" for none
  } cases[] = {
      {{}, ""}, // a file written before the target was recorded
      {here, ""},
      {there, "ran on pi@board:bench (ARMv7 Processor rev 3, 4 cores, armv7l; Linux 5.10 "
              "armv7l), not on the build host builder"},
  };
  for (const auto& c : cases) {
    results.ranOn = c.target;
    const Results back = resultsFromJson(json::parse(toJson(results).dump()));
    EXPECT_EQ(back.ranOn, c.target);
    EXPECT_EQ(toJson(results).contains("target"), !c.target.empty());
    EXPECT_EQ(ranOnNote(back), c.note);
  }
  EXPECT_EQ(here.at("machine"), "x86_64");
}

TEST(ResultsFile, LayoutsRoundTripAndOnlyThenNeedVersionTwo) {
  Results plain = sampleResults();
  Results layered = sampleResults();
  layered.configs[0].linker = "LLD 14";
  UnitResult& u = layered.units[0];
  u.layouts = {{"/b/hailstone.layout-0", "00", 4000}, {"/b/hailstone.layout-1", "11", 4016}};
  u.samples[0].layout = 0;
  u.samples[0].paddingBytes = 4096;
  u.samples[1].layout = 1;
  u.samples[1].paddingBytes = 0;
  for (const auto& [results, version] : {std::pair{plain, 1}, {layered, 2}}) {
    const json doc = toJson(results);
    EXPECT_EQ(doc["version"], version);
    const Results after = resultsFromJson(json::parse(doc.dump()));
    EXPECT_EQ(toJson(after), doc);
    EXPECT_EQ(after.units[0].layouts.size(), results.units[0].layouts.size());
    EXPECT_EQ(after.units[0].samples[0].paddingBytes, results.units[0].samples[0].paddingBytes);
    EXPECT_EQ(after.units[0].samples[1].layout, results.units[0].samples[1].layout);
  }
  EXPECT_EQ(resultsFromJson(toJson(layered)).configs[0].linker, "LLD 14");
}

TEST(ResultsFile, CopiesRoundTripAndOnlyThenNeedVersionThree) {
  Results copied = sampleResults();
  UnitResult& u = copied.units[0];
  u.copies = 2;
  u.rate = {15.5};
  u.samples[0].copy = 0;
  u.samples[1].copy = 1;
  u.samples[0].start = 1.5;
  u.samples[0].end = 1.625;
  u.samples[1].start = 1.5078125;
  u.samples[1].end = 1.6328125;
  const json doc = toJson(copied);
  EXPECT_EQ(doc["version"], 3);
  EXPECT_EQ(doc["results"][0]["samples"]["end_s"], json({1.625, 1.6328125}));
  const Results after = resultsFromJson(json::parse(doc.dump()));
  EXPECT_EQ(toJson(after), doc);
  EXPECT_EQ(after.units[0].copies, 2);
  EXPECT_EQ(metricValues(after.units[0], Metric::rate), std::vector<double>{15.5});
  EXPECT_EQ(after.units[0].samples[1].start, 1.5078125);
  // Without copies: no rate, and no copy lists in the file.
  EXPECT_EQ(toJson(sampleResults())["version"], 1);
  EXPECT_FALSE(toJson(sampleResults())["results"][0]["samples"].contains("copy"));
  EXPECT_TRUE(metricValues(sampleResults().units[0], Metric::rate).empty());
}

// Section sizes are per unit and exact; a section the executable lacks is 0 bytes, and a
// unit whose sections are unknown (not ELF, or a file written before they were
// recorded) has no value at all.
TEST(ResultsFile, SectionSizesAreMetricsAndOlderFilesStillRead) {
  const Results r = resultsFromJson(json::parse(toJson(sampleResults()).dump()));
  struct Case {
    const char* metric;
    std::vector<double> hailstone;
  };
  const Case cases[] = {{"size.text", {4957}}, {"size.rodata", {452}},  {"size.data", {0}},
                        {"size.bss", {8656}},  {"size.alloc", {15065}}, {"text", {4957}}};
  for (const auto& c : cases) {
    const MetricInfo& m = metricNamed(c.metric);
    EXPECT_TRUE(m.exact) << c.metric;
    EXPECT_EQ(metricValues(r.units[0], m.id), c.hailstone) << c.metric;
    EXPECT_TRUE(metricValues(r.units[1], m.id).empty()) << c.metric;
  }
  EXPECT_TRUE(toJson(r)["results"][1]["binary"]["sections"].is_null());

  // A file from before: no "sections"; .text as ever.
  json old = toJson(sampleResults());
  old["results"][0]["binary"].erase("sections");
  const Results before = resultsFromJson(old);
  EXPECT_FALSE(before.units[0].sections);
  EXPECT_EQ(*before.units[0].textBytes, 4957u);
  EXPECT_TRUE(metricValues(before.units[0], Metric::sizeRodata).empty());
  old["results"][0]["binary"]["sections"] = {{".text", -1}};
  EXPECT_THROW(resultsFromJson(old), BadInput);
}

TEST(ResultsFile, SaveWritesAWholeFileThatLoadsBack) {
  const std::string file = testing::TempDir() + "results-save.json";
  saveResults(file, sampleResults());
  EXPECT_EQ(toJson(loadResults(file)), toJson(sampleResults()));
  EXPECT_FALSE(std::filesystem::exists(file + ".partial"));
  EXPECT_THROW(saveResults("/nonexistent-dir/r.json", sampleResults()), WriteError);
}

TEST(ResultsFile, BadDocumentsAreRejectedWithAReason) {
  const json good = toJson(sampleResults());
  struct Case {
    const char* what;
    std::function<void(json&)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {"not an object", [](json& d) { d = json::array(); }, "not a bench32 results file"},
      {"another schema", [](json& d) { d["schema"] = "other"; }, "not a bench32 results file"},
      {"future version", [](json& d) { d["version"] = 4; }, "version 4"},
      {"version 0", [](json& d) { d["version"] = 0; }, "version 0"},
      {"layouts of another length",
       [](json& d) {
         d["results"][0]["samples"]["layout"] = {0};
         d["results"][0]["samples"]["padding_bytes"] = {0, 1};
       },
       "different lengths"},
      {"layout without padding",
       [](json& d) {
         d["results"][0]["samples"]["layout"] = {0, 1};
       },
       "padding_bytes"},
      {"negative layout",
       [](json& d) {
         d["results"][0]["samples"]["layout"] = {0, -1};
         d["results"][0]["samples"]["padding_bytes"] = {0, 1};
       },
       "samples.layout[1] must be an integer from 0 to"},
      {"no results", [](json& d) { d.erase("results"); }, "results"},
      {"uneven samples", [](json& d) { d["results"][0]["samples"]["user_s"].push_back(1.0); },
       "different lengths"},
      {"negative time", [](json& d) { d["results"][0]["samples"]["wall_s"][0] = -1; },
       "results[0].samples.wall_s[0] must be a number of at least 0, not -1"},
      {"text for a number", [](json& d) { d["results"][0]["samples"]["wall_s"][0] = "x"; }, ""},
      {"unknown status", [](json& d) { d["results"][0]["status"] = "great"; }, "unknown status"},
      {"copies without their times",
       [](json& d) {
         d["results"][0]["samples"]["copy"] = {0, 1};
       },
       "start_s"},
      {"a copy that ends before it starts",
       [](json& d) {
         d["results"][0]["samples"]["copy"] = {0, 1};
         d["results"][0]["samples"]["start_s"] = {1.0, 1.0};
         d["results"][0]["samples"]["end_s"] = {2.0, 0.5};
       },
       "ends before it starts"},
      {"a rate of zero", [](json& d) { d["results"][0]["rate_per_s"] = {0}; }, "rate not above 0"},
      {"version 1.5", [](json& d) { d["version"] = 1.5; }, "version must be an integer"},
      {"version 1e20", [](json& d) { d["version"] = 1e20; }, "version must be an integer"},
      {"version 2**64", [](json& d) { d["version"] = 18446744073709551616.0; },
       "version must be an integer"},
      {"version as text", [](json& d) { d["version"] = "2"; }, "version must be an integer"},
      {"a layout of 1e308",
       [](json& d) {
         d["results"][0]["samples"]["layout"] = {0, 1e308};
         d["results"][0]["samples"]["padding_bytes"] = {0, 1};
       },
       "results[0].samples.layout[1] must be an integer from 0 to 2147483647, not 1e+308"},
      {"padding past an int",
       [](json& d) {
         d["results"][0]["samples"]["layout"] = {0, 1};
         d["results"][0]["samples"]["padding_bytes"] = {0, 4294967296};
       },
       "padding_bytes[1] must be an integer"},
      {"a copy of 2**40",
       [](json& d) {
         d["results"][0]["samples"]["copy"] = {0, 1099511627776};
         d["results"][0]["samples"]["start_s"] = {1.0, 1.0};
         d["results"][0]["samples"]["end_s"] = {2.0, 2.0};
       },
       "copy[1] must be an integer"},
      {"copies of 1e20", [](json& d) { d["results"][0]["copies"] = 1e20; },
       "results[0].copies must be an integer from 1"},
      {"translation units of -1",
       [](json& d) {
         d["results"][0]["compile"] = {{"translation_units", -1}};
       },
       "compile.translation_units must be an integer"},
      {"an infinite wall time", [](json& d) { d["results"][0]["samples"]["wall_s"][0] = INFINITY; },
       "wall_s[0] must be a number"},
      {"a negative instruction count",
       [](json& d) { d["results"][0]["instructions"]["count"] = -5; },
       "results[0].instructions.count must be an integer from 0"},
      {"a configuration named twice", [](json& d) { d["configs"].push_back(d["configs"][0]); },
       "configs[1].name: a second configuration named \"gcc-O2\""},
      {"a result for a configuration not in configs",
       [](json& d) { d["results"][1]["config"] = "clang-O2"; },
       "results[1]: configuration \"clang-O2\" is not in configs"},
      {"an anchor that is not a configuration", [](json& d) { d["anchor"] = "clang-O2"; },
       "anchor: configuration \"clang-O2\" is not in configs"},
      {"an anchor that is not a name", [](json& d) { d["anchor"] = 3; }, "anchor must be a string"},
      {"a result given twice", [](json& d) { d["results"].push_back(d["results"][0]); },
       "results[2]: a second result for gcc-O2 hailstone/ref"},
      {"a configuration name over two lines", [](json& d) { d["configs"][0]["name"] = "gcc\nO2"; },
       "configs[0].name holds control characters: \"gcc\\nO2\""},
      {"a status over two lines", [](json& d) { d["results"][0]["status"] = "ok\n\x1b[2J"; },
       "results[0].status: unknown status \"ok\\n\\x1b[2J\""},
      {"settings that are not numbers", [](json& d) { d["settings"]["runs"] = "many"; },
       "settings.runs must be a finite number"},
      {"configs that are not a list", [](json& d) { d["configs"] = 3; }, "configs must be a list"},
      {"a result that is not an object", [](json& d) { d["results"][0] = 3; },
       "results[0] must be an object"},
  };
  for (const auto& c : cases) {
    json doc = good;
    c.spoil(doc);
    try {
      resultsFromJson(doc);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const BadInput& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
  // Free text is kept, made one line.
  json spoilt = good;
  spoilt["results"][1]["failure"] = "wrong\nanswer";
  spoilt["stop_reason"] = "\x1b[31mstopped";
  const Results read = resultsFromJson(spoilt);
  EXPECT_EQ(read.units[1].failure, "wrong\\nanswer");
  EXPECT_EQ(read.stopReason, "\\x1b[31mstopped");

  const std::string file = testing::TempDir() + "results-garbage.json";
  std::ofstream(file) << "{\"schema\": \"bench32-results\", ";
  EXPECT_THROW(loadResults(file), BadInput);
  EXPECT_THROW(loadResults(testing::TempDir() + "no-such-file.json"), BadInput);
}

// What only the text shows: duplicate keys, nesting, the position of bad JSON.
TEST(ResultsFile, BadTextIsRefusedInOneLineNamingTheFile) {
  const std::string good = toJson(sampleResults()).dump();
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const auto layouts = [&](const std::string& path) {
    json doc = toJson(sampleResults());
    doc["results"][0]["layouts"] = {{{"path", "PATH"}}, {{"path", "PATH"}}};
    std::string text = doc.dump();
    text.replace(text.rfind("\"PATH\""), 6, path);
    return text;
  };
  const struct {
    std::string what, text, message;
  } cases[] = {
      {"truncated", good.substr(0, 100), "not valid JSON at line 1, column "},
      {"a duplicate key", "{\"schema\": \"bench32-results\", \"version\": 1, \"version\": 3}",
       "duplicate key \"version\""},
      {"a duplicate key in a result",
       std::string(good).insert(good.find("\"program\""), "\"program\": \"other\", "),
       "duplicate key \"program\" at results[0]"},
      {"10,000 deep in a layout's path", layouts(std::string(10000, '[') + std::string(10000, ']')),
       "too deeply nested (over 64 levels) at results[0].layouts[1].path[0][0]"},
      {"100,000 deep", deep, "too deeply nested"},
      {"a huge number", std::string(good).replace(good.find("\"version\":") + 10, 1, "1e999"),
       "number out of range at line 1"},
  };
  const std::string file = testing::TempDir() + "results-bad-text.json";
  for (const auto& c : cases) {
    std::ofstream(file, std::ios::trunc) << c.text;
    try {
      loadResults(file);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const BadInput& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind(file + ": ", 0), 0u) << c.what << ": " << message;
      EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << c.what;
      EXPECT_EQ(message.find("json.exception"), std::string::npos) << c.what;
      EXPECT_LT(message.size(), file.size() + 260) << c.what;
    }
  }
}

// The harness itself, on the same reproducers: one line, status 2, for every command
// that reads a results file.
TEST(ResultsFile, EveryCommandRefusesABadFileInOneLineWithStatusTwo) {
  const std::string dir = testing::TempDir() + "results-commands-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string good = dir + "/good.json";
  saveResults(good, sampleResults());
  const json doc = toJson(sampleResults());
  const auto spoilt = [&](const std::string& name, const std::function<void(json&)>& spoil) {
    json d = doc;
    spoil(d);
    std::ofstream(dir + "/" + name) << d.dump();
    return dir + "/" + name;
  };
  const auto text = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name) << bytes;
    return dir + "/" + name;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string dumped = doc.dump();
  const std::vector<std::pair<std::string, std::string>> files = {
      {spoilt("version-1e20.json", [](json& d) { d["version"] = 1e20; }), "version must be"},
      {text("version-2-64.json", std::string(dumped).replace(dumped.find("\"version\":") + 10, 1,
                                                             "18446744073709551616")),
       "version must be"},
      {spoilt("layout-1e308.json",
              [](json& d) {
                d["results"][0]["samples"]["layout"] = {0, 1e308};
                d["results"][0]["samples"]["padding_bytes"] = {0, 0};
              }),
       "layout[1] must be an integer"},
      {spoilt("config-twice.json", [](json& d) { d["configs"].push_back(d["configs"][0]); }),
       "a second configuration named"},
      {spoilt("newline-name.json", [](json& d) { d["configs"][0]["name"] = "gcc\nO2"; }),
       "holds control characters"},
      {text("deep.json", std::string(dumped).insert(dumped.size() - 1, ", \"x\": " + deep)),
       "too deeply nested"},
      {text("duplicate.json", std::string(dumped).insert(1, "\"complete\": true, ")),
       "duplicate key \"complete\""},
      {text("truncated.json", dumped.substr(0, dumped.size() / 2)), "not valid JSON at line 1"},
  };
  for (const auto& [file, message] : files) {
    for (const std::vector<std::string>& command : {std::vector<std::string>{"show", file},
                                                    {"compare", good, file},
                                                    {"score", good, "--reference", file},
                                                    {"report", file, "-o", dir + "/r.html"}}) {
      RunRequest request;
      request.argv = {BENCH32_HARNESS};
      request.argv.insert(request.argv.end(), command.begin(), command.end());
      const RunResult r = runProcess(request);
      const std::string what = command[0] + " " + file;
      EXPECT_EQ(r.exitStatus, 2) << what << ": " << r.stderrBytes;
      EXPECT_EQ(r.stderrBytes.rfind("bench32: " + file + ": ", 0), 0u)
          << what << ": " << r.stderrBytes;
      EXPECT_NE(r.stderrBytes.find(message), std::string::npos) << what << ": " << r.stderrBytes;
      EXPECT_EQ(r.stderrBytes.find('\n'), r.stderrBytes.size() - 1)
          << what << ": " << r.stderrBytes;
    }
  }
  std::filesystem::remove_all(dir);
}

} // namespace

} // namespace bench32
