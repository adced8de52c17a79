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
  constexpr int kRows = 24, kBesideStatements = 21, kMaxRounds = 400;
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
      if (g == kRows + kBesideStatements) h.send('S');
    }
    h.send(char(std::min(g - kRows - 1, 127)));
    return 0;
  });
  std::string problem, filtered;
  int reads = 0, passed = 0;
  bool writerRanBeside = false;
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
    // The rounds last until the writer has run beside them, however fast each process runs.
    const auto writerRan = [&] {
      pollfd p{writer.inFd(), POLLIN, 0};
      if (!writerRanBeside && ::poll(&p, 1, 0) > 0) writerRanBeside = writer.receive() == 'S';
      return writerRanBeside;
    };
    for (int round = 0;
         round < kMaxRounds && problem.empty() && filtered.empty() && (round < 24 || !writerRan()); ++round) {
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
  EXPECT_TRUE(writerRanBeside) << "the writer hardly ran beside the reader";
  EXPECT_GE(statements, kBesideStatements) << "the writer hardly ran beside the reader";
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

// Blocks that another process frees between this table's step onto a row and its memo read, and
// that the next memo written may take, still read ahead in this process: the read gives the row's
// memo as committed (none once it was made NULL), never the bytes another row now keeps in them,
// and a row deleted and its place taken by a new one shows the new row's id beside its memo.
TEST_P(MemoRead, BlocksFreedOrTakenByAnotherRowBetweenTheStepAndTheReadNeverShowAnotherRowsMemo) {
  const auto memo = [](int id, char c) { return std::to_string(id) + std::string(size_t(120 + id * 40), c); };
  const std::vector<std::string> statements = {
      "UPDATE t SET m = NULL WHERE id = 2",
      "UPDATE t SET m = '" + memo(3, 'n') + "' WHERE id = 3",
      "DELETE FROM t WHERE id = 4",
      "INSERT INTO t (id, v, m) VALUES (9, 9, '" + memo(9, 'n') + "')",
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
  {
    TVELDORDatabase db;
    openDatabase(db);
    // The key lets the new row take the deleted one's place in the file.
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)" + encryption() + ")");
    for (int id = 1; id <= 5; ++id)
      exec("INSERT INTO t (id, v, m) VALUES (" + std::to_string(id) + ", " + std::to_string(id) + ", '" +
           memo(id, 'o') + "')");
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.Open();
    ds::Field& id = t.FieldByName("id");
    ds::Field& m = t.FieldByName("m");
    // Reads the blocks of the rows after it ahead.
    EXPECT_EQ(m.AsString(), memo(1, 'o'));
    t.Next();
    ASSERT_EQ(id.AsInteger(), 2);
    commit(0);
    commit(1);
    EXPECT_EQ(m.AsString(), "") << "a memo made NULL, its block perhaps taken by row 3's";
    EXPECT_TRUE(m.IsNull());
    t.Next();
    ASSERT_EQ(id.AsInteger(), 3);
    EXPECT_EQ(m.AsString(), memo(3, 'n'));
    t.Next();
    ASSERT_EQ(id.AsInteger(), 4);
    commit(2);
    commit(3);
    try {
      const std::string read = m.AsString();
      EXPECT_EQ(read, memo(id.AsInteger(), id.AsInteger() == 9 ? 'n' : 'o')) << "row " << id.AsInteger();
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("changed or deleted"), std::string::npos) << e.what();
    }
    std::vector<std::string> rest;
    for (t.First(); !t.Eof(); t.Next()) rest.push_back(id.AsString() + ":" + m.AsString().substr(0, 4));
    EXPECT_EQ(rest, (std::vector<std::string>{"1:1ooo", "2:", "3:3nnn", "5:5ooo", "9:9nnn"}));
  }
  writer.send('Q');
  EXPECT_EQ(writer.wait(), 0);
}

