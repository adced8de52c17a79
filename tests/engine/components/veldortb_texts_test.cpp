// Texts at their edges, on a real database folder: NULL texts joined by || and + in filters and
// in SQL, and texts longer than their column written through a dataset's fields.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"
#include "tests/engine/sql/sql_check_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tools/engineserver/engineserver.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using TempDir = platform::testing::TempFolder;

class TextEdgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Session().Close();
    db.SetDatabaseName("dbmain");
    db.SetDirectory(dir.path());
    q.SetDatabaseName("dbmain");
  }
  void TearDown() override {
    q.Close();
    db.Close();
    Session().Close();
  }
  void exec(const std::string& text) {
    q.Close();
    q.SetSQL(text);
    q.ExecSQL();
  }
  // The ids that `sql` returns, in its order; "ERR " and the message when it fails.
  std::string idsOf(const std::string& sql, bool live) {
    try {
      q.Close();
      q.SetRequestLive(live);
      q.SetSQL(sql);
      q.Open();
      std::string ids;
      for (; !q.Eof(); q.Next()) ids += std::to_string(q.FieldByName("id").AsInteger());
      return ids;
    } catch (const ds::EDatabaseError& e) {
      return std::string("ERR ") + e.what();
    }
  }
  // The ids of `t`'s records that pass `filter`, in record order.
  static std::string filtered(TVELDORTable& t, const std::string& filter) {
    try {
      t.SetFiltered(false);
      t.SetFilterText(filter);
      t.SetFiltered(true);
      std::string ids;
      for (t.First(); !t.Eof(); t.Next()) ids += std::to_string(t.FieldByName("id").AsInteger());
      t.SetFiltered(false);
      return ids;
    } catch (const ds::EDatabaseError& e) {
      return std::string("ERR ") + e.what();
    }
  }

  TempDir dir;
  TVELDORDatabase db;
  TVELDORQuery q;
};

// Rows 1 to 4: s and u NULL, s only, u only, both.
void fillJoinTable(const std::function<void(const std::string&)>& exec, const std::string& table) {
  exec("CREATE TABLE " + table + " (id INTEGER, s CHAR(10), u CHAR(10), PRIMARY KEY (id))");
  exec("INSERT INTO " + table + " VALUES (1, NULL, NULL)");
  exec("INSERT INTO " + table + " VALUES (2, 'ab', NULL)");
  exec("INSERT INTO " + table + " VALUES (3, NULL, 'é')");
  exec("INSERT INTO " + table + " VALUES (4, 'ab', 'cd')");
}

// A NULL text reads as the empty text to || and +, so a join of two NULL texts is the empty
// text and not NULL: IS NULL, = and <> against '' (the NULL constant), IN with NULL, LIKE and
// the functions see it so. Only functions whose empty result is NULL (TRIM, SUBSTRING) and a
// stored field (a select list) turn it into NULL. Filters, SQL conditions and a remote table's
// filters agree, with an index on s and without.
const std::vector<std::pair<std::string, std::string>> kJoinConditions = {
    {"s || s IS NULL", ""},
    {"s || s IS NOT NULL", "1234"},
    {"s + u IS NULL", ""},
    {"NOT (u || s IS NULL)", "1234"},
    {"s || s = ''", ""},
    {"s || s <> ''", "1234"},
    {"s || s = NULL", ""},
    {"s || u = 'ab'", "2"},
    {"s || u <> 'ab'", "134"},
    {"u || s = 'é'", "3"},
    {"s || s IN ('x', NULL)", ""},
    {"s || s NOT IN ('x', NULL)", "1234"},
    {"s || s LIKE '%'", "1234"},
    {"s || u NOT LIKE '_%'", "1"},
    {"s || s < 'a'", "13"},
    {"s || s >= ''", "1234"},
    {"s || s BETWEEN '' AND 'a'", "13"},
    {"LENGTH(s || u) = 0", "1"},
    {"LENGTH(s || s) IS NULL", ""},
    {"UPPER(s || s) IS NULL", ""},
    {"LOWER(u || u) = ''", ""},
    {"POS('a' IN s || s) = 0", "13"},
    {"OCCURS('a' IN s + s) = 0", "13"},
    {"TRIM(BOTH ' ' FROM s || s) IS NULL", "13"},
    {"SUBSTRING(s || u FROM 1) IS NULL", "1"},
    {"REPLACE('x' WITH 'y' IN s || u) IS NULL", "1"},
    {"IF(s || s IS NULL THEN 1 ELSE 2) = 2", "1234"},
    {"CAST(s || s AS CHAR(3)) IS NULL", ""},
    {"IF(id > 0 THEN s || u ELSE 'x') IS NULL", ""},
};

