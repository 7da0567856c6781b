#include "serve/pages.hpp"

#include <algorithm>
#include <cctype>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/fleet.hpp"
#include "analysis/stored_history.hpp"
#include "exec/errors.hpp"
#include "model/metrics.hpp"
#include "output/comparison_table.hpp"
#include "output/export/exporter.hpp"
#include "output/export/html.hpp"
#include "output/history_table.hpp"
#include "run/environment.hpp"
#include "store/open.hpp"
#include "store/sessions.hpp"
#include "store/triage.hpp"

namespace bench32::serve {
namespace {

using nlohmann::json;

// ---- Parameters: each one bounded and printable, or the request is refused (400).

std::string param(const Params& params, const char* name, bool required = true) {
  const auto it = params.find(name);
  if (it == params.end() || it->second.empty()) {
    if (required) throw BadInput(fmt::format("the parameter \"{}\" is missing", name));
    return {};
  }
  const std::string& value = it->second;
  if (value.size() > maxParamBytes)
    throw BadInput(
        fmt::format("the parameter \"{}\" is longer than {} bytes", name, maxParamBytes));
  if (std::any_of(value.begin(), value.end(),
                  [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
    throw BadInput(fmt::format("the parameter \"{}\" holds a control character", name));
  return value;
}

Reply jsonReply(const json& value, int status = 200) {
  return {status,
          "application/json",
          value.dump(1, ' ', false, json::error_handler_t::replace) + "\n",
          {}};
}

std::string e(const std::string& text) { return escapeHtml(text); }

std::string link(const std::string& path, const Params& query, const std::string& text) {
  std::string url = path;
  char sep = '?';
  for (const auto& [k, v] : query) {
    if (v.empty()) continue;
    url += sep + queryEscaped(k) + "=" + queryEscaped(v);
    sep = '&';
  }
  return fmt::format("<a href=\"{}\">{}</a>", e(url), e(text));
}

// A page: the shared style, a line of links, the body, and a light poll that reloads
// the page when a new session arrives.
std::string page(const Site& site, const std::string& title, const std::string& body) {
  return fmt::format(
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>{} - bench32</title>"
      "<style>{}</style></head><body><nav><a href=\"/\">overview</a> · <a href=\"/compare\">"
      "compare</a> · <a href=\"/api/overview\">data</a></nav><h1>{}</h1>{}"
      "<script>(function(){{var last=null;function look(){{fetch('/api/latest').then("
      "function(r){{return r.json();}}).then(function(j){{if(last!==null&&j.latest!==last)"
      "location.reload();last=j.latest;}}).catch(function(){{}});}}look();"
      "setInterval(look,15000);}})();</script>{}</body></html>\n",
      e(title), htmlStyle, e(title), body, site.script);
}

// The database opened for one request. It opened when the server started, so a failure
// now is the database's state (a file moved away, a server down), not the request's: the
// reply is 503, not 400.
std::unique_ptr<store::Database> reading(const Site& site) {
  try {
    return store::openStore(site.db, store::Access::read);
  } catch (const BadInput& e) {
    throw std::runtime_error(e.what());
  }
}

// The kinds of machine of the database's sessions, in the order they first appear.
std::vector<std::string> machines(store::Database& db) {
  std::vector<std::string> kinds;
  for (const auto& s : store::listSessions(db))
    if (s.damage.empty() && std::find(kinds.begin(), kinds.end(), s.machine) == kinds.end())
      kinds.push_back(s.machine);
  return kinds;
}

StoredHistory historyOf(store::Database& db, const Site& site, const std::string& machine,
                        const std::vector<std::string>& programs = {},
                        const std::vector<std::string>& configs = {}) {
  HistoryQuery query;
  query.machine = machine;
  query.filter.programs = programs;
  query.filter.configs = configs;
  query.repo = site.repo;
  return readHistory(db, query);
}

bool openChange(const HistoryRow& row) {
  return flagged(row) && (row.change.state.empty() || row.change.state == "open");
}

Params changeKey(const std::string& machine, const HistoryRow& row) {
  return {{"machine", machine},
          {"revision", row.revision},
          {"program", row.program},
          {"workload", row.workload},
          {"config", row.config}};
}

json rowJson(const std::string& machine, const HistoryRow& row) {
  json j{{"machine", machine},        {"program", row.program},   {"workload", row.workload},
         {"config", row.config},      {"revision", row.revision}, {"sessions", row.sessions},
         {"count", row.count},        {"median", row.median},     {"low", row.interval.low},
         {"high", row.interval.high}, {"failure", row.failure}};
  if (row.hasPrevious) {
    j["change"] = {{"verdict", changeName(row.change.verdict)},
                   {"ratio", row.change.ratio},
                   {"low", row.change.interval.low},
                   {"high", row.change.interval.high},
                   {"p", row.change.p},
                   {"flagged", flagged(row)},
                   {"state", row.change.state}};
  }
  return j;
}

// ---- The overview: machines by configurations, and the open changes, newest first.

struct Overview {
  json data = json::object();
  std::string html;
};

Overview overview(const Site& site) {
  auto db = reading(site);
  Overview o;
  o.data["machines"] = json::array();
  o.data["changes"] = json::array();
  std::string series, changes;
  for (const auto& machine : machines(*db)) {
    const StoredHistory h = historyOf(*db, site, machine);
    json configs = json::array();
    std::set<std::string> names;
    for (const auto& row : h.rows) names.insert(row.config);
    for (const auto& config : names) {
      std::string latest;
      std::size_t programs = 0, failed = 0, open = 0;
      for (const auto& point : h.points)
        for (const auto& row : h.rows)
          if (row.config == config && row.revision == point.revision) latest = point.revision;
      for (const auto& row : h.rows) {
        if (row.config != config) continue;
        if (openChange(row)) ++open;
        if (row.revision != latest) continue;
        ++programs;
        if (!row.failure.empty()) ++failed;
      }
      configs.push_back({{"config", config},
                         {"latest", latest},
                         {"programs", programs},
                         {"failed", failed},
                         {"open_changes", open}});
      series += fmt::format("<tr><td>{}</td><td>{}</td><td class='num'>{}</td><td>{}</td>"
                            "<td>{}</td><td class='num'>{}</td></tr>",
                            e(machine), e(config), h.points.size(), e(revisionLabel(latest)),
                            failed ? fmt::format("{} of {} failed", failed, programs)
                                   : fmt::format("{} ok", programs),
                            open);
    }
    o.data["machines"].push_back(
        {{"machine", machine}, {"revisions", h.points.size()}, {"configs", configs}});
    // Newest first: the rows are in the points' order within each series.
    std::vector<const HistoryRow*> open;
    for (const auto& row : h.rows)
      if (openChange(row)) open.push_back(&row);
    auto place = [&](const HistoryRow* r) {
      for (std::size_t i = 0; i < h.points.size(); ++i)
        if (h.points[i].revision == r->revision) return i;
      return std::size_t{0};
    };
    std::stable_sort(open.begin(), open.end(),
                     [&](auto* a, auto* b) { return place(a) > place(b); });
    for (const HistoryRow* r : open) {
      o.data["changes"].push_back(rowJson(machine, *r));
      changes += fmt::format(
          "<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>",
          link("/change", changeKey(machine, *r), revisionLabel(r->revision)),
          link("/program", {{"name", r->program}, {"machine", machine}}, r->program),
          e(r->workload), e(r->config),
          e(fmt::format("{} {:.3f} {}", changeName(r->change.verdict), r->change.ratio,
                        formatInterval(r->change.interval.low, r->change.interval.high))),
          e(r->change.state.empty() ? "open" : r->change.state));
    }
  }
  std::string programs;
  if (auto listed = store::listSessions(*db); !listed.empty()) {
    o.data["sessions"] = listed.size();
  }
  o.html = "<h2>Series</h2><div class='scroll'><table><thead><tr><th>machine</th><th>configuration"
           "</th><th>revisions</th><th>latest</th><th>status</th><th>open changes</th></tr></thead>"
           "<tbody>" +
           series +
           "</tbody></table></div><h2>Open changes, newest first</h2><div class='scroll'><table>"
           "<thead><tr><th>revision</th><th>program</th><th>workload</th><th>configuration</th>"
           "<th>change</th><th>state</th></tr></thead><tbody>" +
           (changes.empty() ? "<tr><td colspan='6'>none</td></tr>" : changes) +
           "</tbody></table></div>";
  return o;
}

// ---- A program's history.

struct ProgramView {
  json data = json::object();
  std::string html;
};

ProgramView programView(const Site& site, const Params& params) {
  const std::string name = param(params, "name");
  const std::string wanted = param(params, "machine", false);
  auto db = reading(site);
  ProgramView v;
  v.data["program"] = name;
  v.data["rows"] = json::array();
  bool any = false;
  for (const auto& machine : machines(*db)) {
    if (!wanted.empty() && machine != wanted) continue;
    const StoredHistory h = historyOf(*db, site, machine, {name});
    if (h.rows.empty()) continue;
    any = true;
    std::string changes;
    for (const auto& row : h.rows) {
      v.data["rows"].push_back(rowJson(machine, row));
      if (flagged(row))
        changes +=
            "<li>" +
            link("/change", changeKey(machine, row),
                 fmt::format("{} {}/{} {}: {} ({})", revisionLabel(row.revision), row.program,
                             row.workload, row.config, changeName(row.change.verdict),
                             row.change.state.empty() ? "open" : row.change.state)) +
            "</li>";
    }
    v.html += fmt::format("<h2>{}</h2>", e(machine)) +
              trendCharts(h.rows, h.filter.settings.metric) +
              (changes.empty() ? "" : "<h3>Flagged changes</h3><ul>" + changes + "</ul>") +
              "<div class='scroll'>" +
              htmlSections(historyDocument(h.rows, h.points, h.filter.settings)) + "</div>";
  }
  if (!any) throw BadInput(fmt::format("no session measured \"{}\"", name));
  return v;
}

// ---- Any two points: revisions (or sessions) compared configuration by configuration.

struct Point {
  std::string name;
  Results results;
};

Point pointOf(store::Database& db, const store::Selection& selected, const std::string& text) {
  if (text.rfind("session:", 0) == 0) {
    const std::string digits = text.substr(8);
    if (digits.empty() || digits.size() > 18 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
      throw BadInput(fmt::format("\"{}\" is not session:ID", text));
    const std::int64_t id = std::stoll(digits);
    for (std::size_t i = 0; i < selected.sessions.size(); ++i)
      if (selected.sessions[i].id == id)
        return {fmt::format("session {}", id), selected.results[i]};
    throw BadInput(fmt::format("no readable session {}", id));
  }
  std::vector<Results> loaded;
  for (const auto& s : sessionsOf(selected.listed, text))
    for (std::size_t i = 0; i < selected.sessions.size(); ++i)
      if (selected.sessions[i].id == s.id) loaded.push_back(selected.results[i]);
  if (loaded.empty()) throw BadInput(fmt::format("revision {} has no readable session", text));
  (void)db;
  return {revisionLabel(text), mergeResults(loaded)};
}

struct CompareView {
  Document document;
  std::string a, b;
  std::vector<std::string> revisions;
  std::vector<std::int64_t> sessions;
};

CompareView compareView(const Site& site, const Params& params) {
  auto db = reading(site);
  const auto selected = store::readSelected(*db, "");
  CompareView v;
  for (const auto& s : selected.sessions) {
    if (std::find(v.revisions.begin(), v.revisions.end(), s.revision) == v.revisions.end())
      v.revisions.push_back(s.revision);
    v.sessions.push_back(s.id);
  }
  v.a = param(params, "a", false);
  v.b = param(params, "b", false);
  if (v.a.empty() || v.b.empty()) return v;
  const std::vector<Point> points{pointOf(*db, selected, v.a), pointOf(*db, selected, v.b)};
  const std::vector<Results> files{points[0].results, points[1].results};
  const auto series = collectSeries(files, {points[0].name, points[1].name});
  CompareSettings settings;
  const Knowledge knowledge(*db, selected.results, settings.metric);
  knowledge.applyTo(settings);
  // The same configuration at the two points: a comparison across them, never one
  // configuration of one against another of the other.
  std::vector<Comparison> all;
  for (const auto& base : series)
    for (const auto& other : series)
      if (base.results == &files[0] && other.results == &files[1] && base.config == other.config)
        all.push_back(compare(base, other, settings));
  if (all.empty())
    throw BadInput(fmt::format("{} and {} share no configuration", points[0].name, points[1].name));
  v.document = comparisonDocument(all);
  return v;
}

// ---- A change: its evidence, its state and note, and the form that sets them.

struct ChangeView {
  std::string machine;
  HistoryRow row;
  std::optional<store::TriageMark> mark;
};

ChangeView changeView(const Site& site, const Params& params) {
  ChangeView v;
  v.machine = param(params, "machine", false);
  const std::string revision = param(params, "revision"), program = param(params, "program"),
                    workload = param(params, "workload"), config = param(params, "config");
  auto db = reading(site);
  for (const auto& machine : machines(*db)) {
    if (!v.machine.empty() && machine != v.machine) continue;
    const StoredHistory h = historyOf(*db, site, machine, {program}, {config});
    for (const auto& row : h.rows)
      if (row.revision == revision && row.program == program && row.workload == workload &&
          row.config == config && row.hasPrevious) {
        v.machine = machine;
        v.row = row;
        for (const auto& m : store::loadTriage(*db))
          if (m.revision == revision && m.program == program && m.workload == workload &&
              m.config == config)
            v.mark = m;
        return v;
      }
  }
  throw BadInput(fmt::format("no step of {}/{} {} at revision {}", program, workload, config,
                             revisionLabel(revision)));
}

// Sets the state of a change that the database holds, by the same rules as `triage`.
store::TriageMark setState(const Site& site, const Params& params) {
  const auto& states = store::triageStates();
  const std::string state = param(params, "state");
  if (std::find(states.begin(), states.end(), state) == states.end())
    throw BadInput(
        fmt::format("state \"{}\" is none of open, fixed, accepted, false-positive", state));
  const auto note = params.count("note") ? params.at("note") : std::string();
  if (note.size() > maxNoteBytes)
    throw BadInput(fmt::format("the note is longer than {} bytes", maxNoteBytes));
  if (note.find_first_of("\n\r") != std::string::npos) throw BadInput("the note must be one line");
  const ChangeView change = changeView(site, params);
  std::unique_ptr<store::Database> db;
  try {
    db = store::openStore(site.db, store::Access::write);
  } catch (const BadInput& e) {
    throw std::runtime_error(e.what());
  }
  store::TriageMark mark{change.row.revision,
                         change.row.program,
                         change.row.workload,
                         change.row.config,
                         state,
                         note,
                         utcNow()};
  store::setTriage(*db, mark);
  return mark;
}

std::string evidence(const ChangeView& v) {
  const ProgramComparison& c = v.row.change;
  std::string rows;
  auto add = [&](const std::string& k, const std::string& value) {
    rows += fmt::format("<tr><th>{}</th><td>{}</td></tr>", e(k), e(value));
  };
  add("machine", v.machine);
  add("program", v.row.program + "/" + v.row.workload);
  add("configuration", v.row.config);
  add("revision", v.row.revision);
  add("median", fmt::format("{} {} over {} sessions", formatSeconds(v.row.median),
                            formatInterval(formatSeconds(v.row.interval.low),
                                           formatSeconds(v.row.interval.high)),
                            v.row.sessions));
  add("before", formatSeconds(c.baseMedian));
  add("ratio", fmt::format("{:.3f} {}, p {:.3g}", c.ratio,
                           formatInterval(c.interval.low, c.interval.high), c.p));
  add("verdict", changeName(c.verdict) + (flagged(v.row) ? ", flagged" : ""));
  if (c.noise.df > 0)
    add("session noise", fmt::format("sd {:.4f} on {} degrees of freedom; smallest step it could "
                                     "flag {:.1f}%",
                                     c.noise.sd, c.noise.df, c.noiseLimit * 100));
  add("state", v.mark ? v.mark->state : "open");
  add("note", v.mark ? v.mark->note : "");
  return "<table class='facts'>" + rows + "</table>";
}

std::string triageFormHtml(const Site& site, const ChangeView& v) {
  if (site.readOnly)
    return "<p class='muted'>This server is read-only: states cannot be set here.</p>";
  std::string options;
  const std::string current = v.mark ? v.mark->state : "open";
  for (const auto& s : store::triageStates())
    options += fmt::format("<option value=\"{}\"{}>{}</option>", e(s),
                           s == current ? " selected" : "", e(s));
  std::string hidden;
  for (const auto& [k, value] : changeKey(v.machine, v.row))
    hidden += fmt::format("<input type=\"hidden\" name=\"{}\" value=\"{}\">", e(k), e(value));
  return fmt::format(
      "<h2>Set its state</h2><form method=\"post\" action=\"/triage\">{}<label>state "
      "<select name=\"state\" id=\"state\">{}</select></label> <label>note <input name=\"note\" "
      "id=\"note\" maxlength=\"{}\" value=\"{}\"></label> <label>token <input type=\"password\" "
      "name=\"token\" id=\"token\" autocomplete=\"off\"></label> <button type=\"submit\" "
      "id=\"set\">set</button></form>",
      hidden, options, maxNoteBytes, e(v.mark ? v.mark->note : ""));
}

json markJson(const store::TriageMark& m) {
  return {{"revision", m.revision}, {"program", m.program}, {"workload", m.workload},
          {"config", m.config},     {"state", m.state},     {"note", m.note},
          {"created", m.created}};
}

} // namespace

std::string queryEscaped(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
      out += char(c);
    else
      out += fmt::format("%{:02X}", c);
  }
  return out;
}

std::string databaseStamp(const Site& site) { return store::contentStamp(*reading(site)); }

Reply overviewPage(const Site& site, const Params&) {
  return {200, "text/html; charset=utf-8", page(site, "Overview", overview(site).html), {}};
}

Reply overviewData(const Site& site, const Params&) { return jsonReply(overview(site).data); }

Reply programPage(const Site& site, const Params& params) {
  const ProgramView v = programView(site, params);
  return {200, "text/html; charset=utf-8", page(site, param(params, "name"), v.html), {}};
}

Reply programData(const Site& site, const Params& params) {
  return jsonReply(programView(site, params).data);
}

Reply comparePage(const Site& site, const Params& params) {
  const CompareView v = compareView(site, params);
  auto select = [&](const char* name, const std::string& chosen) {
    std::string options;
    for (const auto& r : v.revisions)
      options += fmt::format("<option value=\"{}\"{}>revision {}</option>", e(r),
                             r == chosen ? " selected" : "", e(revisionLabel(r)));
    for (const auto id : v.sessions) {
      const std::string value = fmt::format("session:{}", id);
      options += fmt::format("<option value=\"{}\"{}>session {}</option>", value,
                             value == chosen ? " selected" : "", id);
    }
    return fmt::format("<select name=\"{}\" id=\"{}\">{}</select>", name, name, options);
  };
  std::string body = "<form method=\"get\" action=\"/compare\">" + select("a", v.a) + " against " +
                     select("b", v.b) + " <button type=\"submit\">compare</button></form>";
  if (!v.a.empty() && !v.b.empty())
    body += "<div class='scroll'>" + htmlSections(v.document) + "</div>";
  return {200, "text/html; charset=utf-8", page(site, "Compare", body), {}};
}

Reply compareData(const Site& site, const Params& params) {
  const CompareView v = compareView(site, params);
  if (v.a.empty() || v.b.empty()) throw BadInput("compare needs a and b: revisions or session:ID");
  return {200, "application/json", jsonExporter().render(v.document), {}};
}

Reply changePage(const Site& site, const Params& params) {
  const ChangeView v = changeView(site, params);
  const std::string body = evidence(v) + "<p>" +
                           link("/program", {{"name", v.row.program}, {"machine", v.machine}},
                                "the history of " + v.row.program) +
                           "</p>" + triageFormHtml(site, v);
  return {200,
          "text/html; charset=utf-8",
          page(site,
               fmt::format("{}/{} {} at {}", v.row.program, v.row.workload, v.row.config,
                           revisionLabel(v.row.revision)),
               body),
          {}};
}

Reply changeData(const Site& site, const Params& params) {
  const ChangeView v = changeView(site, params);
  json j = rowJson(v.machine, v.row);
  j["state"] = v.mark ? v.mark->state : "open";
  j["note"] = v.mark ? v.mark->note : "";
  return jsonReply(j);
}

Reply sessionsData(const Site& site, const Params&) {
  auto db = reading(site);
  json list = json::array();
  for (const auto& s : store::listSessions(*db))
    list.push_back({{"id", s.id},
                    {"created", s.created},
                    {"revision", s.revision},
                    {"machine", s.machine},
                    {"host", s.host},
                    {"shard", s.shard},
                    {"complete", s.complete},
                    {"damage", s.damage}});
  return jsonReply({{"sessions", list}});
}

Reply latestData(const Site& site, const Params&) {
  auto db = reading(site);
  std::int64_t latest = 0;
  const auto listed = store::listSessions(*db);
  for (const auto& s : listed) latest = std::max(latest, s.id);
  return jsonReply({{"latest", latest}, {"sessions", listed.size()}});
}

Reply triageForm(const Site& site, const Params& params) {
  setState(site, params);
  Params key;
  for (const char* k : {"machine", "revision", "program", "workload", "config"})
    if (params.count(k)) key[k] = params.at(k);
  std::string url = "/change";
  char sep = '?';
  for (const auto& [k, v] : key) url += sep + queryEscaped(k) + "=" + queryEscaped(v), sep = '&';
  return {303, "text/plain; charset=utf-8", "set\n", url};
}

Reply triageData(const Site& site, const Params& params) {
  return jsonReply({{"ok", true}, {"mark", markJson(setState(site, params))}});
}

} // namespace bench32::serve
