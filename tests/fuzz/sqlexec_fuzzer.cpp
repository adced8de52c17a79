// Fuzz target over preparing and running arbitrary SQL texts on the in-memory database (two
// tables, t(A, B) and u(A, C), made again when a text dropped or emptied them). Only engine
// errors may leave it; every node goes back to the pool once the statement is freed, and no
// directory stays open.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/sql/sql_test_util.h"

using namespace engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (size_t(1) << 20)) return 0;
  static TDataSession session;
  static TDataDirectory* directory = session.OpenDataDirectory("Memory", "");
  sql_test::createTable(*directory, "t", {"A", "B$"}, {{1}, {2}, {3}}, true);
  sql_test::createTable(*directory, "u", {"A", "C"}, {{2, 5}, {3, 6}});
  const size_t directories = session.DirectoryCount();
  {
    sql::TQueryStatement statement(*directory);
    try {
      statement.Prepare(std::string(reinterpret_cast<const char*>(data), size));
      statement.Execute();
    } catch (const EVELDOREngineError&) {
      // The one kind of failure allowed out.
    }
  }
  if (ExpTokensInUse() != 0 || session.DirectoryCount() != directories) std::abort();
  return 0;
}
