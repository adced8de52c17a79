// Feeds arbitrary text to the stand-in's PL/SQL interpreter over a small server of its own: it
// must answer with a server error or run, never crash or loop (statements stop after a budget).
#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "tools/oci-standin/standin_server.h"

namespace {

namespace fs = std::filesystem;
using namespace ocistandin;

void run(const fs::path& file, const char* sql, void (*create)(sqlite3*) = nullptr) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) std::abort();
  if (create) create(db);
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  sqlite3_close(db);
}

class NoBinds : public BindAccess {
 public:
  Value input(size_t, const std::string&) override { return Value::text("1"); }
  void output(size_t, const std::string&, const Value&) override {}
  void openCursor(size_t, const std::string&, const std::string&, BindAccess&) override {}
};

int budget = 0;
int stopWhenSpent(void*) {
  return --budget < 0;
}

// One server folder for the whole run, removed at exit.
struct Server {
  Server() : folder(fs::temp_directory_path() / ("velmaron-fuzz-" + std::to_string(::getpid()) + "-plsql")) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    run(folder / "catalog.db",
        "INSERT INTO \"user$\"(username, password) VALUES ('FUZZ', 'f');"
        "INSERT INTO \"error$\" VALUES ('FUZZ', 'P', 'PROCEDURE', 1, 2, 3, 'a\nb');",
        createCatalog);
    run(folder / "sequences.db", "INSERT INTO \"seq$\" VALUES ('FUZZ', 'S', 0, 1);", createSequenceStore);
    run(folder / "FUZZ.db",
        "CREATE TABLE T (A NUMBER(5), B VARCHAR2(10), C DATE); INSERT INTO T VALUES (1, 'x', "
        "'2001-02-03 00:00:00');");
    session = std::make_unique<Session>(folder.string(), "FUZZ", "f", false);
    sqlite3_progress_handler(session->db(), 1000, stopWhenSpent, nullptr);
  }
  ~Server() {
    session.reset();
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  fs::path folder;
  std::unique_ptr<Session> session;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server server;
  const std::string text(reinterpret_cast<const char*>(data), size);
  NoBinds binds;
  budget = 200;
  try {
    runBlock(*server.session, text, binds);
  } catch (const OraError&) {
  }
  budget = 200;
  server.session->rollback();
  return 0;
}
