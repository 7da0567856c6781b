// `serve`: the results database over HTTP, its pages and its JSON, for a team to watch.
// It listens on loopback unless told otherwise; every write is a POST that carries the
// token and comes from the server's own pages or from no page at all; requests are
// bounded in size and time, and every failure is a status with one line.
#pragma once

#include <functional>
#include <string>

#include "serve/pages.hpp"

namespace bench32::serve {

struct ServeOptions {
  Site site;
  std::string host = "127.0.0.1";
  int port = 8032; // 0: any free port
  std::string token;
};

// The limits every request is held to.
inline constexpr std::size_t maxBodyBytes = 64 * 1024;
inline constexpr int requestSeconds = 10;

// "HOST:PORT" (a bracketed IPv6 host, [::1]:8032). Throws BadInput.
std::pair<std::string, int> parseListen(const std::string& text);
// Whether the host is this machine's loopback.
bool isLoopback(const std::string& host);
// A token of 128 random bits, in hex.
std::string newToken();

// Binds, calls `started` with the URL it serves at, and serves until the process ends.
// Throws std::runtime_error when the address cannot be bound.
void serveForever(const ServeOptions& options,
                  const std::function<void(const std::string&)>& started);

} // namespace bench32::serve
