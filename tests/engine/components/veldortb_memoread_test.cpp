// Memos of a table component read as field values and through blob streams, one after another,
// beside edits of this process and rewrites of another: each read gives the bytes of its own row's
// version, never bytes left over from a value read before it, and the text index follows.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/components/veldortb.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using storage_test::Helper;

constexpr const char* kPassword = "memo-pw";

void exec(const std::string& text) {
  TVELDORQuery q;
  q.SetDatabaseName("db");
  q.SetSQL(text);
  q.ExecSQL();
}

std::string readStream(TVELDORTable& t, const char* field) {
  return t.CreateBlobStream(t.FieldByName(field), ds::bmRead)->ReadAll();
}

void writeStream(TVELDORTable& t, const char* field, const std::string& bytes) {
  t.CreateBlobStream(t.FieldByName(field), ds::bmWrite)->Write(bytes.data(), bytes.size());
}

class MemoRead : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Session().Close(); }
  void TearDown() override { Session().Close(); }
  void openDatabase(TVELDORDatabase& db) {
    if (GetParam()) Session().AddPassword(kPassword);
    db.SetDatabaseName("db");
    db.SetDirectory(dir.path());
  }
  std::string encryption() const {
    return GetParam() ? std::string(" ENCRYPTED WITH '") + kPassword + "'" : "";
  }
  platform::testing::TempFolder dir;
};

// The ids of the rows whose memo holds `word`, by the text index.
std::set<int> having(const std::string& word) {
  TVELDORQuery q;
  q.SetDatabaseName("db");
  q.SetSQL("SELECT id FROM t WHERE TEXTSEARCH('" + word + "' IN m)");
  q.Open();
  std::set<int> ids;
  for (; !q.Eof(); q.Next()) ids.insert(q.FieldByName("id").AsInteger());
  return ids;
}

