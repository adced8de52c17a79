// A scan that reads record after record while other writers change the table: every record it
// reads shows each change that another process (or another session of this process) finished
// before the read, whether the record came from the cache or from the files, in record-number
// order and in index order, for plain and encrypted tables. A writer killed part way through a
// commit is never seen half done, and a reader whose next record is cached does not wait for a
// writer that holds the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "platform/faultfs.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

constexpr int32_t kRows = 40;
// Further than one read-ahead run, so that a scan goes to the files on its way.
constexpr int32_t kLongRows = 600;

struct ScanCase {
  bool indexOrder;
  bool encrypted;
};

std::string caseName(const ::testing::TestParamInfo<ScanCase>& info) {
  return std::string(info.param.indexOrder ? "IndexOrder" : "RecordOrder") +
         (info.param.encrypted ? "Encrypted" : "");
}

// K integer, NAME text, BODY memo: the blob file is in use, so all three change counters count.
TCreateTableArgs rowsTable(const ScanCase& c) {
  using datafile_test::field;
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 16), field(3, "BODY", 3, 0, 22)};
  a.Indexes.resize(1);
  if (c.indexOrder)
    a.Indexes[0].fields[0] = 1;
  else
    a.NoPrimaryIndex = true;
  a.Encrypted = c.encrypted;
  a.Password = c.encrypted ? "hush" : "";
  return a;
}

using Row = std::pair<int32_t, std::string>;

std::unique_ptr<TDataCursor> rowsCursor(Database& db, const ScanCase& c) {
  if (c.encrypted) db.session.AddPassword("hush");
  auto cursor = std::make_unique<TDataCursor>(*db.directory);
  cursor->SetTableName("rows");
  return cursor;
}

void putRow(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.first));
  std::array<uint8_t, 17> text{};
  std::memcpy(text.data(), row.second.data(), std::min<size_t>(row.second.size(), 16));
  c.PutField(2, buffer.data(), text.data());
}

Row rowOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
  Row row;
  std::array<uint8_t, 251> text{};
  bool isNull = false;
  c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.first));
  c.GetField(2, buffer.data(), isNull, text.data());
  row.second = reinterpret_cast<const char*>(text.data());
  return row;
}

std::string nameOf(int32_t k) {
  return "row " + std::to_string(k);
}

void createRows(const std::string& path, const ScanCase& c, int32_t rows) {
  Database db(path);
  auto cursor = rowsCursor(db, c);
  cursor->SetExclusive(true);
  TCreateTableArgs args = rowsTable(c);
  cursor->CreateTable(args);
  cursor->Open();
  std::vector<uint8_t> buffer(cursor->RecordSize());
  for (int32_t k = 1; k <= rows; ++k) {
    putRow(*cursor, buffer, {k, nameOf(k)});
    cursor->AppendRecord(buffer.data());
  }
}

// Stands the cursor on row `k`; false when there is none.
bool findRow(TDataCursor& c, int32_t k, std::vector<uint8_t>& buffer) {
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0)
    if (rowOf(c, buffer).first == k) return true;
  return false;
}

// A writer in its own process, told what to do one byte at a time: 'm' k changes row k's name,
// 'd' k deletes row k, 'a' k appends row k, 'e' empties the table, 'r' restructures it (answering
// 'y' when that worked), 'w' takes the table's write pair and 'u' lets it go. It answers 'k'.
int writer(Helper& h, const std::string& path, const ScanCase& c) {
  Database db(path);
  auto cursor = rowsCursor(db, c);
  cursor->Open();
  std::vector<uint8_t> buffer(cursor->RecordSize());
  h.send('k');
  while (const char m = h.receive()) {
    if (m == 'q') break;
    const int32_t k = (m == 'm' || m == 'd' || m == 'a') ? int32_t(uint8_t(h.receive())) : 0;
    if (m == 'm' || m == 'd') {
      if (!findRow(*cursor, k, buffer)) return 2;
      if (m == 'd') {
        cursor->DeleteRecord(buffer.data());
      } else {
        putRow(*cursor, buffer, {k, "changed " + std::to_string(k)});
        cursor->ModifyRecord(buffer.data());
      }
    } else if (m == 'a') {
      putRow(*cursor, buffer, {k, "new " + std::to_string(k)});
      cursor->AppendRecord(buffer.data());
    } else if (m == 'e') {
      cursor->Close();
      cursor->SetExclusive(true);
      cursor->Open();
      cursor->EmptyTable();
      cursor->Close();
      cursor->SetExclusive(false);
      cursor->Open();
    } else if (m == 'r') {
      TRestructureArgs args;
      static_cast<TCreateTableArgs&>(args) = rowsTable(c);
      args.Fields[1].SetSize(20);
      const uint16_t code = errorOf([&] { cursor->RestructureTable(args); });
      h.send(code == 0 ? 'y' : 'n');
    } else if (m == 'w') {
      cursor->Table()->BeginWrite();
    } else if (m == 'u') {
      cursor->Table()->EndWrite();
    }
    h.send('k');
  }
  return 0;
}

