// The reader of bench32-timer's report (a remote run's result) on any bytes: it refuses
// with one line, or gives a run whose times are finite and not negative and whose
// output, when the report holds it, is exactly the bytes after the line.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exec/timer_report.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view report(reinterpret_cast<const char*>(data), size);
  std::string why;
  const auto run = bench32::parseTimerReport(report, why);
  if (!run) {
    if (why.empty() || why.find('\n') != std::string::npos) std::abort();
    return 0;
  }
  for (const double seconds : {run->wallSeconds, run->userSeconds, run->systemSeconds})
    if (!std::isfinite(seconds) || seconds < 0) std::abort();
  if (run->maxRssKiB < 0) std::abort();
  if (run->stdoutFile) {
    const std::string_view after = report.substr(report.find('\n') + 1);
    if (run->stdoutFile->readAll() != after) std::abort();
  } else if (!run->stdoutDigest) {
    std::abort();
  }
  return 0;
}
