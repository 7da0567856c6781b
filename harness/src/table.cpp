#include "table.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "expectation.hpp"
#include "stats.hpp"

namespace bench32 {
namespace {

std::size_t displayWidth(const std::string& text) {
  std::size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xc0) != 0x80) ++width; // count UTF-8 lead bytes only
  return width;
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string markdownField(const std::string& text) {
  std::string escaped;
  for (char c : text)
    escaped += c == '|' ? std::string("\\|") : std::string(1, c == '\n' ? ' ' : c);
  return escaped;
}

std::string raw(double value) { return std::isfinite(value) ? fmt::format("{:.9g}", value) : ""; }

} // namespace

Format formatFromName(const std::string& name) {
  if (name == "text") return Format::text;
  if (name == "markdown" || name == "md") return Format::markdown;
  if (name == "csv") return Format::csv;
  throw BadInput(fmt::format("unknown format \"{}\" (text, markdown or csv)", name));
}

std::string render(const Table& table, Format format) {
  const std::size_t columns = table.header.size();
  auto aligned = [&](std::size_t c) {
    return c < table.rightAligned.size() && table.rightAligned[c];
  };
  std::string out;
  if (format == Format::csv) {
    auto line = [&](const std::vector<std::string>& cells) {
      for (std::size_t c = 0; c < cells.size(); ++c) {
        if (c) out += ',';
        out += csvField(cells[c]);
      }
      out += "\n";
    };
    line(table.header);
    for (const auto& row : table.rows) line(row);
    return out;
  }
  if (format == Format::markdown) {
    auto line = [&](const std::vector<std::string>& cells) {
      out += "|";
      for (const auto& cell : cells) {
        out += ' ';
        out += markdownField(cell);
        out += " |";
      }
      out += "\n";
    };
    line(table.header);
    out += "|";
    for (std::size_t c = 0; c < columns; ++c) out += aligned(c) ? " ---: |" : " --- |";
    out += "\n";
    for (const auto& row : table.rows) line(row);
    return out;
  }
  std::vector<std::size_t> widths(columns, 0);
  for (std::size_t c = 0; c < columns; ++c) widths[c] = displayWidth(table.header[c]);
  for (const auto& row : table.rows)
    for (std::size_t c = 0; c < columns && c < row.size(); ++c)
      widths[c] = std::max(widths[c], displayWidth(row[c]));
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < columns; ++c) {
      const std::string cell = c < cells.size() ? cells[c] : "";
      const std::string pad(widths[c] - displayWidth(cell), ' ');
      if (c) text += "  ";
      text += aligned(c) ? pad + cell : cell + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(table.header);
  std::vector<std::string> rules;
  for (auto w : widths) rules.push_back(std::string(w, '-'));
  line(rules);
  for (const auto& row : table.rows) line(row);
  return out;
}

std::string formatSeconds(double s) {
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

Table runTable(const Results& results, Format format) {
  const bool csv = format == Format::csv;
  bool counted = false;
  for (const auto& u : results.units) counted = counted || u.instructions.has_value();
  Table table;
  if (csv) {
    table.header = {"config",        "program",        "workload",      "status",
                    "runs",          "outliers",       "wall_median_s", "wall_mad_s",
                    "wall_ci_low_s", "wall_ci_high_s", "user_median_s", "sys_median_s",
                    "max_rss_kib",   "text_bytes",     "instructions",  "failure"};
  } else {
    table.header = {"program", "config", "workload", "status",   "runs", "wall",
                    "±",       "user",   "sys",      "peak RSS", ".text"};
    table.rightAligned = {false, false, false, false, true, true, true, true, true, true, true};
    if (counted) {
      table.header.push_back("instructions");
      table.rightAligned.push_back(true);
    }
  }
  // Grouped by program, so that configurations sit side by side.
  std::vector<const UnitResult*> units;
  for (const auto& u : results.units) units.push_back(&u);
  std::stable_sort(units.begin(), units.end(), [](auto* a, auto* b) {
    return std::tie(a->program, a->workload) < std::tie(b->program, b->workload);
  });
  for (const UnitResult* u : units) {
    const auto wall = u->values(Metric::wall);
    const double median = stats::median(wall);
    const double mad = wall.empty() ? NAN : stats::mad(wall);
    const auto outliers = stats::outliers(wall).size();
    const double rss = stats::median(u->values(Metric::rss));
    if (csv) {
      const auto ci = stats::medianInterval(wall);
      table.rows.push_back({u->config, u->program, u->workload, u->status,
                            std::to_string(wall.size()), std::to_string(outliers), raw(median),
                            raw(mad), raw(ci.low), raw(ci.high),
                            raw(stats::median(u->values(Metric::user))),
                            raw(stats::median(u->values(Metric::system))), raw(rss),
                            u->textBytes ? std::to_string(*u->textBytes) : "",
                            u->instructions ? std::to_string(*u->instructions) : "", u->failure});
      continue;
    }
    std::string runs = std::to_string(wall.size());
    if (outliers) runs += fmt::format(" ({} out)", outliers);
    std::vector<std::string> row{u->program,
                                 u->config,
                                 u->workload,
                                 u->status == "failed" ? "FAIL" : u->status,
                                 runs,
                                 formatSeconds(median),
                                 median > 0 ? formatPercent(mad / median) : "-",
                                 formatSeconds(stats::median(u->values(Metric::user))),
                                 formatSeconds(stats::median(u->values(Metric::system))),
                                 formatKiB(rss),
                                 u->textBytes ? fmt::format("{} B", *u->textBytes) : "-"};
    if (counted) row.push_back(u->instructions ? formatCount(double(*u->instructions)) : "-");
    table.rows.push_back(row);
  }
  return table;
}

std::vector<std::string> failureLines(const Results& results) {
  std::vector<std::string> lines;
  for (const auto& u : results.units)
    if (u.status == "failed")
      lines.push_back(
          fmt::format("FAILED {} {}/{}: {}", u.config, u.program, u.workload, u.failure));
  return lines;
}

} // namespace bench32
