#include "run/unit.hpp"

#include <random>

namespace bench32 {

std::size_t randomPadding() {
  static std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::size_t>(0, 4096)(generator);
}

RunConditions runConditions(const RunSettings& settings) {
  return {settings.runUnder, settings.timeout, settings.cpus};
}

RunRequest programRequest(const PlannedUnit& unit, const RunSettings& settings, int layout) {
  return programRequest(unit.executables.at(std::size_t(layout)), *unit.expected, unit.input,
                        runConditions(settings));
}

} // namespace bench32
