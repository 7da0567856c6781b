#include "exec/git.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/process.hpp"
#include "exec/tool.hpp"

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

namespace bench32 {
namespace {

RunResult git(const fs::path& repo, std::vector<std::string> args) {
  args.insert(args.begin(), {"git", "-C", repo.string()});
  return runTool(runProcess, args, {std::chrono::minutes(10), {}, nullptr});
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

} // namespace

std::string resolveCommit(const fs::path& repo, const std::string& revision,
                          const std::string& option) {
  if (!fs::is_directory(repo))
    throw BadInput(fmt::format("--repo {}: no such folder", repo.string()));
  if (revision.empty()) throw BadInput(fmt::format("{} needs a revision", option));
  const RunResult run =
      git(repo, {"rev-parse", "--verify", "--quiet", "--end-of-options", revision + "^{commit}"});
  const std::string commit = trimmed(run.stdoutText());
  if (!succeeded(run) || !looksLikeCommit(commit))
    throw BadInput(fmt::format("{} {}: {} has no such commit", option, revision, repo.string()));
  return commit;
}

std::vector<std::string> commitsBetween(const fs::path& repo, const std::string& good,
                                        const std::string& bad) {
  if (good == bad) throw BadInput("--good and --bad are the same commit: there is nothing between");
  if (!succeeded(git(repo, {"merge-base", "--is-ancestor", good, bad})))
    throw BadInput(fmt::format("--good {} is not an ancestor of --bad {}", good.substr(0, 12),
                               bad.substr(0, 12)));
  const RunResult run =
      git(repo, {"rev-list", "--reverse", "--first-parent", "--ancestry-path", good + ".." + bad});
  if (!succeeded(run)) throw BadInput(fmt::format("git rev-list: {}", failureLine(run)));
  std::vector<std::string> commits{good};
  const std::string text = run.stdoutText();
  for (std::size_t start = 0; start < text.size();) {
    const auto end = std::min(text.find('\n', start), text.size());
    if (end > start) commits.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  // Along first parents the ancestry path can miss bad only in a history that merged
  // good in from a side branch; the search needs bad as its last revision.
  if (commits.back() != bad)
    throw BadInput(fmt::format("--bad {} is not reached from --good {} along first parents",
                               bad.substr(0, 12), good.substr(0, 12)));
  return commits;
}

std::string commitSubject(const fs::path& repo, const std::string& commit) {
  const RunResult run = git(repo, {"log", "-1", "--format=%s", commit});
  return succeeded(run) ? trimmed(run.stdoutText()) : "";
}

void checkoutInWorktree(const fs::path& repo, const fs::path& dir, const std::string& commit) {
  if (fs::exists(dir / ".git") &&
      succeeded(git(dir, {"checkout", "--quiet", "--detach", "--force", commit})))
    return;
  // Not a worktree yet, or one that an interrupted checkout left broken: made anew.
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  git(repo, {"worktree", "prune"});
  const RunResult added = git(repo, {"worktree", "add", "--quiet", "--detach", "--force",
                                     fs::absolute(dir).string(), commit});
  if (!succeeded(added))
    throw BuildError(fmt::format("git worktree add {}: {}", dir.string(), failureLine(added)));
}

} // namespace bench32
