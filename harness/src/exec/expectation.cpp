#include "exec/expectation.hpp"

#include <string.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <xxhash.h>

#include "exec/files.hpp"
#include "exec/interrupt.hpp"
#include "exec/stored_json.hpp"
#include "exec/words.hpp"

namespace bench32 {
namespace {

using nlohmann::json;

// Every key a file may hold, so that a misspelt one ("stauts") is refused instead of
// silently meaning its default.
void onlyKeys(const json& object, std::initializer_list<const char*> allowed,
              const std::string& where) {
  if (!object.is_object())
    throw BadInput(where.empty() ? "expected an object" : where + " must be an object");
  for (const auto& item : object.items()) {
    const std::string& key = item.key();
    if (std::none_of(allowed.begin(), allowed.end(), [&](const char* k) { return key == k; }))
      throw BadInput(where.empty() ? fmt::format("unknown key \"{}\"", key)
                                   : fmt::format("unknown key \"{}\" in {}", key, where));
  }
}

// A name, which becomes a test's name and is shown in tables: one line.
const std::string& nameAt(const json& value, const std::string& path) {
  const std::string& name = stringAt(value, path);
  if (name.empty() || oneLine(name, SIZE_MAX) != name)
    throw BadInput(
        fmt::format("{} must be a name on one line, not \"{}\"", path, oneLine(name, 60)));
  return name;
}

// The most times a part may be repeated, whatever its length: a count past it is a
// mistake, and an empty part repeated 10^12 times would loop for ever adding nothing.
constexpr std::uint64_t maxRepeats = maxInputBytes;

// One part of an input, checked: its bytes are `times` copies of `unit`.
struct Part {
  std::string unit;
  std::uint64_t times = 1;
};

// Reads one part, given `room` bytes left under the cap. Nothing larger than the part's
// own text (or a file's bytes, which are read against the cap) is allocated here.
Part readPart(const json& part, const std::string& path, const InputSource& source,
              std::uint64_t room) {
  const auto tooLarge = [&] {
    return BadInput(
        fmt::format("input larger than {}", source.maxBytes == maxInputBytes
                                                ? std::string("1 GiB")
                                                : fmt::format("{} bytes", source.maxBytes)));
  };
  Part read;
  if (part.is_string()) {
    read.unit = part.get<std::string>();
  } else if (part.is_object() && part.contains("repeat")) {
    onlyKeys(part, {"repeat", "times"}, "an input part");
    read.unit = stringAt(part.at("repeat"), path + ".repeat");
    if (part.contains("times")) {
      const json& count = part.at("times");
      if (!count.is_number_integer() ||
          (!count.is_number_unsigned() && count.get<std::int64_t>() < 0))
        throw BadInput(fmt::format("{}: \"times\" must be a count (0 or more)", path));
      read.times = unsignedAt(count, path + ".times", 0, UINT64_MAX);
    }
    // Divided rather than multiplied, so that a huge count cannot wrap round to a small
    // size.
    if (!read.unit.empty() && read.times > room / read.unit.size()) throw tooLarge();
    if (read.times > maxRepeats)
      throw BadInput(
          fmt::format("{}.times must be at most {}, not {}", path, maxRepeats, read.times));
    return read;
  } else if (part.is_object() && part.contains("file")) {
    onlyKeys(part, {"file"}, "an input part");
    const std::string& name = stringAt(part.at("file"), path + ".file");
    read.unit = source.readPart ? source.readPart(name, room)
                                : readStoredFile(source.dir / name, room, true);
  } else {
    throw BadInput(fmt::format(
        "{}: an input part must be a string, {{\"repeat\", \"times\"}} or {{\"file\"}}", path));
  }
  if (read.unit.size() > room) throw tooLarge();
  return read;
}

// An input, a part or a list of parts: its whole size is known, and within the cap,
// before its bytes are put together.
std::string readInput(const json& input, const InputSource& source) {
  std::vector<Part> parts;
  std::uint64_t size = 0;
  const auto add = [&](const json& part, const std::string& path) {
    parts.push_back(readPart(part, path, source, source.maxBytes - size));
    size += parts.back().unit.size() * parts.back().times;
  };
  if (input.is_array()) {
    for (std::size_t i = 0; i < input.size(); ++i) add(input[i], indexPath("input", i));
  } else {
    add(input, "input");
  }
  std::string text;
  text.reserve(size);
  for (const Part& part : parts) {
    if (part.unit.empty() || part.times == 0) continue;
    // Doubled from what is already there, so a 1 GiB input takes 30 copies, not 2^30.
    const std::size_t start = text.size(), bytes = part.unit.size() * part.times;
    text += part.unit;
    while (text.size() - start < bytes) {
      const std::size_t done = text.size() - start;
      text.append(text, start, std::min(done, bytes - done));
    }
  }
  return text;
}

std::string printable(std::string_view line) {
  std::string text;
  for (unsigned char c : line.substr(0, 60)) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
      text += char(c);
    else
      text += fmt::format("\\x{:02x}", c);
  }
  if (line.size() > 60) text += "...";
  return text;
}

// The line of the text that starts at lineStart, or "<end of output>".
std::string lineAt(std::string_view text, std::size_t lineStart) {
  if (lineStart >= text.size()) return "<end of output>";
  const std::size_t end = text.find('\n', lineStart);
  const std::size_t length = end == std::string_view::npos ? end : end - lineStart + 1;
  return fmt::format("\"{}\"", printable(text.substr(lineStart, length)));
}

// Compares the output with the expected bytes a chunk at a time and names the first
// line where they differ; only that line is read back from the output.
std::optional<std::string> firstDifference(std::string_view want, const MemoryFile& got) {
  std::uint64_t at = 0, lineStart = 0, lineNo = 1;
  bool differs = false;
  got.forEachChunk([&](std::string_view chunk) {
    // Whole chunks that match are only counted; the byte walk finds the difference.
    if (at + chunk.size() <= want.size() && want.substr(at, chunk.size()) == chunk) {
      const auto lines = std::count(chunk.begin(), chunk.end(), '\n');
      if (lines > 0) {
        lineNo += std::uint64_t(lines);
        lineStart = at + chunk.rfind('\n') + 1;
      }
      at += chunk.size();
      return true;
    }
    for (char c : chunk) {
      if (at >= want.size() || want[at] != c) {
        differs = true;
        return false;
      }
      if (c == '\n') {
        lineStart = at + 1;
        ++lineNo;
      }
      ++at;
    }
    return true;
  });
  if (!differs && at == want.size()) return std::nullopt;
  // 61 bytes are enough to show 60 and mark the rest as cut.
  const std::string gotLine = got.read(lineStart, 61);
  // lineAt ends the line at its newline; a line longer than the bytes read has none.
  const std::string shown = gotLine.empty() ? "<end of output>" : lineAt(gotLine, 0);
  return fmt::format("stdout differs at line {} (byte {}): expected {}, got {}", lineNo, at + 1,
                     lineAt(want, lineStart), shown);
}

std::uint64_t fileDigestOf(const MemoryFile& file) {
  XXH3_state_t* state = XXH3_createState();
  XXH3_64bits_reset(state);
  file.forEachChunk([&](std::string_view chunk) {
    XXH3_64bits_update(state, chunk.data(), chunk.size());
    return true;
  });
  const std::uint64_t value = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return value;
}

std::string ending(int status, int signal) {
  return signal ? signalName(signal) : fmt::format("exit status {}", status);
}

} // namespace

