#include "exec/decimal.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace bench32 {

std::optional<double> parseDecimal(std::string_view text, std::string& why) {
  // The characters first: from_chars alone would take "inf", "nan" and "infinity".
  const bool decimalCharacters = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+';
  });
  const std::size_t exponent = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, exponent);
  if (text.empty() || !decimalCharacters ||
      std::none_of(mantissa.begin(), mantissa.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    why = "not a number";
    return std::nullopt;
  }
  double value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) {
    why = "out of range";
    return std::nullopt;
  }
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    why = "not a number";
    return std::nullopt;
  }
  return value;
}

std::string shownText(std::string_view text) {
  const bool control = std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  return control ? fmt::format("{:?}", text) : std::string(text);
}

} // namespace bench32
