// A row browsed through a table component, a live query or a copied query's result while another
// process rewrites every row and its memo, statement after statement: each row shows one version, its memo
// beside the values it was written with, and no error comes from the rewrite.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "engine/base/veldorerr.h"
#include "engine/components/veldortb.h"
#include "engine/storage/veldorblob.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine::components;
namespace ds = dataset;
using storage_test::Helper;

constexpr int kRows = 40;
constexpr int kRounds = 25;

// Over 1 KiB, so that each value takes several blob blocks, and a rewrite reuses them.
std::string memoOf(int g) {
  std::string s = "gen" + std::to_string(g) + ":";
  while (s.size() < 1300) s += char('a' + (s.size() * 7 + size_t(g)) % 26);
  return s;
}

void exec(const std::string& text) {
  TVELDORQuery q;
  q.SetDatabaseName("db");
  q.SetSQL(text);
  q.ExecSQL();
}

// A copied query takes each row and its memo into its own result while the writer runs. The
// table's memo is read as its field's value (straight from its chain) or through a blob stream
// (an open blob).
enum class Road { Table, TableStream, LiveQuery, CopiedQuery };

std::string memoThrough(Road road, ds::DataSet& rows, ds::Field& m) {
  return road == Road::TableStream ? rows.CreateBlobStream(m, ds::bmRead)->ReadAll() : m.AsString();
}

class StaleRow : public ::testing::Test {
 protected:
  // The engine starts afresh, so that the forked writer shares no open file with this process.
  void SetUp() override { Session().Close(); }
  void TearDown() override { Session().Close(); }
  platform::testing::TempFolder dir;
};

class StaleRowTest : public StaleRow, public ::testing::WithParamInterface<Road> {};

// The row the table shows was rewritten by another process before its memo is read: the memo
// comes with the row's new values, read again whole; a row deleted meanwhile raises the engine's
// error, and the dataset stays on what it showed. The memo read on `road`.
void expectChangedRowReadAgainWhole(const std::string& dir, Road road) {
  Helper writer([&](Helper& h) {
    TVELDORDatabase db;
    db.SetDatabaseName("db");
    db.SetDirectory(dir);
    for (char what; (what = h.receive()) != 0;) {
      if (what == 'U') exec("UPDATE t SET v = 5, m = '" + memoOf(5) + "' WHERE id = 1");
      if (what == 'D') exec("DELETE FROM t WHERE id = 2");
      h.send('D');
    }
    return 0;
  });
  TVELDORDatabase db;
  db.SetDatabaseName("db");
  db.SetDirectory(dir);
  exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id))");
  exec("INSERT INTO t (id, v, m) VALUES (1, 0, '" + memoOf(0) + "')");
  exec("INSERT INTO t (id, v, m) VALUES (2, 0, '" + memoOf(0) + "')");
  TVELDORTable t;
  t.SetDatabaseName("db");
  t.SetTableName("t");
  t.Open();
  ds::Field& v = t.FieldByName("v");
  ds::Field& m = t.FieldByName("m");
  ASSERT_EQ(v.AsInteger(), 0);
  writer.send('U');
  ASSERT_EQ(writer.receive(), 'D');
  EXPECT_EQ(v.AsInteger(), 0) << "read again before its memo was asked for";
  EXPECT_EQ(memoThrough(road, t, m), memoOf(5));
  EXPECT_EQ(v.AsInteger(), 5);
  t.Next();
  ASSERT_EQ(t.FieldByName("id").AsInteger(), 2);
  writer.send('D');
  ASSERT_EQ(writer.receive(), 'D');
  uint16_t code = 0;
  try {
    memoThrough(road, t, m);
  } catch (const engine::EVELDOREngineError& e) {
    code = e.ErrorCode();
  }
  EXPECT_EQ(code, engine::VELDOR_KEYORRECDELETED);
  EXPECT_EQ(t.FieldByName("id").AsInteger(), 2);
  t.Refresh();
  EXPECT_EQ(t.RecordCount(), 1);
  writer.send(0);
  EXPECT_EQ(writer.wait(), 0);
}

TEST_F(StaleRow, AChangedRowIsReadAgainWholeAndADeletedOneRaises) {
  expectChangedRowReadAgainWhole(dir.path(), Road::Table);
}

TEST_F(StaleRow, AChangedRowIsReadAgainWholeThroughABlobStream) {
  expectChangedRowReadAgainWhole(dir.path(), Road::TableStream);
}

