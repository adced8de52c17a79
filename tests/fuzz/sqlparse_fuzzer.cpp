// Fuzz target over the statement parser on a fixed in-memory database. Only engine errors may
// leave it; every node goes back to the pool once the statement's queries are freed; the
// database keeps exactly its tables (no temporary table is left). The walkers run over every
// parsed condition.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorerr.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tests/engine/sql/sql_test_util.h"

using namespace engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TDataSession session;
  static TDataDirectory* directory = session.OpenDataDirectory("Memory", "");
  const size_t tables = directory->Tables().size();
  const size_t directories = session.DirectoryCount();
  {
    sql::TQueryStatement statement(*directory);
    try {
      statement.ParseStatement(std::string(reinterpret_cast<const char*>(data), size));
      for (const auto& query : statement.Queries()) {
        bool multiple = false;
        sql::TableReference(*query, query->Conditions[0].get(), multiple);
        sql::IsJoinCondition(*query, query->Conditions[0].get(), true);
        if (sql_test::dump(*query).empty()) std::abort();
      }
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode() != VELDOR_SQLPARSE) std::abort();
    }
  }
  if (ExpTokensInUse() != 0 || directory->Tables().size() != tables ||
      session.DirectoryCount() != directories)
    std::abort();
  return 0;
}
