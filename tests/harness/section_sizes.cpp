// The harness's section sizes against binutils' `size -A`, for every program of one
// build folder:
// - each row of size -A is a section the harness reads, of the same size, and it has
//   an address exactly when the harness counts it as allocated (loaded);
// - every allocated section the harness counts is a row of size -A;
// - size.text, size.rodata, size.data and size.bss are the rows of those names (0 when
//   there is none), size.alloc the sum of the rows with an address, and text is
//   size.text; size -A's Total is the sum of all its rows, the unloaded ones (.comment,
//   debug information) included, which size.alloc leaves out.
//
// bench32-section-sizes SOURCE BIN_DIR SIZE_TOOL [--skip-when-unbuilt]
// Exit status: 0 when everything agrees; 1 on a difference (each one printed); 2 for
// bad usage; 77 (ctest's skip) when, with --skip-when-unbuilt, no program is built.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "exec/process.hpp"
#include "model/elf.hpp"
#include "model/metrics.hpp"
#include "model/suite.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

struct SizeRow {
  std::uint64_t size = 0;
  bool loaded = false; // has an address
};

struct SizeTable {
  std::map<std::string, SizeRow> rows; // rows of one name added together
  std::uint64_t total = 0;
  bool sawTotal = false;
};

std::optional<SizeTable> runSize(const std::string& tool, const fs::path& file,
                                 std::string& error) {
  RunRequest request;
  request.argv = {tool, "-A", "-d", file.string()};
  const RunResult run = runProcess(request);
  if (run.exitStatus != 0) {
    error = fmt::format("{} -A failed: {}", tool, run.stderrBytes);
    return std::nullopt;
  }
  // "<file>  :", the "section size addr" header, a row per section, "Total N".
  std::istringstream lines(run.stdoutText());
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  SizeTable table;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string name;
    std::uint64_t size = 0, address = 0;
    if (!(words >> name)) continue;
    if (name == "Total" && words >> table.total) {
      table.sawTotal = true;
      continue;
    }
    if (!(words >> size >> address)) {
      error = fmt::format("unexpected line from {} -A: \"{}\"", tool, line);
      return std::nullopt;
    }
    SizeRow& row = table.rows[name];
    row.size += size;
    row.loaded = row.loaded || address != 0;
  }
  if (!table.sawTotal) {
    error = fmt::format("{} -A printed no Total", tool);
    return std::nullopt;
  }
  return table;
}

// Every difference between the harness and size -A for one executable.
std::vector<std::string> differences(const fs::path& file, const SizeTable& size) {
  std::vector<std::string> found;
  const auto sections = elfSections(file);
  if (!sections) return {"the harness reads no sections"};
  std::map<std::string, SizeRow> harness;
  for (const ElfSection& s : *sections) {
    SizeRow& row = harness[s.name];
    row.size += s.size;
    row.loaded = row.loaded || s.allocated;
  }
  std::uint64_t rowsTotal = 0, loadedTotal = 0;
  for (const auto& [name, row] : size.rows) {
    rowsTotal += row.size;
    if (row.loaded) loadedTotal += row.size;
    const auto it = harness.find(name);
    if (it == harness.end()) {
      found.push_back(fmt::format("{}: listed by size -A, unknown to the harness", name));
    } else if (it->second.size != row.size) {
      found.push_back(
          fmt::format("{}: {} bytes, size -A says {}", name, it->second.size, row.size));
    } else if (it->second.loaded != row.loaded) {
      found.push_back(fmt::format("{}: the harness counts it as {}allocated, size -A gives it "
                                  "{}address",
                                  name, it->second.loaded ? "" : "not ",
                                  row.loaded ? "an " : "no "));
    }
  }
  for (const auto& [name, row] : harness)
    if (row.loaded && !size.rows.count(name))
      found.push_back(fmt::format("{}: allocated, but not listed by size -A", name));
  if (rowsTotal != size.total)
    found.push_back(
        fmt::format("size -A's rows add up to {}, its Total is {}", rowsTotal, size.total));

  // The metrics, as the harness records and reads them.
  UnitResult unit;
  unit.sections = allocatedSectionSizes(file);
  unit.textBytes = textSize(file);
  auto row = [&](const char* name) {
    const auto it = size.rows.find(name);
    return double(it == size.rows.end() ? 0 : it->second.size);
  };
  const std::pair<const char*, double> expected[] = {
      {"size.text", row(".text")}, {"size.rodata", row(".rodata")},     {"size.data", row(".data")},
      {"size.bss", row(".bss")},   {"size.alloc", double(loadedTotal)}, {"text", row(".text")}};
  for (const auto& [metric, bytes] : expected) {
    const auto values = metricValues(unit, metricNamed(metric).id);
    if (values != std::vector<double>{bytes})
      found.push_back(fmt::format("{}: {}, size -A says {}", metric,
                                  values.empty() ? "none" : formatRaw(values[0]), bytes));
  }
  return found;
}

} // namespace
} // namespace bench32

int main(int argc, char** argv) {
  using namespace bench32;
  const bool skipWhenUnbuilt = argc == 5 && std::string(argv[4]) == "--skip-when-unbuilt";
  if (argc != 4 && !skipWhenUnbuilt) {
    fmt::print(stderr, "usage: {} SOURCE BIN_DIR SIZE_TOOL [--skip-when-unbuilt]\n", argv[0]);
    return 2;
  }
  const fs::path bin = argv[2];
  const std::string tool = argv[3];
  std::vector<std::string> missing, built;
  for (const auto& program : discoverPrograms(argv[1]))
    (access((bin / program.name).c_str(), X_OK) == 0 ? built : missing).push_back(program.name);
  if (built.empty() && skipWhenUnbuilt) {
    fmt::print("no program is built in {}: nothing to check\n", bin.string());
    return 77;
  }
  for (const auto& name : missing) fmt::print("FAIL {}: not built in {}\n", name, bin.string());
  std::size_t agreed = 0;
  for (const auto& name : built) {
    const fs::path file = bin / name;
    std::string error;
    const auto size = runSize(tool, file, error);
    const auto problems = size ? differences(file, *size) : std::vector<std::string>{error};
    for (const auto& p : problems) fmt::print("FAIL {}: {}\n", name, p);
    if (!problems.empty()) continue;
    ++agreed;
    UnitResult unit;
    unit.sections = allocatedSectionSizes(file);
    std::string line = fmt::format("ok {}:", name);
    for (const char* metric : {"size.text", "size.rodata", "size.data", "size.bss", "size.alloc"})
      line += fmt::format(" {} {}", metric,
                          formatRaw(metricValues(unit, metricNamed(metric).id).at(0)));
    line += fmt::format("; size -A Total {}, not loaded:", size->total);
    for (const auto& [section, row] : size->rows)
      if (!row.loaded) line += " " + section;
    fmt::print("{}\n", line);
  }
  const std::size_t all = built.size() + missing.size();
  fmt::print("{} of {} programs in {} agree with {} -A\n", agreed, all, bin.string(), tool);
  return agreed == all ? 0 : 1;
}
