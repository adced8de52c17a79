// Joins whose inner table no index serves: from the second outer row on, the inner rows are read
// once and looked up by the join column's value; with an index on an integer join column, the
// inner cursor finds each outer row's key in it. Each case holds the lookup to the rows that the
// same join gives when it steps a single outer row (which reads the inner table through its
// cursor filter), and to rows worked out by hand where the rule is the point: the locale's text
// equality, NULL keys, numbers of different types, duplicates, self-joins, empty outer tables,
// sub-selects, and UPDATE and DELETE that join.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;

class JoinLookupTest : public ::testing::Test {
 protected:
  JoinLookupTest() : db(folder.path()) {}
  void fill(const std::string& table, const std::string& columns, const std::vector<std::string>& rows,
            const std::string& options = "") {
    db.run("CREATE TABLE " + table + " (" + columns + options + ")");
    for (const std::string& r : rows) db.run("INSERT INTO " + table + " VALUES (" + r + ")");
  }
  // The join of t (driving, with an id column) to u on `condition`, ordered by its columns,
  // beside the same join run once for each row of t.
  void expectSameAsPerOuterRow(const std::string& columns, const std::string& condition) {
    const std::string all =
        db.run("SELECT " + columns + " FROM t, u WHERE " + condition + " ORDER BY 1, 2 NOJOINOPTIMIZE");
    std::string single;
    for (const std::string& id : split(db.run("SELECT id FROM t ORDER BY 1")))
      single += db.run("SELECT " + columns + " FROM t, u WHERE t.id = " + id + " AND (" + condition +
                       ") ORDER BY 1, 2 NOJOINOPTIMIZE");
    EXPECT_EQ(all, single) << condition;
  }
  static std::vector<std::string> split(const std::string& lines) {
    std::vector<std::string> out;
    for (size_t at = 0, end = 0; at < lines.size(); at = end + 1) {
      end = lines.find('\n', at);
      out.push_back(lines.substr(at, end - at));
    }
    return out;
  }
  // "i, 'filler<i>'" for the rows that no key matches, so that a text join steps enough outer rows.
  static std::vector<std::string> fillers(int from, int to) {
    std::vector<std::string> rows;
    for (int i = from; i < to; ++i) rows.push_back(std::to_string(i) + ", 'filler" + std::to_string(i) + "'");
    return rows;
  }
  platform::testing::TempFolder folder;
  SqlDatabase db;
};

TEST_F(JoinLookupTest, TextKeysAreEqualAsTheInnerTablesLocaleComparesThem) {
  // Under German, marks never count ("ü" is "u") and case does.
  // A text key is looked up for 16 outer rows or more: fillers make them up.
  std::vector<std::string> outer = fillers(1, 21);
  for (const char* r :
       {"21, 'Mueller'", "22, 'müller'", "23, 'Muller'", "24, 'resume'", "25, NULL", "26, 'MUELLER'"})
    outer.push_back(r);
  fill("t", "id INTEGER, name CHAR(20)", outer);
  fill("u", "id INTEGER, name CHAR(20)",
       {"10, 'Müller'", "11, 'Mueller'", "12, 'MUELLER'", "13, 'Muller'", "14, 'résumé'", "15, NULL",
        "16, 'Mueller'"},
       ", LANGUAGE 'German (Standard)'");
  expectSameAsPerOuterRow("t.id, u.id", "t.name = u.name");
  expectSameAsPerOuterRow("t.id, u.id", "u.name = t.name AND u.id > 10");
  // A NULL meets a NULL, as the engine's `=` has it.
  EXPECT_EQ(db.run("SELECT t.id, u.id FROM t, u WHERE t.name = u.name ORDER BY 1, 2 NOJOINOPTIMIZE"),
            "21|11\n21|16\n23|10\n23|13\n24|14\n25|15\n26|12\n");
}

