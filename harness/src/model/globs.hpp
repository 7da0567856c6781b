// Names chosen by shell globs ("list*", "*EPYC*"), as the command line gives them.
#pragma once

#include <fnmatch.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench32 {

inline bool matchesGlob(const std::string& pattern, const std::string& name) {
  return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

// No globs match everything.
inline bool matchesAny(const std::vector<std::string>& globs, const std::string& name) {
  return globs.empty() || std::any_of(globs.begin(), globs.end(),
                                      [&](const std::string& g) { return matchesGlob(g, name); });
}

} // namespace bench32
