// What the tests of compare share: scratch files and documents to read.
#pragma once

#include "analysis/compare.hpp"
#include "output/comparison_table.hpp"
#include "output/export/exporter.hpp"
#include "output/report.hpp"
#include <cmath>
#include <gtest/gtest.h>
#include <map>

namespace bench32::test {

namespace fs = std::filesystem;
using nlohmann::json;

inline UnitResult unit(const std::string& config, const std::string& program,
                       const std::vector<double>& walls, Status status = Status::ok) {
  UnitResult u;
  u.config = config;
  u.program = program;
  u.workload = "ref";
  u.status = status;
  for (double w : walls) u.samples.push_back({w, w, 0, 1000});
  return u;
}

inline std::vector<double> around(double centre, int n) {
  // A deterministic spread of about ±1%.
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(centre * (1 + 0.01 * ((i * 7) % 5 - 2) / 2));
  return v;
}

inline Results twoConfigs() {
  Results r;
  r.configs = {{"base", "", "", "", "", ""}, {"new", "", "", "", "", ""}};
  r.units = {
      unit("base", "same", around(1.0, 10)),      unit("new", "same", around(1.0, 10)),
      unit("base", "slower", around(1.0, 10)),    unit("new", "slower", around(1.5, 10)),
      unit("base", "faster", around(1.0, 10)),    unit("new", "faster", around(0.8, 10)),
      unit("base", "tiny", around(1.0, 10)),      unit("new", "tiny", around(1.01, 10)),
      unit("base", "few", around(1.0, 3)),        unit("new", "few", around(2.0, 3)),
      unit("base", "broken", around(1.0, 10)),    unit("new", "broken", {}, Status::failed),
      unit("base", "only-base", around(1.0, 10)),
  };
  return r;
}

} // namespace bench32::test