class ScanSeesOtherWriters : public ::testing::TestWithParam<ScanCase> {
 protected:
  void tell(Helper& h, char m, int32_t k = -1) {
    h.send(m);
    if (k >= 0) h.send(char(uint8_t(k)));
    if (m == 'r') restructured = h.receive() == 'y';
    if (m == 'q') return;
    ASSERT_EQ(h.receive(), 'k') << "after '" << m << "'";
  }
  void expectNext(TDataCursor& c, const Row& row) {
    std::vector<uint8_t> buffer(c.RecordSize());
    ASSERT_EQ(c.GetNextRecord(buffer.data()), 0) << "before " << row.second;
    EXPECT_EQ(rowOf(c, buffer), row);
  }
  TempDir dir;
  bool restructured = false;
};

TEST_P(ScanSeesOtherWriters, EachReadShowsWhatOtherWritersFinishedBeforeIt) {
  const ScanCase kind = GetParam();
  createRows(dir.path(), kind, kRows);
  Helper child([&](Helper& h) { return writer(h, dir.path(), kind); });
  ASSERT_EQ(child.receive(), 'k');
  Database db(dir.path());
  auto c = rowsCursor(db, kind);
  c->Open();
  c->Table()->SetFileLockRetryRules(table_test::kImpatient);
  c->SetToBegin();
  expectNext(*c, {1, nameOf(1)});
  // Read from the files with the rows after it, which the cache keeps: changed, deleted or
  // added on disk, they are read as they are now.
  expectNext(*c, {2, nameOf(2)});
  tell(child, 'm', 3);
  expectNext(*c, {3, "changed 3"});
  tell(child, 'd', 4);
  expectNext(*c, {5, nameOf(5)});
  tell(child, 'm', 1);
  {
    // Another session of this process writes through the same shared file.
    Database other(dir.path());
    auto o = rowsCursor(other, kind);
    o->Open();
    std::vector<uint8_t> buffer(o->RecordSize());
    ASSERT_TRUE(findRow(*o, 6, buffer));
    putRow(*o, buffer, {6, "mine 6"});
    o->ModifyRecord(buffer.data());
  }
  expectNext(*c, {6, "mine 6"});
  for (int32_t k = 7; k < kRows; ++k) expectNext(*c, {k, nameOf(k)});
  tell(child, 'a', kRows + 1);
  expectNext(*c, {kRows, nameOf(kRows)});
  expectNext(*c, {kRows + 1, "new " + std::to_string(kRows + 1)});
  std::vector<uint8_t> buffer(c->RecordSize());
  EXPECT_EQ(c->GetNextRecord(buffer.data()), VELDOR_EOF);
  ASSERT_EQ(c->GetPriorRecord(buffer.data()), 0);
  tell(child, 'd', kRows);
  // Backwards too: the row before is gone.
  ASSERT_EQ(c->GetPriorRecord(buffer.data()), 0);
  EXPECT_EQ(rowOf(*c, buffer), Row(kRows - 1, nameOf(kRows - 1)));

  // A restructure needs the table to itself: refused while this scan has it open, it changes
  // nothing the scan reads.
  tell(child, 'r');
  EXPECT_FALSE(restructured);
  c->SetToBegin();
  expectNext(*c, {1, "changed 1"});
  expectNext(*c, {2, nameOf(2)});
  expectNext(*c, {3, "changed 3"});

  // Emptied meanwhile: the scan ends.
  c->Close();
  tell(child, 'e');
  c->Open();
  c->SetToBegin();
  tell(child, 'a', 7);
  tell(child, 'a', 8);
  expectNext(*c, {7, "new 7"});
  tell(child, 'q');
  EXPECT_EQ(child.wait(), 0);
  expectNext(*c, {8, "new 8"});
  EXPECT_EQ(c->GetNextRecord(buffer.data()), VELDOR_EOF);
}