std::uint64_t digest(std::string_view bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }

std::uint64_t digest(const MemoryFile& file) { return fileDigestOf(file); }

std::string digestHex(std::uint64_t value) { return fmt::format("{:016x}", value); }

int signalNumber(const std::string& name) {
  for (int s = 1; s < NSIG; ++s) {
    const char* abbrev = sigabbrev_np(s);
    if (abbrev && name == std::string("SIG") + abbrev) return s;
  }
  return 0;
}

std::string signalName(int number) {
  const char* abbrev = sigabbrev_np(number);
  return abbrev ? std::string("SIG") + abbrev : fmt::format("signal {}", number);
}

namespace {

Expectation parseExpectation(const json& entry, const std::string& name,
                             const InputSource& source) {
  Expectation e;
  e.name = name;
  try {
    onlyKeys(entry,
             {"name", "note", "input", "stdout", "stdout_xxh3", "stdout_size", "status", "signal",
              "min_instructions"},
             "");
    if (entry.contains("input")) e.input = readInput(entry.at("input"), source);
    const bool exact = entry.contains("stdout");
    const bool digested = entry.contains("stdout_xxh3") || entry.contains("stdout_size");
    if (exact && digested)
      throw BadInput("\"stdout\" or \"stdout_xxh3\" with \"stdout_size\", not both");
    if (exact) {
      e.stdoutBytes = stringAt(entry.at("stdout"), "stdout");
      e.stdoutDigest = digest(*e.stdoutBytes);
      e.stdoutSize = e.stdoutBytes->size();
    } else if (entry.contains("stdout_xxh3") && entry.contains("stdout_size")) {
      const std::string& hex = stringAt(entry.at("stdout_xxh3"), "stdout_xxh3");
      if (hex.size() != 16 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw BadInput(
            fmt::format("stdout_xxh3 must be 16 hexadecimal digits, not \"{}\"", oneLine(hex, 40)));
      e.stdoutDigest = std::stoull(hex, nullptr, 16);
      e.stdoutSize = unsignedAt(entry.at("stdout_size"), "stdout_size", 0, INT64_MAX);
    } else {
      throw BadInput("needs \"stdout\" or \"stdout_xxh3\" with \"stdout_size\"");
    }
    if (entry.contains("signal")) {
      if (entry.contains("status")) throw BadInput("\"status\" or \"signal\", not both");
      const std::string& signal = stringAt(entry.at("signal"), "signal");
      e.signal = signalNumber(signal);
      if (e.signal == 0) throw BadInput("unknown signal " + oneLine(signal, 40));
    } else if (entry.contains("status")) {
      e.status = int(integerAt(entry.at("status"), "status", 0, 255));
    }
    if (entry.contains("note")) e.note = oneLine(stringAt(entry.at("note"), "note"), SIZE_MAX);
    if (entry.contains("min_instructions"))
      e.minInstructions =
          unsignedAt(entry.at("min_instructions"), "min_instructions", 0, INT64_MAX);
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("entry \"{}\": {}", oneLine(e.name, 60), ex.what()));
  }
  return e;
}

RobustnessProfile parseRobustness(const json& doc) {
  onlyKeys(doc, {"why", "reads", "ranges", "end_marker", "signals"}, "\"robustness\"");
  const auto at = [&](const char* key) -> const json& {
    if (!doc.contains(key)) throw BadInput(fmt::format("\"robustness\": {} is missing", key));
    return doc.at(key);
  };
  RobustnessProfile p;
  p.why = oneLine(stringAt(at("why"), "robustness.why"), SIZE_MAX);
  p.reads = int(integerAt(at("reads"), "robustness.reads", 0, INT32_MAX));
  const json& ranges = at("ranges");
  if (!ranges.is_array()) throw BadInput("\"robustness\": ranges must be a list");
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const json& range = ranges[i];
    const std::string path = indexPath("robustness.ranges", i);
    if (!range.is_array() || range.size() != 2)
      throw BadInput("\"robustness\": a range is [low, high] within 32-bit integers");
    const std::int64_t low = integerAt(range[0], path + "[0]", INT32_MIN, INT32_MAX);
    const std::int64_t high = integerAt(range[1], path + "[1]", INT32_MIN, INT32_MAX);
    if (low > high) throw BadInput("\"robustness\": a range is [low, high] within 32-bit integers");
    p.ranges.emplace_back(low, high);
  }
  if (p.ranges.empty()) throw BadInput("\"robustness\": ranges must not be empty");
  if (doc.contains("end_marker"))
    p.endMarker = stringAt(doc.at("end_marker"), "robustness.end_marker");
  if (p.endMarker != "" && p.endMarker != "any" && p.endMarker != "third")
    throw BadInput("\"robustness\": end_marker is \"any\" or \"third\"");
  if (doc.contains("signals")) {
    const json& signals = doc.at("signals");
    if (!signals.is_array()) throw BadInput("\"robustness\": signals must be a list");
    for (std::size_t i = 0; i < signals.size(); ++i) {
      const std::string& name = stringAt(signals[i], indexPath("robustness.signals", i));
      if (signalNumber(name) == 0)
        throw BadInput("\"robustness\": unknown signal " + oneLine(name, 40));
      p.signals.push_back(name);
    }
  }
  return p;
}

