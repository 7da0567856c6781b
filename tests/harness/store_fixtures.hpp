// What the tests of the database, fleets and histories share: scratch databases and a
// results document with everything a reader must give back.
#pragma once

#include "analysis/fleet.hpp"
#include "analysis/history.hpp"
#include "cli/store_commands.hpp"
#include "exec/errors.hpp"
#include "exec/git.hpp"
#include "model/results_file.hpp"
#include "output/gbench.hpp"
#include "output/history_table.hpp"
#include "store/open.hpp"
#include "store/schema.hpp"
#include "store/sessions.hpp"
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>
#include <thread>
#include <unistd.h>

namespace bench32::test {

namespace fs = std::filesystem;
using nlohmann::json;

inline fs::path scratchDatabase(const std::string& name) {
  const fs::path path =
      fs::path(testing::TempDir()) / (name + "-" + std::to_string(getpid()) + ".db");
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path.string() + suffix);
  return path;
}

// A results document with everything a reader must give back: fields the harness
// knows, per-run fields of layout-randomised runs, and fields it does not know.
inline json richDocument() {
  return json::parse(R"({
    "schema": "bench32-results", "version": 1, "created": "2026-01-01T00:00:00Z",
    "command": ["bench32-harness", "run", "--db", "x.db"], "complete": false,
    "stop_reason": "interrupted",
    "environment": {"cpu": "a \"quoted\" CPU", "cores": "2", "kernel": "Linux 6.1 x86_64",
                    "host": "h1", "git_revision": "0123456789abcdef0123456789abcdef01234567"},
    "settings": {"warmup": 1, "precision": 0.01}, "run_under": "",
    "future_top_level": {"anything": [1, 2, 3]}, "note": "a\u0000b",
    "configs": [{"name": "gcc-O2", "compiler": "g++", "compiler_version": "g++ 12",
                 "flags": "-O2", "build_dir": "/b", "sanitizer": null}],
    "results": [
      {"config": "gcc-O2", "program": "hailstone", "workload": "ref", "status": "ok",
       "input_xxh3": "fedcba9876543210",
       "binary": {"path": "/b/bin/hailstone", "xxh3": "0123456789abcdef", "text_bytes": 4957,
                  "text_bytes_by_layout": [4957, 4961],
                  "sections": {".text": 4957, ".bss": 8656, ".data": 16}},
       "warmup": {"wall_s": [0.5], "user_s": [0.4], "sys_s": [0.1], "max_rss_kib": [1000]},
       "samples": {"wall_s": [0.1234567890123456789, 1e-7], "user_s": [0.2, 0.1],
                   "sys_s": [0.01, 0], "max_rss_kib": [2048, 2049],
                   "layout": [3, 0], "padding_bytes": [4096, 64], "note": ["a", {"b": null}]},
       "instructions": {"count": 123456789012, "source": "callgrind"}},
      {"config": "gcc-O2", "program": "pegs", "workload": "ref", "status": "failed",
       "failure": "stdout differs at line 2",
       "binary": {"path": "/b/bin/pegs", "xxh3": "", "text_bytes": null, "sections": null},
       "warmup": {"wall_s": [], "user_s": [], "sys_s": [], "max_rss_kib": []},
       "samples": {"wall_s": [], "user_s": [], "sys_s": [], "max_rss_kib": []}},
      {"config": "gcc-O2", "program": "odd", "workload": "ref", "status": "not-run",
       "failure": "with a \u0000 in it", "binary": {"text_bytes": 18446744073709551615},
       "instructions": {"count": -1},
       "samples": {"wall_s": [1, 2], "user_s": [1]},
       "warmup": {"wall_s": [9007199254740993], "sys_s": ["x"], "layout": [0.5]}}
    ]})");
}

inline Sample timedRun(double wall, double user, double maxRssKiB = 1000) {
  Sample s;
  s.wall = wall;
  s.user = user;
  s.maxRssKiB = maxRssKiB;
  return s;
}

// The same without the unit whose lists differ in length, which only the store accepts.
inline Results richResults() {
  json doc = richDocument();
  doc["results"].erase(2);
  return resultsFromJson(doc);
}

} // namespace bench32::test
