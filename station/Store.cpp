#include "station/Store.h"

#include <cctype>

#include "image/PathText.h"
#include "station/SqliteStore.h"
#include "station/StationStore.h"
#if KORVALEN_HAVE_POSTGRES
#include "station/PostgresStore.h"
#include "station/SpoolStore.h"
#endif

namespace korvalen::station {

bool IsPostgresTarget(const std::string& db) {
  if (db.starts_with("postgresql://") || db.starts_with("postgres://")) return true;
  // A keyword string starts with a keyword and '=' ("host=line dbname=x").
  // A file whose name looks so is named as ./NAME.
  size_t i = 0;
  while (i < db.size() && std::isspace(static_cast<unsigned char>(db[i]))) ++i;
  const size_t start = i;
  while (i < db.size() && (std::islower(static_cast<unsigned char>(db[i])) || db[i] == '_')) ++i;
  if (i == start) return false;
  while (i < db.size() && std::isspace(static_cast<unsigned char>(db[i]))) ++i;
  return i < db.size() && db[i] == '=';
}

std::filesystem::path DefaultSpoolPath(const std::string& station) {
  const std::filesystem::path store = DefaultStorePath();
  if (store.empty()) return {};
  std::string name = "spool-";
  for (const char c : station) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    name += plain || (c == '.' && name.back() != '.') ? c : '_';
  }
  return store.parent_path() / (name + ".sqlite");
}

std::unique_ptr<Store> OpenStore(const std::string& db, std::string* error) {
  if (db.empty()) {
    *error = "no store named: give a file or a postgresql:// database";
    return nullptr;
  }
  if (IsPostgresTarget(db)) {
#if KORVALEN_HAVE_POSTGRES
    return PostgresStore::Open(db, error);
#else
    *error = "this build of korvalen-fw has no PostgreSQL store; use an SQLite file";
    return nullptr;
#endif
  }
  return SqliteStore::Open(PathFromUtf8(db), error);
}

std::unique_ptr<Store> OpenStationStore(const std::string& db, const std::string& station,
                                        const std::filesystem::path& spool, std::string* error) {
  if (!IsPostgresTarget(db)) return OpenStore(db, error);
#if KORVALEN_HAVE_POSTGRES
  const std::filesystem::path spool_path = spool.empty() ? DefaultSpoolPath(station) : spool;
  if (spool_path.empty()) {
    *error = "the system names no home folder for the outage spool; name one";
    return nullptr;
  }
  auto line = PostgresStore::Open(db, error, {.wait_for_server = true});
  if (!line) return nullptr;
  return SpoolStore::Open(std::move(line), spool_path, error);
#else
  (void)station;
  (void)spool;
  return OpenStore(db, error);  // says this build has no PostgreSQL store
#endif
}

}  // namespace korvalen::station
