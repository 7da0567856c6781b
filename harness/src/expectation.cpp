#include "expectation.hpp"

#include <string.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <xxhash.h>

namespace bench32 {
namespace {

using nlohmann::json;

std::string readFile(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw BadInput(fmt::format("{}: cannot open", file.string()));
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
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
    const std::string unit = part.at("repeat").get<std::string>();
    const auto times = part.value("times", std::uint64_t{1});
    if (unit.size() * times > (std::uint64_t{1} << 30)) throw BadInput("input larger than 1 GiB");
    std::string text;
    text.reserve(unit.size() * times);
    for (std::uint64_t i = 0; i < times; ++i) text += unit;
    return text;
  }
  if (part.is_object() && part.contains("file"))
    return readFile(dir / part.at("file").get<std::string>());
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

// Names the first line where two outputs differ.
std::string firstDifference(std::string_view want, std::string_view got) {
  std::size_t lineStart = 0, lineNo = 1, i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) {
    if (want[i] == '\n') {
      lineStart = i + 1;
      ++lineNo;
    }
    ++i;
  }
  auto lineAt = [&](std::string_view text) {
    std::size_t end = text.find('\n', lineStart);
    if (lineStart >= text.size()) return std::string("<end of output>");
    const std::size_t length = end == std::string_view::npos ? end : end - lineStart + 1;
    return fmt::format("\"{}\"", printable(text.substr(lineStart, length)));
  };
  return fmt::format("stdout differs at line {} (byte {}): expected {}, got {}", lineNo, i + 1,
                     lineAt(want), lineAt(got));
}

std::string ending(int status, int signal) {
  return signal ? signalName(signal) : fmt::format("exit status {}", status);
}

} // namespace

std::uint64_t digest(std::string_view bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }

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
    for (const json& entry : doc.at("cases"))
      cases.push_back(parseExpectation(entry, casesFile.parent_path()));
  } catch (const json::exception& ex) {
    throw BadInput(fmt::format("{}: {}", casesFile.string(), ex.what()));
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("{}: {}", casesFile.string(), ex.what()));
  }
  return cases;
}

std::map<std::string, Expectation> loadWorkloads(const std::filesystem::path& workloadsFile) {
  const json doc = parseFile(workloadsFile);
  std::map<std::string, Expectation> workloads;
  try {
    for (const auto& [name, entry] : doc.at("workloads").items()) {
      json named = entry;
      named["name"] = name;
      workloads.emplace(name, parseExpectation(named, workloadsFile.parent_path()));
    }
  } catch (const json::exception& ex) {
    throw BadInput(fmt::format("{}: {}", workloadsFile.string(), ex.what()));
  } catch (const BadInput& ex) {
    throw BadInput(fmt::format("{}: {}", workloadsFile.string(), ex.what()));
  }
  return workloads;
}

Verdict verify(const Expectation& expected, const RunResult& run) {
  if (!run.startError.empty()) return {false, run.startError};
  if (run.timedOut) return {false, "timed out (process group killed)"};
  const int gotSignal = run.signal, gotStatus = run.exitStatus;
  if (gotSignal != expected.signal || (!expected.signal && gotStatus != expected.status)) {
    std::string detail =
        fmt::format("expected {}, got {}", ending(expected.status, expected.signal),
                    ending(gotStatus, gotSignal));
    std::string_view err = run.stderrBytes;
    if (!err.empty())
      detail += fmt::format(" (stderr: \"{}\")", printable(err.substr(0, err.find('\n'))));
    return {false, detail};
  }
  if (expected.stdoutBytes) {
    if (*expected.stdoutBytes != run.stdoutBytes)
      return {false, firstDifference(*expected.stdoutBytes, run.stdoutBytes)};
  } else if (run.stdoutBytes.size() != expected.stdoutSize ||
             digest(run.stdoutBytes) != expected.stdoutDigest) {
    return {
        false,
        fmt::format("stdout differs: expected {} bytes with digest {}, got {} bytes with digest {}",
                    expected.stdoutSize, digestHex(expected.stdoutDigest), run.stdoutBytes.size(),
                    digestHex(digest(run.stdoutBytes)))};
  }
  return {true, {}};
}

} // namespace bench32