InputSource besideFile(const std::filesystem::path& file) {
  return {file.parent_path(), maxInputBytes, {}};
}

// Larger than any workloads file is meant to be; its inputs' bulk is built from parts.
constexpr std::uint64_t maxFileBytes = std::uint64_t{64} << 20;

} // namespace

std::vector<Expectation> parseCases(std::string_view text, std::string_view what,
                                    const InputSource& source) {
  const json doc = parseStoredJson(text, what);
  std::vector<Expectation> cases;
  try {
    onlyKeys(doc, {"cases"}, "");
    if (!doc.contains("cases") || !doc.at("cases").is_array())
      throw BadInput("\"cases\" must be a list");
    std::set<std::string> names;
    for (std::size_t i = 0; i < doc.at("cases").size(); ++i) {
      const json& entry = doc.at("cases")[i];
      const std::string path = indexPath("cases", i);
      if (!entry.is_object()) throw BadInput(path + " must be an object");
      if (!entry.contains("name")) throw BadInput(path + ": needs a \"name\"");
      const std::string& name = nameAt(entry.at("name"), path + ".name");
      if (!names.insert(name).second)
        throw BadInput(fmt::format("{}: a second case named \"{}\"", path, name));
      cases.push_back(parseExpectation(entry, name, source));
    }
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("{}: {}", what, ex.what()));
  }
  return cases;
}

