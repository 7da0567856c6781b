// `serve`'s options (serve/server.hpp serves).
#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/command_line.hpp"
#include "cli/commands.hpp"
#include "cli/option_values.hpp"
#include "exec/errors.hpp"
#include "exec/files.hpp"
#include "output/export/html.hpp"
#include "serve/server.hpp"
#include "store/database.hpp"
#include "store/open.hpp"

namespace bench32 {
namespace {

struct ServeCommandLine {
  std::string db, listen = "127.0.0.1:8032", tokenFile;
  bool readOnly = false;
};

// The token's file: its first line, of at least 16 characters, so that a guess is
// hopeless.
std::string tokenFrom(const std::string& file) {
  std::string text = readFile(file);
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.size() < 16)
    throw BadInput(fmt::format("--token-file {}: its first line must hold a token of 16 "
                               "characters or more",
                               file));
  return text;
}

int serveCommand(const ServeCommandLine& line, const std::filesystem::path& source) {
  serve::ServeOptions o;
  o.site.db = line.db;
  o.site.repo = source;
  o.site.readOnly = line.readOnly;
  std::tie(o.host, o.port) = serve::parseListen(line.listen);
  o.token = line.tokenFile.empty() ? serve::newToken() : tokenFrom(line.tokenFile);
  const PageScript script = tableScript();
  if (!script.missing.empty()) fmt::print(stderr, "bench32: {}\n", script.missing);
  o.site.script = script.html;
  // A database that cannot be opened now is said at once, not on the first request.
  store::openStore(line.db, store::Access::read);
  serve::serveForever(o, [&](const std::string& url) {
    fmt::print("bench32: serving {} at {}\n", store::withoutPassword(line.db), url);
    if (line.readOnly)
      fmt::print("bench32: read-only: every write is refused\n");
    else if (line.tokenFile.empty())
      fmt::print("bench32: the token for writes: {}\n", o.token);
    else
      fmt::print("bench32: the token for writes is in {}\n", line.tokenFile);
    if (!serve::isLoopback(o.host))
      fmt::print("bench32: {} is not a loopback address: whoever reaches it can read the "
                 "database\n",
                 o.host);
    std::fflush(stdout);
  });
  return exitOk;
}

} // namespace

CommandRunner addServeCommand(CLI::App& app) {
  auto line = std::make_shared<ServeCommandLine>();
  app.add_option("--db", line->db, databaseHelp)->required()->check(nonEmptyPath);
  app.add_option("--listen", line->listen,
                 "HOST:PORT to listen on (port 0: any free one); another host than loopback "
                 "lets others read the database")
      ->capture_default_str();
  app.add_option("--token-file", line->tokenFile,
                 "FILE whose first line is the token that every write must carry (default: a "
                 "new one, printed at start)")
      ->check(nonEmptyPath);
  app.add_flag("--read-only", line->readOnly, "Refuse every write");
  return [line](const CommandContext& context) { return serveCommand(*line, context.source); };
}

} // namespace bench32
