// Statements on one libpq connection: text parameters in, rows out, the
// first failure kept with what was being done.
#pragma once

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <vector>

namespace korvalen::station {

using SqlParams = std::vector<std::optional<std::string>>;

class SqlResult {
 public:
  SqlResult() = default;
  explicit SqlResult(PGresult* result) : result_(result) {}
  ~SqlResult() { PQclear(result_); }
  SqlResult(SqlResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  SqlResult& operator=(SqlResult&& other) noexcept {
    std::swap(result_, other.result_);
    return *this;
  }
  int rows() const { return result_ == nullptr ? 0 : PQntuples(result_); }
  bool IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_, row, column),
                       static_cast<size_t>(PQgetlength(result_, row, column)));
  }
  int64_t Int(int row, int column) const { return std::stoll(Text(row, column)); }

 private:
  PGresult* result_ = nullptr;
};

class Sql {
 public:
  explicit Sql(PGconn* conn) : conn_(conn) {}
  // false with error() set ("what: the server's message") on failure.
  bool Run(const std::string& what, const std::string& statement, const SqlParams& params = {},
           SqlResult* rows = nullptr);
  const std::string& error() const { return error_; }
  // The failure's SQLSTATE ("40P01" a deadlock), empty when none came.
  const std::string& state() const { return state_; }
  // The failure was the connection's, not the statement's: no answer came,
  // or the server said it is going away.
  bool lost() const { return lost_; }

 private:
  PGconn* conn_;
  std::string error_;
  std::string state_;
  bool lost_ = false;
};

}  // namespace korvalen::station