TEST_F(TextEdgeTest, JoinedNullTextsAreEmptyTextsInFiltersAndSql) {
  fillJoinTable([&](const std::string& sql) { exec(sql); }, "plain");
  fillJoinTable([&](const std::string& sql) { exec(sql); }, "indexed");
  exec("CREATE INDEX bys ON indexed (s)");
  exec("CREATE INDEX byu ON indexed (u)");
  for (const char* table : {"plain", "indexed"}) {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName(table);
    t.Open();
    for (const auto& [condition, ids] : kJoinConditions) {
      SCOPED_TRACE(std::string(table) + ": " + condition);
      EXPECT_EQ(filtered(t, condition), ids) << "filter";
      const std::string sql = "SELECT id FROM " + std::string(table) + " WHERE " + condition + " ORDER BY id";
      EXPECT_EQ(idsOf(sql, false), ids) << "SQL";
      EXPECT_EQ(idsOf(sql, true), ids) << "SQL, live";
    }
  }
  // A select list stores the joined text in a field of its result, where an empty text is NULL;
  // its length in characters, a number, stays 0.
  for (bool live : {false, true}) {
    SCOPED_TRACE(live ? "live" : "copied");
    q.Close();
    q.SetRequestLive(live);
    q.SetSQL("SELECT id, s || u AS j, LENGTH(s + u) AS n FROM plain ORDER BY id");
    q.Open();
    std::string rows;
    for (; !q.Eof(); q.Next())
      rows += (q.FieldByName("j").IsNull() ? "-" : q.FieldByName("j").AsString()) + "," +
              (q.FieldByName("n").IsNull() ? "-" : q.FieldByName("n").AsString()) + ";";
    EXPECT_EQ(rows, "-,0;ab,2;é,1;abcd,4;");
  }
  // Typed NULL texts joined in a constant: the empty text, which no stored text equals, though
  // an index keeps NULL texts under an empty key.
  for (const char* table : {"plain", "indexed"}) {
    SCOPED_TRACE(table);
    const std::string condition = "s = CAST(NULL AS CHAR(3)) || CAST(NULL AS CHAR(3))";
    EXPECT_EQ(idsOf("SELECT id FROM " + std::string(table) + " WHERE " + condition, false), "");
    EXPECT_EQ(
        idsOf("SELECT id FROM " + std::string(table) + " WHERE NOT (" + condition + ") ORDER BY id", false),
        "1234");
  }
}

TEST_F(TextEdgeTest, ARemoteTableFiltersJoinedNullTextsAsALocalOne) {
  // The server's database \tables\ is this folder's "tables".
  q.Close();
  db.Close();
  std::filesystem::create_directory(dir.path() + "/tables");
  db.SetDirectory(dir.path() + "/tables");
  fillJoinTable([&](const std::string& sql) { exec(sql); }, "plain");
  auto server = std::make_unique<engineserver::EngineServer>(
      dir.path(), std::map<std::string, std::string>{{"ann", "pw"}});
  TVELDORSession remote("Remote");
  remote.SetSessionName("remote");
  remote.SetSessionType(engine::stRemote);
  remote.SetRemotePort(server->port());
  remote.OnRemoteLogin = [&](TVELDORSession&, std::string& user, std::string& password, bool&) {
    user = "ann";
    password = "pw";
  };
  TVELDORDatabase r(&remote);
  r.SetDatabaseName("r");
  r.SetRemoteDatabase("\\tables\\");
  TVELDORTable t;
  t.SetSessionName("remote");
  t.SetDatabaseName("r");
  t.SetTableName("plain");
  t.Open();
  for (const auto& [condition, ids] : kJoinConditions) {
    SCOPED_TRACE(condition);
    EXPECT_EQ(filtered(t, condition), ids);
  }
  t.Close();
  r.Close();
}

