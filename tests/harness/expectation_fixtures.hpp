// What the tests of running and verifying programs share: an expectation of exact bytes.
#pragma once

#include <string>

#include "exec/expectation.hpp"

namespace bench32::test {

inline Expectation expecting(const std::string& out, int status = 0, int signal = 0) {
  Expectation e;
  e.stdoutBytes = out;
  e.stdoutDigest = digest(out);
  e.stdoutSize = out.size();
  e.status = status;
  e.signal = signal;
  return e;
}

} // namespace bench32::test
