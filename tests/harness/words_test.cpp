// exec/words: a command line written back from its words splits into the same words;
// counts and name lists as messages print them.

#include "cli/command_line.hpp"
#include "exec/errors.hpp"
#include "exec/words.hpp"

#include <gtest/gtest.h>

namespace bench32 {
namespace {

TEST(Words, CommandTextSplitsBackIntoTheSameWords) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"qemu-i386", "-L", "/usr/i686-linux-gnu"},
      {"valgrind", "--tool=callgrind", "--log-file=/tmp/a b"},
      {"sh", "-c", "echo 'hi' && exit 3"},
      {"", "x"},
      {"it's", "\"quoted\"", "back\\slash", "$HOME", "tab\there", "new\nline"},
  };
  for (const auto& words : cases) EXPECT_EQ(shellWords(commandText(words)), words);
  // Plain words stay as they are, so a recorded prefix reads as it was typed.
  EXPECT_EQ(commandText({"qemu-arm", "-L", "/usr/arm-linux-gnueabihf"}),
            "qemu-arm -L /usr/arm-linux-gnueabihf");
  EXPECT_EQ(commandText({"a b"}), "'a b'");
}

TEST(Words, PluralsAndNameLists) {
  EXPECT_EQ(plural(0, "run"), "0 runs");
  EXPECT_EQ(plural(1, "run"), "1 run");
  EXPECT_EQ(plural(2, "program"), "2 programs");
  EXPECT_EQ(joinNames(std::vector<std::string>{}), "");
  EXPECT_EQ(joinNames(std::vector<std::string>{"a"}), "a");
  EXPECT_EQ(joinNames(std::vector<std::string>{"a", "b", "c"}), "a, b, c");
}

TEST(Words, NearestNameIsASlipNotAGuess) {
  const std::vector<std::string> commands{"list", "run", "compare", "score", "report", "show"};
  const std::vector<std::string> programs{"Fibonacci", "hailstone", "primes", "pegs", "stats"};
  const std::vector<std::string> none;
  struct Case {
    std::string word;
    const std::vector<std::string>* known;
    std::string nearest; // empty: none
  };
  const Case cases[] = {
      {"comapre", &commands, "compare"}, // two letters swapped
      {"compar", &commands, "compare"},  // one left out
      {"rum", &commands, "run"},         // one replaced
      {"REPORT", &commands, "report"},   // case alone
      {"frob", &commands, ""},           // nothing near
      {"x", &commands, ""},              // one letter is no hint
      {"", &commands, ""},               //
      {"hailston", &programs, "hailstone"},
      {"fibonacci", &programs, "Fibonacci"},
      {"peg", &programs, "pegs"},
      {"stat", &programs, "stats"},
      {"primez", &programs, "primes"},
      {"quadloop", &programs, ""},
      {"anything", &none, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(nearestName(c.word, *c.known), c.nearest) << c.word;
  EXPECT_EQ(suggestion("comapre", commands), "; did you mean \"compare\"?");
  EXPECT_EQ(suggestion("frob", {"a", "b"}, "commands"), " (commands: a, b)");
}

} // namespace
} // namespace bench32

namespace bench32 {
namespace {

TEST(Words, ASweepTakesTheKthChoiceOfEveryGroupTogether) {
  struct Case {
    std::string text;
    std::vector<std::string> expanded; // empty: refused
  };
  const std::vector<Case> cases{
      {"gcc=g++:-O2", {"gcc=g++:-O2"}},
      {"gcc-O{1,2,3}=g++:-O{1,2,3}", {"gcc-O1=g++:-O1", "gcc-O2=g++:-O2", "gcc-O3=g++:-O3"}},
      {"{gcc,clang}={g++,clang++}:-O2", {"gcc=g++:-O2", "clang=clang++:-O2"}},
      {"a{x,y}=c:-O2 -march={native,x86-64}", {"ax=c:-O2 -march=native", "ay=c:-O2 -march=x86-64"}},
      {"plain=c:-DX={1}", {"plain=c:-DX={1}"}}, // a brace without a comma is no group
      {"a{1,2}=c:-O{1,2,3}", {}},               // groups of different lengths
      {"a{1,}=c:-O2", {}},                      // an empty choice
      {"a{1,2=c:-O2", {}},                      // a brace left open
  };
  for (const auto& c : cases) {
    if (c.expanded.empty()) {
      EXPECT_THROW(expandSweep(c.text), BadInput) << c.text;
      continue;
    }
    EXPECT_EQ(expandSweep(c.text), c.expanded) << c.text;
  }
}

// One rule for every relative amount: "2%" and "0.02" alike, a bare 1 or more a percentage.
TEST(Words, RelativeAmountsReadOneWay) {
  struct Case {
    const char* text;
    double fraction; // negative: refused
  };
  const Case cases[] = {{"2%", 0.02},    {"0.02", 0.02}, {"5", 0.05},  {"1", 0.01},
                        {"0.5%", 0.005}, {"150%", 1.5},  {"0", 0},     {"0%", 0},
                        {"-1", -1},      {"%", -1},      {"", -1},     {"2 %", -1},
                        {"inf", -1},     {"2%%", -1},    {"0x10", -1}, {"1e-3", 0.001}};
  for (const auto& c : cases) {
    if (c.fraction < 0) {
      EXPECT_THROW(parseRelative(c.text, "--min-effect"), BadInput) << c.text;
      continue;
    }
    EXPECT_DOUBLE_EQ(parseRelative(c.text, "--min-effect"), c.fraction) << c.text;
  }
  EXPECT_EQ(relativeText(0.02), "2%");
  EXPECT_EQ(relativeText(0.005), "0.5%");
  EXPECT_DOUBLE_EQ(parseResolution("0.5%"), 0.005);
  for (const char* outside : {"0", "100%", "0%"}) EXPECT_THROW(parseResolution(outside), BadInput);
}

TEST(Words, ParserErrorsInOurWords) {
  EXPECT_EQ(parseErrorLine("--json: 1 required FILE missing", "--json"),
            "--json needs a value: FILE");
  EXPECT_EQ(parseErrorLine(": 1 required FILE missing", "--json"), "--json needs a value: FILE");
  EXPECT_EQ(parseErrorLine("-c: 2 required NAME missing", "-c"), "-c needs 2 values: NAME");
  EXPECT_EQ(parseErrorLine("--db is required", ""), "--db is required");
}

} // namespace

} // namespace bench32
