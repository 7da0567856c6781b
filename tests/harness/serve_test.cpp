// serve's pieces without a server: the listen address, the query escaping, and the
// parameters every page refuses before it reads the database.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "exec/errors.hpp"
#include "serve/pages.hpp"
#include "serve/server.hpp"

namespace bench32::serve {
namespace {

TEST(Serve, ListenAddressesAreHostAndPort) {
  struct Case {
    std::string text;
    std::string host;
    int port; // -1: refused
  };
  const std::vector<Case> cases{
      {"127.0.0.1:8032", "127.0.0.1", 8032},
      {"localhost:0", "localhost", 0},
      {"[::1]:9000", "::1", 9000},
      {"0.0.0.0:65535", "0.0.0.0", 65535},
      {"127.0.0.1", "", -1},
      {":8032", "", -1},
      {"127.0.0.1:", "", -1},
      {"127.0.0.1:65536", "", -1},
      {"127.0.0.1:80a", "", -1},
      {"127.0.0.1:123456", "", -1},
  };
  for (const auto& c : cases) {
    if (c.port < 0) {
      EXPECT_THROW(parseListen(c.text), BadInput) << c.text;
      continue;
    }
    EXPECT_EQ(parseListen(c.text), std::make_pair(c.host, c.port)) << c.text;
  }
  for (const auto& [host, loopback] :
       std::vector<std::pair<std::string, bool>>{{"127.0.0.1", true},
                                                 {"127.8.9.1", true},
                                                 {"::1", true},
                                                 {"localhost", true},
                                                 {"0.0.0.0", false},
                                                 {"192.168.1.2", false},
                                                 {"::", false}})
    EXPECT_EQ(isLoopback(host), loopback) << host;
}

TEST(Serve, QueriesEscapeEverythingButUnreservedBytes) {
  EXPECT_EQ(queryEscaped("r1-O2_x.y~"), "r1-O2_x.y~");
  EXPECT_EQ(queryEscaped("a b&c=d/<e>\"'"), "a%20b%26c%3Dd%2F%3Ce%3E%22%27");
  EXPECT_EQ(queryEscaped("\xc3\xa9"), "%C3%A9");
}

TEST(Serve, TokensAreLongAndNew) {
  const std::string a = newToken(), b = newToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
}

TEST(Serve, ParametersAreRefusedBeforeTheDatabaseIsRead) {
  // No database at all: each refusal must come first.
  const Site site{"/nonexistent/bench32-serve-test.db", {}, false, {}};
  struct Case {
    Reply (*page)(const Site&, const Params&);
    Params params;
    std::string words;
  };
  const std::vector<Case> cases{
      {programPage, {}, "\"name\" is missing"},
      {programPage, {{"name", std::string(maxParamBytes + 1, 'x')}}, "longer than 256 bytes"},
      {programData, {{"name", "a\nb"}}, "control character"},
      {changePage, {{"revision", "r1"}}, "\"program\" is missing"},
      {triageData, {{"state", "done"}}, "none of open, fixed, accepted, false-positive"},
      {triageData,
       {{"state", "accepted"}, {"note", std::string(maxNoteBytes + 1, 'n')}},
       "longer than 500 bytes"},
      {triageData, {{"state", "accepted"}, {"note", "two\rlines"}}, "one line"},
  };
  for (const auto& c : cases) {
    try {
      c.page(site, c.params);
      ADD_FAILURE() << c.words;
    } catch (const BadInput& e) {
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
    }
  }
}

} // namespace
} // namespace bench32::serve
