// What `serve` shows of a results database: each page and each JSON answer is a function
// of the request's parameters, reading the database anew, so that a page is as fresh as
// the last session written. No HTTP here: server.cpp maps requests to these.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace bench32::serve {

using Params = std::map<std::string, std::string>;

struct Reply {
  int status = 200;
  std::string type = "text/html; charset=utf-8";
  std::string body;
  std::string location; // a redirect's target (status 303)
};

// What every page needs to know of the server.
struct Site {
  std::string db;             // the database URL
  std::filesystem::path repo; // orders the revisions git knows
  bool readOnly = false;
  std::string script; // the tables' sorter and filter (tableScript), inlined in every page
};

// Pages (HTML) and their data (JSON), each GET.
Reply overviewPage(const Site& site, const Params& params);
Reply overviewData(const Site& site, const Params& params);
Reply programPage(const Site& site, const Params& params);
Reply programData(const Site& site, const Params& params);
Reply comparePage(const Site& site, const Params& params);
Reply compareData(const Site& site, const Params& params);
Reply changePage(const Site& site, const Params& params);
Reply changeData(const Site& site, const Params& params);
Reply sessionsData(const Site& site, const Params& params);
// The newest session's id, which pages poll to reload when a session arrives.
Reply latestData(const Site& site, const Params& params);

// What the database holds now, as a stamp: a page made under the same stamp is still true.
std::string databaseStamp(const Site& site);

// Writes (POST), once the server has checked the token and the origin: a change's
// triage state and note, from a page's form (answered by a redirect to the change's
// page) or as JSON.
Reply triageForm(const Site& site, const Params& params);
Reply triageData(const Site& site, const Params& params);

// The longest parameter value taken, and the longest note.
inline constexpr std::size_t maxParamBytes = 256, maxNoteBytes = 500;

// Text for a URL's query: every byte but letters, digits and -._~ percent-encoded.
std::string queryEscaped(const std::string& text);

} // namespace bench32::serve
