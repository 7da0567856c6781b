// analysis/fleet: shard slicing and merging the sessions of one revision.
#include "analysis/fleet.hpp"

#include <gtest/gtest.h>

#include "store_fixtures.hpp"

namespace bench32 {
namespace {

using namespace bench32::test;

TEST(Shard, ParsingAcceptsOnlyKOfN) {
  struct Case {
    const char* text;
    bool valid;
  };
  for (const Case c : {Case{"1/1", true},
                       {"2/4", true},
                       {"4/4", true},
                       {"0/4", false},
                       {"5/4", false},
                       {"1/0", false},
                       {"-1/4", false},
                       {"1/", false},
                       {"/4", false},
                       {"1-4", false},
                       {"1/4x", false},
                       {" 1/4", false}}) {
    if (c.valid)
      EXPECT_NO_THROW(parseShard(c.text)) << c.text;
    else
      EXPECT_THROW(parseShard(c.text), BadInput) << c.text;
  }
}

TEST(Shard, SlicesCoverEveryUnitExactlyOnceAndEvenly) {
  for (std::size_t units : {0u, 1u, 7u, 20u, 60u})
    for (int n = 1; n <= 6; ++n) {
      std::vector<int> owner(units, 0);
      for (int k = 1; k <= n; ++k)
        for (std::size_t i = 0; i < units; ++i)
          if (inShard(i, {k, n})) owner[i] += k * 100 + 1;
      std::map<int, std::size_t> sizes;
      for (std::size_t i = 0; i < units; ++i) {
        EXPECT_EQ(owner[i] % 100, 1) << units << " units, " << n << " shards: unit " << i;
        ++sizes[owner[i] / 100];
      }
      for (const auto& [shard, size] : sizes)
        EXPECT_LE(size, (units + std::size_t(n) - 1) / std::size_t(n));
    }
}

TEST(Fleet, MergingPoolsSamplesAndKeepsFailures) {
  Results a = richResults(), b = a;
  b.environment["cpu"] = "another CPU";
  b.units[1].status = Status::ok;
  const Results merged = mergeResults({a, b});
  ASSERT_EQ(merged.units.size(), 2u);
  EXPECT_EQ(merged.units[0].samples.size(), 4u);
  EXPECT_EQ(merged.units[1].status, Status::failed);
  EXPECT_FALSE(merged.complete);
  EXPECT_NE(machineWarning({a, b}, "r").find("another CPU"), std::string::npos);
  EXPECT_EQ(machineWarning({a, a}, "r"), "");
}

} // namespace
} // namespace bench32