TEST_P(ScanSeesOtherWriters, ACachedReadDoesNotWaitForAWriterButAReadFromTheFilesDoes) {
  const ScanCase kind = GetParam();
  createRows(dir.path(), kind, kLongRows);
  Helper child([&](Helper& h) { return writer(h, dir.path(), kind); });
  ASSERT_EQ(child.receive(), 'k');
  Database db(dir.path());
  auto c = rowsCursor(db, kind);
  c->Open();
  c->Table()->SetFileLockRetryRules(table_test::kImpatient);
  c->SetToBegin();
  expectNext(*c, {1, nameOf(1)});
  expectNext(*c, {2, nameOf(2)});
  tell(child, 'w');
  // The writer has not finished anything yet: what the cache holds is current.
  int32_t k = 3;
  uint16_t code = 0;
  for (; k <= kLongRows; ++k) {
    std::vector<uint8_t> buffer(c->RecordSize());
    code = errorOf([&] {
      ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
      EXPECT_EQ(rowOf(*c, buffer), Row(k, nameOf(k)));
    });
    if (code != 0) break;
  }
  EXPECT_GT(k, 3);
  EXPECT_EQ(code, VELDOR_LOCKTIMEOUT);
  tell(child, 'u');
  expectNext(*c, {k, nameOf(k)});
  tell(child, 'q');
  EXPECT_EQ(child.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanSeesOtherWriters,
                         ::testing::Values(ScanCase{false, false}, ScanCase{true, false},
                                           ScanCase{false, true}, ScanCase{true, true}),
                         caseName);

// A writer that ends at each write of its commit in turn (journal writes included): the scan it
// ran beside reads either every old row or every new one, as a reader opening the table afresh
// (which rolls back what the writer left) does.
// Inside a transaction the table's lock keeps other writers out, as a read pair does: a scan in
// index order reads the records in runs, and shows what another session wrote before it began.
TEST(ScanInsideATransaction, ReadsRecordsInRunsInIndexOrderAndSeesEarlierChanges) {
  TempDir dir;
  const ScanCase kind{true, false};
  createRows(dir.path(), kind, kLongRows);
  Database db(dir.path());
  auto c = rowsCursor(db, kind);
  c->Open();
  c->SetToBegin();
  std::vector<uint8_t> buffer(c->RecordSize());
  for (int32_t k = 1; k <= 10; ++k) ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
  {
    Database other(dir.path());
    auto o = rowsCursor(other, kind);
    o->Open();
    std::vector<uint8_t> mine(o->RecordSize());
    for (int32_t k : {5, 400}) {
      ASSERT_TRUE(findRow(*o, k, mine));
      putRow(*o, mine, {k, "mine " + std::to_string(k)});
      o->ModifyRecord(mine.data());
    }
  }
  db.directory->StartTransaction();
  const uint64_t before = c->Table()->DataFile().GetCacheCounters().readCalls;
  c->SetToBegin();
  for (int32_t k = 1; k <= kLongRows; ++k) {
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0) << k;
    EXPECT_EQ(rowOf(*c, buffer), Row(k, k == 5 || k == 400 ? "mine " + std::to_string(k) : nameOf(k)));
  }
  EXPECT_EQ(c->GetNextRecord(buffer.data()), VELDOR_EOF);
  EXPECT_LT(c->Table()->DataFile().GetCacheCounters().readCalls - before, uint64_t(kLongRows / 8));
  db.directory->Rollback();
}