TEST_F(JoinLookupTest, NullKeysFindWhatTheFilterFinds) {
  fill("t", "id INTEGER, k INTEGER", {"1, 1", "2, NULL", "3, 2", "4, NULL"});
  fill("u", "id INTEGER, k INTEGER", {"10, NULL", "11, 1", "12, NULL", "13, 3"});
  expectSameAsPerOuterRow("t.id, u.id", "t.k = u.k");
  expectSameAsPerOuterRow("t.id, u.id", "t.k = u.k OR u.id = 13");
  EXPECT_EQ(
      db.run("SELECT t.id, u.id FROM t LEFT OUTER JOIN u ON t.k = u.k WHERE t.k IS NOT NULL ORDER BY 1"),
      "1|11\n3|NULL\n");
}

TEST_F(JoinLookupTest, NumbersOfDifferentTypesMeetByValue) {
  fill("t", "id INTEGER, i INTEGER, f FLOAT, s SMALLINT",
       {"1, 1, 1.0, 1", "2, 2, 1.5, 2", "3, 0, -0.0, 0", "4, -7, -7.0, -7", "5, 3, 3.25, 3"});
  fill("u", "id INTEGER, i INTEGER, f FLOAT, l LARGEINT",
       {"10, 1, 1.0, 1", "11, 0, 0.0, 0", "12, 2, 1.5, 2", "13, -7, -7.0, -7", "14, 3, 3.0, 3",
        "15, 1, 2.0, 1"});
  // FLOAT inner against INTEGER outer (the lookup's), INTEGER inner against FLOAT outer (compared in
  // the wider type, row by row), and the integer types among themselves.
  for (const char* condition : {"u.f = t.i", "u.i = t.f", "u.f = t.f", "u.l = t.s", "u.i = t.s", "u.l = t.i"})
    expectSameAsPerOuterRow("t.id, u.id", condition);
  EXPECT_EQ(db.run("SELECT t.id, u.id FROM t, u WHERE u.f = t.f ORDER BY 1, 2"), "1|10\n2|12\n3|11\n4|13\n");
  EXPECT_EQ(db.run("SELECT t.id, u.id FROM t, u WHERE u.i = t.f ORDER BY 1, 2"), "1|10\n1|15\n3|11\n4|13\n");
}

TEST_F(JoinLookupTest, DuplicatesOnBothSidesPairEveryMatch) {
  fill("t", "id INTEGER, k INTEGER", {"1, 5", "2, 5", "3, 6", "4, 5", "5, 7"});
  fill("u", "id INTEGER, k INTEGER, v INTEGER", {"10, 5, 1", "11, 6, 1", "12, 5, 2", "13, 5, 3", "14, 8, 1"});
  expectSameAsPerOuterRow("t.id, u.id", "t.k = u.k");
  expectSameAsPerOuterRow("t.id, u.id", "t.k = u.k AND u.v <> 2");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t, u WHERE t.k = u.k"), "10\n");
  // A third table joined to the looked-up one, and an OR across all three tested on the row.
  fill("w", "id INTEGER, v INTEGER", {"20, 1", "21, 3", "22, 1"});
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t, u, w WHERE t.k = u.k AND u.v = w.v AND (t.id = 1 OR w.id = 21) "
                   "NOJOINOPTIMIZE"),
            "5\n");
}

TEST_F(JoinLookupTest, ASelfJoinReadsItsOwnRows) {
  fill("t", "id INTEGER, k INTEGER", {"1, 1", "2, 2", "3, 1", "4, NULL", "5, 2", "6, 3"});
  EXPECT_EQ(db.run("SELECT a.id, b.id FROM t a, t b WHERE a.k = b.k AND a.id < b.id ORDER BY 1, 2"),
            "1|3\n2|5\n");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t a JOIN t b ON a.k = b.k"), "10\n");
}

