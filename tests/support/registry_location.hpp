// Where a test's registry lives: a file in the test's directory or, when
// ZAVRO_TEST_PG names a PostgreSQL server's socket directory, a database of
// its own on that server, so that one suite runs on both engines.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "support/temp_dir.hpp"

namespace zavro::testing {

inline std::string registry_location(const TempDir& dir, const std::string& name) {
  const char* socket = std::getenv("ZAVRO_TEST_PG");
  if (socket == nullptr || *socket == '\0') return dir / name;
  static int made = 0;
  const std::string db = name + "_" + std::to_string(getpid()) + "_" + std::to_string(++made);
  const auto uri = [&](const std::string& database) {
    return "postgresql:///" + database + "?host=" + socket + "&user=zavro";
  };
  PGconn* conn = PQconnectdb(uri("postgres").c_str());
  PGresult* result = PQexec(conn, ("CREATE DATABASE " + db).c_str());
  const bool made_it = PQresultStatus(result) == PGRES_COMMAND_OK;
  const std::string error = PQerrorMessage(conn);
  PQclear(result);
  PQfinish(conn);
  if (!made_it) throw std::runtime_error("cannot create test database " + db + ": " + error);
  return uri(db);
}

}  // namespace zavro::testing
