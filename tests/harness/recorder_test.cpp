// run/recorder: the results file rewritten at every checkpoint only when it is a regular
// file, the database written at every one, and the final write of both.

#include "run/recorder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "model/results_file.hpp"
#include "results_fixtures.hpp"
#include "store/open.hpp"
#include "store/sessions.hpp"

namespace bench32 {
namespace {

namespace fs = std::filesystem;

fs::path scratch(const std::string& name) {
  const fs::path path = fs::path(testing::TempDir()) / (name + "-" + std::to_string(getpid()));
  fs::remove_all(path);
  return path;
}

TEST(Recorder, ARegularFileIsRewrittenAtEveryCheckpointAndAtTheEnd) {
  const fs::path file = scratch("recorder-file.json");
  Recorder recorder(file);
  Results results = test::sampleResults();
  recorder.checkpoint(results);
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(loadResults(file).units.size(), results.units.size());
  results.stopReason = "interrupted";
  recorder.checkpoint(results);
  EXPECT_EQ(loadResults(file).stopReason, "interrupted");
  results.stopReason.clear();
  results.complete = true;
  recorder.finish(results);
  EXPECT_TRUE(loadResults(file).complete);
  EXPECT_FALSE(recorder.sessionId());
}

TEST(Recorder, APipeIsWrittenOnceAtTheEnd) {
  const fs::path fifo = scratch("recorder-pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string read;
  std::thread reader([&] {
    std::ifstream in(fifo);
    std::stringstream all;
    all << in.rdbuf();
    read = all.str();
  });
  {
    Recorder recorder(fifo);
    const Results results = test::sampleResults();
    // Rewritten, a pipe would carry one document per round.
    recorder.checkpoint(results);
    recorder.checkpoint(results);
    recorder.finish(results);
  }
  reader.join();
  EXPECT_EQ(read.find("\"bench32-results\""), read.rfind("\"bench32-results\""));
  EXPECT_NE(read.find("\"bench32-results\""), std::string::npos);
}

TEST(Recorder, TheDatabaseHoldsTheSessionFromItsFirstCheckpoint) {
  const fs::path db = scratch("recorder.db");
  Recorder recorder("");
  recorder.connect(db.string());
  EXPECT_FALSE(recorder.sessionId());
  Results results = test::sampleResults();
  recorder.checkpoint(results);
  ASSERT_TRUE(recorder.sessionId());
  results.complete = true;
  recorder.finish(results);
  auto store = store::openStore(db.string(), store::Access::read);
  const auto sessions = store::listSessions(*store);
  ASSERT_EQ(sessions.size(), 1u); // checkpoints update one session, never add one
  const Results back = store::loadSession(*store, *recorder.sessionId());
  EXPECT_TRUE(back.complete);
  EXPECT_EQ(back.units.size(), results.units.size());
}

TEST(Recorder, ADatabaseThatCannotBeOpenedIsRefusedAtConnect) {
  Recorder recorder("");
  EXPECT_THROW(recorder.connect("mysql://somewhere/db"), BadInput);
  EXPECT_FALSE(recorder.sessionId());
}

} // namespace
} // namespace bench32