// Another process frees the shown row's memo chain, gives its blocks to a new row and writes the
// row a new memo, just after the table proved the row current from its caches and before the
// memo's first block is read from the file: the memo read reads the row again and shows its new
// memo beside its new value, on either road.
void expectTakenChainReadAgain(const std::string& folder, Road road) {
  Helper writer([&](Helper& h) {
    TVELDORDatabase db;
    db.SetDatabaseName("db");
    db.SetDirectory(folder);
    for (char what; (what = h.receive()) != 0;) {
      if (what == 'C') {
        // Written here, the memo's blocks are in no cache of the reader.
        exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id))");
        exec("INSERT INTO t (id, v, m) VALUES (1, 0, '" + memoOf(0) + "')");
        h.send('D');
        continue;
      }
      {
        // An emptied memo frees its chain, and the new row's memo takes the free blocks.
        TVELDORTable rows;
        rows.SetDatabaseName("db");
        rows.SetTableName("t");
        rows.Open();
        rows.Edit();
        rows.CreateBlobStream(rows.FieldByName("m"), ds::bmWrite).reset();
        rows.Post();
      }
      exec("INSERT INTO t (id, v, m) VALUES (9, 9, '" + memoOf(9) + "')");
      exec("UPDATE t SET v = 5, m = '" + memoOf(5) + "' WHERE id = 1");
      h.send('D');
    }
    return 0;
  });
  writer.send('C');
  ASSERT_EQ(writer.receive(), 'D');
  TVELDORDatabase db;
  db.SetDatabaseName("db");
  db.SetDirectory(folder);
  TVELDORTable t;
  t.SetDatabaseName("db");
  t.SetTableName("t");
  t.Open();
  ASSERT_EQ(t.FieldByName("v").AsInteger(), 0);
  bool armed = true;
  int fired = 0;
  engine::TDataTable& table = *t.Handle()->Table();
  table.BlobFile().SetFileReadHook([&] {
    if (!std::exchange(armed, false) || table.HoldsReadPair()) return;
    ++fired;
    writer.send('R');
    ASSERT_EQ(writer.receive(), 'D');
  });
  EXPECT_EQ(memoThrough(road, t, t.FieldByName("m")), memoOf(5));
  EXPECT_EQ(t.FieldByName("v").AsInteger(), 5);
  EXPECT_EQ(fired, 1) << "the memo was not read from the file outside the read pair";
  table.BlobFile().SetFileReadHook(nullptr);
  writer.send(0);
  EXPECT_EQ(writer.wait(), 0);
}

TEST_F(StaleRow, AMemoChainTakenByAnotherRowJustBeforeItsReadShowsTheRowsNewMemo) {
  expectTakenChainReadAgain(dir.path(), Road::Table);
}

TEST_F(StaleRow, AMemoChainTakenByAnotherRowJustBeforeItsStreamOpensShowsTheRowsNewMemo) {
  expectTakenChainReadAgain(dir.path(), Road::TableStream);
}