TEST(ScanBesideAKilledWriter, ReadsAllOldOrAllNewAsAFreshReaderDoes) {
  const ScanCase kind{false, false};
  TempDir dir;
  createRows(dir.path(), kind, kRows);
  const auto pristine = table_test::tableImages(dir, "rows");
  auto scanRest = [&](TDataCursor& c) {
    std::vector<Row> rows;
    std::vector<uint8_t> buffer(c.RecordSize());
    while (c.GetNextRecord(buffer.data()) == 0) rows.push_back(rowOf(c, buffer));
    return rows;
  };
  std::vector<Row> before, after;
  for (int32_t k = 3; k <= kRows; ++k) before.emplace_back(k, nameOf(k));
  after = before;
  after[0].second = "changed 3";
  after[19].second = "changed 22";
  after.emplace_back(kRows + 1, "new 41");
  bool completed = false;
  for (uint64_t at = 1; at <= 60 && !completed; ++at) {
    const std::string what = "exit at write " + std::to_string(at);
    table_test::writeTableImages(dir, pristine, "rows");
    Database db(dir.path());
    auto c = rowsCursor(db, kind);
    c->Open();
    c->SetToBegin();
    std::vector<uint8_t> buffer(c->RecordSize());
    // The second read brings the rest into the cache.
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
    const std::string path = dir.path();
    const int code = table_test::commitEndingAtWrite(path, at, [&](Database& other) {
      auto w = rowsCursor(other, kind);
      w->Open();
      std::vector<uint8_t> row(w->RecordSize());
      other.directory->StartTransaction();
      for (int32_t k : {3, 22}) {
        if (!findRow(*w, k, row)) return 2;
        putRow(*w, row, {k, "changed " + std::to_string(k)});
        w->ModifyRecord(row.data());
      }
      putRow(*w, row, {kRows + 1, "new 41"});
      w->AppendRecord(row.data());
      return 0;
    });
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    const std::vector<Row> scanned = scanRest(*c);
    EXPECT_EQ(scanned, completed ? after : before) << what;
    c->Close();
    Database fresh(dir.path());
    auto f = rowsCursor(fresh, kind);
    f->Open();
    f->SetToBegin();
    ASSERT_EQ(f->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(f->GetNextRecord(buffer.data()), 0);
    EXPECT_EQ(scanRest(*f), scanned) << what;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rows.JNL"))) << what;
  }
  EXPECT_TRUE(completed);
}

// Passes every call to the local file system; `beforeLock`, while set, runs once before the
// next range lock of any file is taken, or the one after `locksToPass` more; only files whose
// path ends with `lockedFileEnd` count.
class LockHookFileSystem final : public table_test::LocalFileSystem {
 public:
  std::function<void()> beforeLock;
  int locksToPass = 0;
  std::string lockedFileEnd;

  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& o) override {
    return wrap(base().openFile(path, o));
  }
  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return wrap(base().createFile(path, deleteOnClose));
  }

 private:
  class File final : public table_test::WrappedFile {
   public:
    File(std::unique_ptr<platform::OsFile> file, LockHookFileSystem& owner)
        : WrappedFile(std::move(file)), owner_(owner) {}
    bool lockRange(int64_t offset, int64_t length) override {
      if (owner_.beforeLock && path().ends_with(owner_.lockedFileEnd) && owner_.locksToPass-- <= 0)
        std::exchange(owner_.beforeLock, nullptr)();
      return file_->lockRange(offset, length);
    }
    bool peekHead(void* buffer, int64_t count) override { return file_->peekHead(buffer, count); }

   private:
    LockHookFileSystem& owner_;
  };

  std::unique_ptr<platform::OsFile> wrap(std::unique_ptr<platform::OsFile> file) {
    if (!file) return nullptr;
    return std::make_unique<File>(std::move(file), *this);
  }
};

class ScanReachingTheFiles : public ::testing::TestWithParam<ScanCase> {};

// The other process of the tests below: it opens the table, says 'k', and on 'd' deletes every
// row from 3 on in one transaction and says 'k' once that is committed.
int deleteFromRow3WhenTold(Helper& h, const std::string& path, const ScanCase& kind) {
  Database db(path);
  auto w = rowsCursor(db, kind);
  w->Open();
  std::vector<uint8_t> row(w->RecordSize());
  h.send('k');
  if (h.receive() != 'd') return 2;
  db.directory->StartTransaction();
  // A delete moves the cursor on: passes until one finds nothing left.
  for (bool any = true; any;) {
    any = false;
    w->SetToBegin();
    while (w->GetNextRecord(row.data()) == 0) {
      if (rowOf(*w, row).first < 3) continue;
      w->DeleteRecord(row.data());
      any = true;
    }
  }
  db.directory->Commit(true, true);
  h.send('k');
  return 0;
}

