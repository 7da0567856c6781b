#include "run/recorder.hpp"

#include "exec/files.hpp"
#include "model/results_file.hpp"
#include "store/open.hpp"

namespace bench32 {

Recorder::Recorder(std::filesystem::path resultsFile)
    : file_(std::move(resultsFile)), rewritable_(!file_.empty() && replacedWhenWritten(file_)) {}

void Recorder::connect(const std::string& databaseUrl) {
  db_ = store::openStore(databaseUrl);
  writer_ = std::make_unique<store::SessionWriter>(*db_);
}

void Recorder::checkpoint(const Results& results) {
  if (rewritable_) saveResults(file_, results);
  if (writer_) writer_->checkpoint(toJson(results));
}

void Recorder::finish(const Results& results) {
  if (!file_.empty()) saveResults(file_, results);
  if (writer_) writer_->checkpoint(toJson(results));
}

std::optional<std::int64_t> Recorder::sessionId() const {
  // A session gets its id when it is first written.
  if (!writer_ || writer_->id() == 0) return std::nullopt;
  return writer_->id();
}

} // namespace bench32