// Rows of every kind of memo read in turn, as values and through streams (whose open blobs reuse
// the memory of the one before); then edited by this process, read before and after the post here
// and by a second table on the same rows, posted, cancelled: what each read gives is the value of
// that row as it stands for that reader, and the text index trades old words for new ones.
TEST_P(MemoRead, EachReadGivesItsOwnRowsBytesThroughEditsPostsAndCancels) {
  TVELDORDatabase db;
  openDatabase(db);
  const std::string longMemo = [] {
    std::string s = "longword";
    // Past the memory an open blob keeps for the next one, and past the block cache.
    while (s.size() < 70000) s += " filler" + std::to_string(s.size() % 7);
    return s;
  }();
  const std::string zeros("a\0b\0\0c", 6);
  exec("CREATE TABLE t (id INTEGER, m BLOB(1, 1), PRIMARY KEY (id) TEXT INDEX (m)" + encryption() + ")");
  exec("INSERT INTO t (id, m) VALUES (1, '" + longMemo + "')");
  exec("INSERT INTO t (id, m) VALUES (2, 'alpha beta')");
  exec("INSERT INTO t (id) VALUES (3)");
  exec("INSERT INTO t (id, m) VALUES (4, '')");
  exec("INSERT INTO t (id) VALUES (5)");
  const std::string midMemo(3000, 'w');
  exec("INSERT INTO t (id, m) VALUES (6, '" + midMemo + "')");
  TVELDORTable t, other;
  for (TVELDORTable* table : {&t, &other}) {
    table->SetDatabaseName("db");
    table->SetTableName("t");
    table->Open();
  }
  ds::Field& m = t.FieldByName("m");
  ASSERT_TRUE(t.Locate("id", ds::Variant(5), 0));
  t.Edit();
  writeStream(t, "m", zeros);
  EXPECT_EQ(m.AsString(), zeros) << "an edited memo before its post";
  t.Post();

  std::vector<std::string> stored = {longMemo, "alpha beta", "", "", zeros, midMemo};
  const auto readAll = [&](const std::string& when) {
    for (int pass = 0; pass < 2; ++pass) {
      t.First();
      for (size_t i = 0; i < stored.size(); ++i, t.Next()) {
        ASSERT_EQ(t.FieldByName("id").AsInteger(), int(i + 1));
        EXPECT_EQ(pass == 0 ? m.AsString() : readStream(t, "m"), stored[i])
            << when << ", row " << i + 1 << (pass == 0 ? " as a value" : " through a stream");
      }
    }
    // Backwards, so that the short values follow the long one.
    for (t.Last(); !t.Bof(); t.Prior()) {
      EXPECT_EQ(readStream(t, "m"), stored[size_t(t.FieldByName("id").AsInteger() - 1)]) << when;
      EXPECT_EQ(m.AsString(), stored[size_t(t.FieldByName("id").AsInteger() - 1)]) << when;
    }
  };
  readAll("as inserted");

  // Row 2 edited after a read in edit state (the read stream stays open in the record), while the
  // other table shows the row as stored.
  ASSERT_TRUE(t.Locate("id", ds::Variant(2), 0));
  ASSERT_TRUE(other.Locate("id", ds::Variant(2), 0));
  EXPECT_EQ(other.FieldByName("m").AsString(), "alpha beta");
  t.Edit();
  EXPECT_EQ(readStream(t, "m"), "alpha beta");
  m.SetAsString("gamma");
  EXPECT_EQ(m.AsString(), "gamma");
  EXPECT_EQ(readStream(t, "m"), "gamma");
  EXPECT_EQ(other.FieldByName("m").AsString(), "alpha beta") << "a change not posted";
  t.Post();
  stored[1] = "gamma";
  EXPECT_EQ(other.FieldByName("m").AsString(), "gamma") << "the other table's row, read again";
  EXPECT_EQ(readStream(other, "m"), "gamma");
  EXPECT_EQ(having("beta"), std::set<int>{});
  EXPECT_EQ(having("alpha"), std::set<int>{});
  EXPECT_EQ(having("gamma"), std::set<int>{2});
  readAll("after the first post");

  // The long value made short through a stream read first, and a memo written and then cancelled.
  ASSERT_TRUE(t.Locate("id", ds::Variant(1), 0));
  t.Edit();
  EXPECT_EQ(readStream(t, "m"), longMemo);
  m.SetAsString("delta");
  t.Post();
  stored[0] = "delta";
  ASSERT_TRUE(t.Locate("id", ds::Variant(2), 0));
  t.Edit();
  m.SetAsString("epsilon zeta");
  EXPECT_EQ(m.AsString(), "epsilon zeta");
  t.Cancel();
  EXPECT_EQ(m.AsString(), "gamma");
  // Emptied, and a NULL one given a value.
  t.Edit();
  m.Clear();
  EXPECT_EQ(m.AsString(), "");
  t.Post();
  stored[1] = "";
  ASSERT_TRUE(t.Locate("id", ds::Variant(3), 0));
  t.Edit();
  writeStream(t, "m", "eta theta");
  t.Post();
  stored[2] = "eta theta";
  readAll("after the later edits");
  ASSERT_TRUE(other.Locate("id", ds::Variant(1), 0));
  EXPECT_EQ(other.FieldByName("m").AsString(), "delta");
  EXPECT_EQ(having("longword"), std::set<int>{});
  EXPECT_EQ(having("delta"), std::set<int>{1});
  EXPECT_EQ(having("gamma"), std::set<int>{});
  EXPECT_EQ(having("epsilon"), std::set<int>{});
  EXPECT_EQ(having("theta"), std::set<int>{3});
}

// A memo of every length from none to several blocks, or NULL, for generation `g`.
std::string memoOf(int g) {
  if (g % 7 == 0) return "";
  std::string s = "g" + std::to_string(g) + ":";
  const size_t length = size_t(g * 397) % 3600;
  while (s.size() < length) s += char('a' + (s.size() * 5 + size_t(g)) % 26);
  return s;
}