// ---- Texts longer than their column ----

// Whether `text` is well-formed UTF-8.
bool validUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const uint8_t lead = uint8_t(text[i]);
    const size_t n = lead < 0x80                   ? 1
                     : lead >= 0xF0 && lead < 0xF5 ? 4
                     : lead >= 0xE0                ? 3
                     : lead >= 0xC2                ? 2
                                                   : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((uint8_t(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// The longest prefix of the characters `parts` that takes at most `room` bytes.
std::string wholePrefix(const std::vector<std::string>& parts, size_t room) {
  std::string kept;
  for (const std::string& c : parts) {
    if (kept.size() + c.size() > room) break;
    kept += c;
  }
  return kept;
}

// A text field added by hand is 20 characters wide, wider than the CHAR(5) columns it writes:
// the record keeps the whole characters of the text's first five bytes, whether the column maps
// case or not, for characters of two, three and four bytes cut at each of their bytes. The
// texts read back so, the table's files pass the checker, and the index on the column finds
// each row by the text it was given.
TEST_F(TextEdgeTest, ATextWiderThanItsColumnKeepsWholeCharacters) {
  exec("CREATE TABLE cut (id INTEGER, s CHAR(5), u CHAR(5) CHARCASE UPPER, PRIMARY KEY (id))");
  exec("CREATE INDEX bys ON cut (s)");
  exec("CREATE INDEX byu ON cut (u)");
  struct Written {
    int id;
    std::string text, kept;
  };
  std::vector<Written> rows;
  {
    TVELDORTable t;
    t.SetDatabaseName("dbmain");
    t.SetTableName("cut");
    ds::Field::AddTo(t, std::make_unique<ds::IntegerField>())->FieldName = "id";
    ds::Field* s = ds::Field::AddTo(t, std::make_unique<ds::StringField>());
    s->FieldName = "s";
    ds::Field* u = ds::Field::AddTo(t, std::make_unique<ds::StringField>());
    u->FieldName = "u";
    ASSERT_EQ(s->Size, 20);
    t.Open();
    int id = 0;
    // "É", "€", and a 4-byte emoji, upper case already, after 0 to 3 ASCII letters: the fifth
    // byte falls on every byte of the character.
    for (const std::string c : {"\xC3\x89", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"})
      for (size_t lead = 0; lead < 4; ++lead) {
        std::vector<std::string> parts(lead, "A");
        for (int k = 0; k < 4; ++k) parts.push_back(c);
        std::string text;
        for (const std::string& p : parts) text += p;
        rows.push_back({++id, text, wholePrefix(parts, 5)});
        t.Append();
        t.FieldByName("id").SetAsInteger(id);
        s->SetAsString(text);
        u->SetAsString(text);
        t.Post();
      }
  }
  TVELDORTable t;
  t.SetDatabaseName("dbmain");
  t.SetTableName("cut");
  t.Open();
  for (const Written& w : rows) {
    SCOPED_TRACE("row " + std::to_string(w.id));
    ASSERT_TRUE(t.Locate("id", int32_t(w.id), 0));
    for (const char* field : {"s", "u"}) {
      const std::string stored = t.FieldByName(field).AsString();
      EXPECT_TRUE(validUtf8(stored)) << field;
      EXPECT_EQ(stored, w.kept) << field;
    }
  }
  sql_test::expectSound(*db.Handle(), dir.path(), "cut", false);
  // The key is cut as the record was: the whole text finds its row.
  for (const char* index : {"bys", "byu"}) {
    t.SetIndexName(index);
    for (const Written& w : rows) {
      SCOPED_TRACE(std::string(index) + " row " + std::to_string(w.id));
      ASSERT_TRUE(t.FindKey({ds::Variant(w.text)}));
      EXPECT_EQ(t.FieldByName("s").AsString(), w.kept);
    }
  }
}

// A damaged record whose text fills its field's every byte, with no terminator, ending in a
// character the field's last byte cuts short: a select list and an INSERT that copy the column
// keep the whole characters before the cut, as the record writer does.
TEST_F(TextEdgeTest, AnUnterminatedTextIsCopiedAsTheRecordWriterCutsIt) {
  exec("CREATE TABLE damaged (id INTEGER, s CHAR(5), PRIMARY KEY (id))");
  exec("CREATE TABLE copied (id INTEGER, s CHAR(5), PRIMARY KEY (id))");
  exec("INSERT INTO damaged VALUES (1, 'ZQZQ')");
  db.Close();
  Session().Close();
  {
    // "ZQZQ" and its terminator become "ZQZQ" and the two bytes of "É": six bytes, no zero.
    const std::string path = dir.path() + "/damaged.DAT";
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(file.is_open()) << path;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find(std::string("ZQZQ\0\0", 6));
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(bytes.find("ZQZQ", at + 1), std::string::npos);
    file.seekp(std::streamoff(at));
    file.write("ZQZQ\xC3\x89", 6);
  }
  db.SetDatabaseName("dbmain");
  db.SetDirectory(dir.path());
  q.Close();
  q.SetRequestLive(false);
  q.SetSQL("SELECT s FROM damaged");
  q.Open();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldByName("s").AsString(), "ZQZQ");
  exec("INSERT INTO copied SELECT id, s FROM damaged");
  exec("INSERT INTO copied SELECT id + 1, s FROM damaged WHERE id = 1");
  exec("UPDATE copied SET id = id + 10");
  exec("INSERT INTO copied SELECT * FROM damaged");
  q.Close();
  q.SetRequestLive(false);
  q.SetSQL("SELECT s FROM copied");
  q.Open();
  int rows = 0;
  for (; !q.Eof(); q.Next(), ++rows) EXPECT_EQ(q.FieldByName("s").AsString(), "ZQZQ");
  EXPECT_EQ(rows, 3);
}

// A memo cast to a shorter CHAR keeps the whole characters of the CHAR's bytes, in a select list
// (stored into the result) and in a condition.
TEST_F(TextEdgeTest, AMemoCastToAShorterCharKeepsWholeCharacters) {
  exec("CREATE TABLE notes (id INTEGER, m BLOB(1, 1), PRIMARY KEY (id))");
  exec("INSERT INTO notes VALUES (1, '\xC3\x89\xC3\x89\xC3\x89')");
  exec("INSERT INTO notes VALUES (2, 'AA\xE2\x82\xAC\xE2\x82\xAC')");
  for (bool live : {false, true}) {
    SCOPED_TRACE(live ? "live" : "copied");
    q.Close();
    q.SetRequestLive(live);
    q.SetSQL("SELECT id, CAST(m AS CHAR(5)) AS c FROM notes ORDER BY id");
    q.Open();
    std::vector<std::string> cut;
    for (; !q.Eof(); q.Next()) cut.push_back(q.FieldByName("c").AsString());
    EXPECT_EQ(cut, (std::vector<std::string>{"\xC3\x89\xC3\x89", "AA\xE2\x82\xAC"}));
    for (const std::string& text : cut) EXPECT_TRUE(validUtf8(text)) << text;
  }
  EXPECT_EQ(
      idsOf("SELECT id FROM notes WHERE CAST(m AS CHAR(5)) = '\xC3\x89\xC3\x89' OR CAST(m AS CHAR(4)) = "
            "'AA'",
            false),
      "12");
}

}  // namespace
