#include "model/metrics.hpp"

#include <cmath>

#include <fmt/format.h>

#include "exec/errors.hpp"

namespace bench32 {
namespace {

std::optional<double> textBytes(const UnitResult& u) {
  return u.textBytes ? std::optional<double>(double(*u.textBytes)) : std::nullopt;
}

std::optional<double> instructionCount(const UnitResult& u) {
  return u.instructions ? std::optional<double>(double(*u.instructions)) : std::nullopt;
}

// A section's size from the executable's section headers; 0 when it has no such
// section, nothing when its sections are unknown (not ELF, or an older results file).
std::optional<double> sectionBytes(const UnitResult& u, const std::string& name) {
  if (!u.sections) return std::nullopt;
  const auto it = u.sections->find(name);
  return it == u.sections->end() ? 0.0 : double(it->second);
}

// Every allocated section: the program's whole memory image, code and data.
std::optional<double> allocatedBytes(const UnitResult& u) {
  if (!u.sections) return std::nullopt;
  double total = 0;
  for (const auto& [name, bytes] : *u.sections) total += double(bytes);
  return total;
}

MetricInfo sectionMetric(Metric id, const char* name, const char* column, const char* toolColumn,
                         std::optional<double> (*read)(const UnitResult&)) {
  return {.id = id,
          .name = name,
          .unit = "B",
          .column = column,
          .toolColumn = toolColumn,
          .perUnit = read,
          .format = formatBytes,
          .integral = true,
          .exact = true,
          .toolsOnly = true};
}

MetricInfo compileMetric(Metric id, const char* name, const char* column, const char* toolColumn,
                         const char* key, std::vector<double> CompileSamples::*field) {
  const bool memory = field == &CompileSamples::rssKiB;
  return {.id = id,
          .name = name,
          .unit = memory ? "KiB" : "s",
          .column = column,
          .toolColumn = toolColumn,
          .samplesKey = key,
          .compileField = field,
          .format = memory ? formatKiB : formatSeconds,
          .integral = memory,
          .whenMeasured = true};
}

const std::vector<MetricInfo> table = {
    {.id = Metric::wall,
     .name = "wall",
     .unit = "s",
     .column = "wall",
     .toolColumn = "wall_median_s",
     .field = &Sample::wall,
     .samplesKey = "wall_s",
     .format = formatSeconds,
     .withSpread = true},
    {.id = Metric::user,
     .name = "user",
     .unit = "s",
     .column = "user",
     .toolColumn = "user_median_s",
     .field = &Sample::user,
     .samplesKey = "user_s",
     .format = formatSeconds},
    {.id = Metric::system,
     .name = "sys",
     .unit = "s",
     .column = "sys",
     .toolColumn = "sys_median_s",
     .field = &Sample::system,
     .samplesKey = "sys_s",
     .format = formatSeconds},
    // The processor time the run took, its own and the kernel's on its behalf: unlike wall
    // time, not the time it waited for a processor, so a busy machine moves it far less.
    // Derived from user and sys, so neither stored nor a column of the run table.
    {.id = Metric::cpu,
     .name = "cpu",
     .unit = "s",
     .column = "cpu",
     .toolColumn = "cpu_median_s",
     .perSample = [](const Sample& s) { return s.user + s.system; },
     .format = formatSeconds},
    {.id = Metric::rss,
     .name = "rss",
     .unit = "KiB",
     .column = "peak RSS",
     .toolColumn = "max_rss_kib",
     .field = &Sample::maxRssKiB,
     .samplesKey = "max_rss_kib",
     .format = formatKiB,
     .integral = true},
    {.id = Metric::text,
     .name = "text",
     .unit = "B",
     .column = ".text",
     .toolColumn = "text_bytes",
     .perUnit = textBytes,
     .format = formatBytes,
     .integral = true,
     .exact = true},
    {.id = Metric::instructions,
     .name = "instructions",
     .unit = "instructions",
     .column = "instructions",
     .toolColumn = "instructions",
     .perUnit = instructionCount,
     .format = formatCount,
     .integral = true,
     .exact = true,
     .optional = true},
    sectionMetric(Metric::sizeText, "size.text", ".text", "size_text_bytes",
                  [](const UnitResult& u) { return sectionBytes(u, ".text"); }),
    sectionMetric(Metric::sizeRodata, "size.rodata", ".rodata", "size_rodata_bytes",
                  [](const UnitResult& u) { return sectionBytes(u, ".rodata"); }),
    sectionMetric(Metric::sizeData, "size.data", ".data", "size_data_bytes",
                  [](const UnitResult& u) { return sectionBytes(u, ".data"); }),
    sectionMetric(Metric::sizeBss, "size.bss", ".bss", "size_bss_bytes",
                  [](const UnitResult& u) { return sectionBytes(u, ".bss"); }),
    sectionMetric(Metric::sizeAlloc, "size.alloc", "allocated", "size_alloc_bytes", allocatedBytes),
    compileMetric(Metric::compile, "compile", "compile", "compile_median_s", "wall_s",
                  &CompileSamples::wall),
    compileMetric(Metric::compileCpu, "compile_cpu", "compile CPU", "compile_cpu_median_s", "cpu_s",
                  &CompileSamples::cpu),
    compileMetric(Metric::compileRss, "compile_rss", "compile RSS", "compile_max_rss_kib",
                  "max_rss_kib", &CompileSamples::rssKiB),
    compileMetric(Metric::link, "link", "link", "link_median_s", "link_wall_s",
                  &CompileSamples::link),
    {.id = Metric::rate,
     .name = "rate",
     .unit = "/s",
     .column = "rate",
     .toolColumn = "rate_median_per_s",
     .samplesKey = "rate_per_s",
     .roundField = &UnitResult::rate,
     .format = formatRate,
     .whenMeasured = true,
     .higherIsBetter = true},
};

} // namespace

const std::vector<MetricInfo>& metrics() { return table; }

bool perRun(const MetricInfo& m) { return m.field || m.perSample; }

double runValue(const MetricInfo& m, const Sample& s) {
  return m.field ? s.*m.field : m.perSample(s);
}

const MetricInfo& metricInfo(Metric metric) {
  for (const auto& m : table)
    if (m.id == metric) return m;
  return table.front(); // unreachable: every Metric has its row
}

std::string metricNames() {
  std::string names;
  for (std::size_t i = 0; i < table.size(); ++i)
    names += (i == 0 ? "" : i + 1 == table.size() ? " or " : ", ") + std::string(table[i].name);
  return names;
}

const MetricInfo& metricNamed(const std::string& name) {
  for (const auto& m : table)
    if (name == m.name) return m;
  throw BadInput(fmt::format("unknown metric \"{}\" ({})", name, metricNames()));
}

std::vector<double> metricValues(const UnitResult& unit, Metric metric) {
  const MetricInfo& m = metricInfo(metric);
  std::vector<double> values;
  if (perRun(m)) {
    for (const Sample& s : unit.samples) values.push_back(runValue(m, s));
  } else if (m.compileField) {
    if (unit.compile) values = (*unit.compile).*m.compileField;
  } else if (m.roundField) {
    values = unit.*m.roundField;
  } else if (const auto value = m.perUnit(unit)) {
    values.push_back(*value);
  }
  return values;
}

std::vector<std::vector<double>> valuesByLayout(const UnitResult& unit, Metric metric) {
  const MetricInfo& m = metricInfo(metric);
  std::vector<std::vector<double>> groups;
  if (!perRun(m)) return groups;
  for (const Sample& s : unit.samples) {
    if (s.layout < 0) return {};
    if (std::size_t(s.layout) >= groups.size()) groups.resize(std::size_t(s.layout) + 1);
    groups[std::size_t(s.layout)].push_back(runValue(m, s));
  }
  return groups;
}

std::vector<std::vector<double>> layoutGroups(const UnitResult& unit, Metric metric) {
  auto groups = valuesByLayout(unit, metric);
  // A layout that never ran (a session stopped early) is no layout.
  std::erase_if(groups, [](const auto& runs) { return runs.empty(); });
  return groups;
}

std::vector<std::vector<std::vector<double>>> sessionGroups(const UnitResult& unit, Metric metric) {
  // Only runs carry their session; a unit's other values are not split by it.
  if (!perRun(metricInfo(metric))) return {};
  std::vector<UnitResult> sessions;
  for (const Sample& s : unit.samples) {
    if (s.session < 0) return {};
    if (std::size_t(s.session) >= sessions.size()) sessions.resize(std::size_t(s.session) + 1);
    sessions[std::size_t(s.session)].samples.push_back(s);
  }
  std::erase_if(sessions, [](const UnitResult& u) { return u.samples.empty(); });
  std::vector<std::vector<std::vector<double>>> groups;
  for (const auto& session : sessions) {
    auto layouts = layoutGroups(session, metric);
    if (layouts.empty()) layouts = {metricValues(session, metric)};
    groups.push_back(std::move(layouts));
  }
  return groups;
}

std::string formatSeconds(double s) { return formatTime(s, TimeStyle::measured); }

std::string formatInterval(const std::string& low, const std::string& high) {
  return "[" + low + ", " + high + "]";
}

std::string formatInterval(double low, double high) {
  return formatInterval(fmt::format("{:.3f}", low), fmt::format("{:.3f}", high));
}

std::string formatTime(double s, TimeStyle style) {
  if (style == TimeStyle::elapsed) {
    if (!(s < 1e7)) return "?";
    const long whole = std::lround(s);
    if (whole >= 3600) return fmt::format("{}h{:02}m", whole / 3600, whole / 60 % 60);
    if (whole >= 60) return fmt::format("{}m{:02}s", whole / 60, whole % 60);
    return fmt::format("{}s", whole);
  }
  if (style == TimeStyle::tick) {
    if (s >= 1) return fmt::format("{:g} s", s);
    if (s >= 1e-3) return fmt::format("{:g} ms", s * 1e3);
    return fmt::format("{:g} µs", s * 1e6);
  }
  if (!std::isfinite(s)) return "-";
  if (s == 0) return "0";
  if (s >= 100) return fmt::format("{:.1f} s", s);
  if (s >= 1) return fmt::format("{:.3f} s", s);
  if (s >= 1e-3) return fmt::format("{:.3f} ms", s * 1e3);
  return fmt::format("{:.1f} µs", s * 1e6);
}

std::string formatKiB(double kib) {
  if (!std::isfinite(kib)) return "-";
  if (kib >= 1024 * 1024) return fmt::format("{:.2f} GiB", kib / 1024 / 1024);
  if (kib >= 1024) return fmt::format("{:.1f} MiB", kib / 1024);
  return fmt::format("{:.0f} KiB", kib);
}

std::string formatBytes(double bytes) {
  if (!std::isfinite(bytes)) return "-";
  return fmt::format("{:.0f} B", bytes);
}

std::string formatCount(double n) {
  if (!std::isfinite(n)) return "-";
  if (n >= 1e9) return fmt::format("{:.3f} G", n / 1e9);
  if (n >= 1e6) return fmt::format("{:.3f} M", n / 1e6);
  if (n >= 1e3) return fmt::format("{:.3f} k", n / 1e3);
  return fmt::format("{:.0f}", n);
}

std::string formatPercent(double fraction) {
  if (!std::isfinite(fraction)) return "-";
  return fmt::format("{:.1f}%", fraction * 100);
}

std::string formatRate(double perSecond) {
  if (!std::isfinite(perSecond)) return "-";
  if (perSecond >= 100) return fmt::format("{:.0f} /s", perSecond);
  if (perSecond >= 1) return fmt::format("{:.2f} /s", perSecond);
  return fmt::format("{:.3g} /s", perSecond);
}

std::string formatRaw(double value) {
  if (std::isnan(value)) return "";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == std::floor(value) && std::fabs(value) < 1e17) return fmt::format("{:.0f}", value);
  return fmt::format("{:.9g}", value);
}

} // namespace bench32

namespace bench32 {

std::string formatGrouped(double count) {
  if (!std::isfinite(count)) return "-";
  const std::string digits = fmt::format("{:.0f}", std::fabs(count));
  // Built front to back: g++ 12 misreads inserts into the middle as overlapping copies.
  std::string grouped = count < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

} // namespace bench32
