// The number-option parser (--min-time, --timeout, --precision, --alpha...) on any
// text: what it takes is finite, is what strtod reads from the same text, and its
// shortest printed form reads back as the same number; what it refuses has a reason.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "exec/decimal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string why;
  const auto value = bench32::parseDecimal(text, why);
  if (!value) {
    if (why.empty()) std::abort();
    if (bench32::shownText(text).find('\n') != std::string::npos) std::abort();
    return 0;
  }
  if (!std::isfinite(*value)) std::abort();
  char* end = nullptr;
  const double read = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || read != *value) std::abort();
  const auto again = bench32::parseDecimal(fmt::format("{}", *value), why);
  if (!again || *again != *value) std::abort();
  return 0;
}
