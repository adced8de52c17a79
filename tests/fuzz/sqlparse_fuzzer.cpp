// Fuzz target over the statement parser on a fixed in-memory database of two tables, t(A, B)
// and u(A, C). Only engine errors may leave it; every node goes back to the pool once the
// statement's queries are freed; the database keeps exactly its tables (no temporary table is
// left). A parsed SELECT over those tables is prepared as far as the engine goes before it reads
// rows: sources opened, columns bound, joins planned, WHERE handed down, the result table made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/base/veldorerr.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "tests/engine/sql/sql_test_util.h"

using namespace engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TDataSession session;
  static TDataDirectory* directory = [] {
    TDataDirectory* d = session.OpenDataDirectory("Memory", "");
    sql_test::createTable(*d, "t", {"A", "B$"}, {{1}, {2}, {3}}, true);
    sql_test::createTable(*d, "u", {"A", "C"}, {{2, 5}, {3, 6}});
    return d;
  }();
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
      // Queries that statement made are prepared last first, as the driver does.
      for (size_t i = statement.Queries().size(); i-- > 0;) {
        sql::TDataQuery& q = *statement.Queries()[i];
        bool known = q.Kind >= sql::qkSelect && q.Kind <= sql::qkDelete && !q.SourceTables.empty();
        for (auto& t : q.SourceTables)
          known = known && !t->InMemory && (t->TableName == "t" || t->TableName == "u");
        if (!known) continue;
        sql_test::prepare(q);
        if (q.Kind == sql::qkSelect && (q.GroupByGiven || q.Distinct || q.OrderByGiven))
          q.CreateResultTable();
      }
    } catch (const EVELDOREngineError&) {
      // The one kind of failure allowed out.
    }
  }
  if (ExpTokensInUse() != 0 || directory->Tables().size() != tables ||
      session.DirectoryCount() != directories)
    std::abort();
  return 0;
}
