#include "output/gbench.hpp"

#include <cstdlib>

#include <fmt/format.h>

#include "exec/errors.hpp"

namespace bench32 {

nlohmann::json gbenchJson(const Results& results, const std::string& config) {
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
    for (std::size_t i = 0; i < u.samples.size(); ++i)
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
