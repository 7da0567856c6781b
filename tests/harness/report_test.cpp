// output/report: the HTML report, its pairs of series, its charts and the tables' script.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "analysis/compare.hpp"
#include "analysis/history.hpp"
#include "compare_fixtures.hpp"
#include "exec/errors.hpp"
#include "model/results.hpp"
#include "output/chart.hpp"
#include "output/export/html.hpp"
#include "output/history_table.hpp"
#include "output/report.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(Report, IsOnePageWithChartsAndEscapedText) {
  Results r = twoConfigs();
  r.configs[1].flags = "-O2 <script>alert(1)</script>";
  const std::vector<Results> files{r};
  const auto series = collectSeries(files, {"r"});
  const std::string html = htmlReport(series, {compare(series[0], series[1], CompareSettings{})});
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;"), std::string::npos);
  // Nothing is fetched when the page is viewed.
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("href="), std::string::npos);
}

// Results holding the named configurations, each with one program.
Results file(const std::vector<std::string>& configs) {
  Results r;
  for (const auto& c : configs) {
    r.configs.push_back({c, "", "", "", "", ""});
    r.units.push_back(unit(c, "p", around(1.0, 6)));
  }
  return r;
}

std::vector<std::pair<std::string, std::string>> labelled(const std::vector<Series>& series,
                                                          const std::vector<SeriesPair>& pairs) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& p : pairs) out.emplace_back(series[p.base].label, series[p.other].label);
  return out;
}

TEST(Report, PairsAConfigurationAcrossFilesAndConfigurationsWithinTheLast) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> files; // each file's configurations
    std::vector<std::string> named;
    std::string baseline;
    Pairs want;
  };
  const std::vector<Case> cases{
      {"one session of two configurations", {{"gcc", "clang"}}, {}, "", {{"gcc", "clang"}}},
      {"two revisions of two configurations",
       {{"gcc", "clang"}, {"gcc", "clang"}},
       {},
       "",
       {{"f0:gcc", "f1:gcc"}, {"f0:clang", "f1:clang"}, {"f1:gcc", "f1:clang"}}},
      {"three revisions: each against the one before",
       {{"gcc"}, {"gcc"}, {"gcc"}},
       {},
       "",
       {{"f0:gcc", "f1:gcc"}, {"f1:gcc", "f2:gcc"}}},
      {"a configuration new in the last file",
       {{"gcc"}, {"gcc", "clang"}},
       {},
       "",
       {{"f0:gcc", "f1:gcc"}, {"f1:gcc", "clang"}}},
      {"files of different configurations", {{"gcc"}, {"clang"}}, {}, "", {{"gcc", "clang"}}},
      {"one series compares nothing", {{"gcc"}}, {}, "", {}},
      {"a pair named by labels that hold colons",
       {{"gcc", "clang"}, {"gcc", "clang"}},
       {"f0:gcc:f1:clang"},
       "",
       {{"f0:gcc", "f1:clang"}}},
      {"pairs named twice",
       {{"gcc", "clang"}},
       {"clang:gcc", "gcc:clang"},
       "",
       {{"clang", "gcc"}, {"gcc", "clang"}}},
      {"every series against a named baseline",
       {{"gcc", "clang"}, {"gcc"}},
       {},
       "clang",
       {{"clang", "f0:gcc"}, {"clang", "f1:gcc"}}},
  };
  for (const auto& c : cases) {
    std::vector<Results> files;
    std::vector<std::string> names;
    for (const auto& configs : c.files) {
      names.push_back("f" + std::to_string(files.size()));
      files.push_back(file(configs));
    }
    const auto series = collectSeries(files, names);
    EXPECT_EQ(labelled(series, reportPairs(series, c.named, c.baseline)), c.want) << c.name;
  }
}

TEST(Report, RefusesPairsItCannotMake) {
  const std::vector<Results> files{file({"gcc", "clang"})};
  const auto series = collectSeries(files, {"f"});
  struct Case {
    const char* name;
    std::vector<std::string> named;
    std::string baseline;
  };
  for (const Case& c : std::vector<Case>{{"an unknown label", {"gcc:icc"}, ""},
                                         {"no colon", {"gcc"}, ""},
                                         {"a series against itself", {"gcc:gcc"}, ""},
                                         {"a pair and a baseline", {"gcc:clang"}, "gcc"},
                                         {"an unknown baseline", {}, "icc"}})
    EXPECT_THROW(reportPairs(series, c.named, c.baseline), BadInput) << c.name;
}

