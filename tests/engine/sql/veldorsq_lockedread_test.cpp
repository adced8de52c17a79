// A record read with its lock is the record as it stands once the lock is held: a copy read
// before, which another cursor of this process (sharing its cache) or another process changed
// meanwhile, is refused, and the row read next is the new one. Processes and cursors that all add
// one to a counter row through locked reads lose no increment; plain and encrypted tables, the
// row with a memo beside the counter.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "engine/tables/veldorcursor.h"
#include "tests/engine/sql/sql_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace engine::sql {
namespace {

using sql_test::SqlDatabase;
using storage_test::Helper;

constexpr const char* kPassword = "lock-pw";

class LockedRead : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { prepare(db); }
  void prepare(SqlDatabase& d) {
    if (GetParam()) d.directory().Session().AddPassword(kPassword);
    d.directory().Session().SetLockProtocol(lpPessimistic);
  }
  void create() {
    db.run(std::string("CREATE TABLE c (id INTEGER, n INTEGER, m BLOB(1, 1)") +
           (GetParam() ? std::string(" ENCRYPTED WITH '") + kPassword + "')" : std::string(")")));
    db.run("INSERT INTO c VALUES (1, 0, 'the memo beside the counter')");
  }
  static std::unique_ptr<TDataCursor> open(SqlDatabase& d) {
    auto c = std::make_unique<TDataCursor>(d.directory());
    c->SetTableName("c");
    c->Open();
    return c;
  }
  static int32_t counter(TDataCursor& c, const std::vector<uint8_t>& record) {
    bool isNull = false;
    int32_t v = 0;
    c.GetField(2, record.data(), isNull, reinterpret_cast<uint8_t*>(&v));
    return isNull ? -1 : v;
  }
  // The error of a locked read of `c`'s row that the caller last read as `record`.
  static uint16_t lockedReadError(TDataCursor& c, std::vector<uint8_t>& record) {
    try {
      return c.GetCurrentRecord(record.data(), true);
    } catch (const EVELDOREngineError& e) {
      return e.ErrorCode();
    }
  }
  // One added to the counter through `c`: read, read again with the lock, write. A read refused
  // because the row changed in between starts again; so does a lock another holds.
  static bool addOne(TDataCursor& c, int tries = 1000) {
    std::vector<uint8_t> record(c.RecordSize());
    for (int i = 0; i < tries; ++i) {
      c.SetToBegin();
      if (c.GetNextRecord(record.data()) != 0) return false;
      try {
        if (c.GetCurrentRecord(record.data(), true) != 0) return false;
        const int32_t v = counter(c, record) + 1;
        c.PutField(2, record.data(), reinterpret_cast<const uint8_t*>(&v));
        c.ModifyRecord(record.data());
        return true;
      } catch (const EVELDOREngineError& e) {
        if (e.ErrorCode() != VELDOR_KEYORRECDELETED && e.ErrorCode() != VELDOR_RECLOCKFAILED &&
            e.ErrorCode() != VELDOR_LOCKTIMEOUT)
          throw;
        c.CancelRecord();
      }
    }
    return false;
  }
  platform::testing::TempFolder folder;
  SqlDatabase db{folder.path()};
};

TEST_P(LockedRead, ACopyChangedMeanwhileIsRefusedAndTheNextReadIsTheNewRow) {
  create();
  auto a = open(db), b = open(db);
  std::vector<uint8_t> seen(a->RecordSize()), fresh(a->RecordSize());
  a->SetToBegin();
  ASSERT_EQ(a->GetNextRecord(seen.data()), 0);

  // Another cursor of this process changes the row between A's read and its locked read.
  ASSERT_TRUE(addOne(*b));
  EXPECT_EQ(lockedReadError(*a, seen), VELDOR_KEYORRECDELETED);
  ASSERT_EQ(a->GetCurrentRecord(fresh.data(), false), 0);
  EXPECT_EQ(counter(*a, fresh), 1);
  ASSERT_EQ(a->GetCurrentRecord(fresh.data(), true), 0) << "the row read after the refusal locks";
  EXPECT_EQ(counter(*a, fresh), 1);
  a->UnlockRecord();

  // Another process, the same.
  seen = fresh;
  Helper other([&](Helper& h) {
    SqlDatabase d(folder.path());
    prepare(d);
    if (h.receive() != 'g') return 2;
    d.run("UPDATE c SET n = n + 10");
    h.send('d');
    return 0;
  });
  other.send('g');
  ASSERT_EQ(other.receive(), 'd');
  ASSERT_EQ(other.wait(), 0);
  EXPECT_EQ(lockedReadError(*a, seen), VELDOR_KEYORRECDELETED);
  ASSERT_EQ(a->GetCurrentRecord(fresh.data(), false), 0);
  ASSERT_EQ(a->GetCurrentRecord(fresh.data(), true), 0);
  EXPECT_EQ(counter(*a, fresh), 11) << "the locked read returns the row as the other process left it";
  a->UnlockRecord();
  ASSERT_EQ(b->GetCurrentRecord(fresh.data(), false), 0);
  EXPECT_EQ(counter(*b, fresh), 11) << "and so does the other cursor sharing the cache";
  EXPECT_EQ(db.run("SELECT n, m FROM c"), "11|the memo beside the counter\n");
}