// Under a secondary index, a range and a key search, another process commits memo-only changes
// (in place at the same length, grown into new blocks, made NULL, at and beside one block's room)
// and moves a row's key: each memo read after a commit is the row's memo as committed, and each
// step goes where the index now puts the rows.
TEST_P(MemoRead, UnderAnIndexMemoOnlyCommitsAndMovedKeysShowTheCommittedMemoInTheRightPlace) {
  const auto memo = [](int id, char c, size_t length) {
    std::string s = std::to_string(id) + c;
    while (s.size() < length) s += char(c + s.size() % 3);
    return s;
  };
  const std::vector<std::string> statements = {
      "UPDATE t SET m = '" + memo(2, 'p', 493) + "' WHERE id = 2",
      "UPDATE t SET v = 5 WHERE id = 4",
      "UPDATE t SET m = '" + memo(5, 'g', 1500) + "' WHERE id = 5",
      "UPDATE t SET m = NULL WHERE id = 5",
      "UPDATE t SET m = '" + memo(6, 'q', 494) + "' WHERE id = 6",
      "UPDATE t SET m = '" + memo(6, 'r', 495) + "' WHERE id = 6",
      "UPDATE t SET m = '' WHERE id = 3",
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
  {
    TVELDORDatabase db;
    openDatabase(db);
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)" + encryption() + ")");
    exec("CREATE INDEX iv ON t (v)");
    for (int id = 1; id <= 6; ++id)
      exec("INSERT INTO t (id, v, m) VALUES (" + std::to_string(id) + ", " + std::to_string(id * 10) + ", '" +
           memo(id, 'o', 493) + "')");
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.SetIndexName("iv");
    t.Open();
    ds::Field& id = t.FieldByName("id");
    ds::Field& m = t.FieldByName("m");
    const auto at = [&](int expected, const std::string& value, const char* when) {
      ASSERT_FALSE(t.Eof()) << when;
      EXPECT_EQ(id.AsInteger(), expected) << when;
      EXPECT_EQ(m.AsString(), value) << when << ", row " << id.AsInteger();
      EXPECT_EQ(readStream(t, "m"), value) << when << " through a stream";
    };
    t.First();
    at(1, memo(1, 'o', 493), "first");
    t.Next();
    commit(0);
    at(2, memo(2, 'p', 493), "rewritten in place at the same length");
    t.Next();
    at(3, memo(3, 'o', 493), "before row 4 moves");
    commit(1);
    t.Next();
    at(5, memo(5, 'o', 493), "row 4 moved before the first");
    commit(2);
    at(5, memo(5, 'g', 1500), "grown into new blocks");
    commit(3);
    at(5, "", "made NULL");
    EXPECT_TRUE(m.IsNull());
    t.Next();
    commit(4);
    at(6, memo(6, 'q', 494), "a block's room");
    commit(5);
    at(6, memo(6, 'r', 495), "a byte past a block");
    t.Prior();
    at(5, "", "back to the NULL memo");
    commit(6);
    t.Prior();
    at(3, "", "made empty");
    std::vector<int> order;
    for (t.First(); !t.Eof(); t.Next()) order.push_back(id.AsInteger());
    EXPECT_EQ(order, (std::vector<int>{4, 1, 2, 3, 5, 6}));
    t.SetRange({ds::Variant(5)}, {ds::Variant(20)});
    t.First();
    at(4, memo(4, 'o', 493), "first in a range");
    t.Next();
    at(1, memo(1, 'o', 493), "second in a range");
    t.Next();
    at(2, memo(2, 'p', 493), "last in a range");
    t.CancelRange();
    ASSERT_TRUE(t.FindKey({ds::Variant(60)}));
    at(6, memo(6, 'r', 495), "by a key search");
    ASSERT_TRUE(t.Locate("m", ds::Variant(memo(2, 'p', 493)), 0));
    at(2, memo(2, 'p', 493), "by its memo");
  }
  writer.send('Q');
  EXPECT_EQ(writer.wait(), 0);
}

// Another process commits changes to the index file alone (the text index's stop words) between
// the steps of a table in a secondary index's order, filtered on its memo, and its memo reads:
// each row comes once, in the index's order, with its own memo read whole as a value and through a
// stream, and the rows the filter lets through are all there.
TEST_P(MemoRead, CommitsToTheIndexFileAloneLeaveAFilteredIndexOrderAndItsMemosWhole) {
  Helper writer([&](Helper& h) {
    TVELDORDatabase db;
    openDatabase(db);
    for (char c; (c = h.receive()) == 'S';) {
      TVELDORTable w;
      w.SetDatabaseName("db");
      w.SetTableName("t");
      w.Open();
      const std::vector<std::string> words = {"STOP" + std::to_string(w.RecordCount())};
      w.Handle()->SetTextIndexParams(&words, {}, {});
      w.Close();
      h.send('k');
    }
    return 0;
  });
  constexpr int kRows = 40;
  const auto memo = [](int id) { return memoOf(id * 3 + 1); };
  std::vector<int> expected, seen;
  for (int id = kRows; id >= 1; --id)
    if (memo(id).find('a') != std::string::npos) expected.push_back(id);
  {
    TVELDORDatabase db;
    openDatabase(db);
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id) TEXT INDEX (m)" +
         encryption() + ")");
    exec("CREATE INDEX iv ON t (v)");
    for (int id = 1; id <= kRows; ++id)
      exec("INSERT INTO t (id, v, m) VALUES (" + std::to_string(id) + ", " + std::to_string(100 - id) +
           ", '" + memo(id) + "')");
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.SetIndexName("iv");
    t.SetFilterText("m LIKE '%a%'");
    t.SetFiltered(true);
    t.Open();
    for (t.First(); !t.Eof() && seen.size() <= size_t(kRows); t.Next()) {
      if (seen.size() % 3 == 0) {
        writer.send('S');
        ASSERT_EQ(writer.receive(), 'k');
      }
      const int id = t.FieldByName("id").AsInteger();
      seen.push_back(id);
      EXPECT_EQ(t.FieldByName("m").AsString(), memo(id)) << "row " << id;
      EXPECT_EQ(readStream(t, "m"), memo(id)) << "row " << id << " through a stream";
    }
    // The writer's changes did reach the index file.
    TVELDORTable fresh;
    fresh.SetDatabaseName("db");
    fresh.SetTableName("t");
    fresh.Open();
    ASSERT_EQ(fresh.Handle()->GetStopWords().count(), 1u);
    EXPECT_EQ(fresh.Handle()->GetStopWords()[0], "STOP" + std::to_string(kRows));
  }
  writer.send('Q');
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(seen, expected);
  EXPECT_GT(expected.size(), 10u);
}

