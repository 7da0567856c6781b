#include "exec/expectation.hpp"

#include <string.h>

#include <algorithm>
#include <csignal>
#include <cstdint>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <xxhash.h>

#include "exec/files.hpp"

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

json parseFile(const std::filesystem::path& file) {
  try {
    return json::parse(readFile(file));
  } catch (const json::exception& e) {
    throw BadInput(fmt::format("{}: not valid JSON: {}", file.string(), e.what()));
  }
}

std::string inputPart(const json& part, const std::filesystem::path& dir) {
  if (part.is_string()) return part.get<std::string>();
  if (part.is_object() && part.contains("repeat")) {
    onlyKeys(part, {"repeat", "times"}, "an input part");
    const std::string unit = part.at("repeat").get<std::string>();
    const json& count = part.value("times", json(1));
    if (!count.is_number_unsigned()) throw BadInput("\"times\" must be a count (0 or more)");
    const auto times = count.get<std::uint64_t>();
    // Divided rather than multiplied, so that a huge count cannot wrap round to a small
    // size and then loop for ever.
    constexpr std::uint64_t limit = std::uint64_t{1} << 30;
    if (!unit.empty() && times > limit / unit.size()) throw BadInput("input larger than 1 GiB");
    std::string text;
    text.reserve(unit.size() * times);
    for (std::uint64_t i = 0; i < times; ++i) text += unit;
    return text;
  }
  if (part.is_object() && part.contains("file")) {
    onlyKeys(part, {"file"}, "an input part");
    return readFile(dir / part.at("file").get<std::string>());
  }
  throw BadInput("an input part must be a string, {\"repeat\", \"times\"} or {\"file\"}");
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
  const std::string shown =
      gotLine.empty() ? "<end of output>" : lineAt(gotLine.substr(0, gotLine.find('\n') + 1), 0);
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

Expectation parseExpectation(const json& entry, const std::filesystem::path& dir) {
  Expectation e;
  try {
    e.name = entry.at("name").get<std::string>();
    onlyKeys(entry,
             {"name", "note", "input", "stdout", "stdout_xxh3", "stdout_size", "status", "signal",
              "min_instructions"},
             "");
    const json& input = entry.value("input", json(""));
    if (input.is_array()) {
      for (const json& part : input) e.input += inputPart(part, dir);
    } else {
      e.input = inputPart(input, dir);
    }
    if (entry.contains("stdout")) {
      e.stdoutBytes = entry.at("stdout").get<std::string>();
      e.stdoutDigest = digest(*e.stdoutBytes);
      e.stdoutSize = e.stdoutBytes->size();
    } else if (entry.contains("stdout_xxh3")) {
      e.stdoutDigest = std::stoull(entry.at("stdout_xxh3").get<std::string>(), nullptr, 16);
      e.stdoutSize = entry.at("stdout_size").get<std::uint64_t>();
    } else {
      throw BadInput("needs \"stdout\" or \"stdout_xxh3\" with \"stdout_size\"");
    }
    if (entry.contains("signal")) {
      const auto name = entry.at("signal").get<std::string>();
      e.signal = signalNumber(name);
      if (e.signal == 0) throw BadInput("unknown signal " + name);
    } else {
      e.status = entry.value("status", 0);
      if (e.status < 0 || e.status > 255) throw BadInput("status must be 0 to 255");
    }
    e.note = entry.value("note", std::string());
    if (entry.contains("min_instructions"))
      e.minInstructions = entry.at("min_instructions").get<std::uint64_t>();
  } catch (const json::exception& ex) {
    throw BadInput(fmt::format("entry \"{}\": {}", e.name, ex.what()));
  } catch (const std::invalid_argument&) {
    throw BadInput(fmt::format("entry \"{}\": stdout_xxh3 is not hexadecimal", e.name));
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("entry \"{}\": {}", e.name, ex.what()));
  }
  return e;
}

