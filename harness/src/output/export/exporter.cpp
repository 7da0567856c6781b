#include "output/export/exporter.hpp"

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/words.hpp"

namespace bench32 {

const std::vector<const Exporter*>& exporters() {
  static const std::vector<const Exporter*> all{&textExporter(), &markdownExporter(),
                                                &csvExporter(), &jsonExporter(), &htmlExporter()};
  return all;
}

const Exporter& exporterNamed(const std::string& name) {
  std::vector<std::string> known;
  for (const Exporter* e : exporters()) {
    if (e->name() == name) return *e;
    known.push_back(e->name());
  }
  throw BadInput(fmt::format("unknown format \"{}\" ({})", name, joinNames(known)));
}

std::vector<std::size_t> peopleColumns(const Table& table) {
  std::vector<std::size_t> chosen;
  for (std::size_t c = 0; c < table.columns.size(); ++c)
    if (table.columns[c].forPeople()) chosen.push_back(c);
  return chosen;
}

std::vector<std::size_t> toolColumns(const Table& table) {
  std::vector<std::size_t> chosen;
  for (std::size_t c = 0; c < table.columns.size(); ++c)
    if (table.columns[c].forTools()) chosen.push_back(c);
  return chosen;
}

} // namespace bench32
