#include "exec/words.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "exec/errors.hpp"

namespace bench32 {

std::vector<std::string> shellWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word)), word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i == command.size()) throw BadInput("a command ends with a backslash");
      if (command[i] != '\n') word += command[i];
    } else if (c == '\'') {
      const std::size_t end = command.find('\'', i + 1);
      if (end == std::string::npos) throw BadInput("unterminated ' in a command");
      word += command.substr(i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == command.size()) throw BadInput("unterminated \" in a command");
        if (command[i] == '"') break;
        if (command[i] == '\\' && i + 1 < command.size() &&
            std::string_view("\"\\$`\n").find(command[i + 1]) != std::string_view::npos)
          ++i;
        word += command[i];
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string plural(std::size_t n, std::string_view word) {
  return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

std::string joinNames(const std::vector<std::string>& names) {
  return fmt::format("{}", fmt::join(names, ", "));
}

std::string commandText(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) {
    if (!text.empty()) text += ' ';
    const bool plain =
        !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789-_./=:,+@%") == std::string::npos;
    if (plain) {
      text += word;
      continue;
    }
    text += '\'';
    for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += '\'';
  }
  return text;
}

} // namespace bench32