TEST_F(JoinLookupTest, NoOuterRowsGiveNoRows) {
  fill("t", "id INTEGER, k INTEGER", {});
  fill("u", "id INTEGER, k INTEGER", {"10, 1", "11, 2"});
  fill("v", "id INTEGER, k INTEGER", {"1, 1", "2, 2", "3, 2"});
  EXPECT_EQ(db.run("SELECT t.id, u.id FROM t, u WHERE t.k = u.k NOJOINOPTIMIZE"), "");
  EXPECT_EQ(db.run("SELECT v.id, u.id FROM v, u WHERE v.k = u.k AND v.id > 5 NOJOINOPTIMIZE"), "");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM v, u WHERE v.k = u.k AND u.id > 20 NOJOINOPTIMIZE"), "0\n");
}

TEST_F(JoinLookupTest, AJoinInASubSelectLooksUpItsOwnRows) {
  fill("t", "id INTEGER, k INTEGER", {"1, 1", "2, 2", "3, 3", "4, 2"});
  fill("u", "id INTEGER, k INTEGER", {"10, 2", "11, 3", "12, 9"});
  fill("w", "id INTEGER", {"1", "2", "3", "4", "5"});
  EXPECT_EQ(db.run("SELECT id FROM w WHERE id IN (SELECT t.id FROM t, u WHERE t.k = u.k) ORDER BY 1"),
            "2\n3\n4\n");
  // The same statement runs twice: each run builds its own lookup over the rows it finds.
  TQueryStatement s(db.directory());
  s.Prepare("SELECT t.id, u.id FROM t, u WHERE t.k = u.k ORDER BY 1 NOJOINOPTIMIZE");
  EXPECT_EQ(SqlDatabase::text(*s.Execute()), "2|10\n3|11\n4|10\n");
  db.run("INSERT INTO u VALUES (13, 1)");
  EXPECT_EQ(SqlDatabase::text(*s.Execute()), "1|13\n2|10\n3|11\n4|10\n");
}

TEST_F(JoinLookupTest, UpdateAndDeleteChangeTheRowsTheJoinFinds) {
  std::vector<std::string> rows;
  for (int i = 1; i <= 40; ++i) rows.push_back(std::to_string(i) + ", " + std::to_string(i % 8));
  fill("t", "id INTEGER, k INTEGER", rows);
  fill("u", "id INTEGER, k INTEGER", {"1, 3", "2, 5", "3, 5"});
  // The changed table drives and looks up the other's rows.
  db.run("UPDATE t SET id = id + 100 FROM t, u WHERE t.k = u.k");
  EXPECT_EQ(db.affected, 10);
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t WHERE id > 100 AND (k = 3 OR k = 5)"), "10\n");
  db.run("DELETE FROM t, u WHERE u.k = t.k");
  EXPECT_EQ(db.affected, 10);
  EXPECT_EQ(db.run("SELECT COUNT(*), MAX(id) FROM t"), "30|40\n");
  // The other way round.
  db.run("DELETE FROM u, t WHERE u.k + 1 = t.k + 1 AND t.k = u.k");
  EXPECT_EQ(db.affected, 0);
  db.run("INSERT INTO t VALUES (200, 3)");
  db.run("DELETE FROM u, t WHERE t.k = u.k NOJOINOPTIMIZE");
  EXPECT_EQ(db.affected, 1);
  EXPECT_EQ(db.run("SELECT id FROM u ORDER BY 1"), "2\n3\n");
}

