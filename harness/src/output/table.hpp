// Tables as data: every command that prints results builds a Document, and an
// exporter (export/) turns it into text, Markdown, CSV, JSON or HTML. A column can be
// for people (formatted, e.g. "1.234 ms"), for tools (a key and a raw number), or both.
#pragma once

#include <string>
#include <vector>

#include "model/results.hpp"

namespace bench32 {

struct Column {
  std::string header;   // for people; empty: a column for tools only
  std::string key;      // for tools (CSV header, JSON key); empty: for people only
  bool numeric = false; // right-aligned for people
  bool forPeople() const { return !header.empty(); }
  bool forTools() const { return !key.empty(); }
};

struct Cell {
  std::string text; // for people
  std::string raw;  // for tools
  Cell(std::string both = {}) : text(both), raw(std::move(both)) {}
  Cell(std::string people, std::string tools) : text(std::move(people)), raw(std::move(tools)) {}
};

struct Table {
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;
  std::vector<std::string> rowTags; // per row, may be empty: "slower", "faster", "failed"
  // For people: at most this many columns wide, the last column's words wrapped onto
  // lines of their own where it would run over (0: as wide as it takes).
  std::size_t width = 0;
};

struct Section {
  std::string title; // may be empty
  Table table;
  std::vector<std::string> notes; // lines under the table, for people
};

struct Document {
  std::vector<Section> sections;
};

// One row per configuration of each program and workload: status, runs, then each
// metric's median (wall time with its spread and interval).
Table runTable(const Results& results);
// With code layouts: one row per configuration of each program and workload, with the
// median wall time of each layout. Empty when the session had none.
Table layoutTable(const Results& results);
// One line per failed unit, for under the table.
std::vector<std::string> failureLines(const Results& results);
// The run table with the failure lines under it.
Document runDocument(const Results& results);

} // namespace bench32
