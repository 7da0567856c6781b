// output/export: every format renders a document for its audience.

#include <cmath>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "model/metrics.hpp"
#include "output/export/exporter.hpp"
#include "output/table.hpp"

namespace bench32 {
namespace {

TEST(Exporter, CsvIsOneTableWhateverTheSectionsAndQuotesEveryBreak) {
  Table first, second;
  first.columns = {{"a", "a"}, {"b", "b"}};
  first.rows = {{Cell("1"), Cell("two\rlines")}};
  second.columns = {{"b", "b"}, {"c", "c"}};
  second.rows = {{Cell("3"), Cell("4")}};
  struct Case {
    Document document;
    const char* expected;
  };
  const Case cases[] = {
      {{{{"", first, {}}}}, "a,b\n1,\"two\rlines\"\n"},
      // One header, a column naming each row's section, every section's columns.
      {{{{"x against y", first, {}}, {"", second, {}}}},
       "table,a,b,c\nx against y,1,\"two\rlines\",\n2,,3,4\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(csvExporter().render(c.document), c.expected);
}

// A table given a width wraps its last column at spaces, and only where it must.
TEST(Exporter, TextWrapsTheLastColumnToTheWidth) {
  Table table;
  table.columns = {{"name", "name"}, {"note", "note"}};
  table.rows = {{Cell("a"), Cell("one two three four five six")},
                {Cell("bb"), Cell("short")},
                {Cell("c"), Cell("averyveryverylongwordthatcannotbreak x")}};
  struct Case {
    std::size_t width;
    const char* expected;
  };
  const Case cases[] = {
      {0, "name  note\n----  --------------------------------------\na     one two three four five "
          "six\nbb    short\nc     averyveryverylongwordthatcannotbreak x\n"},
      {26, "name  note\n----  --------------------\na     one two three four\n      five six\n"
           "bb    short\nc     averyveryverylongwordthatcannotbreak\n      x\n"},
      // Too narrow to leave the column room to read: under each row, indented.
      {25, "name\n----\na\n    one two three four\n    five six\nbb\n    short\nc\n"
           "    averyveryverylongwordthatcannotbreak\n    x\n"},
      // Too narrow for even that: as wide as it takes.
      {20,
       "name  note\n----  --------------------------------------\na     one two three four five "
       "six\nbb    short\nc     averyveryverylongwordthatcannotbreak x\n"},
  };
  for (const auto& c : cases) {
    table.width = c.width;
    EXPECT_EQ(textExporter().render({{{"", table, {}}}}), c.expected) << c.width;
  }
}

// Counts in groups of three and intervals, as every table prints them.
TEST(Exporter, CountsAndIntervalsPrintOneWay) {
  const std::pair<double, const char*> counts[] = {{0, "0"},
                                                   {999, "999"},
                                                   {1000, "1,000"},
                                                   {-1234, "-1,234"},
                                                   {123456, "123,456"},
                                                   {7638077, "7,638,077"},
                                                   {-1e9, "-1,000,000,000"},
                                                   {NAN, "-"}};
  for (const auto& [count, text] : counts) EXPECT_EQ(formatGrouped(count), text) << text;
  EXPECT_EQ(formatInterval(1.0634, 1.0699), "[1.063, 1.070]");
  EXPECT_EQ(formatInterval("2.565 ms", "2.615 ms"), "[2.565 ms, 2.615 ms]");
}

TEST(Exporter, JsonNamesItsSchemaAndVersion) {
  Table t;
  t.columns = {{"a", "a"}};
  t.rows = {{Cell("1")}};
  const auto doc = nlohmann::json::parse(jsonExporter().render({{{"", t, {}}}}));
  EXPECT_EQ(doc.at("schema"), "bench32-tables");
  EXPECT_EQ(doc.at("version"), 1);
  EXPECT_EQ(doc.at("tables").at(0).at("rows").at(0).at("a"), 1);
}

TEST(Exporter, EachFormatEscapesItsSeparatorsAndShowsItsAudiencesColumns) {
  Table t;
  // "a" is for both audiences, "b" for people only, "c" for tools only.
  t.columns = {{"a", "a"}, {"b", "", true}, {"", "c"}};
  t.rows = {{Cell("x,y"), Cell("say \"hi\""), Cell("", "1.5")},
            {Cell("p|q"), Cell("µs"), Cell("<&>")}};
  t.rowTags = {"slower", ""};
  const Document doc{{{"", t, {"a note"}}}};
  struct Case {
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"csv", "a,c\n\"x,y\",1.5\np|q,<&>\n"},
      {"markdown", "| a | b |\n| --- | ---: |\n| x,y | say \"hi\" |\n| p\\|q | µs |\n\na note\n"},
      // Aligned text counts characters, not bytes.
      {"text", "a           b\n---  --------\nx,y  say \"hi\"\np|q        µs\na note\n"},
      {"json", "\"c\": 1.5"},
      {"html", "<tr class='slower'><td>x,y</td><td class='n'>say &quot;hi&quot;</td></tr>"},
  };
  for (const auto& c : cases) {
    const std::string out = exporterNamed(c.format).render(doc);
    if (std::string(c.format) == "json" || std::string(c.format) == "html")
      EXPECT_NE(out.find(c.expected), std::string::npos) << c.format << ":\n" << out;
    else
      EXPECT_EQ(out, c.expected) << c.format;
  }
  EXPECT_THROW(exporterNamed("xml"), BadInput);
  // Every format has its own name, and the JSON one is valid JSON.
  std::set<std::string> names;
  for (const Exporter* e : exporters()) EXPECT_TRUE(names.insert(e->name()).second);
  EXPECT_TRUE(nlohmann::json::accept(jsonExporter().render(doc)));
}

} // namespace

} // namespace bench32
