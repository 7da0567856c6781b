#include "output/gbench.hpp"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "analysis/stats.hpp"
#include "exec/errors.hpp"

namespace bench32 {

namespace {

struct Aggregates {
  double mean = 0, median = 0, sd = 0; // sd: of a sample (n - 1), 0 for one run
};

Aggregates aggregatesOf(const std::vector<double>& values) {
  Aggregates a;
  a.mean = stats::mean(values);
  a.median = stats::median(values);
  double squares = 0;
  for (double v : values) squares += (v - a.mean) * (v - a.mean);
  a.sd = values.size() > 1 ? std::sqrt(squares / double(values.size() - 1)) : 0;
  return a;
}

} // namespace

nlohmann::json gbenchJson(const Results& results, const std::string& config, bool medians) {
  using nlohmann::json;
  if (!config.empty() && std::none_of(results.configs.begin(), results.configs.end(),
                                      [&](auto& c) { return c.name == config; }))
    throw BadInput(fmt::format("no configuration \"{}\" in the session", config));
  const bool oneConfig = !config.empty() || results.configs.size() == 1;
  auto env = [&](const char* key) {
    const auto it = results.environment.find(key);
    return it == results.environment.end() ? std::string() : it->second;
  };
  json load = json::array();
  for (std::size_t at = 0, end; at < env("load_before").size(); at = end + 1) {
    end = std::min(env("load_before").find(' ', at), env("load_before").size());
    load.push_back(std::strtod(env("load_before").substr(at, end - at).c_str(), nullptr));
  }
  json benchmarks = json::array();
  int family = 0;
  for (const auto& u : results.units) {
    if (!config.empty() && u.config != config) continue;
    if (u.samples.empty()) continue;
    const std::string name = oneConfig ? fmt::format("{}/{}", u.program, u.workload)
                                       : fmt::format("{}/{}/{}", u.program, u.workload, u.config);
    std::vector<double> real, cpu;
    for (const auto& s : u.samples)
      real.push_back(s.wall * 1e9), cpu.push_back((s.user + s.system) * 1e9);
    const Aggregates r = aggregatesOf(real), c = aggregatesOf(cpu);
    if (medians) {
      benchmarks.push_back({{"name", name},
                            {"family_index", family++},
                            {"per_family_instance_index", 0},
                            {"run_name", name},
                            {"run_type", "iteration"},
                            {"repetitions", 1},
                            {"repetition_index", 0},
                            {"threads", 1},
                            {"iterations", 1},
                            {"real_time", r.median},
                            {"cpu_time", c.median},
                            {"time_unit", "ns"}});
      continue;
    }
    const std::size_t n = u.samples.size();
    for (std::size_t i = 0; i < n; ++i)
      benchmarks.push_back({{"name", name},
                            {"family_index", family},
                            {"per_family_instance_index", 0},
                            {"run_name", name},
                            {"run_type", "iteration"},
                            {"repetitions", u.samples.size()},
                            {"repetition_index", i},
                            {"threads", 1},
                            {"iterations", 1},
                            {"real_time", u.samples[i].wall * 1e9},
                            {"cpu_time", (u.samples[i].user + u.samples[i].system) * 1e9},
                            {"time_unit", "ns"},
                            {"max_rss_kib", u.samples[i].maxRssKiB}});
    // The aggregates of the repetitions, named and ordered as the tool's own runs write
    // them: a tool that compares aggregates compares each program once, whatever its
    // number of runs.
    const std::pair<const char*, std::pair<double, double>> aggregates[] = {
        {"mean", {r.mean, c.mean}},
        {"median", {r.median, c.median}},
        {"stddev", {r.sd, c.sd}},
        {"cv", {r.mean > 0 ? r.sd / r.mean : 0, c.mean > 0 ? c.sd / c.mean : 0}}};
    for (const auto& [aggregate, times] : aggregates)
      benchmarks.push_back({{"name", name + "_" + aggregate},
                            {"family_index", family},
                            {"per_family_instance_index", 0},
                            {"run_name", name},
                            {"run_type", "aggregate"},
                            {"repetitions", n},
                            {"threads", 1},
                            {"aggregate_name", aggregate},
                            {"aggregate_unit", std::string(aggregate) == "cv" ? "percentage" : "time"},
                            {"iterations", n},
                            {"real_time", times.first},
                            {"cpu_time", times.second},
                            {"time_unit", "ns"}});
    ++family;
  }
  return {{"context",
           {{"date", results.created},
            {"host_name", env("host")},
            {"executable", "bench32"},
            {"num_cpus", std::atoi(env("cores").c_str())},
            {"mhz_per_cpu", 0},
            {"cpu_scaling_enabled", env("governor") != "performance"},
            {"caches", json::array()},
            {"load_avg", load},
            {"library_build_type", "release"}}},
          {"benchmarks", benchmarks}};
}

} // namespace bench32
