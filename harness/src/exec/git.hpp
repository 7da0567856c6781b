// What the harness asks of git: the order of commits. Only hexadecimal object names
// are ever passed to it, so that a revision label is never read as an option.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench32 {

// A 7 to 64 digit hexadecimal name.
bool looksLikeCommit(const std::string& revision);

// The commit order of those revisions that the repository at `repo` holds, oldest
// first; empty when there is no repository (or no git).
std::map<std::string, std::size_t> commitRanks(const std::filesystem::path& repo,
                                               const std::vector<std::string>& revisions);

} // namespace bench32