// The report of twoConfigs(), its programs slower, faster and the same.
std::string twoConfigReport() {
  static const std::vector<Results> files{twoConfigs()};
  const auto series = collectSeries(files, {"r"});
  return htmlReport(series, {compare(series[0], series[1], CompareSettings{})});
}

TEST(Report, VerdictsAreWordsAndSignsNotColoursAlone) {
  const std::string html = twoConfigReport();
  struct Case {
    const char* program;
    std::string text;   // beside its mark on the ratio chart
    std::string colour; // of its mark
  };
  const std::vector<Case> cases{
      {"slower", "1.500× +50.0% slower", chart::slowerColour},
      {"faster", "0.800× \u221220.0% faster", chart::fasterColour},
      {"same", "1.000× +0.0% ~", chart::sameColour},
  };
  for (const auto& c : cases) {
    EXPECT_NE(html.find(">" + c.text + "</text>"), std::string::npos) << c.program;
    const auto at = html.find("<title>" + std::string(c.program) + ": ");
    ASSERT_NE(at, std::string::npos) << c.program;
    const auto mark = html.substr(at, html.find("</g>", at) - at);
    EXPECT_NE(mark.find("fill='" + c.colour + "'"), std::string::npos) << c.program << mark;
  }
  // The geometric mean has its own interval, and the caption says what it is.
  const auto mean = html.find("geometric mean</text>");
  ASSERT_NE(mean, std::string::npos);
  const auto text = html.substr(mean, html.find("</text>", mean + 21) - mean);
  EXPECT_TRUE(std::regex_search(text, std::regex("95% CI \\[[0-9.]+, [0-9.]+\\]\\)$"))) << text;
  EXPECT_NE(html.find("Geometric mean of the programs' ratios, with its 95% bootstrap interval"),
            std::string::npos);
}

TEST(Report, SeriesColoursAreOkabeItoAndNoneIsAVerdictsColour) {
  const std::vector<std::string> okabeIto{"#E69F00", "#56B4E9", "#009E73", "#F0E442",
                                          "#0072B2", "#D55E00", "#CC79A7", "#000000"};
  for (std::size_t i = 0; i < 8; ++i) {
    const chart::Look look = chart::seriesLook(i);
    EXPECT_NE(std::find(okabeIto.begin(), okabeIto.end(), look.colour), okabeIto.end()) << i;
    EXPECT_NE(std::string(look.colour), chart::slowerColour) << i;
    EXPECT_NE(std::string(look.colour), chart::fasterColour) << i;
    // Neighbours differ in shape as well as colour.
    if (i > 0) {
      EXPECT_NE(look.shape, chart::seriesLook(i - 1).shape) << i;
    }
  }
}

TEST(Report, EveryChartHasAnAxisTitleWithItsUnit) {
  const std::string html = twoConfigReport();
  std::size_t charts = 0;
  for (auto at = html.find("<svg xmlns"); at != std::string::npos;
       at = html.find("<svg xmlns", at + 1), ++charts) {
    const std::string body = html.substr(at, html.find("</svg>", at) - at);
    EXPECT_TRUE(std::regex_search(
        body, std::regex("class='axis-title'[^>]*>[^<]*(\\((ms|µs|s|%)\\)|ratio)")))
        << body.substr(0, 200);
  }
  // A panel per program, a ratio chart, and each program's run sequence and histogram.
  EXPECT_EQ(charts, 7u + 1 + 2 * 7);
}

TEST(Report, ATablesNumbersSortByTheirRawValues) {
  Table table;
  table.columns = {{"program", "program"}, {"wall", "wall", true}, {"note", "", true}};
  table.rows = {{Cell("a"), Cell("950.0 µs", "0.00095"), Cell("5 (2 out)")},
                {Cell("b"), Cell("1.200 ms", "0.0012"), Cell("-")}};
  const std::string html = htmlSections({{{"", table, {}}}});
  EXPECT_NE(html.find("<table class='sortable'><thead><tr><th>program</th>"), std::string::npos);
  EXPECT_NE(html.find("<td class='n' data-text='0.00095'>950.0 µs</td>"), std::string::npos);
  // A cell whose tool value is its text, or not a number, sorts by its text.
  EXPECT_NE(html.find("<td class='n'>5 (2 out)</td>"), std::string::npos);
  EXPECT_NE(html.find("<td class='n'>-</td>"), std::string::npos);
  EXPECT_EQ(html.rfind("<div class='scroll'>", 0), 0u);
}

