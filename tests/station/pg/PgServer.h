// The throwaway PostgreSQL server of the store's tests, and a fresh
// database on it per test. Under CTest a fixture starts the server once
// (KORVALEN_TEST_PG_STATE names its state file); run alone, the binary
// starts its own and stops it at exit.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

namespace korvalen::testing {

class PgServer {
 public:
  // The server's admin URI (database "postgres"), or empty with skip_reason.
  static const PgServer& Get() {
    static PgServer server;
    return server;
  }
  const std::string& uri() const { return uri_; }
  const std::string& folder() const { return folder_; }
  const std::string& skip_reason() const { return skip_reason_; }

  // A new empty database; its URI.
  std::string NewDatabase() const {
    std::random_device random;
    const std::string name = "t" + std::to_string(random()) + std::to_string(random());
    Admin("CREATE DATABASE " + name);
    std::string uri = uri_;
    uri.replace(uri.find("/postgres?"), 10, "/" + name + "?");
    return uri;
  }

  // Runs statements on the server as its owner; the first field of the
  // last result, or the error text prefixed with "ERROR ".
  static std::string Run(const std::string& uri, const std::string& sql) {
    PGconn* conn = PQconnectdb(uri.c_str());
    std::string answer;
    if (PQstatus(conn) != CONNECTION_OK) {
      answer = std::string("ERROR ") + PQerrorMessage(conn);
    } else {
      PGresult* result = PQexec(conn, sql.c_str());
      const auto status = PQresultStatus(result);
      if (status == PGRES_TUPLES_OK && PQntuples(result) > 0) answer = PQgetvalue(result, 0, 0);
      if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        answer = std::string("ERROR ") + PQerrorMessage(conn);
      PQclear(result);
    }
    PQfinish(conn);
    return answer;
  }
  void Admin(const std::string& sql) const {
    const std::string answer = Run(uri_, sql);
    EXPECT_FALSE(answer.starts_with("ERROR")) << sql << ": " << answer;
  }

 private:
  PgServer() {
    std::string state;
    if (const char* from_ctest = std::getenv("KORVALEN_TEST_PG_STATE")) {
      state = from_ctest;
    } else {
      std::random_device random;
      state = "/tmp/korvalen-pg-state-" + std::to_string(random());
      const int rc = std::system(("'" KORVALEN_PG_SCRIPT "' start " + state).c_str());
      if (rc != 0) {
        skip_reason_ = "the PostgreSQL test server did not start (exit " + std::to_string(rc) +
                       "): are postgresql-15's server programs installed?";
        return;
      }
      static std::string stop_command = "'" KORVALEN_PG_SCRIPT "' stop " + state;
      std::atexit([] { (void)std::system(stop_command.c_str()); });
    }
    std::ifstream in(state);
    std::getline(in, uri_);
    std::getline(in, folder_);
    if (uri_.starts_with("skip:")) {
      skip_reason_ = uri_.substr(5);
      uri_.clear();
    } else if (uri_.empty()) {
      skip_reason_ = "no PostgreSQL test server: " + state + " is empty";
    }
  }
  std::string uri_;
  std::string folder_;
  std::string skip_reason_;
};

// A server of one test's own, for tests that stop and start it.
class OwnPgServer {
 public:
  OwnPgServer() {
    std::random_device random;
    state_ = "/tmp/korvalen-pg-own-" + std::to_string(random());
    started_ = Script("start");
    std::ifstream in(state_);
    std::getline(in, uri_);
  }
  ~OwnPgServer() { Script("stop"); }
  bool started() const { return started_ && uri_.starts_with("postgresql://"); }
  const std::string& uri() const { return uri_; }
  bool Crash() { return Script("crash"); }
  bool Restart() { return Script("restart"); }

 private:
  bool Script(const std::string& command) {
    return std::system(("'" KORVALEN_PG_SCRIPT "' " + command + " " + state_).c_str()) == 0;
  }
  std::string state_;
  std::string uri_;
  bool started_ = false;
};

#define KORVALEN_NEEDS_PG()                                               \
  do {                                                                    \
    if (!::korvalen::testing::PgServer::Get().skip_reason().empty())      \
      GTEST_SKIP() << ::korvalen::testing::PgServer::Get().skip_reason(); \
  } while (0)

}  // namespace korvalen::testing
