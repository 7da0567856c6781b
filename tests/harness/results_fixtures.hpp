// What the tests of results share: scratch files and documents to read.
#pragma once

#include "build/build.hpp"
#include "exec/expectation.hpp"
#include "exec/process.hpp"
#include "model/metrics.hpp"
#include "model/results.hpp"
#include "model/results_file.hpp"
#include "model/suite.hpp"
#include "output/export/exporter.hpp"
#include "output/table.hpp"
#include "run/environment.hpp"
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <unistd.h>

namespace bench32::test {

namespace fs = std::filesystem;
using nlohmann::json;

using nlohmann::json;

inline Results sampleResults() {
  Results r;
  r.created = "2026-01-01T00:00:00Z";
  r.command = {"bench32-harness", "run"};
  r.environment = {{"cpu", "a \"quoted\" CPU"}, {"kernel", "Linux"}};
  r.settings = {{"warmup", 1}, {"precision", 0.01}};
  r.runUnder = "qemu-i386 -L /usr/i686-linux-gnu";
  r.configs = {{"gcc-O2", "g++", "g++ 12", "-O2", "/b/cfg-gcc-O2", ""}};
  UnitResult ok;
  ok.config = "gcc-O2";
  ok.program = "hailstone";
  ok.workload = "ref";
  ok.status = Status::ok;
  ok.binary = "/b/cfg-gcc-O2/bin/hailstone";
  ok.binaryXxh3 = "0123456789abcdef";
  ok.inputXxh3 = "fedcba9876543210";
  ok.textBytes = 4957;
  ok.sections = {{{".text", 4957}, {".rodata", 452}, {".bss", 8656}, {".eh_frame", 1000}}};
  ok.warmup = {{0.5, 0.4, 0.1, 1000}};
  ok.samples = {{0.25, 0.2, 0.01, 2048}, {0.125, 0.1, 0, 2049}};
  ok.instructions = 123456789012;
  ok.instructionsSource = "callgrind";
  UnitResult failed;
  failed.config = "gcc-O2";
  failed.program = "pegs";
  failed.workload = "ref";
  failed.status = Status::failed;
  failed.failure = "stdout differs at line 2 (byte 7): expected \"1\\x0a\", got \"2\\x0a\"";
  r.units = {ok, failed};
  r.complete = false;
  r.stopReason = "interrupted";
  return r;
}

} // namespace bench32::test
