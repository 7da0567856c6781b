#include "explain/asm.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <sstream>

#include <fmt/format.h>

#include "exec/process.hpp"

namespace bench32 {
namespace {

bool number(const std::string& text, std::size_t from, int base, std::uint64_t& value) {
  if (from >= text.size()) return false;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data() + from, end, value, base);
  return error == std::errc() && at == end;
}

// One subposition against the previous one: 0x... absolute, +N / -N relative, * the same,
// a plain number absolute.
bool subposition(const std::string& token, std::uint64_t previous, std::uint64_t& value) {
  std::uint64_t n = 0;
  if (token == "*") {
    value = previous;
    return true;
  }
  if (token.starts_with("0x")) return number(token, 2, 16, value);
  if (token[0] == '+' && number(token, 1, 10, n)) return value = previous + n, true;
  if (token[0] == '-' && number(token, 1, 10, n)) return value = previous - n, true;
  return number(token, 0, 10, value);
}

// "(12) name" defines name 12, "(12)" refers to it; anything else is the name itself.
std::string compressedName(const std::string& value, std::map<std::string, std::string>& names) {
  const std::size_t close = value.find(')');
  if (value.empty() || value[0] != '(' || close == std::string::npos) return value;
  const std::string id = value.substr(0, close + 1);
  if (close + 1 < value.size())
    return names[id] = value.substr(value.find_first_not_of(' ', close + 1));
  const auto known = names.find(id);
  return known == names.end() ? value : known->second;
}

struct ParseState {
  std::map<std::string, std::string> functionNames;
  std::string function;
  std::vector<std::uint64_t> position;
  std::size_t instr = 0; // which subposition is the address
  bool callCost = false; // the next cost line is a call's inclusive cost
  std::uint64_t sum = 0;
};

// A cost line: the subpositions, then the count (absent: 0).
bool costLine(const std::string& line, ParseState& s, InstructionCounts& counts) {
  std::istringstream words(line);
  std::string token;
  for (std::size_t i = 0; i < s.position.size(); ++i)
    if (!(words >> token) || !subposition(token, s.position[i], s.position[i])) return false;
  std::uint64_t count = 0;
  if (words >> token && !number(token, 0, 10, count)) return false;
  if (s.callCost) {
    s.callCost = false;
    return true;
  }
  counts.functions[s.function][s.position[s.instr]] += count;
  s.sum += count;
  return true;
}

void headerLine(const std::string& line, ParseState& s, InstructionCounts& counts) {
  if (line.starts_with("positions:")) {
    std::istringstream words(line.substr(10));
    s.position.clear();
    for (std::string kind; words >> kind;) {
      if (kind == "instr") s.instr = s.position.size();
      s.position.push_back(0);
    }
  } else if (line.starts_with("fn=")) {
    s.function = profiledFunction(compressedName(line.substr(3), s.functionNames));
  } else if (line.starts_with("cfn=")) {
    compressedName(line.substr(4), s.functionNames);
  } else if (line.starts_with("calls=")) {
    s.callCost = true;
  } else if (line.starts_with("totals:") || line.starts_with("summary:")) {
    std::uint64_t total = 0;
    const std::string value = line.substr(line.find(':') + 1);
    if (number(value, value.find_first_not_of(' '), 10, total)) counts.total = total;
  }
}

} // namespace

std::string profiledFunction(std::string name) {
  // callgrind names the deeper levels of a recursion "f'2": they are f's cost too.
  const std::size_t quote = name.rfind('\'');
  if (quote != std::string::npos && quote + 1 < name.size() &&
      name.find_first_not_of("0123456789", quote + 1) == std::string::npos)
    name.erase(quote);
  // Code without a symbol (the PLT's stubs) is named by its address, which moves
  // between builds: one row for all of it.
  if (name.starts_with("0x") && name.find_first_not_of("0123456789abcdef", 2) == std::string::npos)
    return unnamedCode;
  return name;
}