TEST_F(JoinLookupTest, AnIndexOnTheJoinColumnFindsEachKeysRows) {
  fill("t", "id INTEGER, k INTEGER, d DATE",
       {"1, 9, NULL", "2, 5, '2024-01-02'", "3, NULL, NULL", "4, 6, '2024-01-03'", "5, 5, '2024-01-02'",
        "6, 0, NULL", "7, -3, NULL"});
  fill("u", "id INTEGER, k INTEGER, d DATE, v INTEGER",
       {"10, 5, '2024-01-02', 1", "11, NULL, NULL, 1", "12, 5, '2024-01-03', 2", "13, 0, NULL, 3",
        "14, 6, '2024-01-02', 1", "15, -3, NULL, 2", "16, NULL, '2024-01-03', 1", "17, 7, NULL, 1"});
  db.run("CREATE INDEX uk ON u (k)");
  db.run("CREATE INDEX ud ON u (d, v)");
  for (const char* condition : {"t.k = u.k", "u.k = t.k AND u.v < 3", "t.d = u.d", "t.d = u.d AND t.k = u.k",
                                "t.k = u.k AND (u.v = 1 OR t.id = 2)", "t.k + 1 = u.k"})
    expectSameAsPerOuterRow("t.id, u.id", condition);
  EXPECT_EQ(db.run("SELECT t.id, u.id FROM t, u WHERE t.k = u.k AND t.k IS NOT NULL ORDER BY 1, 2"),
            "2|10\n2|12\n4|14\n5|10\n5|12\n6|13\n7|15\n");
  // A table with a memo is read through its index as well, the memo with its row.
  fill("w", "id INTEGER, k INTEGER, note BLOB(1, 1)",
       {"30, 5, 'five'", "31, 6, 'six'", "32, NULL, 'none'", "33, 5, 'cinq'"});
  db.run("CREATE INDEX wk ON w (k)");
  EXPECT_EQ(db.run("SELECT t.id, w.id, w.note FROM t, w WHERE t.k = w.k ORDER BY 1, 2 NOJOINOPTIMIZE"),
            "2|30|five\n2|33|cinq\n3|32|none\n4|31|six\n5|30|five\n5|33|cinq\n");
  // A self-join through the index; UPDATE and DELETE that join a table read within its own filter.
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM u a, u b WHERE a.k = b.k AND a.k IS NOT NULL"), "8\n");
  db.run("UPDATE u SET v = v + 10 FROM u, t WHERE u.k = t.k AND t.id > 4");
  EXPECT_EQ(db.affected, 4);
  EXPECT_EQ(db.run("SELECT id FROM u WHERE v > 10 ORDER BY 1"), "10\n12\n13\n15\n");
  // t 4 meets u 14, and t 3's NULL meets u 11's and u 16's.
  db.run("DELETE FROM t, u WHERE t.k = u.k AND u.v < 10");
  EXPECT_EQ(db.affected, 2);
  EXPECT_EQ(db.run("SELECT id FROM t ORDER BY 1"), "1\n2\n5\n6\n7\n");
}

TEST_F(JoinLookupTest, ATableJoiningTwoOthersPairsEachRowWithBoth) {
  // t steps u and w from each of its rows; u's rows come again for each of w's.
  fill("t", "id INTEGER, a INTEGER, b INTEGER", {"1, 1, 1", "2, 1, 2", "3, 2, 2", "4, 3, 1"});
  fill("u", "id INTEGER, a INTEGER", {"10, 1", "11, 1", "12, 2"});
  fill("w", "id INTEGER, b INTEGER", {"20, 1", "21, 2", "22, 2"});
  const std::string join =
      "SELECT t.id, u.id, w.id FROM t, u, w WHERE t.a = u.a AND t.b = w.b ORDER BY 1, 2, 3 "
      "NOJOINOPTIMIZE";
  const std::string expected = "1|10|20\n1|11|20\n2|10|21\n2|10|22\n2|11|21\n2|11|22\n3|12|21\n3|12|22\n";
  EXPECT_EQ(db.run(join), expected);
  db.run("CREATE INDEX ua ON u (a)");
  db.run("CREATE INDEX wb ON w (b)");
  EXPECT_EQ(db.run(join), expected);
}

