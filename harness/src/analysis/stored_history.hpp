// A results database's history as the reading commands show it (history, serve): the
// sessions of one kind of machine read, made relative to the anchor they ran unless asked
// not to, merged per revision in commit order, the noise model and triage states learned
// from the database, and the rows of every series.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "analysis/history.hpp"
#include "analysis/revision_points.hpp"
#include "store/open.hpp"

namespace bench32 {

struct HistoryQuery {
  std::string machine; // a glob; empty: every session
  HistoryFilter filter;
  bool noAnchor = false;
  std::filesystem::path repo; // orders the revisions it knows by commit
};

struct StoredHistory {
  store::Selection selected;
  std::vector<RevisionPoint> points;
  std::unique_ptr<Knowledge> knowledge; // filter.settings point into it
  HistoryFilter filter;
  std::vector<HistoryRow> rows;
  std::string anchorNote; // how the values were read, when an anchor ran
};

StoredHistory readHistory(store::Database& db, const HistoryQuery& query);

} // namespace bench32
