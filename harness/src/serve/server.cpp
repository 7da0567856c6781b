#include "serve/server.hpp"

#include <httplib.h>

#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"
#include "store/database.hpp"

namespace bench32::serve {
namespace {

using Handler = Reply (*)(const Site&, const Params&);

// The routes, one row each: method, path, handler, whether it writes.
struct Route {
  const char* method;
  const char* path;
  Handler handler;
  bool writes = false;
};

const Route routes[] = {
    {"GET", "/", overviewPage},
    {"GET", "/program", programPage},
    {"GET", "/compare", comparePage},
    {"GET", "/change", changePage},
    {"GET", "/api/overview", overviewData},
    {"GET", "/api/history", programData},
    {"GET", "/api/compare", compareData},
    {"GET", "/api/change", changeData},
    {"GET", "/api/sessions", sessionsData},
    {"GET", "/api/latest", latestData},
    {"POST", "/triage", triageForm, true},
    {"POST", "/api/triage", triageData, true},
};

// A refusal: a status and one line, as text for a page and as JSON under /api/.
void refuse(const httplib::Request& req, httplib::Response& res, int status,
            const std::string& line) {
  res.status = status;
  if (req.path.rfind("/api/", 0) == 0)
    res.set_content(nlohmann::json{{"error", line}}.dump() + "\n", "application/json");
  else
    res.set_content("bench32: " + line + "\n", "text/plain; charset=utf-8");
}

bool sameText(const std::string& a, const std::string& b) {
  // In time that does not depend on where they first differ.
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// Why a write may not go ahead, or empty: the server is read-only, the request comes from
// another site's page, or it lacks the token.
std::string writeRefusal(const ServeOptions& o, const httplib::Request& req, const Params& params) {
  if (o.site.readOnly) return "this server is read-only";
  // A browser names the page a request comes from; scripts name none and need the token.
  const std::string origin = req.get_header_value("Origin");
  const std::string host = req.get_header_value("Host");
  if (!origin.empty() && origin != "http://" + host)
    return "a write from another origin is refused";
  const std::string site = req.get_header_value("Sec-Fetch-Site");
  if (!site.empty() && site != "same-origin" && site != "none")
    return "a write from another site is refused";
  std::string token;
  const std::string auth = req.get_header_value("Authorization");
  if (auth.rfind("Bearer ", 0) == 0) token = auth.substr(7);
  if (token.empty() && params.count("token")) token = params.at("token");
  if (token.empty()) return "a write needs the token";
  if (!sameText(token, o.token)) return "the token is wrong";
  return {};
}

// The request's parameters: the query's, and a POST's form or JSON object of strings.
// A name given twice is refused: which one was meant cannot be known.
Params paramsOf(const httplib::Request& req) {
  Params params;
  auto add = [&](const std::string& k, const std::string& v) {
    if (!params.emplace(k, v).second)
      throw BadInput(fmt::format("the parameter \"{}\" is given twice", k));
  };
  for (const auto& [k, v] : req.params) add(k, v);
  if (req.method == "POST" &&
      req.get_header_value("Content-Type").rfind("application/json", 0) == 0) {
    // Bounded in depth as every stored JSON is: a body of nested brackets is refused in
    // one line, never walked until the stack runs out.
    const auto body = parseStoredJson(req.body, "the body");
    if (!body.is_object()) throw BadInput("the body is not a JSON object");
    for (const auto& [k, v] : body.items()) {
      if (!v.is_string()) throw BadInput(fmt::format("\"{}\" is not a string", k));
      add(k, v.get<std::string>());
    }
  }
  return params;
}

// The pages made since the database last changed: a page is read far more often than
// the database is written, and making one reads every session. Bounded, and emptied
// whenever the database's stamp moves.
class PageCache {
public:
  std::optional<Reply> find(const std::string& stamp, const std::string& key) {
    const std::lock_guard lock(mutex_);
    if (stamp != stamp_) return std::nullopt;
    const auto it = replies_.find(key);
    return it == replies_.end() ? std::nullopt : std::optional(it->second);
  }
  void keep(const std::string& stamp, const std::string& key, const Reply& reply) {
    const std::lock_guard lock(mutex_);
    if (stamp != stamp_ || replies_.size() >= maxPages) replies_.clear(), stamp_ = stamp;
    replies_[key] = reply;
  }

private:
  static constexpr std::size_t maxPages = 256;
  std::mutex mutex_;
  std::string stamp_;
  std::map<std::string, Reply> replies_;
};

// A GET's page, from the cache while the database has not changed.
Reply pageFor(const ServeOptions& o, const Route& route, const Params& params, PageCache& cache) {
  if (route.writes || route.handler == latestData) return route.handler(o.site, params);
  const std::string stamp = databaseStamp(o.site);
  std::string key = route.path;
  for (const auto& [k, v] : params) key += "\n" + k + "=" + v;
  if (auto cached = cache.find(stamp, key)) return *cached;
  Reply reply = route.handler(o.site, params);
  if (reply.status == 200) cache.keep(stamp, key, reply);
  return reply;
}

void answer(const ServeOptions& o, const Route& route, const httplib::Request& req,
            httplib::Response& res, PageCache& cache) {
  try {
    const Params params = paramsOf(req);
    if (route.writes) {
      if (const std::string why = writeRefusal(o, req, params); !why.empty())
        return refuse(req, res, 403, why);
    }
    const Reply reply = pageFor(o, route, params, cache);
    res.status = reply.status;
    if (!reply.location.empty()) res.set_header("Location", reply.location);
    res.set_content(reply.body, reply.type);
  } catch (const BadInput& e) {
    refuse(req, res, 400, e.what());
  } catch (const std::exception& e) {
    // The database is locked past the wait, gone, or refused: the next request may do.
    refuse(req, res, 503, fmt::format("the database cannot be read now: {}", e.what()));
  }
}

} // namespace

std::pair<std::string, int> parseListen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw BadInput(fmt::format("--listen {}: HOST:PORT", text));
  std::string host = text.substr(0, colon);
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(digits) > 65535)
    throw BadInput(fmt::format("--listen {}: the port is a number from 0 to 65535", text));
  return {host, std::stoi(digits)};
}

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string newToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) token += fmt::format("{:08x}", random());
  return token;
}

