// The hot code of a function: its disassembly with each instruction's execution count,
// from a callgrind run with --dump-instr=yes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench32 {

// The name a function's cost is kept under: callgrind's name without its recursion
// level ("f'2" is f), and all code that has no symbol under one name.
inline constexpr const char* unnamedCode = "(code without a symbol: PLT stubs)";
std::string profiledFunction(std::string name);

// Execution counts by function name (recursion levels folded in, as in FunctionProfile)
// and by instruction address (file-relative, as in the symbol table).
struct InstructionCounts {
  std::map<std::string, std::map<std::uint64_t, std::uint64_t>> functions;
  std::uint64_t total = 0; // callgrind's own
  std::string error;       // when the file cannot be read or does not add up
};

// A callgrind out file ("positions: instr line", one event): fn=/ob= records, cost lines
// "ADDRESS LINE COUNT" with the positions given absolute (0x...), relative (+N, -N) or
// as before (*), and calls= lines whose next line is a call's inclusive cost (not the
// caller's own). An error when the counts do not add up to the file's totals.
InstructionCounts parseCallgrindInstructions(const std::string& text);

struct AsmLine {
  std::uint64_t address = 0, count = 0;
  std::string instruction;
  bool hot = false; // among the function's hottest instructions
};

// objdump -d --no-show-raw-insn --disassemble=SYMBOL: one line per instruction.
std::vector<AsmLine> parseDisassembly(const std::string& objdump);

// The function's disassembly from the binary, with the counts attached and the hottest
// marked: instructions with at least 5% of the function's count. Empty when objdump
// fails.
std::vector<AsmLine> annotatedDisassembly(const std::filesystem::path& binary,
                                          const std::string& symbol,
                                          const std::map<std::uint64_t, std::uint64_t>& counts);

// One function's code on one side; no lines when that binary has no code for it.
struct AsmListing {
  std::string side, function;
  std::vector<AsmLine> lines;
};

// "SIDE: FUNCTION, N instructions executed" (or that the binary has no code for it).
std::string asmTitle(const AsmListing& listing);

// Two listings as text: side by side when `width` holds two columns of at least 78
// characters, one after the other otherwise.
std::string asmText(const AsmListing& a, const AsmListing& b, std::size_t width);

// The terminal's width: COLUMNS, else the window size of standard output, else 80.
std::size_t terminalWidth();

} // namespace bench32