InstructionCounts parseCallgrindInstructions(const std::string& text) {
  InstructionCounts counts;
  ParseState s;
  s.position.assign(1, 0); // "positions: line" when the header names none
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const char c = line[0];
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '*') {
      if (!costLine(line, s, counts))
        counts.error = "a cost line callgrind should not write: " + line;
    } else {
      headerLine(line, s, counts);
    }
  }
  if (counts.error.empty() && s.sum != counts.total)
    counts.error =
        fmt::format("callgrind's instructions add up to {}, not its total {}", s.sum, counts.total);
  return counts;
}

std::vector<AsmLine> parseDisassembly(const std::string& objdump) {
  std::vector<AsmLine> lines;
  std::istringstream in(objdump);
  for (std::string line; std::getline(in, line);) {
    // "    1149:\tpush   %rbp"; symbol headers ("0000000000001149 <f>:") start unindented.
    const std::size_t start = line.find_first_not_of(' ');
    const std::size_t colon = line.find(":\t");
    if (start == 0 || start == std::string::npos || colon == std::string::npos) continue;
    AsmLine a;
    if (!number(line.substr(start, colon - start), 0, 16, a.address)) continue;
    a.instruction = line.substr(colon + 2);
    for (char& ch : a.instruction)
      if (ch == '\t') ch = ' ';
    while (!a.instruction.empty() && a.instruction.back() == ' ') a.instruction.pop_back();
    lines.push_back(a);
  }
  return lines;
}

std::vector<AsmLine> annotatedDisassembly(const std::filesystem::path& binary,
                                          const std::string& symbol,
                                          const std::map<std::uint64_t, std::uint64_t>& counts) {
  RunRequest request;
  request.argv = {"objdump", "-d", "--no-show-raw-insn", "--disassemble=" + symbol,
                  binary.string()};
  const RunResult run = runProcess(request);
  if (run.exitStatus != 0 || !run.stdoutFile) return {};
  std::vector<AsmLine> lines = parseDisassembly(run.stdoutFile->readAll());
  std::uint64_t total = 0;
  for (auto& line : lines) {
    const auto found = counts.find(line.address);
    line.count = found == counts.end() ? 0 : found->second;
    total += line.count;
  }
  for (auto& line : lines) line.hot = line.count > 0 && line.count * 20 >= total;
  return lines;
}

namespace {

std::string asmLineText(const AsmLine& line) {
  return fmt::format("{:>12} {} {:>6x}  {}", line.count ? std::to_string(line.count) : "",
                     line.hot ? '>' : ' ', line.address, line.instruction);
}

std::string fitted(std::string text, std::size_t width) {
  if (text.size() > width) text.resize(width);
  return text + std::string(width - text.size(), ' ');
}

} // namespace

std::string asmTitle(const AsmListing& listing) {
  if (listing.lines.empty())
    return fmt::format("{}: {}: no code in this binary", listing.side, listing.function);
  std::uint64_t total = 0;
  for (const auto& line : listing.lines) total += line.count;
  return fmt::format("{}: {}, {} instructions executed", listing.side, listing.function, total);
}

std::string asmText(const AsmListing& listingA, const AsmListing& listingB, std::size_t width) {
  std::string out;
  const std::string titleA = asmTitle(listingA), titleB = asmTitle(listingB);
  const auto &a = listingA.lines, &b = listingB.lines;
  if (width >= 160) {
    const std::size_t column = width / 2 - 2;
    out += fitted(titleA, column) + "  | " + titleB + "\n";
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
      std::string left = fitted(i < a.size() ? asmLineText(a[i]) : "", column) + "  | " +
                         (i < b.size() ? asmLineText(b[i]) : "");
      while (!left.empty() && left.back() == ' ') left.pop_back();
      out += left + "\n";
    }
    return out;
  }
  for (const auto& [title, lines] : {std::pair{&titleA, &a}, std::pair{&titleB, &b}}) {
    out += *title + "\n";
    for (const auto& line : *lines) out += asmLineText(line) + "\n";
  }
  return out;
}

std::size_t terminalWidth() {
  if (const char* columns = std::getenv("COLUMNS")) {
    std::uint64_t width = 0;
    if (number(columns, 0, 10, width) && width > 0) return width;
  }
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

} // namespace bench32