// Another process rewrites rows' memos to other lengths, over the blocks they had, freed and
// taken again, and to NULL, while this one reads them as values, through streams and in a filter:
// every memo read is the one written with the row's value shown, and none fails.
TEST_P(MemoRead, RowsRewrittenToOtherLengthsByAnotherProcessShowTheirOwnMemo) {
  constexpr int kRows = 24;
  Helper writer([&](Helper& h) {
    if (h.receive() != 'G') return 2;
    TVELDORDatabase db;
    openDatabase(db);
    int g = kRows + 1;
    for (;; ++g) {
      pollfd p{h.inFd(), POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;
      const std::string memo = memoOf(g);
      exec("UPDATE t SET v = " + std::to_string(g) + ", m = " + (memo.empty() ? "NULL" : "'" + memo + "'") +
           " WHERE id = " + std::to_string(g * 5 % kRows + 1));
      if (g == kRows + 1) h.send('R');
    }
    h.send(char(std::min(g - kRows - 1, 127)));
    return 0;
  });
  std::string problem, filtered;
  int reads = 0, passed = 0;
  {
    TVELDORDatabase db;
    openDatabase(db);
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)" + encryption() + ")");
    for (int id = 1; id <= kRows; ++id)
      exec("INSERT INTO t (id, v, m) VALUES (" + std::to_string(id) + ", " + std::to_string(id) + ", '" +
           memoOf(id) + "')");
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.Open();
    writer.send('G');
    ASSERT_EQ(writer.receive(), 'R');
    ds::Field& v = t.FieldByName("v");
    ds::Field& m = t.FieldByName("m");
    // A filter that reads each row's memo beside its value. It passes rows by their id, which
    // the writer leaves alone: a row rewritten so that it left the filter would be gone from the
    // dataset, and its memo read would rightly raise.
    t.SetOnFilterRecord([&](ds::DataSet& rows, bool& accept) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      try {
        const std::string memo = rows.FieldByName("m").AsString();
        accept = rows.FieldByName("id").AsInteger() % 3 != 0;
        if (memo != memoOf(rows.FieldByName("v").AsInteger()) && filtered.empty())
          filtered = "filter: v " + rows.FieldByName("v").AsString() + " beside a memo of " +
                     std::to_string(memo.size()) + " bytes";
      } catch (const std::exception& e) {
        if (filtered.empty()) filtered = std::string("filter: ") + e.what();
      }
      passed += accept;
    });
    for (int round = 0; round < 24 && problem.empty() && filtered.empty(); ++round) {
      t.SetFiltered(round % 3 == 2);
      t.Refresh();
      for (t.First(); !t.Eof() && problem.empty(); t.Next()) {
        try {
          // The step and the read apart, so that a rewrite falls between them now and then.
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          const bool stream = (round + reads) % 2 == 1;
          const std::string memo = stream ? readStream(t, "m") : m.AsString();
          ++reads;
          if (memo != memoOf(v.AsInteger()))
            problem = "row " + t.FieldByName("id").AsString() + ": v " + v.AsString() + " beside a memo of " +
                      std::to_string(memo.size()) + " bytes (" + memo.substr(0, 8) + ")" +
                      (stream ? " through a stream" : "");
        } catch (const engine::EVELDOREngineError& e) {
          // A row rewritten between the step and the memo read: it is read again whole, so no
          // error is expected at all.
          problem = std::string("row ") + t.FieldByName("id").AsString() + ": " + e.what();
        }
      }
    }
  }
  writer.send('Q');
  const char statements = writer.receive();
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(problem, "") << "after " << reads << " reads";
  EXPECT_EQ(filtered, "") << "after " << passed << " rows passed";
  EXPECT_GT(passed, 0) << "the filter never ran";
  EXPECT_GT(statements, 20) << "the writer hardly ran beside the reader";
}

