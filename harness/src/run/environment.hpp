// What the machine and the checkout were like when a session ran: read from the
// system (uname, procfs, sysfs) and from git, as the session starts and ends.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench32 {

// The load average, "1-min 5-min 15-min", as the session starts ("load_before" in the
// environment) and ends ("load_after").
std::string loadAverage();

// The machine and checkout the results come from.
std::map<std::string, std::string> captureEnvironment(const std::filesystem::path& sourceDir);
// The state of the machine that moves timings, for the processors the programs run on
// (empty: those the harness may use): "cpu_affinity" (those processors), "turbo" (on,
// off or unknown), "aslr" (randomize_va_space: 0, 1, 2 or unknown) and "smt_siblings"
// (each of their cores' hardware threads, "; " between cores, or unknown). Read under
// root, which tests replace.
std::map<std::string, std::string> captureProcessorState(const std::vector<int>& cpus,
                                                         const std::filesystem::path& root = "/");
std::string utcNow();

// The first line of a small file (sysfs, procfs), or "" when it cannot be read.
std::string firstLine(const std::filesystem::path& path);
// Each core's hardware threads ("0,4") for the cores of cpus, in their order; {"unknown"}
// when one of them cannot be read. Read under root.
std::vector<std::string> coreSiblings(const std::vector<int>& cpus,
                                      const std::filesystem::path& root = "/");

} // namespace bench32
