#include "measure/unit.hpp"

#include <random>

#include "measure/interrupt.hpp"

namespace bench32 {

std::size_t randomPadding() {
  static std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::size_t>(0, 4096)(generator);
}

RunRequest runRequest(const PlannedUnit& unit, const RunSettings& settings, int layout) {
  RunRequest request;
  request.argv = settings.runUnder;
  request.argv.push_back(unit.executables.at(std::size_t(layout)).string());
  request.inputFile = unit.input;
  if (!request.inputFile) request.input = unit.expected->input;
  request.timeout = std::chrono::duration<double>(settings.timeout);
  request.cancel = &interruptFlag();
  // A program that runs away is stopped as it passes its output, which is all the
  // memory its run may take.
  request.stdoutLimit = unit.expected->stdoutSize;
  if (!settings.runUnder.empty()) request.fileRoom = prefixFileRoom;
  request.cpus = settings.cpus;
  return request;
}

} // namespace bench32