// Another process commits between this table's step onto a row and its memo read, as does a second
// table of this process: the row is read again whole (its new value beside its new memo, a NULL
// memo empty), a row deleted meanwhile raises, a cancelled edit leaves the row as posted, and in
// a filtered table a row rewritten out of the filter raises while one still in it reads anew.
TEST_P(MemoRead, AMemoReadAfterACommitBetweenTheStepAndTheReadShowsTheRowAsCommitted) {
  // Each command the writer gets is one committed statement; it answers once it is committed.
  const std::vector<std::string> statements = {
      "UPDATE t SET v = 102, m = '" + memoOf(102) + "' WHERE id = 2",
      "DELETE FROM t WHERE id = 3",
      "UPDATE t SET m = NULL WHERE id = 4",
      "UPDATE t SET v = 106, m = 'out of the filter' WHERE id = 6",
      "UPDATE t SET m = 'still in the filter' WHERE id = 5",
  };
  Helper writer([&](Helper& h) {
    TVELDORDatabase db;
    openDatabase(db);
    for (char c; (c = h.receive()) != 'Q';) {
      if (c < '0' || size_t(c - '0') >= statements.size()) return 2;
      exec(statements[size_t(c - '0')]);
      h.send('k');
    }
    return 0;
  });
  const auto commit = [&](size_t statement) {
    writer.send(char('0' + statement));
    ASSERT_EQ(writer.receive(), 'k') << statements[statement];
  };
  const auto raisesChanged = [](ds::Field& field) {
    try {
      field.AsString();
    } catch (const std::exception& e) {
      return std::string(e.what()).find("changed or deleted") != std::string::npos;
    }
    return false;
  };
  {
    TVELDORDatabase db;
    openDatabase(db);
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)" + encryption() + ")");
    for (int id = 1; id <= 6; ++id)
      exec("INSERT INTO t (id, v, m) VALUES (" + std::to_string(id) + ", " + std::to_string(id) + ", '" +
           memoOf(id * 3) + "')");
    TVELDORTable t, own;
    for (TVELDORTable* table : {&t, &own}) {
      table->SetDatabaseName("db");
      table->SetTableName("t");
      table->Open();
    }
    ds::Field& v = t.FieldByName("v");
    ds::Field& m = t.FieldByName("m");
    // The first memo read leaves the blocks after it read ahead for the next rows.
    EXPECT_EQ(m.AsString(), memoOf(3));
    t.Next();
    commit(0);
    EXPECT_EQ(m.AsString(), memoOf(102)) << "a row rewritten to another length";
    EXPECT_EQ(v.AsInteger(), 102) << "the value beside the memo";
    t.Next();
    ASSERT_EQ(t.FieldByName("id").AsInteger(), 3);
    commit(1);
    EXPECT_TRUE(raisesChanged(m)) << "a row deleted";
    ASSERT_TRUE(t.Locate("id", ds::Variant(4), 0));
    commit(2);
    EXPECT_EQ(m.AsString(), "") << "a memo made NULL";
    EXPECT_TRUE(m.IsNull());

    ASSERT_TRUE(t.Locate("id", ds::Variant(5), 0));
    ASSERT_TRUE(own.Locate("id", ds::Variant(5), 0));
    own.Edit();
    own.FieldByName("m").SetAsString("posted here");
    own.FieldByName("v").SetAsInteger(55);
    own.Post();
    EXPECT_EQ(m.AsString(), "posted here") << "this process's post from another table";
    EXPECT_EQ(v.AsInteger(), 55);
    own.Edit();
    own.FieldByName("m").SetAsString("cancelled");
    EXPECT_EQ(m.AsString(), "posted here") << "an edit not posted";
    own.Cancel();
    EXPECT_EQ(m.AsString(), "posted here") << "an edit cancelled";

    t.SetOnFilterRecord(
        [](ds::DataSet& rows, bool& accept) { accept = rows.FieldByName("v").AsInteger() < 100; });
    t.SetFiltered(true);
    t.First();
    std::vector<int> shown;
    for (; !t.Eof(); t.Next()) shown.push_back(t.FieldByName("id").AsInteger());
    EXPECT_EQ(shown, (std::vector<int>{1, 4, 5, 6}));
    t.Last();
    ASSERT_EQ(t.FieldByName("id").AsInteger(), 6);
    commit(3);
    EXPECT_TRUE(raisesChanged(m)) << "a row rewritten out of the filter";
    ASSERT_TRUE(t.Locate("id", ds::Variant(5), 0));
    commit(4);
    EXPECT_EQ(m.AsString(), "still in the filter");
    EXPECT_EQ(v.AsInteger(), 55);
  }
  writer.send('Q');
  EXPECT_EQ(writer.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Tables, MemoRead, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