// A step that ran on the caches and reaches the files takes the read pair on its way. Another
// process that finished a change just before that pair (here: deleting every row from 3 on) is
// seen: the step does not go on with the records and view it chose before, but starts again
// under the pair. Steps on the caches reached the row before the files; the next step ends the
// scan.
TEST_P(ScanReachingTheFiles, SeesAChangeFinishedJustBeforeItsReadPair) {
  const ScanCase kind = GetParam();
  TempDir dir;
  createRows(dir.path(), kind, kLongRows);
  const std::string path = dir.path();
  Helper child([&](Helper& h) { return deleteFromRow3WhenTold(h, path, kind); });
  ASSERT_EQ(child.receive(), 'k');
  LockHookFileSystem files;
  TFileList list(files);
  Database db(path, &list);
  auto c = rowsCursor(db, kind);
  c->Open();
  c->SetToBegin();
  std::vector<uint8_t> buffer(c->RecordSize());
  ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
  ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
  ASSERT_TRUE(c->Table()->CachesCurrentOnDisk());
  bool deleted = false;
  files.beforeLock = [&] {
    child.send('d');
    deleted = child.receive() == 'k';
  };
  int32_t k = 3;
  for (; k <= kLongRows; ++k) {
    const uint16_t code = c->GetNextRecord(buffer.data());
    if (deleted) {
      EXPECT_EQ(code, VELDOR_EOF) << k;
      break;
    }
    ASSERT_EQ(code, 0) << k;
    EXPECT_EQ(rowOf(*c, buffer), Row(k, nameOf(k)));
  }
  ASSERT_TRUE(deleted);
  EXPECT_GT(k, 4);
  EXPECT_EQ(c->GetNextRecord(buffer.data()), VELDOR_EOF);
  c->SetToBegin();
  EXPECT_EQ(c->GetNextRecord(buffer.data()), 0);
  EXPECT_EQ(c->GetNextRecord(buffer.data()), 0);
  EXPECT_EQ(rowOf(*c, buffer), Row(2, nameOf(2)));
  EXPECT_EQ(c->GetNextRecord(buffer.data()), VELDOR_EOF);
  EXPECT_EQ(child.wait(), 0);
}

// A cursor opened on a table this process holds (beside another cursor, or kept and taken back)
// builds its view and first place on the caches, and the pages they lack take the read pair on
// the way. Another process that finished a change (deleting every row from 3 on) just before
// any one of the locks the open and the first steps take is seen whole: the count and the rows
// are the new ones, never the old view over the new files or the reverse.
TEST_P(ScanReachingTheFiles, AnOpenOnTheCachesSeesAChangeFinishedBeforeAnyOfItsLocks) {
  const ScanCase kind = GetParam();
  // Until the change comes after the open's last lock on both roads.
  int opensThatSawIt = 0;
  for (int passed = 0, seenBefore = -1; seenBefore != opensThatSawIt && passed < 12; ++passed) {
    seenBefore = opensThatSawIt;
    for (const bool kept : {false, true}) {
      SCOPED_TRACE((kept ? "taken back, locks passed " : "beside, locks passed ") + std::to_string(passed));
      TempDir dir;
      createRows(dir.path(), kind, kLongRows);
      const std::string path = dir.path();
      Helper child([&](Helper& h) { return deleteFromRow3WhenTold(h, path, kind); });
      ASSERT_EQ(child.receive(), 'k');
      LockHookFileSystem files;
      TFileList list(files);
      Database db(path, &list);
      auto holder = rowsCursor(db, kind);
      holder->Open();
      std::vector<uint8_t> buffer(holder->RecordSize());
      holder->SetToBegin();
      ASSERT_EQ(holder->GetNextRecord(buffer.data()), 0);
      // Cold caches, headers as they are: the open's view and first place need the files.
      holder->Table()->DiscardCaches(true, false);
      ASSERT_TRUE(holder->Table()->CachesCurrentOnDisk());
      if (kept) holder.reset();
      bool deleted = false;
      bool inOpen = true, changedInOpen = false;
      // A read pair begins with the index file: the other process's commit is not kept out.
      files.lockedFileEnd = ".IDX";
      files.locksToPass = passed;
      files.beforeLock = [&] {
        child.send('d');
        deleted = child.receive() == 'k';
        changedInOpen = inOpen;
      };
      auto c = rowsCursor(db, kind);
      c->Open();
      inOpen = false;
      const int32_t count = c->GetRecordCount();
      std::vector<Row> rows;
      c->SetToBegin();
      while (c->GetNextRecord(buffer.data()) == 0) rows.push_back(rowOf(*c, buffer));
      const bool hookRan = files.beforeLock == nullptr;
      if (!hookRan) {
        child.send('d');
        deleted = child.receive() == 'k';
      }
      ASSERT_TRUE(deleted);
      EXPECT_EQ(child.wait(), 0);
      if (!hookRan) {
        // The change came after the reads: they saw the old rows.
        EXPECT_EQ(count, kLongRows);
        EXPECT_EQ(rows.size(), size_t(kLongRows));
        continue;
      }
      opensThatSawIt += changedInOpen ? 1 : 0;
      // Seen by the open: all new. Seen by the scan: the old rows up to where it was, then none.
      EXPECT_EQ(count, changedInOpen ? 2 : kLongRows);
      ASSERT_GE(rows.size(), 2u);
      if (changedInOpen) {
        EXPECT_EQ(rows.size(), 2u);
      }
      for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i], Row(int32_t(i + 1), nameOf(int32_t(i + 1))));
    }
  }
  EXPECT_GT(opensThatSawIt, 0) << "no open reached the files";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanReachingTheFiles,
                         ::testing::Values(ScanCase{false, false}, ScanCase{true, false}), caseName);