void serveForever(const ServeOptions& o, const std::function<void(const std::string&)>& started) {
  httplib::Server server;
  server.set_payload_max_length(maxBodyBytes);
  server.set_read_timeout(requestSeconds, 0);
  server.set_write_timeout(requestSeconds, 0);
  server.set_keep_alive_timeout(5);
  server.set_keep_alive_max_count(100);
  server.set_default_headers(
      {{"Content-Security-Policy",
        "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
        "img-src data:; connect-src 'self'; form-action 'self'; frame-ancestors 'none'"},
       {"X-Content-Type-Options", "nosniff"},
       {"Referrer-Policy", "same-origin"},
       {"Cache-Control", "no-store"}});
  PageCache cache;
  for (const Route& route : routes) {
    auto handler = [&o, &route, &cache](const httplib::Request& req, httplib::Response& res) {
      answer(o, route, req, res, cache);
    };
    if (std::string(route.method) == "GET")
      server.Get(route.path, handler);
    else
      server.Post(route.path, handler);
  }
  // Paths that exist but not for this method, and everything else.
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    for (const Route& route : routes)
      if (req.path == route.path && res.status == 404) {
        res.status = 405;
        break;
      }
    if (res.body.empty())
      refuse(req, res, res.status,
             res.status == 405   ? "that method is not served here"
             : res.status == 404 ? "no such page"
                                 : fmt::format("the request was refused ({})", res.status));
  });
  server.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
        refuse(req, res, 500, "the request could not be answered");
      });
  const int port = o.port == 0 ? server.bind_to_any_port(o.host) : o.port;
  if (port < 0 || (o.port != 0 && !server.bind_to_port(o.host, o.port)))
    throw std::runtime_error(fmt::format("cannot listen on {}:{}", o.host, o.port));
  const bool v6 = o.host.find(':') != std::string::npos;
  started(fmt::format("http://{}{}{}:{}/", v6 ? "[" : "", o.host, v6 ? "]" : "", port));
  server.listen_after_bind();
}

} // namespace bench32::serve
