// analysis/history (and its table and charts in output/history_table): each series'
// median per revision, revision order, and the change flags across sessions.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/compare.hpp"
#include "analysis/history.hpp"
#include "exec/git.hpp"
#include "exec/process.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"
#include "output/history_table.hpp"
#include "store_fixtures.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(History, RevisionsFollowCommitOrderWhereKnownElseTime) {
  struct Case {
    const char* name;
    std::vector<RevisionStamp> stamps;
    std::map<std::string, std::size_t> ranks;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {"by time",
       {{"b", "2026-01-02"}, {"a", "2026-01-01"}, {"c", "2026-01-03"}},
       {},
       {"a", "b", "c"}},
      {"commit order over time",
       {{"new", "2026-01-01"}, {"old", "2026-01-02"}},
       {{"old", 0}, {"new", 1}},
       {"old", "new"}},
      {"labels keep their places in time",
       {{"c2", "2026-01-01"}, {"label", "2026-01-02"}, {"c1", "2026-01-03"}},
       {{"c1", 0}, {"c2", 1}},
       {"c1", "label", "c2"}},
      {"same time: by name", {{"y", "t"}, {"x", "t"}}, {}, {"x", "y"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (std::size_t i : revisionOrder(c.stamps, c.ranks)) got.push_back(c.stamps[i].revision);
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST(History, CommitRanksComeFromTheRepository) {
  // This checkout's own history: HEAD's parent comes before HEAD.
  const fs::path repo = BENCH32_SOURCE_TREE;
  RunRequest request;
  request.argv = {"git", "-C", repo.string(), "rev-parse", "HEAD", "HEAD~1"};
  const RunResult run = runProcess(request);
  if (run.exitStatus != 0) GTEST_SKIP() << "no git history here";
  const std::string text = run.stdoutText();
  const std::string head = text.substr(0, 40), parent = text.substr(41, 40);
  const auto ranks = commitRanks(repo, {head, parent.substr(0, 12), "not-a-commit", "--all"});
  ASSERT_EQ(ranks.size(), 2u);
  EXPECT_LT(ranks.at(parent.substr(0, 12)), ranks.at(head));
  EXPECT_TRUE(commitRanks("/nonexistent", {head}).empty());
}

// A revision whose one unit ran `runs` times around `centre`, with a little spread.
RevisionPoint point(const std::string& revision, double centre, int runs = 8) {
  RevisionPoint p;
  p.revision = revision;
  p.sessions = {1};
  UnitResult u;
  u.config = "cc";
  u.program = "prog";
  u.workload = "ref";
  u.status = Status::ok;
  for (int i = 0; i < runs; ++i) u.samples.push_back(timedRun(centre * (1 + 0.002 * i), centre));
  p.merged.units = {u};
  ConfigInfo config;
  config.name = "cc";
  p.merged.configs = {config};
  return p;
}

TEST(History, FlagsEachSignificantChangeFromTheRevisionBefore) {
  struct Case {
    const char* name;
    std::vector<RevisionPoint> points;
    std::vector<std::string> changes; // per row
  };
  const std::vector<Case> cases{
      {"steady", {point("a", 1), point("b", 1.001), point("c", 1)}, {"", "~", "~"}},
      {"slower then back",
       {point("a", 1), point("b", 1.3), point("c", 1)},
       {"", "slower", "faster"}},
      {"below the minimum effect", {point("a", 1), point("b", 1.01)}, {"", "~"}},
      {"too few runs", {point("a", 1, 3), point("b", 2, 3)}, {"", "too few runs"}},
  };
  for (const auto& c : cases) {
    const auto rows = history(c.points, {});
    ASSERT_EQ(rows.size(), c.changes.size()) << c.name;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].hasPrevious ? changeName(rows[i].change.verdict) : "", c.changes[i])
          << c.name << ", row " << i;
      EXPECT_EQ(flagged(rows[i]), c.changes[i] == "slower" || c.changes[i] == "faster");
    }
  }
}