TEST_P(LockedRead, IncrementsFromSeveralProcessesAndCursorsAreAllKept) {
  create();
  constexpr int kProcesses = 3, kEach = 150;
  std::vector<std::unique_ptr<Helper>> children;
  for (int p = 0; p < kProcesses; ++p)
    children.push_back(std::make_unique<Helper>([&](Helper& h) {
      SqlDatabase d(folder.path());
      prepare(d);
      d.directory().Session().SetLockWaitTime(1);
      auto c = open(d), second = open(d);
      h.send('r');
      if (h.receive() != 'g') return 2;
      for (int i = 0; i < kEach; ++i)
        if (!addOne(i % 2 ? *c : *second)) return 3;
      return 0;
    }));
  for (auto& child : children) ASSERT_EQ(child->receive(), 'r');
  db.directory().Session().SetLockWaitTime(1);
  auto a = open(db), b = open(db);
  for (auto& child : children) child->send('g');
  for (int i = 0; i < kEach; ++i) ASSERT_TRUE(addOne(i % 3 ? *a : *b)) << i;
  for (auto& child : children) EXPECT_EQ(child->wait(), 0);
  EXPECT_EQ(db.run("SELECT n, m FROM c"),
            std::to_string((kProcesses + 1) * kEach) + "|the memo beside the counter\n");
}

// The read that takes the lock at once: inside a transaction (whose lock keeps other writers out)
// it reads the row once; outside one it checks its read under the lock. Either way it returns the
// row as it stands, also after another cursor or process changed what this cursor read last, and
// holds the row against other processes until released.
TEST_P(LockedRead, AReadTakingTheLockReturnsTheRowAsItStandsInAndOutsideATransaction) {
  create();
  // Started before this process takes any lock: a fork made later would copy its lock table.
  Helper other([&](Helper& h) {
    SqlDatabase d(folder.path());
    prepare(d);
    d.directory().Session().SetLockWaitTime(1);
    d.directory().Session().SetLockRetryCount(1);
    // The statements run on this cursor's table, which gives up on a held file at once.
    auto kept = open(d);
    kept->Table()->SetFileLockRetryRules(LockRetryRules{2, std::chrono::milliseconds(1)});
    while (h.receive() == 'a') {
      try {
        d.run("UPDATE c SET n = n + 10");
        h.send('d');
      } catch (const EVELDOREngineError& e) {
        h.send(e.ErrorCode() == VELDOR_RECLOCKFAILED || e.ErrorCode() == VELDOR_LOCKTIMEOUT ? 'l' : 'e');
      }
    }
    return 0;
  });
  auto otherProcessAddsTen = [&] {
    other.send('a');
    return other.receive();
  };
  auto a = open(db), b = open(db);
  std::vector<uint8_t> row(a->RecordSize());
  auto lockedRead = [&](TDataCursor& c) {
    c.SetToBegin();
    if (c.GetNextRecord(row.data()) != 0) return -1;
    return c.GetLockedCurrentRecord(row.data()) == 0 ? counter(c, row) : -1;
  };

  db.directory().StartTransaction();
  a->SetToBegin();
  ASSERT_EQ(a->GetNextRecord(row.data()), 0);
  ASSERT_TRUE(addOne(*b)) << "another cursor of this process changes the row A read";
  EXPECT_EQ(lockedRead(*a), 1);
  EXPECT_EQ(otherProcessAddsTen(), 'l') << "no other process writes under the transaction";
  a->UnlockRecord();
  db.directory().Commit(true, false);

  a->SetToBegin();
  ASSERT_EQ(a->GetNextRecord(row.data()), 0);
  EXPECT_EQ(otherProcessAddsTen(), 'd');
  EXPECT_EQ(lockedRead(*a), 11) << "outside a transaction the other process's change is read";
  EXPECT_EQ(otherProcessAddsTen(), 'l') << "and the row is held against it";
  a->UnlockRecord();
  other.send('q');
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(db.run("SELECT n, m FROM c"), "11|the memo beside the counter\n");
}

INSTANTIATE_TEST_SUITE_P(Tables, LockedRead, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Encrypted" : "Plain");
                         });

}  // namespace
}  // namespace engine::sql