// Lengths by row: none, NULL, at and beside a read run of a scan, a block, over two runs, small.
constexpr int kNullMemo = -1;
constexpr int kRunLengths[] = {0, kNullMemo, 262144, 262143, 262145, 494, 524300, 700, 988, 130000};
constexpr int kRunRows = 2 * int(std::size(kRunLengths));

// The memo of row `id` written with value `v`: every byte tells the row and the version it
// belongs to. Rows `id` and `id + kRunRows / 2` have memos of one length.
std::string runMemoOf(int id, int v) {
  const int length = kRunLengths[(id - 1) % std::size(kRunLengths)];
  if (length <= 0) return "";
  const std::string unit = "[" + std::to_string(id) + "." + std::to_string(v) + "]";
  std::string s;
  s.reserve(size_t(length) + unit.size());
  while (s.size() < size_t(length)) s += unit;
  s.resize(size_t(length));
  return s;
}

void putRunRow(TVELDORTable& t, int id, int v) {
  t.FieldByName("id").SetAsInteger(id);
  t.FieldByName("v").SetAsInteger(v);
  if (kRunLengths[(id - 1) % std::size(kRunLengths)] == kNullMemo)
    t.FieldByName("m").Clear();
  else
    t.FieldByName("m").SetAsString(runMemoOf(id, v));
}