TEST(History, AFailedRevisionIsShownAndTheNextComparedWithTheLastMeasured) {
  auto failed = point("b", 2);
  failed.merged.units[0].status = Status::failed;
  failed.merged.units[0].failure = "stdout differs";
  auto notRun = point("c", 3);
  notRun.merged.units[0].status = Status::notRun;
  const auto rows = history({point("a", 1), failed, notRun, point("d", 1.5)}, {});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].failure, "failed: stdout differs");
  EXPECT_FALSE(flagged(rows[1]));
  EXPECT_EQ(rows[2].revision, "d");
  EXPECT_EQ(rows[2].change.verdict, Change::slower); // d against a
  const auto table = historyDocument(rows, {}, CompareSettings{}).sections[0].table;
  EXPECT_EQ(table.rowTags, (std::vector<std::string>{"", "failed", "slower"}));
  EXPECT_EQ(trendCharts(rows, Metric::wall).find("<title>b:"), std::string::npos);
}

// Several programs at one revision, each around its centre, each its own binary unless
// one is given for all.
RevisionPoint programs(const std::string& revision, const std::vector<double>& centres,
                       const std::string& binary = "") {
  RevisionPoint p = point(revision, 1);
  p.merged.units.clear();
  for (std::size_t k = 0; k < centres.size(); ++k) {
    auto u = point(revision, centres[k]).merged.units[0];
    u.program = "prog" + std::to_string(k);
    u.binaryXxh3 = binary.empty() ? revision + std::to_string(k) : binary;
    p.merged.units.push_back(u);
  }
  return p;
}

TEST(History, EveryProgramMovingTogetherIsTheSessionsShift) {
  struct Case {
    const char* name;
    std::vector<double> after;
    std::size_t shifts;
    std::size_t flags;
  };
  const std::vector<Case> cases{
      {"all 8% slower, give or take", {1.08, 1.085, 1.075, 1.08, 1.09}, 1, 0},
      {"one program really changed", {1.0, 1.001, 1.3, 0.999, 1.0}, 0, 1},
      {"all slower, but one by far more", {1.05, 1.05, 1.6, 1.05, 1.05}, 0, 5},
  };
  for (const auto& c : cases) {
    const auto rows =
        history({programs("a", {1, 1, 1, 1, 1}), programs("b", c.after)}, HistoryFilter{});
    EXPECT_EQ(sessionShifts(rows).size(), c.shifts) << c.name;
    EXPECT_EQ(std::size_t(std::count_if(rows.begin(), rows.end(), flagged)), c.flags) << c.name;
    const auto notes = historyDocument(rows, {}, CompareSettings{}).sections[0].notes;
    const bool noted = std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
      return n.find("the session's shift") != std::string::npos;
    });
    EXPECT_EQ(noted, c.shifts > 0) << c.name;
  }
}

TEST(History, IdenticalBinariesAreSameBinaryNotAChange) {
  const auto rows =
      history({programs("a", {1, 1, 1}, "x"), programs("b", {1.3, 0.7, 1}, "x")}, HistoryFilter{});
  for (const auto& row : rows) {
    if (row.hasPrevious) {
      EXPECT_EQ(row.change.verdict, Change::sameBinary) << row.program;
    }
  }
  EXPECT_TRUE(sessionShifts(rows).empty());
}

TEST(History, ChartAxisLabelsFitTheirMargin) {
  // Every value label of the axis ("+10%", "−10%") must start inside the chart.
  const auto rows = history({point("a", 12.67e-3), point("b", 12.2e-3)}, HistoryFilter{});
  const std::string svg = trendCharts(rows, Metric::wall);
  std::size_t labels = 0;
  for (auto at = svg.find("text-anchor='end'>"); at != std::string::npos;
       at = svg.find("text-anchor='end'>", at + 1), ++labels) {
    const auto x = svg.rfind("x='", at);
    const double end = std::stod(svg.substr(x + 3));
    const auto close = svg.find('<', at);
    const std::string text = svg.substr(svg.find('>', at) + 1, close - svg.find('>', at) - 1);
    std::size_t chars = 0;
    for (unsigned char ch : text) chars += (ch & 0xC0) != 0x80;
    EXPECT_GE(end - 7.0 * double(chars), 0) << text;
  }
  EXPECT_GE(labels, 3u) << svg;
}

TEST(History, FiltersApply) {
  HistoryFilter other;
  other.programs = {"p?"};
  EXPECT_TRUE(history({point("a", 1)}, other).empty());
  other.programs = {"pr*"};
  EXPECT_EQ(history({point("a", 1)}, other).size(), 1u);
  other.configs = {"gcc*"};
  EXPECT_TRUE(history({point("a", 1)}, other).empty());
}

} // namespace
} // namespace bench32
