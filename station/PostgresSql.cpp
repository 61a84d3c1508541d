#include "station/PostgresSql.h"

namespace korvalen::station {

bool Sql::Run(const std::string& what, const std::string& statement, const SqlParams& params,
              SqlResult* rows) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
  // Without parameters the simple protocol, which also takes several
  // statements at once (a schema step).
  PGresult* result = params.empty()
                         ? PQexec(conn_, statement.c_str())
                         : PQexecParams(conn_, statement.c_str(), static_cast<int>(values.size()),
                                        nullptr, values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = PQresultStatus(result);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
    if (rows != nullptr) {
      *rows = SqlResult(result);
    } else {
      PQclear(result);
    }
    return true;
  }
  const char* sqlstate = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  state_ = sqlstate != nullptr ? sqlstate : "";
  // Class 08 is a connection failure, 57P0x the server shutting down.
  lost_ = state_.empty() || state_.starts_with("08") || state_.starts_with("57P0") ||
          PQstatus(conn_) != CONNECTION_OK;
  std::string message = PQerrorMessage(conn_);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  if (message.empty()) message = "no answer from the database";
  error_ = what + ": " + message;
  PQclear(result);
  return false;
}

}  // namespace korvalen::station
