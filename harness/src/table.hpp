// Tables for people (aligned text, Markdown) and for tools (CSV), and the formatting of
// the quantities in them.
#pragma once

#include <string>
#include <vector>

#include "results.hpp"

namespace bench32 {

enum class Format { text, markdown, csv };
// Throws BadInput for anything but text, markdown (md) or csv.
Format formatFromName(const std::string& name);

struct Table {
  std::vector<std::string> header;
  std::vector<bool> rightAligned; // per column
  std::vector<std::vector<std::string>> rows;
};

std::string render(const Table& table, Format format);

std::string formatSeconds(double seconds);
std::string formatKiB(double kib);
std::string formatCount(double count); // 1.23 M, 4.56 G
std::string formatPercent(double fraction);

// One row per configuration of each program and workload: status, runs, median and
// spread of wall time, user and system time, peak memory, code size (and instruction
// counts when measured). In CSV every number is raw (seconds, KiB, bytes).
Table runTable(const Results& results, Format format);
// One line per failed unit, for under the table.
std::vector<std::string> failureLines(const Results& results);

} // namespace bench32