// Another process rewrites memos of a few hundred KiB and of a few bytes in place (the same
// length, the record where it was), rewrites two of one length one after the other, deletes rows
// and inserts them again, and empties and refills the table, while this one reads them along
// scans, back from bookmarks and Locate, and in a filter: a memo read is that of the row with the
// value shown, whole; the only error is that of a row deleted under the reader.
TEST_P(MemoRead, LongMemosRewrittenInPlaceByAnotherProcessReadWholeAndTheirOwnAlongAScan) {
  constexpr int kReads = 100, kBesideStatements = 11, kMaxRounds = 400;
  Helper writer([&](Helper& h) {
    if (h.receive() != 'G') return 2;
    TVELDORDatabase db;
    openDatabase(db);
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.Open();
    int v = 1000;
    int statements = 0;
    for (;; ++v) {
      pollfd p{h.inFd(), POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;
      const int id = v % kRunRows + 1;
      switch (v % 11) {
        case 3: {
          // Deleted, and its record taken again by the row inserted after it.
          if (!t.Locate("id", ds::Variant(id), 0)) return 3;
          t.Delete();
          t.Append();
          putRunRow(t, id, v);
          t.Post();
          break;
        }
        case 7: {
          // Two rows of one length rewritten one after the other: the blocks the first frees are
          // the second's to take.
          const int a = (v / 11) % (kRunRows / 2) + 1, b = a + kRunRows / 2;
          if (!t.Locate("id", ds::Variant(b), 0)) return 5;
          t.Edit();
          putRunRow(t, b, v);
          t.Post();
          if (!t.Locate("id", ds::Variant(a), 0)) return 6;
          t.Edit();
          putRunRow(t, a, v);
          t.Post();
          break;
        }
        case 10:
          if (v % 5 == 0) {
            // Emptied and refilled: every record and block is taken again.
            exec("DELETE FROM t");
            for (int r = 1; r <= kRunRows; ++r) {
              t.Append();
              putRunRow(t, r, v);
              t.Post();
            }
            break;
          }
          [[fallthrough]];
        default:
          if (!t.Locate("id", ds::Variant(id), 0)) return 7;
          t.Edit();
          putRunRow(t, id, v);
          t.Post();
      }
      if (++statements == 1) h.send('R');
      if (statements == kBesideStatements) h.send('S');
    }
    h.send(char(std::min(statements, 127)));
    return 0;
  });
  std::string problem;
  int reads = 0, deleted = 0;
  bool writerRanBeside = false;
  {
    TVELDORDatabase db;
    openDatabase(db);
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)" + encryption() + ")");
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.Open();
    for (int id = 1; id <= kRunRows; ++id) {
      t.Append();
      putRunRow(t, id, id);
      t.Post();
    }
    writer.send('G');
    ASSERT_EQ(writer.receive(), 'R');
    ds::Field& v = t.FieldByName("v");
    ds::Field& m = t.FieldByName("m");
    const auto check = [&](const char* how) {
      try {
        const int id = t.FieldByName("id").AsInteger();
        const std::string memo = m.AsString();
        ++reads;
        const std::string want = runMemoOf(id, v.AsInteger());
        if (memo != want && problem.empty())
          problem = std::string(how) + ": row " + std::to_string(id) + " v " + v.AsString() + ": a memo of " +
                    std::to_string(memo.size()) + " bytes (" + memo.substr(0, 12) + ") where " +
                    std::to_string(want.size()) + " were due";
        if (m.IsNull() != (kRunLengths[(id - 1) % std::size(kRunLengths)] <= 0) && problem.empty())
          problem = std::string(how) + ": row " + std::to_string(id) + " NULL as it should not be";
      } catch (const engine::EVELDOREngineError& e) {
        if (e.ErrorCode() == engine::VELDOR_KEYORRECDELETED)
          ++deleted;
        else if (problem.empty())
          problem = std::string(how) + ": " + e.what();
      }
    };
    t.SetOnFilterRecord(
        [&](ds::DataSet& rows, bool& accept) { accept = rows.FieldByName("id").AsInteger() % 3 != 0; });
    // As many rounds as the reads take, however fast each process runs: a round ends early at a
    // row deleted under it.
    const auto workDone = [&] {
      pollfd p{writer.inFd(), POLLIN, 0};
      if (!writerRanBeside && ::poll(&p, 1, 0) > 0) writerRanBeside = writer.receive() == 'S';
      return reads > kReads && deleted < reads / 4 && writerRanBeside;
    };
    for (int round = 0; round < kMaxRounds && problem.empty() && (round < 8 || !workDone()); ++round) {
      try {
        t.SetFiltered(round % 4 == 3);
        t.Refresh();
        ds::Bookmark back;
        for (t.First(); !t.Eof() && problem.empty(); t.Next()) {
          if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(300));
          check(round % 4 == 3 ? "filtered scan" : "scan");
          if (t.FieldByName("id").AsInteger() == 4) back = t.GetBookmark();
        }
        if (!back.empty() && t.BookmarkValid(back)) {
          t.GotoBookmark(back);
          check("bookmark");
        }
        if (t.Locate("id", ds::Variant(3), 0)) check("Locate");
        for (t.Last(); !t.Bof() && problem.empty(); t.Prior()) check("backward scan");
      } catch (const engine::EVELDOREngineError& e) {
        if (e.ErrorCode() != engine::VELDOR_KEYORRECDELETED && problem.empty()) problem = e.what();
        ++deleted;
      }
    }
  }
  writer.send('Q');
  const char statements = writer.receive();
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(problem, "") << "after " << reads << " reads";
  EXPECT_GT(reads, kReads);
  EXPECT_LT(deleted, reads / 4) << "rows deleted under the reader";
  EXPECT_TRUE(writerRanBeside) << "the writer hardly ran beside the reader";
  EXPECT_GE(statements, kBesideStatements) << "the writer hardly ran beside the reader";
}

// A memo of about one blob block for row `id` in version `v`, every byte telling both; row 300
// runs over two read runs of a scan, row 301 is empty and row 302 NULL.
std::string blockMemoOf(int id, int v) {
  if (id == 301 || id == 302) return "";
  const std::string unit = "<" + std::to_string(id) + "." + std::to_string(v) + ">";
  std::string s;
  while (s.size() < (id == 300 ? 300000u : 300u)) s += unit;
  s.resize(id == 300 ? 300000u : 300u);
  return s;
}

