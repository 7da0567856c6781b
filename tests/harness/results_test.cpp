#include <unistd.h>

#include <fstream>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "measure/build.hpp"
#include "measure/environment.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "output/export/exporter.hpp"
#include "output/table.hpp"

namespace bench32 {
namespace {

using nlohmann::json;

Results sampleResults() {
  Results r;
  r.created = "2026-01-01T00:00:00Z";
  r.command = {"bench32-harness", "run"};
  r.environment = {{"cpu", "a \"quoted\" CPU"}, {"kernel", "Linux"}};
  r.settings = {{"warmup", 1}, {"precision", 0.01}};
  r.runUnder = "qemu-i386 -L /usr/i686-linux-gnu";
  r.configs = {{"gcc-O2", "g++", "g++ 12", "-O2", "/b/cfg-gcc-O2", ""}};
  UnitResult ok;
  ok.config = "gcc-O2";
  ok.program = "hailstone";
  ok.workload = "ref";
  ok.status = Status::ok;
  ok.binary = "/b/cfg-gcc-O2/bin/hailstone";
  ok.binaryXxh3 = "0123456789abcdef";
  ok.inputXxh3 = "fedcba9876543210";
  ok.textBytes = 4957;
  ok.sections = {{{".text", 4957}, {".rodata", 452}, {".bss", 8656}, {".eh_frame", 1000}}};
  ok.warmup = {{0.5, 0.4, 0.1, 1000}};
  ok.samples = {{0.25, 0.2, 0.01, 2048}, {0.125, 0.1, 0, 2049}};
  ok.instructions = 123456789012;
  ok.instructionsSource = "callgrind";
  UnitResult failed;
  failed.config = "gcc-O2";
  failed.program = "pegs";
  failed.workload = "ref";
  failed.status = Status::failed;
  failed.failure = "stdout differs at line 2 (byte 7): expected \"1\\x0a\", got \"2\\x0a\"";
  r.units = {ok, failed};
  r.complete = false;
  r.stopReason = "interrupted";
  return r;
}

TEST(Results, JsonRoundTripKeepsEverything) {
  const Results before = sampleResults();
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
}

TEST(Results, LayoutsRoundTripAndOnlyThenNeedVersionTwo) {
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

// Section sizes are per unit and exact; a section the executable lacks is 0 bytes, and a
// unit whose sections are unknown (not ELF, or a file written before they were
// recorded) has no value at all.
TEST(Results, SectionSizesAreMetricsAndOlderFilesStillRead) {
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

TEST(Results, SaveWritesAWholeFileThatLoadsBack) {
  const std::string file = testing::TempDir() + "results-save.json";
  saveResults(file, sampleResults());
  EXPECT_EQ(toJson(loadResults(file)), toJson(sampleResults()));
  EXPECT_FALSE(std::filesystem::exists(file + ".partial"));
  EXPECT_THROW(saveResults("/nonexistent-dir/r.json", sampleResults()), WriteError);
}

TEST(Results, BadDocumentsAreRejectedWithAReason) {
  const json good = toJson(sampleResults());
  struct Case {
    const char* what;
    std::function<void(json&)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {"not an object", [](json& d) { d = json::array(); }, "not a bench32 results file"},
      {"another schema", [](json& d) { d["schema"] = "other"; }, "not a bench32 results file"},
      {"future version", [](json& d) { d["version"] = 3; }, "version 3"},
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
       "negative layout"},
      {"no results", [](json& d) { d.erase("results"); }, "results"},
      {"uneven samples", [](json& d) { d["results"][0]["samples"]["user_s"].push_back(1.0); },
       "different lengths"},
      {"negative time", [](json& d) { d["results"][0]["samples"]["wall_s"][0] = -1; }, "negative"},
      {"text for a number", [](json& d) { d["results"][0]["samples"]["wall_s"][0] = "x"; }, ""},
      {"unknown status", [](json& d) { d["results"][0]["status"] = "great"; }, "unknown status"},
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
  const std::string file = testing::TempDir() + "results-garbage.json";
  std::ofstream(file) << "{\"schema\": \"bench32-results\", ";
  EXPECT_THROW(loadResults(file), BadInput);
  EXPECT_THROW(loadResults(testing::TempDir() + "no-such-file.json"), BadInput);
}

// The machine's state that moves timings, read from a stand-in for /sys and /proc.
TEST(Results, ProcessorStateIsReadForTheProcessorsUsed) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::map<std::string, std::string> files; // path under the root -> first line
    std::vector<int> cpus;
    std::map<std::string, std::string> expected;
  };
  const std::string siblings = "sys/devices/system/cpu/cpu{}/topology/thread_siblings_list";
  auto sibling = [&](int cpu) { return fmt::format(fmt::runtime(siblings), cpu); };
  const Case cases[] = {
      {"intel, turbo off, two threads of one core",
       {{"sys/devices/system/cpu/intel_pstate/no_turbo", "1"},
        {"sys/devices/system/cpu/cpufreq/boost", "1"},
        {"proc/sys/kernel/randomize_va_space", "2"},
        {sibling(0), "0,4"},
        {sibling(4), "0,4"},
        {sibling(1), "1,5"}},
       {0, 1, 4},
       {{"cpu_affinity", "0-1,4"}, {"turbo", "off"}, {"aslr", "2"}, {"smt_siblings", "0,4; 1,5"}}},
      {"intel, turbo on",
       {{"sys/devices/system/cpu/intel_pstate/no_turbo", "0"}, {sibling(2), "2"}},
       {2},
       {{"cpu_affinity", "2"}, {"turbo", "on"}, {"aslr", "unknown"}, {"smt_siblings", "2"}}},
      {"cpufreq boost off, ASLR off",
       {{"sys/devices/system/cpu/cpufreq/boost", "0"}, {"proc/sys/kernel/randomize_va_space", "0"}},
       {3},
       {{"turbo", "off"}, {"aslr", "0"}, {"smt_siblings", "unknown"}}},
      {"cpufreq boost on", {{"sys/devices/system/cpu/cpufreq/boost", "1"}}, {0}, {{"turbo", "on"}}},
      {"nothing known", {}, {0, 1}, {{"turbo", "unknown"}, {"smt_siblings", "unknown"}}},
      {"one core of two unknown", {{sibling(0), "0"}}, {0, 1}, {{"smt_siblings", "unknown"}}},
  };
  for (const auto& c : cases) {
    const fs::path root = fs::path(testing::TempDir()) / ("machine-" + std::to_string(getpid()));
    fs::remove_all(root);
    for (const auto& [path, line] : c.files) {
      fs::create_directories((root / path).parent_path());
      std::ofstream(root / path) << line << "\n";
    }
    const auto state = captureProcessorState(c.cpus, root);
    for (const auto& [key, value] : c.expected) {
      ASSERT_TRUE(state.count(key)) << c.name << ": " << key;
      EXPECT_EQ(state.at(key), value) << c.name << ": " << key;
    }
    fs::remove_all(root);
  }
  // Not pinned: the processors this process may use.
  EXPECT_EQ(captureProcessorState({}).at("cpu_affinity"), cpuListText(allowedCpus()));
}

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

TEST(Export, EachFormatEscapesItsSeparatorsAndShowsItsAudiencesColumns) {
  Table t;
  // "a" is for both audiences, "b" for people only, "c" for tools only.
  t.columns = {{"a", "a"}, {"b", "", true}, {"", "c"}};
  t.rows = {{Cell("x,y"), Cell("say \"hi\""), Cell("", "1.5")},
            {Cell("p|q"), Cell("µs"), Cell("<&>")}};
  t.rowTags = {"slower", ""};
  const Document doc{{{"", t, {"a note"}}}};
  struct Case {
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"csv", "a,c\n\"x,y\",1.5\np|q,<&>\n"},
      {"markdown", "| a | b |\n| --- | ---: |\n| x,y | say \"hi\" |\n| p\\|q | µs |\n\na note\n"},
      // Aligned text counts characters, not bytes.
      {"text", "a           b\n---  --------\nx,y  say \"hi\"\np|q        µs\na note\n"},
      {"json", "\"c\": 1.5"},
      {"html", "<tr class='slower'><td>x,y</td><td class='n'>say &quot;hi&quot;</td></tr>"},
  };
  for (const auto& c : cases) {
    const std::string out = exporterNamed(c.format).render(doc);
    if (std::string(c.format) == "json" || std::string(c.format) == "html")
      EXPECT_NE(out.find(c.expected), std::string::npos) << c.format << ":\n" << out;
    else
      EXPECT_EQ(out, c.expected) << c.format;
  }
  EXPECT_THROW(exporterNamed("xml"), BadInput);
  // Every format has its own name, and the JSON one is valid JSON.
  std::set<std::string> names;
  for (const Exporter* e : exporters()) EXPECT_TRUE(names.insert(e->name()).second);
  EXPECT_TRUE(json::accept(jsonExporter().render(doc)));
}

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