TEST_P(StaleRowTest, EveryRowShowsItsMemoBesideItsOwnValueWhileAnotherProcessRewritesThem) {
  // Forked before this process opens anything; it rewrites every row until told to stop, and
  // answers with the number of statements it ran.
  constexpr int kBesideStatements = 2, kMaxRounds = 400;
  Helper writer([&](Helper& h) {
    if (h.receive() != 'G') return 2;
    TVELDORDatabase db;
    db.SetDatabaseName("db");
    db.SetDirectory(dir.path());
    int g = 0;
    for (;;) {
      pollfd p{h.inFd(), POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;
      ++g;
      exec("UPDATE t SET v = " + std::to_string(g) + ", m = '" + memoOf(g) + "'");
      if (g == kBesideStatements) h.send('S');
    }
    h.receive();
    h.send(char(std::min(g, 127)));
    return 0;
  });
  std::string problem;
  int rowsRead = 0;
  bool writerRanBeside = false;
  {
    TVELDORDatabase db;
    db.SetDatabaseName("db");
    db.SetDirectory(dir.path());
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id))");
    for (int id = 1; id <= kRows; ++id)
      exec("INSERT INTO t (id, v, m) VALUES (" + std::to_string(id) + ", 0, '" + memoOf(0) + "')");
    writer.send('G');
    // The rounds last until the writer has run beside them, however fast each process runs.
    const auto writerRan = [&] {
      pollfd p{writer.inFd(), POLLIN, 0};
      if (!writerRanBeside && ::poll(&p, 1, 0) > 0) writerRanBeside = writer.receive() == 'S';
      return writerRanBeside;
    };
    for (int round = 0; round < kMaxRounds && problem.empty() && (round < kRounds || !writerRan()); ++round) {
      std::unique_ptr<TVELDORDataSet> rows;
      if (GetParam() == Road::Table || GetParam() == Road::TableStream) {
        auto t = std::make_unique<TVELDORTable>();
        t->SetDatabaseName("db");
        t->SetTableName("t");
        rows = std::move(t);
      } else {
        auto q = std::make_unique<TVELDORQuery>();
        q->SetDatabaseName("db");
        q->SetSQL("SELECT id, v, m FROM t");
        q->SetRequestLive(GetParam() == Road::LiveQuery);
        rows = std::move(q);
      }
      rows->Open();
      ds::Field& id = rows->FieldByName("id");
      ds::Field& v = rows->FieldByName("v");
      ds::Field& m = rows->FieldByName("m");
      int count = 0;
      for (; !rows->Eof() && problem.empty(); rows->Next(), ++count) {
        const int first = v.AsInteger();
        // A view reads the memo after the row's other values, as a grid paints a cell. The row
        // may be read again meanwhile (a newer version, whole): what counts is the row shown.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        try {
          const std::string memo = memoThrough(GetParam(), *rows, m);
          const int shown = v.AsInteger();
          if (memo != memoOf(shown) || shown < first)
            problem = "round " + std::to_string(round) + ", row " + id.AsString() + ": v " +
                      std::to_string(shown) + " beside memo " + memo.substr(0, 8) + "...";
        } catch (const std::exception& e) {
          problem = "round " + std::to_string(round) + ", row " + id.AsString() + ": " + e.what();
        }
      }
      rowsRead += count;
      if (problem.empty() && count != kRows) problem = std::to_string(count) + " rows";
    }
  }
  writer.send('Q');
  const char statements = writer.receive();
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(problem, "") << "after " << rowsRead << " rows";
  EXPECT_TRUE(writerRanBeside) << "the writer hardly ran beside the reader";
  EXPECT_GE(statements, kBesideStatements) << "the writer hardly ran beside the reader";
}

// A new record copied from the current one (CopyOnAppend, inserted before it or appended) while another
// process rewrites that row again and again: the copy holds one version's value and memo, and never
// fails for it.
TEST_F(StaleRow, ACopyForAppendIsOfOneVersionWhileAnotherProcessRewritesTheRow) {
  Helper writer([&](Helper& h) {
    if (h.receive() != 'G') return 2;
    TVELDORDatabase db;
    db.SetDatabaseName("db");
    db.SetDirectory(dir.path());
    int g = 0;
    for (;;) {
      pollfd p{h.inFd(), POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;
      ++g;
      exec("UPDATE t SET v = " + std::to_string(g) + ", m = '" + memoOf(g) + "' WHERE id = 1");
      if (g == 1) h.send('R');
    }
    return 0;
  });
  std::string problem;
  {
    TVELDORDatabase db;
    db.SetDatabaseName("db");
    db.SetDirectory(dir.path());
    exec("CREATE TABLE t (id INTEGER, v INTEGER, m BLOB(1, 1), PRIMARY KEY (id))");
    exec("INSERT INTO t (id, v, m) VALUES (1, 0, '" + memoOf(0) + "')");
    TVELDORTable t;
    t.SetDatabaseName("db");
    t.SetTableName("t");
    t.CopyOnAppend = true;
    t.Open();
    writer.send('G');
    ASSERT_EQ(writer.receive(), 'R');
    for (int copy = 0; copy < 400 && problem.empty(); ++copy) {
      try {
        t.First();
        if (copy % 2)
          t.Append();
        else
          t.Insert();
        const int v = t.FieldByName("v").AsInteger();
        if (t.FieldByName("m").AsString() != memoOf(v))
          problem = "copy " + std::to_string(copy) + ": v " + std::to_string(v) + " beside another memo";
      } catch (const std::exception& e) {
        problem = "copy " + std::to_string(copy) + ": " + e.what();
      }
      t.Cancel();
    }
  }
  writer.send('Q');
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(problem, "");
}

INSTANTIATE_TEST_SUITE_P(Roads, StaleRowTest,
                         ::testing::Values(Road::Table, Road::TableStream, Road::LiveQuery,
                                           Road::CopiedQuery),
                         [](const auto& info) {
                           return info.param == Road::Table         ? "Table"
                                  : info.param == Road::TableStream ? "TableStream"
                                  : info.param == Road::LiveQuery   ? "LiveQuery"
                                                                    : "CopiedQuery";
                         });

}  // namespace