ProgramFacts parseProgramFacts(std::string_view text, std::string_view what,
                               const InputSource& source) {
  const json doc = parseStoredJson(text, what);
  ProgramFacts facts;
  try {
    onlyKeys(doc, {"workloads", "robustness"}, "");
    if (!doc.contains("workloads") || !doc.at("workloads").is_object())
      throw BadInput("\"workloads\" must be an object");
    for (const auto& [name, entry] : doc.at("workloads").items()) {
      nameAt(json(name), fmt::format("workload \"{}\"", oneLine(name, 60)));
      if (!entry.is_object())
        throw BadInput(fmt::format("workload \"{}\" must be an object", name));
      if (entry.contains("name"))
        throw BadInput(fmt::format("entry \"{}\": unknown key \"name\"", name));
      facts.workloads.emplace(name, parseExpectation(entry, name, source));
    }
    if (const std::string clash = trainingInputClash(facts.workloads); !clash.empty())
      throw BadInput(fmt::format("workload \"{}\" has the input of \"{}\": it needs one of its own",
                                 trainingWorkload, clash));
    if (doc.contains("robustness")) facts.robustness = parseRobustness(doc.at("robustness"));
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("{}: {}", what, ex.what()));
  }
  return facts;
}

std::string trainingInputClash(const std::map<std::string, Expectation>& workloads) {
  const auto train = workloads.find(trainingWorkload);
  if (train == workloads.end()) return {};
  for (const auto& [name, e] : workloads)
    if (name != train->first && e.input == train->second.input) return name;
  return {};
}

