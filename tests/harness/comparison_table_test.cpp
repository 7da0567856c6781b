// output/comparison_table: the notes that say how far a comparison can be trusted, and
// the table's columns for tools.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/compare.hpp"
#include "compare_fixtures.hpp"
#include "model/results.hpp"
#include "output/comparison_table.hpp"
#include "output/export/exporter.hpp"
#include "output/table.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(ComparisonTable, BusyRunsIdenticalBinariesAndDifferentConditionsAreNamed) {
  struct Run {
    double wall, user, system;
    bool busy;
  };
  const Run runs[] = {
      {1.0, 0.9, 0.09, false},   {0.002, 0.0015, 0, false}, {1.0, 0.5, 0.1, true},
      {0.05, 0.01, 0.005, true}, {0.009, 0, 0, false}, // too short to tell from how user and system
                                                       // time are counted
  };
  for (const auto& r : runs)
    EXPECT_EQ(busyRun({r.wall, r.user, r.system, 0}), r.busy) << r.wall << " " << r.user;

  struct Case {
    const char* name;
    std::map<std::string, std::string> baseEnvironment, otherEnvironment;
    bool sameBinary;
    std::vector<const char*> notes; // each must appear
    std::vector<const char*> absent;
  };
  const std::map<std::string, std::string> quiet{{"host", "a"},
                                                 {"kernel", "Linux 6.1"},
                                                 {"load_before", "0.10 0.2 0.3"},
                                                 {"load_after", "0.20 0.2 0.3"}};
  auto with = [&](std::string key, std::string value) {
    auto env = quiet;
    env[key] = value;
    return env;
  };
  const Case cases[] = {
      {"same conditions", quiet, quiet, false, {}, {"different conditions", "identical"}},
      {"identical binaries", quiet, quiet, true, {"2 of 2 programs ran byte-identical"}, {}},
      {"busier",
       quiet,
       with("load_after", "1.60 1 1"),
       false,
       {"load average 0.20 against 1.60"},
       {}},
      {"other host",
       quiet,
       with("host", "b"),
       false,
       {"different conditions: host a against b"},
       {}},
      {"other governor",
       with("governor", "performance"),
       with("governor", "powersave"),
       false,
       {"governor performance against powersave"},
       {}},
      {"pinned on one side",
       with("cpu_affinity", "0"),
       with("cpu_affinity", "0-1"),
       false,
       {"cpu_affinity 0 against 0-1"},
       {}},
  };
  for (const auto& c : cases) {
    Results a, b;
    a.configs = b.configs = {{"release", "", "", "", "", ""}};
    a.environment = c.baseEnvironment;
    b.environment = c.otherEnvironment;
    a.units = {unit("release", "p", around(1.0, 8)), unit("release", "q", around(2.0, 8))};
    b.units = a.units;
    for (auto& u : a.units) u.binaryXxh3 = "aaaa";
    for (auto& u : b.units) u.binaryXxh3 = c.sameBinary ? "aaaa" : "bbbb";
    const std::vector<Results> files{a, b};
    const auto series = collectSeries(files, {"monday", "tuesday"});
    std::string notes;
    for (const auto& n : noiseNotes(compare(series[0], series[1], CompareSettings{})))
      notes += n + "\n";
    for (const char* n : c.notes)
      EXPECT_NE(notes.find(n), std::string::npos) << c.name << ": " << notes;
    for (const char* n : c.absent)
      EXPECT_EQ(notes.find(n), std::string::npos) << c.name << ": " << notes;
  }
}

// Tools read CSV columns by position as often as by name: their order only grows at
// the end.
TEST(ComparisonTable, ToolColumnsKeepTheirOrder) {
  const Results r = twoConfigs();
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {"r"});
  auto keys = [](const Table& t) {
    std::string line;
    for (std::size_t c : toolColumns(t)) line += (line.empty() ? "" : ",") + t.columns[c].key;
    return line;
  };
  EXPECT_EQ(keys(runTable(r)),
            "config,program,workload,status,runs,outliers,wall_median_s,wall_mad_s,"
            "wall_ci_low_s,wall_ci_high_s,user_median_s,sys_median_s,max_rss_kib,text_bytes,"
            "instructions,failure,busy_runs,size_text_bytes,size_rodata_bytes,size_data_bytes,"
            "size_bss_bytes,size_alloc_bytes");
  EXPECT_EQ(keys(comparisonTable(compare(series[0], series[1], CompareSettings{}))),
            "program,workload,base,other,base_n,other_n,base_median,other_median,ratio,ci_low,"
            "ci_high,p,verdict");
}

} // namespace

} // namespace bench32
