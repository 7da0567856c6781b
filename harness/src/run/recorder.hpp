// Where a session's results go while it runs, so that an interrupted or killed run
// leaves what it measured: the results file (rewritten at every checkpoint when it is a
// regular file; a pipe or a device is written once, at the end, or it would hold a copy
// per round) and the database, when there is one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "model/results.hpp"
#include "store/database.hpp"
#include "store/sessions.hpp"

namespace bench32 {

class Recorder {
public:
  // Writes nothing yet; an empty file: none.
  explicit Recorder(std::filesystem::path resultsFile);
  // Also writes the session into the database at this URL (an SQLite file or a
  // postgresql:// URL); throws BadInput or std::runtime_error when it cannot be opened.
  void connect(const std::string& databaseUrl);
  // The results so far: the file when it can be rewritten, the database always.
  void checkpoint(const Results& results);
  // The results as they end: both.
  void finish(const Results& results);
  // The session's id in the database, once it has been written there.
  std::optional<std::int64_t> sessionId() const;

private:
  std::filesystem::path file_;
  bool rewritable_ = false;
  std::unique_ptr<store::Database> db_;
  std::unique_ptr<store::SessionWriter> writer_;
};

} // namespace bench32