// In record order a read from the files brings the records up to the last one of the view among
// the next read-ahead slots (either way): with gaps the view leaves, at its ends, and for a run of
// one slot.
TEST(ScanReadAhead, RunsEndAtTheLastRecordOfTheViewWithinReach) {
  const ScanCase kind{false, false};
  TempDir dir;
  createRows(dir.path(), kind, kLongRows);
  Database db(dir.path());
  auto c = rowsCursor(db, kind);
  c->Open();
  std::vector<uint8_t> buffer(c->RecordSize());
  c->SetToBegin();
  // Gaps of every length: a delete moves the cursor on, which leaves some rows of each stretch.
  while (c->GetNextRecord(buffer.data()) == 0) {
    const int32_t k = rowOf(*c, buffer).first;
    if (k % 7 == 0 || (k > 200 && k < 260) || k > kLongRows - 30) c->DeleteRecord(buffer.data());
  }
  std::vector<uint32_t> view;
  c->SetToBegin();
  while (c->GetNextRecord(buffer.data()) == 0) view.push_back(c->GetRecordNumber());
  ASSERT_GT(view.size(), 100u);
  for (uint32_t reach : {1u, 2u, 7u, 40u, 146u}) {
    size_t at = 0;
    c->SetToBegin();
    while (c->GetNextRecord(buffer.data()) == 0) {
      const uint32_t here = c->GetRecordNumber();
      ASSERT_EQ(here, view[at]);
      uint32_t forward = 1, backward = 1;
      for (uint32_t r : view) {
        if (r > here && r - here + 1 <= reach) forward = std::max(forward, r - here + 1);
        if (r < here && here - r + 1 <= reach) backward = std::max(backward, here - r + 1);
      }
      ASSERT_EQ(c->GetReadAheadCount(reach, true), forward) << here << " reach " << reach;
      ASSERT_EQ(c->GetReadAheadCount(reach, false), backward) << here << " reach " << reach;
      ++at;
    }
  }
}

// Blocks of rising keys, the last block appended first: inside a block the records follow each
// other in key order; from one block to the next the record number jumps back. The records in key
// order, for a cursor left open on the table in its only index.
std::vector<uint32_t> appendKeyBlocks(Database& db, const ScanCase& kind, const std::vector<int32_t>& lengths,
                                      std::unique_ptr<TDataCursor>& c) {
  c = rowsCursor(db, kind);
  c->SetExclusive(true);
  TCreateTableArgs args = rowsTable(kind);
  c->CreateTable(args);
  c->Open();
  std::vector<uint8_t> buffer(c->RecordSize());
  int32_t end = std::accumulate(lengths.begin(), lengths.end(), 0);
  for (int32_t length : lengths) {
    for (int32_t k = end - length + 1; k <= end; ++k) {
      putRow(*c, buffer, {k, nameOf(k)});
      c->AppendRecord(buffer.data());
    }
    end -= length;
  }
  std::vector<uint32_t> view;
  c->SetToBegin();
  while (c->GetNextRecord(buffer.data()) == 0) view.push_back(c->GetRecordNumber());
  return view;
}

