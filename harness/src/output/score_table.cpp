#include "output/score_table.hpp"

#include <fmt/format.h>

#include "model/metrics.hpp"

namespace bench32 {
namespace {

std::string ratioText(double value) { return fmt::format("{:.3f}", value); }

std::string intervalText(const stats::Interval& interval) {
  if (std::isnan(interval.low)) return "-";
  return formatInterval(interval.low, interval.high);
}

// What the interval covers: the runs alone, or the spread between sessions too.
std::string intervalNote(const Score& s) {
  if (s.sessionSpread.df >= minNoiseDf)
    return fmt::format("95% CI: the runs' uncertainty (bootstrap) and the spread between "
                       "sessions of the same binaries, ±{} ({} df), learned from the database",
                       formatPercent(s.sessionSpread.sd), s.sessionSpread.df);
  return "95% CI: this session's runs only (bootstrap), not the spread between sessions, "
         "which on a shared machine can move a score by several per cent: --db with five or "
         "more earlier sessions of this machine and build adds it";
}

Section summarySection(const std::vector<Score>& scores) {
  Table table;
  table.columns = {
      {"machine", "machine"},   {"configuration", "config"},    {"", "file"},
      {"score", "score", true}, {"95% CI", "", true},           {"", "ci_low"},
      {"", "ci_high"},          {"programs", "programs", true}, {"", "reference_machine"}};
  for (const auto& s : scores)
    table.rows.push_back({s.measuredMachine,
                          s.measured.config,
                          s.measured.file,
                          {ratioText(s.score), formatRaw(s.score)},
                          intervalText(s.interval),
                          formatRaw(s.interval.low),
                          formatRaw(s.interval.high),
                          std::to_string(s.programs.size()),
                          s.referenceMachine});
  const Score& first = scores.front();
  const MetricInfo& metric = metricInfo(first.metric);
  return {fmt::format("score against {} ({}, configuration {})", first.reference.file,
                      first.referenceMachine, first.reference.config),
          table,
          {metric.higherIsBetter
               ? fmt::format("score: the geometric mean over the programs of the machine's median "
                             "{} ÷ the reference's; above 1 is faster than the reference.",
                             metric.name)
               : fmt::format("score: the geometric mean over the programs of the reference's "
                             "median {} ÷ the machine's; above 1 is faster than the reference.",
                             metric.name),
           intervalNote(first)}};
}

Section programSection(const Score& s) {
  const MetricInfo& metric = metricInfo(s.metric);
  Table table;
  table.columns = {{"program", "program"},
                   {"workload", "workload"},
                   {"", "config"},
                   {"reference", "reference_median", true},
                   {s.measured.label, "median", true},
                   {"ratio", "ratio", true},
                   {"95% CI", "", true},
                   {"", "ci_low"},
                   {"", "ci_high"}};
  for (const auto& p : s.programs)
    table.rows.push_back({p.program,
                          p.workload,
                          s.measured.config,
                          {metric.format(p.reference), formatRaw(p.reference)},
                          {metric.format(p.measured), formatRaw(p.measured)},
                          {ratioText(p.ratio), formatRaw(p.ratio)},
                          intervalText(p.interval),
                          formatRaw(p.interval.low),
                          formatRaw(p.interval.high)});
  return {fmt::format("{} ({}): score {} {}", s.measured.label, s.measuredMachine,
                      ratioText(s.score), intervalText(s.interval)),
          table,
          {}};
}

} // namespace

Document scoreDocument(const std::vector<Score>& scores) {
  Document document;
  if (scores.empty()) return document;
  document.sections.push_back(summarySection(scores));
  for (const auto& s : scores) document.sections.push_back(programSection(s));
  return document;
}

} // namespace bench32
