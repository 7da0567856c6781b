// A stand-in for the tools the harness drives (CMake, ninja, compilers, profile
// mergers, training runs): each command is answered by the last rule whose words it
// holds, and every command is kept, so that a test can say what was run and in what
// order without running anything.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "exec/process.hpp"
#include "model/globs.hpp"

namespace bench32::test {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// How a scripted command ends, and what it leaves behind.
struct Answer {
  int status = 0;
  std::string out, err;
  bool cancelled = false;
  std::string startError;
  double wall = 0.01, user = 0.005, system = 0.001;
  long rssKiB = 1000;
  // The files the real tool would write, given its words and the folder it runs in.
  std::function<void(const Words& argv, const fs::path& cwd)> effect;
};

inline Answer prints(std::string out) {
  Answer a;
  a.out = std::move(out);
  return a;
}
inline Answer fails(int status, std::string err = "", std::string out = "") {
  Answer a;
  a.status = status;
  a.err = std::move(err);
  a.out = std::move(out);
  return a;
}
inline Answer interrupted() {
  Answer a;
  a.cancelled = true;
  return a;
}
inline Answer cannotStart(std::string why) {
  Answer a;
  a.startError = std::move(why);
  return a;
}
inline Answer takes(double wall, double user = 0, double system = 0, long rssKiB = 1000) {
  Answer a;
  a.wall = wall;
  a.user = user;
  a.system = system;
  a.rssKiB = rssKiB;
  return a;
}
// The answer with a side effect.
inline Answer doing(std::function<void(const Words&, const fs::path&)> effect, Answer a = {}) {
  a.effect = std::move(effect);
  return a;
}

class ScriptedRunner {
public:
  // Commands holding every one of `words` (each a glob matched against whole words of
  // the command) are answered so; a rule added later comes before earlier ones.
  ScriptedRunner& on(Words words, Answer answer) {
    rules_.push_back({std::move(words), std::move(answer)});
    return *this;
  }

  // Every request so far, in order.
  const std::vector<RunRequest>& requests() const { return requests_; }
  std::vector<Words> calls() const {
    std::vector<Words> all;
    for (const auto& r : requests_) all.push_back(r.argv);
    return all;
  }
  // The commands that held all of `words`.
  std::vector<Words> matching(const Words& words) const {
    std::vector<Words> found;
    for (const auto& r : requests_)
      if (holds(r.argv, words)) found.push_back(r.argv);
    return found;
  }
  std::size_t count(const Words& words) const { return matching(words).size(); }
  void forget() { requests_.clear(); }

  RunResult operator()(const RunRequest& request) {
    requests_.push_back(request);
    RunResult run;
    for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
      if (!holds(request.argv, rule->words)) continue;
      const Answer& a = rule->answer;
      if (a.effect) a.effect(request.argv, request.workingDirectory);
      auto out = std::make_shared<MemoryFile>("scripted-stdout");
      out->append(a.out);
      run.stdoutFile = out;
      run.stderrBytes = a.err;
      run.exitStatus = a.status;
      run.cancelled = a.cancelled;
      run.startError = a.startError;
      run.wallSeconds = a.wall;
      run.userSeconds = a.user;
      run.systemSeconds = a.system;
      run.maxRssKiB = a.rssKiB;
      return run;
    }
    run.startError = "not scripted: " + joinedWords(request.argv);
    return run;
  }

  Runner runner() {
    return [this](const RunRequest& request) { return (*this)(request); };
  }

  static std::string joinedWords(const Words& words) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
  }

private:
  static bool holds(const Words& argv, const Words& words) {
    for (const auto& w : words) {
      bool found = false;
      for (const auto& a : argv) found = found || matchesGlob(w, a);
      if (!found) return false;
    }
    return true;
  }

  struct Rule {
    Words words;
    Answer answer;
  };
  std::vector<Rule> rules_;
  std::vector<RunRequest> requests_;
};

// The word after `flag` in argv, or empty.
inline std::string wordAfter(const Words& argv, const std::string& flag) {
  for (std::size_t i = 0; i + 1 < argv.size(); ++i)
    if (argv[i] == flag) return argv[i + 1];
  return {};
}

// A folder of its own per test process, removed afterwards.
struct Scratch {
  fs::path root;
  explicit Scratch(const std::string& name)
      : root(fs::path(testing::TempDir()) / ("bench32-" + name + "-" + std::to_string(getpid()))) {
    fs::remove_all(root);
    fs::create_directories(root);
  }
  ~Scratch() { fs::remove_all(root); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  fs::path write(const std::string& name, const std::string& text, bool executable = false) const {
    return writeAt(root / name, text, executable);
  }
  static fs::path writeAt(const fs::path& file, const std::string& text, bool executable = false) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
    if (executable) fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
    return file;
  }
};

// cmake configuring a folder, as far as the harness looks at it: "-S SRC -B DIR", or
// "--preset NAME" run in the source folder (into its build/NAME), or "-D... DIR" for a
// folder configured before. Writes build.ninja and a CMakeCache.txt holding the -D
// entries given over those it had.
inline Answer cmakeConfigures() {
  Answer a;
  a.effect = [](const Words& argv, const fs::path& cwd) {
    fs::path dir = wordAfter(argv, "-B");
    if (dir.empty() && !wordAfter(argv, "--preset").empty())
      dir = cwd / "build" / wordAfter(argv, "--preset");
    if (dir.empty()) dir = argv.back();
    std::vector<std::string> lines;
    if (std::ifstream cache(dir / "CMakeCache.txt"); cache)
      for (std::string line; std::getline(cache, line);) lines.push_back(line);
    for (const auto& word : argv) {
      if (word.rfind("-D", 0) != 0 || word.find('=') == std::string::npos) continue;
      const std::string key = word.substr(2, word.find_first_of(":=") - 2);
      std::erase_if(lines, [&](const std::string& l) { return l.rfind(key + ":", 0) == 0; });
      lines.push_back(key + ":STRING=" + word.substr(word.find('=') + 1));
    }
    std::string text = "# This is the CMakeCache file.\n";
    for (const auto& line : lines)
      if (line.rfind('#', 0) != 0) text += line + "\n";
    Scratch::writeAt(dir / "CMakeCache.txt", text);
    Scratch::writeAt(dir / "build.ninja", "# generated\n");
  };
  return a;
}

} // namespace bench32::test
