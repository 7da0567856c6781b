// Runs on another machine go through bench32-timer (harness/timer/timer.cpp, which
// describes its line): the timer's command for a request, and its report read back into
// the RunResult that the same run here would have given, so that it is verified alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exec/process.hpp"

namespace bench32 {

// The timer's command line for running request.argv (already the target's paths: any
// prefix, then the program) on the input file at inputPath there, with the request's
// processors, timeout and output limit.
std::vector<std::string> timerCommand(const std::string& timer, const RunRequest& request,
                                      const std::string& inputPath);

// The report (the line and any output after it) as a run's result; nullopt, with why
// saying what is wrong in one line, when it is missing, cut short or garbled.
std::optional<RunResult> parseTimerReport(std::string_view report, std::string& why);

} // namespace bench32
