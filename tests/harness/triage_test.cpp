// store/triage on SQLite: a flagged change's state is recorded once per change, the
// latest mark replacing the earlier one, and read back whole.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/open.hpp"
#include "store/triage.hpp"
#include "store_fixtures.hpp"

namespace bench32 {
namespace store {

bool operator==(const TriageMark& a, const TriageMark& b) {
  return a.revision == b.revision && a.program == b.program && a.workload == b.workload &&
         a.config == b.config && a.state == b.state && a.note == b.note && a.created == b.created;
}

std::ostream& operator<<(std::ostream& out, const TriageMark& m) {
  return out << m.revision << " " << m.program << "/" << m.workload << " " << m.config << ": "
             << m.state << " (" << m.note << ") at " << m.created;
}

} // namespace store
namespace {

using namespace bench32::test;

TEST(Triage, TheStatesAreTheFourKnownOnes) {
  EXPECT_EQ(store::triageStates(),
            (std::vector<std::string>{"open", "fixed", "accepted", "false-positive"}));
}

TEST(Triage, AMarkReplacesTheEarlierOneOfTheSameChangeOnly) {
  const auto path = scratchDatabase("triage").string();
  using Mark = store::TriageMark;
  const Mark first{"r1", "hailstone", "ref", "gcc", "open", "", "2026-01-01T00:00:00Z"};
  struct Step {
    const char* what;
    Mark mark;
    std::vector<Mark> after; // what load gives back, in its order
  };
  const Mark accepted{"r1",
                      "hailstone",
                      "ref",
                      "gcc",
                      "accepted",
                      "the \"new\" loop, 'ok'",
                      "2026-01-03T00:00:00Z"};
  const Mark otherConfig{"r1", "hailstone", "ref", "clang", "fixed", "", "2026-01-02T00:00:00Z"};
  const Mark otherWorkload{"r1",    "hailstone",           "smoke", "gcc", "false-positive",
                           "noise", "2026-01-02T00:00:00Z"};
  const Mark otherRevision{"r2", "hailstone", "ref", "gcc", "open", "", "2026-01-04T00:00:00Z"};
  const Mark reopened{"r1",         "hailstone",           "ref", "gcc", "open",
                      "back again", "2026-01-05T00:00:00Z"};
  const Step steps[] = {
      {"a first mark", first, {first}},
      {"another configuration", otherConfig, {first, otherConfig}},
      {"another workload", otherWorkload, {first, otherConfig, otherWorkload}},
      {"the first accepted", accepted, {otherConfig, otherWorkload, accepted}},
      {"another revision", otherRevision, {otherConfig, otherWorkload, accepted, otherRevision}},
      {"the first reopened", reopened, {otherConfig, otherWorkload, otherRevision, reopened}},
  };
  for (const auto& step : steps) {
    {
      auto db = store::openStore(path);
      store::setTriage(*db, step.mark);
      EXPECT_EQ(store::loadTriage(*db), step.after) << step.what;
    }
    // And as another connection reads it.
    auto db = store::openStore(path, store::Access::read);
    EXPECT_EQ(store::loadTriage(*db), step.after) << step.what;
  }
}

TEST(Triage, AFreshDatabaseHasNoMarks) {
  auto db = store::openStore(scratchDatabase("triage-empty").string());
  EXPECT_TRUE(store::loadTriage(*db).empty());
}

} // namespace
} // namespace bench32