// Rows whose memos a scan reads ahead of it in one run from disk are changed under that run: in a
// transaction of this process by a second table (then rolled back), by an edit cancelled, and by
// another process that rewrites some in place and deletes and inserts others. Each memo the scan
// reads next, or after going back by Locate and bookmark, is its row's version as it stands then.
TEST_P(MemoRead, MemosReadAheadInARunAreThoseOfTheRowsAsTheyStandWhenRead) {
  constexpr int kRows = 620;
  const auto fill = [&](int from, int to, int v, bool append) {
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.Open();
    for (int id = from; id <= to; ++id) {
      if (append) {
        t.Append();
        t.FieldByName("id").SetAsInteger(id);
      } else {
        if (!t.Locate("id", ds::Variant(id), 0)) return false;
        t.Edit();
      }
      t.FieldByName("v").SetAsInteger(v);
      if (id == 302)
        t.FieldByName("m").Clear();
      else
        t.FieldByName("m").SetAsString(blockMemoOf(id, v));
      t.Post();
    }
    return true;
  };
  Helper other([&](Helper& h) {
    TVELDORDatabase db;
    openDatabase(db);
    if (h.receive() != 'C') return 2;
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id)" + encryption() + ")");
    fill(1, kRows, 1, true);
    h.send('k');
    if (h.receive() != 'W') return 3;
    // In place, the same lengths; then rows deleted, their blocks freed, and inserted again.
    if (!fill(11, 20, 3, false)) return 4;
    exec("DELETE FROM t WHERE id >= 21 AND id <= 25");
    fill(21, 25, 4, true);
    if (!fill(299, 303, 5, false)) return 5;
    h.send('k');
    return h.receive() == 'Q' ? 0 : 6;
  });
  other.send('C');
  ASSERT_EQ(other.receive(), 'k');
  {
    TVELDORDatabase db;
    openDatabase(db);
    TVELDORTable scan;
    scan.SetDatabaseName("db");
    scan.SetTableName("t");
    scan.Open();
    ds::Field& m = scan.FieldByName("m");
    const auto expect = [&](int v, const std::string& when) {
      const int id = scan.FieldByName("id").AsInteger();
      // The memo first: a row changed since the step is read again whole for it.
      EXPECT_EQ(m.AsString(), blockMemoOf(id, v)) << when << ", row " << id;
      EXPECT_EQ(scan.FieldByName("v").AsInteger(), v) << when << ", row " << id;
      EXPECT_EQ(m.IsNull(), id == 301 || id == 302) << when << ", row " << id;
    };
    scan.First();
    expect(1, "the first row");
    const ds::Bookmark first = scan.GetBookmark();

    db.StartTransaction();
    fill(2, 6, 2, false);
    for (scan.Next(); scan.FieldByName("id").AsInteger() <= 6; scan.Next())
      expect(2, "posted in the transaction");
    db.Rollback();
    scan.Refresh();
    for (scan.First(); scan.FieldByName("id").AsInteger() <= 6; scan.Next()) expect(1, "rolled back");
    {
      TVELDORTable edit;
      edit.SetDatabaseName("db");
      edit.SetTableName("t");
      edit.Open();
      ASSERT_TRUE(edit.Locate("id", ds::Variant(8), 0));
      edit.Edit();
      edit.FieldByName("m").SetAsString(blockMemoOf(8, 9));
      edit.Cancel();
    }
    for (; scan.FieldByName("id").AsInteger() <= 10; scan.Next()) expect(1, "an edit cancelled");

    other.send('W');
    ASSERT_EQ(other.receive(), 'k');
    for (; scan.FieldByName("id").AsInteger() <= 20; scan.Next()) expect(3, "rewritten by another process");
    scan.Refresh();
    ASSERT_TRUE(scan.Locate("id", ds::Variant(21), 0));
    for (; scan.FieldByName("id").AsInteger() <= 25; scan.Next()) expect(4, "deleted and inserted again");
    ASSERT_TRUE(scan.Locate("id", ds::Variant(296), 0));
    for (; !scan.Eof() && scan.FieldByName("id").AsInteger() <= 310; scan.Next()) {
      const int id = scan.FieldByName("id").AsInteger();
      expect(id >= 299 && id <= 303 ? 5 : 1, "over the long memo");
    }
    ASSERT_TRUE(scan.Locate("id", ds::Variant(12), 0));
    expect(3, "back by Locate");
    scan.GotoBookmark(first);
    expect(1, "back by bookmark");
    for (scan.Last(); scan.FieldByName("id").AsInteger() > kRows - 30; scan.Prior()) expect(1, "backwards");
  }
  other.send('Q');
  EXPECT_EQ(other.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Tables, MemoRead, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
