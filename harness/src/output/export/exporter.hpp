// Exporters: each output format is one small class in a file of its own, listed once
// in exporter.cpp. A new format is a new file and one line there; `show --format`,
// `compare --format` and `run --<option> FILE` pick it up from the list.
#pragma once

#include <string>
#include <vector>

#include "output/table.hpp"

namespace bench32 {

class Exporter {
public:
  virtual ~Exporter() = default;
  virtual std::string name() const = 0; // for --format
  // The run command's option that writes the run table in this format to a file, or
  // empty when there is none.
  virtual std::string fileOption() const { return {}; }
  virtual std::string render(const Document& document) const = 0;
};

const std::vector<const Exporter*>& exporters();
// Throws BadInput naming the formats there are.
const Exporter& exporterNamed(const std::string& name);

// One exporter of each format, defined in its own file.
const Exporter& textExporter();
const Exporter& markdownExporter();
const Exporter& csvExporter();
const Exporter& jsonExporter();
const Exporter& htmlExporter();

// The columns of a table that each audience reads.
std::vector<std::size_t> peopleColumns(const Table& table);
std::vector<std::size_t> toolColumns(const Table& table);

} // namespace bench32
