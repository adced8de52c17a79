// Texts at their edges, on a real database folder: texts longer than their column written
// through a dataset's fields.
#include <gtest/gtest.h>

#include <filesystem>
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

}  // namespace
