// The PostgreSQL side of the results database, through libpq. Parameters travel as
// text; doubles as their shortest exact decimal, which the server reads back exactly.
#include <libpq-fe.h>

#include <fmt/format.h>

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

class Postgres final : public Database {
public:
  explicit Postgres(const std::string& url) : conn_(PQconnectdb(url.c_str())) {
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      std::string reason = conn_ ? PQerrorMessage(conn_) : "out of memory";
      while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
      PQfinish(conn_);
      // The first line says why; libpq adds the addresses it tried.
      throw std::runtime_error(
          fmt::format("postgresql: cannot connect: {}", reason.substr(0, reason.find('\n'))));
    }
    query("SET client_min_messages = warning", {});
  }
  ~Postgres() override { PQfinish(conn_); }

  std::string kind() const override { return "postgresql"; }

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
    const std::unique_ptr<PGresult, void (*)(PGresult*)> result(
        PQexecParams(conn_, numbered(sql).c_str(), int(values.size()), nullptr, values.data(),
                     nullptr, nullptr, 0),
        PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::string reason = PQresultErrorMessage(result.get());
      if (reason.empty()) reason = PQerrorMessage(conn_);
      throw std::runtime_error(fmt::format("postgresql: {}", reason.substr(0, reason.find('\n'))));
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
  PGconn* conn_;
};

} // namespace

std::unique_ptr<Database> openPostgres(const std::string& url) {
  return std::make_unique<Postgres>(url);
}

} // namespace bench32::store