// In key order a read from the files brings the records that the entries after the current one
// name while their numbers go up by one, as far as the reach and 64 records: the count asked of
// the cursor is the length of that run, within blocks of keys whose records follow each other
// and at the jump between two blocks.
TEST(ScanReadAhead, InKeyOrderRunsFollowTheEntriesWhoseRecordNumbersGoUpByOne) {
  const ScanCase kind{true, false};
  TempDir dir;
  const std::vector<int32_t> lengths{2, 3, 2, 5, 8, 13, 63, 64, 65, 70, 2, 4};
  Database db(dir.path());
  std::unique_ptr<TDataCursor> c;
  const std::vector<uint32_t> view = appendKeyBlocks(db, kind, lengths, c);
  std::vector<uint8_t> buffer(c->RecordSize());
  ASSERT_EQ(view.size(), size_t(std::accumulate(lengths.begin(), lengths.end(), 0)));
  for (uint32_t reach : {2u, 3u, 7u, 64u, 100u}) {
    c->SetToBegin();
    bool drained = false;
    for (size_t at = 0; c->GetNextRecord(buffer.data()) == 0; ++at) {
      ASSERT_EQ(c->GetRecordNumber(), view[at]);
      uint32_t run = 1;
      while (run < reach && run < 64 && at + run < view.size() && view[at + run] == view[at + run - 1] + 1)
        ++run;
      // A block's last entry gives a run of one, after which the cursor leaves the following
      // fetches alone for a while: only runs longer than one are asked for.
      if (run == 1) continue;
      uint32_t got = c->GetReadAheadCount(reach, true);
      // The pause left by the walks before ends within 64 asks.
      for (int i = 0; !drained && got == 1 && i < 64; ++i) got = c->GetReadAheadCount(reach, true);
      drained = true;
      ASSERT_EQ(got, run) << "record " << view[at] << ", reach " << reach;
    }
  }
}

// Read backwards from where a forward step left the cursor, the run is the entries before the
// current one whose numbers go down by one: the place the forward step kept is no way backwards.
TEST(ScanReadAhead, InKeyOrderRunsBackwardsFollowTheEntriesBeforeWhoseRecordNumbersGoDownByOne) {
  const ScanCase kind{true, false};
  TempDir dir;
  const std::vector<int32_t> lengths{3, 9, 4, 70, 66, 5, 30};
  Database db(dir.path());
  std::unique_ptr<TDataCursor> c;
  const std::vector<uint32_t> view = appendKeyBlocks(db, kind, lengths, c);
  std::vector<uint8_t> buffer(c->RecordSize());
  for (uint32_t reach : {2u, 5u, 64u, 100u}) {
    c->SetToBegin();
    bool drained = false;
    for (size_t at = 0; c->GetNextRecord(buffer.data()) == 0; ++at) {
      ASSERT_EQ(c->GetRecordNumber(), view[at]);
      uint32_t ahead = 1, behind = 1;
      while (ahead < reach && ahead < 64 && at + ahead < view.size() &&
             view[at + ahead] == view[at + ahead - 1] + 1)
        ++ahead;
      while (behind < reach && behind < 64 && behind <= at && view[at - behind] + 1 == view[at - behind + 1])
        ++behind;
      // Runs of one leave a pause (see above): asked only where both ways give more.
      if (ahead == 1 || behind == 1) continue;
      uint32_t got = c->GetReadAheadCount(reach, false);
      for (int i = 0; !drained && got == 1 && i < 64; ++i) got = c->GetReadAheadCount(reach, false);
      drained = true;
      ASSERT_EQ(got, behind) << "record " << view[at] << ", reach " << reach;
      ASSERT_EQ(c->GetReadAheadCount(reach, true), ahead) << "record " << view[at] << ", reach " << reach;
    }
  }
}

}  // namespace

// The data file cut to nothing from outside while a scan reads from the caches: the next read
// finds the counters no longer shown and goes to the files, which report the damage as the
// engine's error (a header cut short); the process lives on.
TEST(ScanOfATableCutFromOutside, EndsInAnEngineError) {
  const ScanCase kind{false, false};
  TempDir dir;
  createRows(dir.path(), kind, kRows);
  Database db(dir.path());
  auto c = rowsCursor(db, kind);
  c->Open();
  c->SetToBegin();
  std::vector<uint8_t> buffer(c->RecordSize());
  ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
  ASSERT_EQ(c->GetNextRecord(buffer.data()), 0);
  ASSERT_TRUE(c->Table()->CachesCurrentOnDisk());
  std::filesystem::resize_file(dir.file("rows.DAT"), 0);
  EXPECT_FALSE(c->Table()->CachesCurrentOnDisk());
  const uint16_t code = errorOf([&] {
    while (c->GetNextRecord(buffer.data()) == 0) {
    }
  });
  EXPECT_EQ(code, VELDOR_HEADERCORRUPT);
}
