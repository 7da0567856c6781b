#include "exec/git.hpp"

#include <algorithm>
#include <cctype>

#include "exec/process.hpp"

namespace bench32 {
namespace fs = std::filesystem;

// Only hexadecimal object names go to git: a label is never read as an option.
bool looksLikeCommit(const std::string& revision) {
  return revision.size() >= 7 && revision.size() <= 64 &&
         std::all_of(revision.begin(), revision.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::map<std::string, std::size_t> commitRanks(const fs::path& repo,
                                               const std::vector<std::string>& revisions) {
  std::map<std::string, std::size_t> ranks;
  RunRequest request;
  request.argv = {"git",          "-C",        repo.string(),     "rev-list",
                  "--topo-order", "--reverse", "--ignore-missing"};
  for (const auto& r : revisions)
    if (looksLikeCommit(r)) request.argv.push_back(r);
  if (request.argv.size() == 7) return ranks;
  request.timeout = std::chrono::seconds(60);
  const RunResult run = runProcess(request);
  if (run.exitStatus != 0) return ranks;
  std::map<std::string, std::size_t> position;
  const std::string text = run.stdoutText();
  std::size_t line = 0;
  for (std::size_t start = 0; start < text.size(); ++line) {
    const auto end = std::min(text.find('\n', start), text.size());
    position[text.substr(start, end - start)] = line;
    start = end + 1;
  }
  for (const auto& r : revisions) {
    if (!looksLikeCommit(r)) continue;
    // A full name is looked up; an abbreviated one is the commit it begins.
    auto it = position.lower_bound(r);
    if (it != position.end() && it->first.rfind(r, 0) == 0) ranks[r] = it->second;
  }
  return ranks;
}

} // namespace bench32