// BENCH32_JAVASCRIPT_DIR for one test, restored after it.
struct ScriptFolder {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bench32-js-" + std::to_string(::getpid()));
  ScriptFolder() {
    std::filesystem::create_directories(dir);
    ::setenv("BENCH32_JAVASCRIPT_DIR", dir.c_str(), 1);
  }
  ~ScriptFolder() {
    ::unsetenv("BENCH32_JAVASCRIPT_DIR");
    std::filesystem::remove_all(dir);
  }
  void add(const std::string& file, const std::string& text) {
    std::filesystem::create_directories((dir / file).parent_path());
    std::ofstream(dir / file) << text;
  }
};

TEST(Report, TheTableScriptIsInlinedWholeOrNotAtAll) {
  ScriptFolder folder;
  folder.add("jquery/jquery.min.js", "var a = '</script><!-- x';");
  folder.add("jquery-tablesorter/js/jquery.tablesorter.min.js", "var b = 1;");
  PageScript script = tableScript();
  EXPECT_TRUE(script.html.empty());
  EXPECT_NE(script.missing.find("widget-filter.min.js is missing"), std::string::npos)
      << script.missing;
  EXPECT_EQ(script.missing.find('\n'), std::string::npos);

  folder.add("jquery-tablesorter/js/widgets/widget-filter.min.js", "var c = 2;");
  script = tableScript();
  EXPECT_TRUE(script.missing.empty());
  // Nothing inside a script may end its element or open a comment: only the four
  // elements' own ends remain.
  std::size_t ends = 0;
  for (auto at = script.html.find("</script"); at != std::string::npos;
       at = script.html.find("</script", at + 1))
    ++ends;
  EXPECT_EQ(ends, 4u);
  EXPECT_EQ(script.html.find("<!--"), std::string::npos);
  EXPECT_NE(script.html.find("var a = '<\\/script><\\!-- x';"), std::string::npos);
  EXPECT_NE(script.html.find("tablesorter("), std::string::npos);
}

HistoryRow historyRow(const std::string& config, const std::string& revision, double median,
                      Change verdict = Change::same) {
  HistoryRow row;
  row.program = "p";
  row.workload = "ref";
  row.config = config;
  row.revision = revision;
  row.sessions = 1;
  row.count = 10;
  row.median = median;
  row.interval = {median * 0.99, median * 1.01};
  row.hasPrevious = revision != "a";
  row.change.verdict = verdict;
  row.change.p = verdict == Change::slower || verdict == Change::faster ? 1e-4 : 0.5;
  row.change.ratio = 1;
  return row;
}

TEST(Report, TrendsShareAPanelPerProgramAndMarkStepsInWords) {
  auto slower = historyRow("gcc", "b", 1.3, Change::slower);
  slower.change.ratio = 1.3;
  const std::vector<HistoryRow> rows{historyRow("clang", "a", 2.0),
                                     historyRow("clang", "b", 2.0, Change::sameBinary),
                                     historyRow("gcc", "a", 1.0), slower};
  const std::string html = trendCharts(rows, Metric::wall);
  struct Case {
    const char* what;
    std::string text;
    std::size_t count;
  };
  for (const auto& c : std::vector<Case>{
           {"one panel for both configurations", "<figure", 1},
           {"the change beside its mark", ">gcc +30.0% slower</text>", 1},
           {"a triangle for the change", "fill='" + std::string(chart::slowerColour) + "'", 1},
           {"the same binary in words", "Same binary (dashed, hollow): b clang.", 1},
           {"a dashed step", "stroke-dasharray", 1},
           {"the relative axis", "wall vs first (%)", 1},
           {"0% in absolute terms", "0% is clang 2.000 s at a, gcc 1.000 s at a.", 1},
       }) {
    std::size_t n = 0;
    for (auto at = html.find(c.text); at != std::string::npos; at = html.find(c.text, at + 1)) ++n;
    EXPECT_EQ(n, c.count) << c.what << "\n" << html;
  }
  // Every panel shares one axis, at least ±10% wide, so noise never fills a panel.
  const std::string quiet =
      trendCharts({historyRow("gcc", "a", 1.0), historyRow("gcc", "b", 1.01)}, Metric::wall);
  EXPECT_NE(quiet.find(">\u221210%</text>"), std::string::npos) << quiet;
  EXPECT_NE(quiet.find(">+10%</text>"), std::string::npos) << quiet;
}

} // namespace

} // namespace bench32
