// exec/stored_json: stored JSON is parsed with bounded depth, no duplicate keys and
// numbers checked before they are converted; every refusal is one line.

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

namespace bench32 {
namespace {

using nlohmann::json;

std::string refusal(const std::string& text) {
  try {
    parseStoredJson(text, "r.json");
  } catch (const BadInput& e) {
    return e.what();
  }
  return "accepted";
}

TEST(StoredJson, BadTextIsOneLineNamingWhereItWentWrong) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const struct {
    std::string text, message;
  } cases[] = {
      {"", "r.json: not valid JSON at line 1, column 1"},
      {"{\"a\":\n  tru}", "r.json: not valid JSON at line 2, column 6"},
      {"{\"a\": 1} x", "r.json: not valid JSON at line 1, column 10"},
      {"[1e400]", "r.json: number out of range at line 1, column 6"},
      {"\"\xff\"", "r.json: not valid JSON at line 1, column 2"},
      {"{\"a\": 1, \"a\": 2}", "r.json: duplicate key \"a\""},
      {"{\"results\": [{}, {\"x\": 1, \"x\": 1}]}", "r.json: duplicate key \"x\" at results[1]"},
      {"{\"k\": {\"a\\nb\": 1, \"a\\nb\": 2}}", "r.json: duplicate key \"a\\nb\" at k"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.text), c.message) << c.text;

  // Deep nesting is refused where it passes the bound, with the path cut short.
  const std::string tooDeep = refusal(deep);
  EXPECT_EQ(tooDeep.rfind("r.json: too deeply nested (over 64 levels) at [0][0]", 0), 0u);
  EXPECT_LT(tooDeep.size(), 250u);
  EXPECT_EQ(tooDeep.find('\n'), std::string::npos);
  const std::string inResults = refusal("{\"results\": [{}, {\"layouts\": [" + deep + "]}]}");
  EXPECT_EQ(
      inResults.rfind("r.json: too deeply nested (over 64 levels) at results[1].layouts[0][0]", 0),
      0u);
  // 64 levels are read.
  EXPECT_EQ(parseStoredJson(std::string(64, '[') + std::string(64, ']'), "r.json").size(), 1u);
}

TEST(StoredJson, GoodTextReadsAsTheLibraryReadsIt) {
  for (const char* text : {"{}", "[]", "0", "-1", "18446744073709551615", "1.5e300", "null",
                           "{\"a\": [1, {\"b\": \"\\u00e9\"}], \"c\": {\"a\": true}}"})
    EXPECT_EQ(parseStoredJson(text, "x"), json::parse(text)) << text;
}

TEST(StoredJson, OneLineEscapesWhatATerminalWouldActOn) {
  const struct {
    std::string text, shown;
  } cases[] = {
      {"gcc-O2", "gcc-O2"},
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"\xff\xc3", "\\xff\\xc3"},
      {"\xc2\x9b", "\\u009b"},
      {"\xe2\x80\xa8", "\\u2028"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // a surrogate
      {"\xc0\xaf", "\\xc0\\xaf"},          // an overlong "/"
      {std::string(300, 'x'), std::string(200, 'x') + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(oneLine(c.text), c.shown);
  EXPECT_EQ(oneLine("\n\n\n", 4), "\\n\\n...");
}

TEST(StoredJson, NumbersAreCheckedBeforeTheyAreConverted) {
  const auto integer = [](const char* text, std::int64_t lo, std::int64_t hi) -> std::string {
    try {
      return std::to_string(integerAt(json::parse(text), "version", lo, hi));
    } catch (const BadInput& e) {
      return e.what();
    }
  };
  EXPECT_EQ(integer("3", 1, 3), "3");
  EXPECT_EQ(integer("-5", -10, 0), "-5");
  EXPECT_EQ(integer("1.5", 1, 3), "version must be an integer from 1 to 3, not 1.5");
  EXPECT_EQ(integer("1e20", 1, 3), "version must be an integer from 1 to 3, not 1e+20");
  EXPECT_EQ(integer("18446744073709551616", 1, 3),
            "version must be an integer from 1 to 3, not 1.8446744073709552e+19");
  EXPECT_EQ(integer("18446744073709551615", 0, INT64_MAX).substr(0, 30),
            "version must be an integer fro");
  EXPECT_EQ(integer("\"2\"", 1, 3), "version must be an integer from 1 to 3, not \"2\"");
  EXPECT_EQ(integer("-1", 0, 3), "version must be an integer from 0 to 3, not -1");

  EXPECT_EQ(unsignedAt(json::parse("18446744073709551615"), "n", 0, UINT64_MAX), UINT64_MAX);
  EXPECT_EQ(unsignedAt(json(5), "n", 0, 10), 5u); // built in memory: signed
  EXPECT_THROW(unsignedAt(json::parse("-5"), "n", 0, UINT64_MAX), BadInput);
  EXPECT_THROW(unsignedAt(json::parse("5.0"), "n", 0, UINT64_MAX), BadInput);

  EXPECT_EQ(numberAt(json::parse("7"), "wall_s", 0, 1e300), 7.0);
  EXPECT_EQ(numberAt(json::parse("0.25"), "wall_s", 0, 1e300), 0.25);
  EXPECT_THROW(numberAt(json::parse("-0.25"), "wall_s", 0, 1e300), BadInput);
  EXPECT_THROW(numberAt(json(std::nan("")), "wall_s", -1e300, 1e300), BadInput);
  EXPECT_THROW(numberAt(json::parse("null"), "wall_s", 0, 1e300), BadInput);
  EXPECT_THROW(stringAt(json::parse("1"), "name"), BadInput);
}

TEST(StoredJson, PathsNameKeysAsTheyAreWritten) {
  EXPECT_EQ(keyPath("", "results"), "results");
  EXPECT_EQ(keyPath(indexPath("results", 3), "layouts"), "results[3].layouts");
  EXPECT_EQ(keyPath("environment", "odd key"), "environment[\"odd key\"]");
  EXPECT_EQ(keyPath("", "a\nb"), "[\"a\\nb\"]");
}

} // namespace
} // namespace bench32