const Expectation& workloadNamed(const std::map<std::string, Expectation>& workloads,
                                 const std::string& program, const std::string& name) {
  const auto it = workloads.find(name);
  if (it != workloads.end()) return it->second;
  std::vector<std::string> known;
  for (const auto& [k, e] : workloads) known.push_back(k);
  throw BadInput(fmt::format("program {} has no workload \"{}\" (it has: {})", program, name,
                             joinNames(known)));
}

std::vector<Expectation> loadCases(const std::filesystem::path& casesFile) {
  return parseCases(readStoredFile(casesFile, maxFileBytes), casesFile.string(),
                    besideFile(casesFile));
}

ProgramFacts loadProgramFacts(const std::filesystem::path& workloadsFile) {
  return parseProgramFacts(readStoredFile(workloadsFile, maxFileBytes), workloadsFile.string(),
                           besideFile(workloadsFile));
}

std::map<std::string, Expectation> loadWorkloads(const std::filesystem::path& workloadsFile) {
  return loadProgramFacts(workloadsFile).workloads;
}

Verdict verify(const Expectation& expected, const RunResult& run) {
  if (!run.startError.empty()) return {false, run.startError};
  // Before the ending: the program was stopped for it, so its signal (SIGXFSZ) or a
  // timeout that followed says nothing more.
  if (run.stdoutOverflow) {
    const std::string more =
        fmt::format("wrote more than the expected {} bytes", expected.stdoutSize);
    // Where the kept bytes first differ tells more than their length: a byte added at
    // the start shows as a difference there.
    if (expected.stdoutBytes && run.stdoutFile)
      if (auto difference = firstDifference(*expected.stdoutBytes, *run.stdoutFile))
        return {false, fmt::format("{} ({})", *difference, more)};
    return {false, more};
  }
  if (run.timedOut) return {false, "timed out (process group killed)"};
  const int gotSignal = run.signal, gotStatus = run.exitStatus;
  if (gotSignal != expected.signal || (!expected.signal && gotStatus != expected.status)) {
    std::string detail =
        fmt::format("expected {}, got {}", ending(expected.status, expected.signal),
                    ending(gotStatus, gotSignal));
    // Another file than standard output passed the limit: a prefix's own output file.
    if (gotSignal == SIGXFSZ && run.fileSizeLimit > 0)
      detail += fmt::format(" (a file it wrote passed the file-size limit of {} bytes)",
                            run.fileSizeLimit);
    std::string_view err = run.stderrBytes;
    if (!err.empty())
      detail += fmt::format(" (stderr: \"{}\")", printable(err.substr(0, err.find('\n'))));
    return {false, detail};
  }
  if (!run.stdoutFile && !run.stdoutDigest) return {false, "no standard output was captured"};
  if (expected.stdoutBytes && run.stdoutFile) {
    if (auto difference = firstDifference(*expected.stdoutBytes, *run.stdoutFile))
      return {false, *difference};
  } else if (const std::uint64_t size = run.stdoutSize(),
             got = run.stdoutFile ? fileDigestOf(*run.stdoutFile) : run.stdoutDigest->xxh3;
             size != expected.stdoutSize || got != expected.stdoutDigest) {
    return {
        false,
        fmt::format("stdout differs: expected {} bytes with digest {}, got {} bytes with digest {}",
                    expected.stdoutSize, digestHex(expected.stdoutDigest), size, digestHex(got))};
  }
  return {true, {}};
}

RunRequest programRequest(const std::filesystem::path& executable, const Expectation& expected,
                          const std::shared_ptr<const MemoryFile>& input,
                          const RunConditions& conditions) {
  RunRequest request;
  request.argv = conditions.runUnder;
  request.argv.push_back(executable.string());
  request.inputFile = input;
  if (!input) request.input = expected.input;
  request.timeout = std::chrono::duration<double>(conditions.timeout);
  request.cancel = &interruptFlag();
  request.stdoutLimit = expected.stdoutSize;
  if (!conditions.runUnder.empty()) request.fileRoom = prefixFileRoom;
  request.cpus = conditions.cpus;
  return request;
}

} // namespace bench32