// The progress callback runs between outer rows with the read holds let go; from it another
// session adds, deletes and re-keys inner rows at the keys the next outer rows look for. A
// condition that is only the key's equality (either way round, an outer SMALLINT key, NULL outer
// keys) gives, with the reports, what the same join gives where every inner row is tested.
TEST_F(JoinLookupTest, AnIndexedJoinSeesWhatAnotherSessionChangesBetweenOuterRows) {
  const auto run = [&](const std::string& condition) {
    platform::testing::TempFolder here;
    SqlDatabase reader(here.path()), writer(here.path());
    reader.run("CREATE TABLE t (id INTEGER, k INTEGER, sk SMALLINT)");
    reader.run("CREATE TABLE u (id INTEGER, k INTEGER, v INTEGER)");
    for (int i = 1; i <= 200; ++i) {
      const std::string k = i % 13 == 0 ? "NULL" : std::to_string(i * 7 % 60);
      reader.run("INSERT INTO t VALUES (" + std::to_string(i) + ", " + k + ", " + k + ")");
    }
    for (int i = 0; i < 180; ++i)
      reader.run("INSERT INTO u VALUES (" + std::to_string(1000 + i) + ", " +
                 (i % 17 == 0 ? std::string("NULL") : std::to_string(i % 60)) + ", " + std::to_string(i) +
                 ")");
    reader.run("CREATE INDEX uk ON u (k)");
    reader.directory().Session().SetProgressSteps(50);
    std::string outcome;
    int calls = 0;
    TQueryStatement select(reader.directory());
    select.SetProgressCallback([&](int percent, bool&) {
      outcome += std::to_string(percent) + " ";
      ++calls;
      // About four outer rows a call: the key two rows on gains a row, another row moves to it.
      const std::string key = std::to_string((4 * calls + 2) * 7 % 60);
      writer.run("INSERT INTO u VALUES (" + std::to_string(5000 + calls) + ", " + key + ", 0)");
      writer.run("DELETE FROM u WHERE id = " + std::to_string(1000 + calls * 5 % 180));
      writer.run("UPDATE u SET k = " + key + " WHERE id = " + std::to_string(1000 + (calls * 11 + 3) % 180));
    });
    select.Prepare("SELECT t.id, u.id FROM t, u WHERE " + condition + " ORDER BY 1, 2 NOJOINOPTIMIZE");
    outcome += "\n" + SqlDatabase::text(*select.Execute());
    EXPECT_GT(calls, 25) << condition;
    return outcome;
  };
  const std::string tested = run("t.k = u.k AND u.id = u.id");
  for (const char* condition : {"t.k = u.k", "u.k = t.k", "t.sk = u.k"})
    EXPECT_EQ(run(condition), tested) << condition;
}

// Random tables of every key type the lookup takes (duplicates, NULLs, -0, case and marks), with
// and without an index, and random equi-joins with other conjuncts: the join gives the rows that
// its one-outer-row runs give. VELMARON_SEED replays a run; VELMARON_LONG=1 runs 40 rounds.
TEST_F(JoinLookupTest, RandomJoinsGiveTheRowsOfTheirOneRowRuns) {
  const char* given = std::getenv("VELMARON_SEED");
  const uint32_t seed = given ? uint32_t(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  const char* const texts[] = {"'abc'", "'ABC'", "'Ábc'", "'abc '", "'x'", "NULL"};
  auto row = [&](int id) {
    auto maybe = [&](const std::string& v) { return pick(6) == 0 ? std::string("NULL") : v; };
    return std::to_string(id) + ", " + maybe(std::to_string(pick(5) - 1)) + ", " +
           maybe(pick(2) ? "-0.0" : std::to_string(pick(4)) + ".5") + ", " + texts[pick(6)] + ", " +
           maybe("'2024-01-0" + std::to_string(1 + pick(3)) + "'") + ", " + maybe(std::to_string(pick(3)));
  };
  const std::string columns = "id INTEGER, i INTEGER, f FLOAT, s CHAR(8), d DATE, l LARGEINT";
  const char* const conditions[] = {"t.i = u.i",
                                    "u.i = t.l",
                                    "t.f = u.f",
                                    "u.f = t.i",
                                    "t.s = u.s",
                                    "t.d = u.d AND u.i <> 2",
                                    "t.i = u.l AND (u.f > 1 OR t.s = u.s)",
                                    "t.l = u.i AND t.d = u.d",
                                    "u.i + 1 = t.i + 1 AND u.l = t.l"};
  const int rounds = std::getenv("VELMARON_LONG") ? 40 : 2;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::string> outer, inner;
    for (int i = 1; i <= 16 + pick(3); ++i) outer.push_back(row(i));
    for (int i = 100; i < 100 + pick(20); ++i) inner.push_back(row(i));
    db.run("DROP TABLE IF EXISTS t");
    db.run("DROP TABLE IF EXISTS u");
    fill("t", columns, outer);
    fill("u", columns, inner, pick(2) ? ", LANGUAGE 'German (Standard)'" : "");
    if (pick(2)) db.run(std::string("CREATE INDEX ux ON u (") + (pick(2) ? "i" : "d") + ")");
    for (const char* condition : conditions) expectSameAsPerOuterRow("t.id, u.id", condition);
  }
}

