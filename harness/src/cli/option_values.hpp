// How option values are read, the same way in the harness and the case runner: a
// number option takes a finite decimal number (parseDecimal), and a path option refuses
// an empty path, each with one line naming the option.
#pragma once

#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "exec/decimal.hpp"
#include "exec/errors.hpp"

namespace bench32 {

// For ->check() on every option that names a file or folder: "--json: an empty path".
inline const CLI::Validator nonEmptyPath(
    [](const std::string& path) { return path.empty() ? std::string("an empty path") : ""; }, "");

// A number option read by parseDecimal: "--min-time inf: not a number".
inline CLI::Option* addNumberOption(CLI::App& app, const std::string& names, double& value,
                                    const std::string& help) {
  const std::string name = names.substr(names.rfind(',') + 1);
  return app
      .add_option(
          names,
          [&value, name](const CLI::results_t& words) {
            std::string why;
            const auto number = parseDecimal(words.back(), why);
            if (!number)
              throw BadInput(fmt::format("{} {}: {}", name, shownText(words.back()), why));
            value = *number;
            return true;
          },
          help)
      ->expected(1)
      ->type_name("X")
      ->default_str(fmt::format("{}", value));
}

} // namespace bench32
