// analysis/bisection and run/bisect_log: the search names the first bad revision in the
// fewest steps whatever cannot be classified on the way, and the log reads back as it was
// written and refuses what is not one.
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/bisection.hpp"
#include "exec/errors.hpp"
#include "run/bisect_log.hpp"

namespace bench32 {
namespace {

// Bisects revisions 0..n-1 whose first bad one is `firstBad`, the revisions in
// `unusable` being unclassifiable: the revisions measured, in order.
std::vector<std::size_t> search(std::size_t n, std::size_t firstBad,
                                const std::set<std::size_t>& unusable,
                                std::vector<Outcome>& outcomes) {
  outcomes.assign(n, Outcome::untested);
  std::vector<std::size_t> measured;
  while (const auto next = nextRevision(outcomes)) {
    measured.push_back(*next);
    outcomes[*next] = unusable.count(*next) ? Outcome::skipped
                      : *next >= firstBad   ? Outcome::bad
                                            : Outcome::good;
    if (measured.size() > n) break; // a search that never ends fails below
  }
  return measured;
}

TEST(Bisection, FindsTheFirstBadRevisionInLogSteps) {
  struct Case {
    std::size_t n, firstBad;
    std::set<std::size_t> unusable;
    std::size_t maxSteps;
    std::vector<std::size_t> candidates;
  };
  const std::vector<Case> cases{
      {64, 41, {}, 6, {41}},
      {64, 41, {17, 50}, 6, {41}}, // never met on the way
      {64, 41, {39, 42}, 8, {41}}, // met: one step more each
      {64, 1, {}, 6, {1}},         // the first after the good end
      {64, 63, {}, 6, {63}},       // the bad end itself
      {2, 1, {}, 0, {1}},          // nothing between the ends
      {3, 1, {}, 1, {1}},
      {64, 41, {40}, 7, {40, 41}}, // the only revision below it cannot tell
      {64, 41, {38, 39, 40}, 9, {38, 39, 40, 41}},
      {1000, 777, {500, 501, 502}, 12, {777}},
  };
  for (const auto& c : cases) {
    std::vector<Outcome> outcomes;
    const auto measured = search(c.n, c.firstBad, c.unusable, outcomes);
    EXPECT_LE(measured.size(), c.maxSteps) << c.n << " " << c.firstBad;
    EXPECT_EQ(firstBadCandidates(outcomes), c.candidates) << c.n << " " << c.firstBad;
    EXPECT_EQ(std::set<std::size_t>(measured.begin(), measured.end()).size(), measured.size())
        << "a revision measured twice";
  }
}

TEST(Bisection, StepsToTheMiddleAndRoundWhatCannotBeClassified) {
  using O = Outcome;
  struct Case {
    std::vector<Outcome> outcomes;
    std::optional<std::size_t> next;
  };
  const O u = O::untested, g = O::good, b = O::bad, s = O::skipped, m = O::miscompiled;
  const std::vector<Case> cases{
      {{u, u, u, u, u}, 2},
      {{u, u, u, u}, 1},    // a tie goes to the lower
      {{u, u, s, u, u}, 1}, // round a skipped middle
      {{u, s, m, u, u}, 3},
      {{u, g, u, b, u}, 2}, // the ends' own outcomes are the ends'
      {{u, u, b, u, g}, 1}, // a good above the first bad does not bound it
      {{u, s, s, s, u}, std::nullopt},
      {{u, u}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(nextRevision(c.outcomes), c.next);
}

TEST(Bisection, OutcomeNamesReadBack) {
  for (const Outcome o :
       {Outcome::good, Outcome::bad, Outcome::skipped, Outcome::miscompiled, Outcome::open})
    EXPECT_EQ(outcomeFromName(outcomeName(o)), o);
  EXPECT_EQ(outcomeFromName("Good"), std::nullopt);
}

BisectLog sampleLog() {
  BisectLog log;
  log.request.repo = "/src/cc";
  log.request.good = "v1";
  log.request.bad = "main";
  log.request.buildCommand = "make -j2 \"cc\"";
  log.request.compiler = "bin/cc";
  log.request.programs = {"quadloop", "hail*"};
  log.request.metric = "instructions";
  log.commits = {std::string(40, 'a'), std::string(40, 'b'), std::string(40, 'c')};
  log.endsMeasured = true;
  log.goodBuild = "/w/builds/0-aaaaaaaaaaaa/cfg-candidate";
  log.endsResults = "/w/steps/ends.json";
  log.goodValues = {{"quadloop", 200137176}};
  log.badValues = {{"quadloop", 700138518}};
  log.moved = {{"quadloop", "more"}};
  BisectStep step;
  step.index = 1;
  step.outcome = Outcome::miscompiled;
  step.detail = "miscompiles hailstone (stdout differs at line 1 (byte 1))";
  step.results = "/w/steps/1-bbbbbbbbbbbb.json";
  step.session = 7;
  log.steps.push_back(step);
  return log;
}

TEST(BisectLog, ReadsBackAsWritten) {
  const BisectLog log = sampleLog();
  const std::string text = bisectLogText(log);
  const BisectLog back = parseBisectLog(text, "bisect.json");
  EXPECT_EQ(bisectLogText(back), text);
  EXPECT_EQ(back.request.buildCommand, log.request.buildCommand);
  ASSERT_EQ(back.steps.size(), 1u);
  EXPECT_EQ(back.steps[0].session, 7);
  EXPECT_EQ(outcomesOf(back),
            (std::vector<Outcome>{Outcome::good, Outcome::miscompiled, Outcome::bad}));
}

TEST(BisectLog, RefusesWhatIsNotOneInOneLine) {
  const std::string good = bisectLogText(sampleLog());
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  struct Case {
    std::string text, words;
  };
  const std::vector<Case> cases{
      {"{}", "not a bench32 bisect log"},
      {"[1]", "not a bench32 bisect log"},
      {"{\"schema\": \"bench32-bisect\"", "not valid JSON"},
      {edited("\"version\": 1", "\"version\": 9"), "version 9"},
      {edited("\"index\": 1", "\"index\": 2"), "index"}, // an end is never a step
      {edited("\"outcome\": \"miscompiled\"", "\"outcome\": \"meh\""), "not an outcome"},
      {edited("\"session\": 7", "\"session\": -7"), "session"},
      {edited(std::string("\"commit\": \"") + std::string(40, 'b'), "\"commit\": \"bbb"),
       "not the commit"},
      {edited("\"resolution\": 0.02", "\"resolution\": \"2%\""), "resolution"},
      {edited("\"metric\": \"instructions\"", "\"metric\": 3"), "metric"},
  };
  for (const auto& c : cases) {
    try {
      parseBisectLog(c.text, "bisect.json");
      ADD_FAILURE() << "read: " << c.text.substr(0, 80);
    } catch (const BadInput& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("bisect.json"), std::string::npos) << what;
      EXPECT_NE(what.find(c.words), std::string::npos) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
  }
}

} // namespace
} // namespace bench32
