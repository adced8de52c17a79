// Live results of a select list: the source table's cursor shows the listed columns in their
// order (one column more than once, expressions computed per record), its filters still read
// the table's fields (so that an index serves them), and an edit through it writes the table.
#include <gtest/gtest.h>

#include <cstring>

#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace sql_test;
using engine::TDataCursor;
using engine::TFieldDescriptor;

class LiveResultTest : public ::testing::Test {
 protected:
  LiveResultTest() : db(folder.path()) {
    db.run("CREATE TABLE t (id INTEGER, name CHAR(10), qty INTEGER, price FLOAT)");
    for (const char* row : {"1, 'ann', 5, 1.5", "2, 'bob', 3, 2.5", "3, 'cy', 3, NULL", "4, 'dee', 8, 4"})
      db.run(std::string("INSERT INTO t VALUES (") + row + ")");
    db.run("CREATE INDEX iqty ON t (qty)");
  }
  // The statement prepared live: it must have a live result.
  TDataCursor& live(TQueryStatement& s, const std::string& sql) {
    s.RequestLive = true;
    s.Prepare(sql);
    TDataCursor* c = s.Execute();
    EXPECT_TRUE(s.Live) << sql;
    return *c;
  }
  static std::string names(TDataCursor& c) {
    std::string out;
    for (uint16_t p = 1; p <= c.FieldCount(); ++p) out += (p > 1 ? "," : "") + c.GetFieldDesc(p).Name();
    return out;
  }
  platform::testing::TempFolder folder;
  SqlDatabase db;
};

TEST_F(LiveResultTest, AColumnSelectedTwiceAndExpressionsShowAsTheCopiedResultShowsThem) {
  for (const char* sql :
       {"SELECT name, id, name, qty * 2 AS twice FROM t WHERE id > 1",
        "SELECT price + qty, qty, UPPER(name) FROM t x WHERE x.name <> 'cy'", "SELECT id, 7, id FROM t"}) {
    TQueryStatement s(db.directory());
    TDataCursor& c = live(s, sql);
    EXPECT_EQ(&c, s.MasterQuery()->SourceTables.front()->Cursor.get()) << sql;
    EXPECT_EQ(SqlDatabase::text(c), db.run(sql)) << sql;
  }
  TQueryStatement s(db.directory());
  TDataCursor& c = live(s, "SELECT name, id, name, qty * 2 AS twice FROM t");
  EXPECT_EQ(names(c), "name,id,name_1,twice");
  // A column keeps its table field (number, place, the table's name before its own); an
  // expression is a computed field of its own type, behind the table's record.
  EXPECT_EQ(c.GetFieldDesc(3).FieldNumber(), 2);
  EXPECT_EQ(c.GetFieldDesc(3).Offset(), c.GetFieldDesc(1).Offset());
  EXPECT_EQ(c.GetFieldDesc(1).QualifiedName(), "t.name");
  EXPECT_EQ(c.GetFieldDesc(1).TableFieldNo(), 2);
  EXPECT_TRUE(c.GetFieldDesc(4).Computed());
  EXPECT_EQ(c.GetFieldDesc(4).Type(), uint8_t(engine::TEngineFieldType::Integer));
  EXPECT_GE(c.GetFieldDesc(4).Offset(), c.Table()->DataFile().GetRecordSize());
}

// The filters of WHERE read the table's fields whatever place the list gives them: an index of
// the table serves them, and no row they drop comes back.
TEST_F(LiveResultTest, AnIndexServesTheWhereOfAReorderedList) {
  for (const char* sql :
       {"SELECT name, qty FROM t WHERE qty = 3", "SELECT price, price, qty FROM t WHERE qty > 4",
        "SELECT qty + 1, name FROM t WHERE qty = 3 OR qty = 8",
        "SELECT name FROM t WHERE qty BETWEEN 4 AND 6 AND id > 0"}) {
    TQueryStatement s(db.directory());
    TDataCursor& c = live(s, sql);
    ASSERT_FALSE(c.Filters().empty()) << sql;
    EXPECT_NE(c.Filters().front()->OptimizeLevel(), 0) << sql;
    EXPECT_EQ(SqlDatabase::text(c), db.run(sql)) << sql;
  }
  // A filter by name names the fields the cursor shows: a renamed column, a computed one.
  TQueryStatement s(db.directory());
  TDataCursor& c = live(s, "SELECT name AS who, qty * 2 AS twice FROM t");
  const std::string text = "twice > 8 AND who <> 'x'";
  c.ActivateFilter(c.AddFilter(nullptr, &text, nullptr, false, nullptr, false, false, false, false));
  EXPECT_EQ(SqlDatabase::text(c), "ann|10\ndee|16\n");
}

// An edit through the live result writes the table's fields at their places; the computed field
// follows the edit and is never written.
TEST_F(LiveResultTest, AnEditThroughTheLiveResultWritesTheTable) {
  TQueryStatement s(db.directory());
  TDataCursor& c = live(s, "SELECT qty, name, qty * 10 AS tenfold, qty FROM t WHERE id = 2");
  std::vector<uint8_t> record(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(record.data()), 0);
  uint8_t value[16] = {};
  engine::PutIntegerValue(value, 7);
  c.PutField(4, record.data(), value);
  std::memcpy(value, "bo", 3);
  c.PutField(2, record.data(), value);
  engine::PutIntegerValue(value, 99);
  c.PutField(3, record.data(), value);
  std::string shown;
  ASSERT_TRUE(ColumnText(c, 3, record.data(), shown));
  EXPECT_EQ(shown, "70");
  c.ModifyRecord(record.data());
  EXPECT_EQ(SqlDatabase::text(c), "7|bo|70|7\n");
  EXPECT_EQ(db.run("SELECT * FROM t WHERE id = 2"), "2|bo|7|2.5\n");

  // An append fills the listed fields; the others stay NULL.
  c.ClearRecordBuffer(record.data());
  engine::PutIntegerValue(value, 6);
  c.PutField(1, record.data(), value);
  c.AppendRecord(record.data());
  EXPECT_EQ(db.run("SELECT * FROM t WHERE qty = 6"), "NULL|NULL|6|NULL\n");
}

// A field list gives the table's fields their own places and sizes; one that moves a field or
// changes its type is refused before the cursor changes.
TEST_F(LiveResultTest, AFieldListThatMovesATableFieldIsRefused) {
  TDataCursor c(db.directory());
  c.SetTableName("t");
  c.Open();
  std::vector<TFieldDescriptor> fields{c.GetFieldDesc(3), c.GetFieldDesc(3)};
  fields[1].SetName("again");
  c.SetFieldDescs(fields);
  EXPECT_EQ(c.FieldCount(), 2);
  fields[1].SetOffset(uint16_t(fields[1].Offset() + 1));
  EXPECT_THROW(c.SetFieldDescs(fields), EVELDOREngineError);
  fields[1] = c.GetTableFieldDesc(2);
  fields[1].SetType(uint8_t(engine::TEngineFieldType::Integer));
  fields[1].SetSize(0);
  EXPECT_THROW(c.SetFieldDescs(fields), EVELDOREngineError);
  EXPECT_EQ(c.FieldCount(), 2);
  EXPECT_EQ(c.RecordSize(), c.Table()->DataFile().GetRecordSize());
}

}  // namespace
