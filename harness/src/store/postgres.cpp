// The PostgreSQL side of the results database, through libpq. Parameters travel as
// text; doubles as their shortest exact decimal, which the server reads back exactly.
#include <libpq-fe.h>

#include <fmt/format.h>

#include "exec/errors.hpp"
#include "exec/stored_json.hpp"
#include "store/database.hpp"

namespace bench32::store {
namespace {

// An arbitrary constant that names the schema lock among the server's advisory locks.
constexpr long long schemaLockKey = 0x62656e63683332; // "bench32"

// `?` placeholders become `$1`, `$2`...; the statements here have no `?` in literals.
std::string numbered(const std::string& sql) {
  std::string out;
  int n = 0;
  for (char c : sql) {
    if (c == '?')
      out += fmt::format("${}", ++n);
    else
      out += c;
  }
  return out;
}

// The connection and each result are closed by their owners on every path out.
using Connection = std::unique_ptr<PGconn, void (*)(PGconn*)>;
using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;

// The first line of a libpq message, which says why; libpq adds detail lines after it.
std::string firstLine(std::string reason) {
  reason = reason.substr(0, reason.find('\n'));
  while (!reason.empty() && reason.back() == ' ') reason.pop_back();
  return oneLine(reason, 160);
}

// A statement the server refused because of what the database holds (a missing table
// or column, a value of the wrong type, a broken constraint, damaged data) is bad input;
// the connection, the server's resources or its operator are the system's.
bool isDataFault(const char* state) {
  if (!state) return false;
  const std::string_view s(state);
  return s.rfind("42", 0) == 0 || s.rfind("22", 0) == 0 || s.rfind("23", 0) == 0 || s == "XX001" ||
         s == "XX002";
}

class Postgres final : public Database {
public:
  explicit Postgres(const std::string& url)
      : name_(withoutPassword(url)), conn_(PQconnectdb(url.c_str()), PQfinish) {
    if (!conn_) throw std::bad_alloc();
    if (PQstatus(conn_.get()) != CONNECTION_OK)
      throw std::runtime_error(
          fmt::format("postgresql: cannot connect: {}", firstLine(PQerrorMessage(conn_.get()))));
    query("SET client_min_messages = warning", {});
  }

  std::string kind() const override { return "postgresql"; }
  std::string name() const override { return oneLine(name_); }

  std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) override {
    std::vector<std::optional<std::string>> texts;
    for (const Value& v : params) {
      if (auto* n = std::get_if<std::int64_t>(&v))
        texts.emplace_back(std::to_string(*n));
      else if (auto* d = std::get_if<double>(&v))
        texts.emplace_back(fmt::format("{}", *d));
      else if (auto* s = std::get_if<std::string>(&v))
        texts.emplace_back(*s);
      else
        texts.emplace_back();
    }
    std::vector<const char*> values;
    for (const auto& t : texts) values.push_back(t ? t->c_str() : nullptr);
    const Result result(PQexecParams(conn_.get(), numbered(sql).c_str(), int(values.size()),
                                     nullptr, values.data(), nullptr, nullptr, 0),
                        PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::string reason = result ? PQresultErrorMessage(result.get()) : "";
      if (reason.empty()) reason = PQerrorMessage(conn_.get());
      const std::string text = fmt::format("{}: the database refused: {} (in: {})", name(),
                                           firstLine(reason), statementOf(sql));
      if (result && isDataFault(PQresultErrorField(result.get(), PG_DIAG_SQLSTATE)))
        throw BadInput(text);
      throw std::runtime_error(text);
    }
    std::vector<Row> rows;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(result.get()); ++c) {
        if (PQgetisnull(result.get(), r, c))
          row.emplace_back();
        else
          row.emplace_back(std::string(PQgetvalue(result.get(), r, c),
                                       std::size_t(PQgetlength(result.get(), r, c))));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  void begin() override { query("BEGIN", {}); }
  void commit() override { query("COMMIT", {}); }
  void rollback() override { query("ROLLBACK", {}); }
  void lockSchema() override {
    query("SELECT pg_advisory_xact_lock(?)", {std::int64_t(schemaLockKey)});
  }
  std::string serialKey() const override { return "BIGSERIAL PRIMARY KEY"; }

private:
  static std::string statementOf(const std::string& sql) {
    return oneLine(sql.substr(0, sql.find_first_of("(\n")), 60);
  }
  std::string name_;
  Connection conn_;
};

} // namespace

std::unique_ptr<Database> openPostgres(const std::string& url) {
  return std::make_unique<Postgres>(url);
}

} // namespace bench32::store
