#include "analysis/stored_history.hpp"

#include "analysis/anchor.hpp"

namespace bench32 {

StoredHistory readHistory(store::Database& db, const HistoryQuery& query) {
  StoredHistory h;
  h.filter = query.filter;
  const Metric metric = h.filter.settings.metric;
  h.selected = store::readSelected(db, query.machine);
  if (!query.noAnchor) h.anchorNote = anchorSessions(h.selected.results, metric);
  h.points = revisionPoints(h.selected.sessions, h.selected.results, query.repo);
  h.knowledge = std::make_unique<Knowledge>(db, everySession(h.points), metric);
  h.knowledge->applyTo(h.filter.settings);
  h.rows = history(h.points, h.filter);
  return h;
}

} // namespace bench32
