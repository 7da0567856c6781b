// `bisect --passes`: the optimisation pass run of one clang build at which a program's
// instruction count moves to the unlimited build's, or at which its output first goes
// wrong, found by limiting the pass runs of the program's own translation units.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench32 {

struct PassBisectOptions {
  std::string program;
  std::string workload = "smoke";
  std::string config;                  // NAME=COMPILER:FLAGS
  std::string metric = "instructions"; // an exact metric
  bool wrongOutput = false;            // find where the output goes wrong instead
  std::string buildRoot;               // where the configuration is built (empty: build/)
  int jobs = 0;
  std::string format = "text"; // of the explain table
};

// Prints each limit tried (to `note`), then the pass run found, both counts and the
// explain table between the limits on each side of it. The exit status: 0 when found,
// 1 when a build or run failed. Throws BadInput for a request that cannot be bisected
// (a compiler without a pass limit, a metric that is not exact, ends that agree).
int bisectPasses(const PassBisectOptions& options, const std::filesystem::path& source,
                 const std::function<void(const std::string&)>& note);

// One line of clang's report under -opt-bisect-limit:
// "BISECT: running pass (N) PASS on TARGET", or "NOT running" for a run the limit skips.
struct PassRun {
  int number = 0;
  bool ran = false;
  std::string pass;
  std::string target; // as clang names it: a function, "[module]", a loop, "(f, g)"
};
// Nothing for any other line.
std::optional<PassRun> parsePassRun(std::string_view line);
// Every pass run of a compile's standard error, in order. Throws BadInput when their
// numbers do not run 1, 2, 3...: a report that was cut short or mixed with another's.
std::vector<PassRun> passRuns(std::string_view report);
// The function a run works on, demangled, or empty for a run on the module: for a run on
// a loop, the function of the nearest earlier run on one (loops are optimised within
// their function's passes).
std::string runFunction(const std::vector<PassRun>& runs, std::size_t index);

// The limit in (low, high] where `reached` first holds after a limit where it does not:
// reached(n - 1) is false and reached(n) true. `reached` is known false at low and true at
// high, and is called only for limits strictly between them, each at most once; it need
// not be monotonic, so the limit found is one such step, not always the first.
int firstReached(int low, int high, const std::function<bool(int)>& reached);

} // namespace bench32
