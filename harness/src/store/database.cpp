#include "database.hpp"

#include <cstdlib>

#include <fmt/format.h>

#include "errors.hpp"

namespace bench32::store {

bool isPostgresTarget(const std::string& target) {
  return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Database> openDatabase(const std::string& target) {
  if (target.empty()) throw BadInput("--db needs a file or a postgresql:// URL");
  if (isPostgresTarget(target)) return openPostgres(target);
  if (target.find("://") != std::string::npos)
    throw BadInput(fmt::format("{}: not a database (a file path, or a postgresql:// URL)", target));
  return openSqlite(target);
}

std::int64_t asInt(const Field& field) {
  return field ? std::strtoll(field->c_str(), nullptr, 10) : 0;
}

double asDouble(const Field& field) { return field ? std::strtod(field->c_str(), nullptr) : 0; }

std::string asText(const Field& field) { return field.value_or(""); }

} // namespace bench32::store
