#include "run/collector.hpp"

#include <fmt/format.h>

namespace bench32 {

std::string Measuring::label(const PlannedUnit& unit) const {
  const UnitResult& r = result(unit);
  return fmt::format("{} {}/{}", r.config, r.program, r.workload);
}

void Measuring::progress(const std::string& line) const {
  if (hooks.progress) hooks.progress(line);
}

void Measuring::note(const std::string& line) const {
  if (hooks.note) hooks.note(line);
}

void Measuring::checkpoint() const {
  if (hooks.checkpoint) hooks.checkpoint();
}

} // namespace bench32