std::vector<Expectation> loadCases(const std::filesystem::path& casesFile) {
  const json doc = parseFile(casesFile);
  std::vector<Expectation> cases;
  try {
    onlyKeys(doc, {"cases"}, "");
    for (const json& entry : doc.at("cases"))
      cases.push_back(parseExpectation(entry, casesFile.parent_path()));
  } catch (const json::exception& ex) {
    throw BadInput(fmt::format("{}: {}", casesFile.string(), ex.what()));
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("{}: {}", casesFile.string(), ex.what()));
  }
  return cases;
}

namespace {

RobustnessProfile parseRobustness(const json& doc) {
  onlyKeys(doc, {"why", "reads", "ranges", "end_marker", "signals"}, "\"robustness\"");
  RobustnessProfile p;
  p.why = doc.at("why").get<std::string>();
  p.reads = doc.at("reads").get<int>();
  if (p.reads < 0) throw BadInput("\"robustness\": reads must not be negative");
  for (const json& range : doc.at("ranges")) {
    const auto bounds = range.get<std::pair<std::int64_t, std::int64_t>>();
    if (bounds.first > bounds.second || bounds.first < INT32_MIN || bounds.second > INT32_MAX)
      throw BadInput("\"robustness\": a range is [low, high] within 32-bit integers");
    p.ranges.push_back(bounds);
  }
  if (p.ranges.empty()) throw BadInput("\"robustness\": ranges must not be empty");
  p.endMarker = doc.value("end_marker", "");
  if (p.endMarker != "" && p.endMarker != "any" && p.endMarker != "third")
    throw BadInput("\"robustness\": end_marker is \"any\" or \"third\"");
  p.signals = doc.value("signals", std::vector<std::string>{});
  for (const auto& name : p.signals)
    if (signalNumber(name) == 0) throw BadInput("\"robustness\": unknown signal " + name);
  return p;
}

} // namespace

ProgramFacts loadProgramFacts(const std::filesystem::path& workloadsFile) {
  const json doc = parseFile(workloadsFile);
  ProgramFacts facts;
  try {
    onlyKeys(doc, {"workloads", "robustness"}, "");
    for (const auto& [name, entry] : doc.at("workloads").items()) {
      if (!entry.is_object())
        throw BadInput(fmt::format("workload \"{}\" must be an object", name));
      if (entry.contains("name"))
        throw BadInput(fmt::format("entry \"{}\": unknown key \"name\"", name));
      json named = entry;
      named["name"] = name;
      facts.workloads.emplace(name, parseExpectation(named, workloadsFile.parent_path()));
    }
    // A profile-guided build trains on "train" and is then measured and checked on the
    // other workloads: training on one of their inputs would tune the build to it.
    if (const auto train = facts.workloads.find("train"); train != facts.workloads.end()) {
      for (const auto& [name, e] : facts.workloads)
        if (name != train->first && e.input == train->second.input)
          throw BadInput(fmt::format(
              "workload \"train\" has the input of \"{}\": it needs one of its own", name));
    }
    if (doc.contains("robustness")) facts.robustness = parseRobustness(doc.at("robustness"));
  } catch (const json::exception& ex) {
    throw BadInput(fmt::format("{}: {}", workloadsFile.string(), ex.what()));
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("{}: {}", workloadsFile.string(), ex.what()));
  }
  return facts;
}

std::map<std::string, Expectation> loadWorkloads(const std::filesystem::path& workloadsFile) {
  return loadProgramFacts(workloadsFile).workloads;
}

Verdict verify(const Expectation& expected, const RunResult& run) {
  if (!run.startError.empty()) return {false, run.startError};
  // Before the ending: the program was stopped for it, so its signal (SIGXFSZ) or a
  // timeout that followed says nothing more.
  if (run.stdoutOverflow)
    return {false, fmt::format("wrote more than the expected {} bytes", expected.stdoutSize)};
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

} // namespace bench32