// The lookup itself, over a table's cursor: its bound on memory, a FLOAT NaN (equal to every
// value by the engine's compare) refused, and the rows a value finds, in the cursor's order.
TEST_F(JoinLookupTest, ALookupKeepsToItsBoundAndRefusesKeysWithoutOrder) {
  fill("u", "id INTEGER, k INTEGER, f FLOAT",
       {"1, 5, 1.0", "2, 7, 2.0", "3, 5, -0.0", "4, NULL, NULL", "5, 5, 0.0"});
  engine::TDataCursor cursor(db.directory());
  cursor.SetTableName("u");
  cursor.Open();
  auto found = [&](TJoinLookup& lookup, const TExpToken* value) {
    lookup.Find(value);
    std::string ids;
    uint32_t recordNo = 0;
    const uint8_t* record = nullptr;
    std::vector<uint8_t> id(16);
    while (lookup.Next(recordNo, record)) {
      bool isNull = true;
      cursor.GetField(1, record, isNull, id.data());
      ids += std::to_string(engine::GetIntegerValue(id.data())) + " ";
    }
    return ids;
  };
  auto constant = [](engine::TEngineFieldType type, double v, bool isNull) {
    engine::TExpTreePtr node(engine::GetExpToken());
    node->type = type;
    node->SetValueSize(8);
    if (type == engine::TEngineFieldType::Float)
      engine::PutFloatValue(node->Value(), v);
    else
      engine::PutIntegerValue(node->Value(), int32_t(v));
    node->isNull = isNull;
    return node;
  };
  TJoinLookup small;
  EXPECT_FALSE(small.Build(cursor, 2, 5 * cursor.RecordSize()));
  EXPECT_EQ(small.RowCount(), 0u);
  TJoinLookup byInteger;
  ASSERT_TRUE(byInteger.Build(cursor, 2, 1 << 20));
  EXPECT_EQ(found(byInteger, constant(engine::TEngineFieldType::Integer, 5, false).get()), "1 3 5 ");
  EXPECT_EQ(found(byInteger, constant(engine::TEngineFieldType::Integer, 6, false).get()), "");
  EXPECT_EQ(found(byInteger, constant(engine::TEngineFieldType::Integer, 0, true).get()), "4 ");
  EXPECT_EQ(found(byInteger, nullptr), "1 2 3 4 5 ");
  TJoinLookup byFloat;
  ASSERT_TRUE(byFloat.Build(cursor, 3, 1 << 20));
  EXPECT_EQ(found(byFloat, constant(engine::TEngineFieldType::Float, 0.0, false).get()), "3 5 ");
  EXPECT_EQ(found(byFloat, constant(engine::TEngineFieldType::Float, NAN, false).get()), "1 2 3 4 5 ");
  // A stored NaN has no place in the order: no lookup.
  std::vector<uint8_t> record(cursor.RecordSize());
  cursor.ClearRecordBuffer(record.data());
  uint8_t value[8];
  engine::PutFloatValue(value, NAN);
  cursor.PutField(3, record.data(), value);
  cursor.AppendRecord(record.data());
  TJoinLookup withNan;
  EXPECT_FALSE(withNan.Build(cursor, 3, 1 << 20));
  EXPECT_EQ(withNan.RowCount(), 0u);
}

}  // namespace
