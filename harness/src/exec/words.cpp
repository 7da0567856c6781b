#include "exec/words.hpp"

#include <algorithm>
#include <cctype>

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

namespace {

// Optimal string alignment distance over lower-cased letters: a swapped pair of
// neighbours counts as one edit, the commonest slip when typing.
std::size_t editDistance(std::string_view a, std::string_view b) {
  const auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * width + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
    }
  return at(a.size(), b.size());
}

} // namespace

std::string nearestName(std::string_view word, const std::vector<std::string>& known) {
  std::string best;
  std::size_t bestDistance = 0;
  for (const auto& name : known) {
    // Beyond this the two words have too little in common for one to be a slip for the
    // other: "run" is not a slip for "gbench".
    const std::size_t allowed = std::max<std::size_t>(1, std::max(word.size(), name.size()) / 3);
    const std::size_t distance = editDistance(word, name);
    // A one-letter word is one edit from every other one-letter word: no hint at all.
    if (distance <= allowed && distance < word.size() && (best.empty() || distance < bestDistance))
      best = name, bestDistance = distance;
  }
  return best;
}

std::string suggestion(std::string_view word, const std::vector<std::string>& known,
                       std::string_view label) {
  const std::string nearest = nearestName(word, known);
  if (!nearest.empty()) return fmt::format("; did you mean \"{}\"?", nearest);
  if (label.empty()) return fmt::format(" ({})", joinNames(known));
  return fmt::format(" ({}: {})", label, joinNames(known));
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

namespace bench32 {

std::vector<std::string> expandSweep(const std::string& text) {
  // The text cut into literal pieces and groups of choices, in order.
  struct Piece {
    std::string literal;
    std::vector<std::string> choices; // empty: a literal piece
  };
  std::vector<Piece> pieces;
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t open = text.find('{', at);
    const std::size_t close = open == std::string::npos ? open : text.find('}', open);
    const std::string inside =
        close == std::string::npos ? std::string() : text.substr(open + 1, close - open - 1);
    if (open == std::string::npos || inside.find(',') == std::string::npos) {
      if (open != std::string::npos && close == std::string::npos &&
          text.find(',', open) != std::string::npos)
        throw BadInput(fmt::format("\"{}\": a brace is left open", text));
      const std::size_t end = open == std::string::npos    ? text.size()
                              : close == std::string::npos ? text.size()
                                                           : close + 1;
      pieces.push_back({text.substr(at, end - at), {}});
      at = end;
      continue;
    }
    pieces.push_back({text.substr(at, open - at), {}});
    Piece group;
    for (std::size_t from = 0;;) {
      const std::size_t comma = inside.find(',', from);
      group.choices.push_back(
          inside.substr(from, comma == std::string::npos ? comma : comma - from));
      if (group.choices.back().empty())
        throw BadInput(fmt::format("\"{}\": an empty choice in {{{}}}", text, inside));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
    if (count != 0 && group.choices.size() != count)
      throw BadInput(fmt::format("\"{}\": its brace groups list {} and {} choices; each must "
                                 "list as many, the k-th of each going together",
                                 text, count, group.choices.size()));
    count = group.choices.size();
    pieces.push_back(std::move(group));
    at = close + 1;
  }
  if (count == 0) return {text};
  std::vector<std::string> texts(count);
  for (std::size_t k = 0; k < count; ++k)
    for (const auto& piece : pieces)
      texts[k] += piece.choices.empty() ? piece.literal : piece.choices[k];
  return texts;
}

} // namespace bench32
