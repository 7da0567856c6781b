// What the harness asks of git: the order of commits, and for a bisection the commits
// between two revisions and a worktree to build them in. Only hexadecimal object names,
// or a revision the user gave after --end-of-options, are ever passed to it, so that a
// label is never read as an option.
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

// The commit a revision the user named (a name, a tag, HEAD~3) stands for, in full.
// Throws BadInput naming `option` when the repository has no such commit.
std::string resolveCommit(const std::filesystem::path& repo, const std::string& revision,
                          const std::string& option);

// The commits from `good` to `bad` along bad's first parents, oldest first, both
// included. Throws BadInput when good is not an ancestor of bad, or is bad itself.
std::vector<std::string> commitsBetween(const std::filesystem::path& repo, const std::string& good,
                                        const std::string& bad);

// A commit's subject line.
std::string commitSubject(const std::filesystem::path& repo, const std::string& commit);

// Checks `commit` out, detached, in a worktree of `repo` at `dir`, adding the worktree
// when `dir` is not one yet (a broken one is made again), so that the repository's own
// checkout is never touched. Throws BuildError with git's line when it cannot.
void checkoutInWorktree(const std::filesystem::path& repo, const std::filesystem::path& dir,
                        const std::string& commit);

} // namespace bench32
