// exec/words: a command line written back from its words splits into the same words;
// counts and name lists as messages print them.

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

} // namespace
} // namespace bench32
