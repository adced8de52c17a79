// Commits that fail or are cut short: a write refused at every position of the write-out (full
// disk, short write, I/O error), the process ending before every write (journal writes
// included), and a writer killed at random moments. Afterwards the table opens with either every
// old value or every new value, records and blobs alike, the integrity checkers pass, and the
// session that failed holds no lock or half-written state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "platform/faultfs.h"
#include "table_test_util.h"
#include "tools/tablecheck/blobcheck.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine {
namespace {

using namespace table_test;

constexpr uint32_t kRecords = 5;
// The most write operations any commit below makes, with room to spare.
constexpr uint64_t kMaxWrites = 40;

// Appends three records, grows one value and shrinks another (freeing blocks).
void changeTable(TDataTable& t) {
  for (uint32_t seed = 6; seed <= 8; ++seed) appendItem(t, seed);
  changeItem(t, 2, 22);
  changeItem(t, 4, 15);  // a shorter value: the rest of the chain goes to the free list
}

// Deletes record `number` as a cursor does: its value's blocks, its record-id key and its slot.
void deleteItem(TDataTable& t, uint32_t number) {
  TRecord* r = nullptr;
  ASSERT_TRUE(t.DataFile().GetRecord(nullptr, number, r));
  const uint32_t body = fieldOf(t, 2).Offset();
  uint32_t first = platform::get4(r->GetBuffer() + body + 1);
  t.BlobFile().FreeBlobChain(first, false, number);
  uint8_t key[kSysDeletedKeySize] = {kRecordInUse};
  EncodeIntegerKey(int32_t(r->GetUniqueId()), key + 1);
  TIndexCursor cursor;
  TIndexTree ids(t.IndexFile(), cursor, kSysDeletedSlot);
  ids.DeleteKey(key, number);
  key[0] = kRecordDeleted;  // the record-id index holds every slot, in use or not
  ids.InsertKey(key, number);
  t.IndexFile().DecRecordCount();
  t.DataFile().FreeRecord(r);
  t.DataFile().ReleaseRecord(r);
}

// The seed record `n` holds after changeTable.
uint32_t newSeed(uint32_t n) {
  return n == 2 ? 22 : n == 4 ? 15 : n;
}

// What every record in use holds, read through a session of this process that opens the table
// afresh (rolling back what a dead writer left), after the integrity checkers passed over it.
Contents tableContents(const TempDir& dir, const std::string& name = "items") {
  Contents c;
  {
    Database db(dir.path());
    c = liveContents(db.open(name));
  }
  expectSoundTableFiles(dir.file(name));
  return c;
}

class CommitFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    Database db(dir.path());
    db.create(kRecords);
    db.create(kRecords, "other");
    pristine = tableImages(dir);
    pristineOther = tableImages(dir, "other");
  }

  TempDir dir;
  std::vector<std::vector<uint8_t>> pristine, pristineOther;
  const Contents before = contentsOf({1, 2, 3, 4, 5});
  const Contents after = contentsOf({1, 22, 3, 15, 5, 6, 7, 8});
};

TEST_F(CommitFaults, AFailedWriteAnywhereInTheCommitRaisesAndLeavesTheOldTable) {
  for (platform::Fault fault :
       {platform::Fault::NoSpace, platform::Fault::ShortWrite, platform::Fault::IoError}) {
    bool completed = false;
    for (uint64_t k = 1; k <= kMaxWrites && !completed; ++k) {
      const std::string what = "fault " + std::to_string(int(fault)) + " at write " + std::to_string(k);
      writeTableImages(dir, pristine);
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      {
        Database db(dir.path(), &list);
        TDataTable& t = db.open();
        db.directory->StartTransaction();
        changeTable(t);
        faulty.setPlan({fault, k, true});
        const uint16_t code = errorOf([&] { db.directory->Commit(true, false); });
        faulty.setPlan({});
        completed = code == 0;
        if (!completed) {
          EXPECT_EQ(code, VELDOR_WRITEERR) << what;
          EXPECT_FALSE(db.directory->InTransaction()) << what;
          EXPECT_FALSE(t.HoldsTransactionLock() || t.HoldsWritePair() || t.WritesHeld()) << what;
          EXPECT_EQ(t.DataFile().GetCacheCount(), 0u) << what;
          // Nothing is left locked: another session writes at once.
          Database other(dir.path());
          TDataTable& o = other.open();
          EXPECT_NO_THROW({
            o.BeginWrite();
            o.EndWrite();
          }) << what;
        }
      }
      EXPECT_TRUE(tableContents(dir) == (completed ? after : before)) << what;
      EXPECT_FALSE(std::filesystem::exists(dir.file("items.JNL"))) << what;
    }
    EXPECT_TRUE(completed) << "the commit needs more than " << kMaxWrites << " writes";
  }
}

// The transaction changes two tables. A reader of this process has one open while the writer
// dies; it then reads the old state.
TEST_F(CommitFaults, AProcessEndingBeforeAnyWriteOfTheCommitLeavesAllOldOrAllNew) {
  bool completed = false;
  uint64_t k = 1;
  for (; k <= kMaxWrites && !completed; ++k) {
    const std::string what = "exit at write " + std::to_string(k);
    writeTableImages(dir, pristine);
    writeTableImages(dir, pristineOther, "other");
    Database reader(dir.path());
    TDataTable& r = reader.open();
    r.BeginRead();
    expectItem(r, 2, 2);
    r.EndRead();
    const std::string path = dir.path();
    Helper writer([path, k](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(path, &list);
      TDataTable& t = db.open();
      TDataTable& o = db.open("other");
      db.directory->StartTransaction();
      changeTable(t);
      changeTable(o);
      faulty.setPlan({platform::Fault::Exit, k, true});
      db.directory->Commit(true, true);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    // Before any table write, a journal cut off in the middle (as a crash in its write leaves
    // it) is ignored.
    if (tableImages(dir) == pristine && tableImages(dir, "other") == pristineOther)
      for (const std::string& journal : {dir.file("items.JNL"), dir.file("other.JNL")})
        if (std::filesystem::exists(journal))
          std::filesystem::resize_file(journal, std::filesystem::file_size(journal) / 2);
    r.BeginRead();
    for (uint32_t n = 1; n <= kRecords; ++n) expectItem(r, n, completed ? newSeed(n) : n);
    EXPECT_EQ(r.DataFile().GetLastRecordNumber(), completed ? kRecords + 3 : kRecords) << what;
    r.EndRead();
    reader.close(r);
    EXPECT_TRUE(tableContents(dir) == (completed ? after : before)) << what;
    // The other table, whose journal the dead writer may have left, is renamed before anyone
    // opened it: it arrives under its new name as it was.
    Database mover(dir.path());
    ASSERT_EQ(mover.directory->RenameTable("other", "moved", false, false), 0) << what;
    EXPECT_TRUE(tableContents(dir, "moved") == (completed ? after : before)) << what;
    ASSERT_EQ(mover.directory->DeleteTable("moved", false), 0) << what;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      EXPECT_TRUE(entry.path().extension() != ".JNL" && entry.path().extension() != ".JNM")
          << what << entry.path();
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(k, 5u) << "the commit writes its journal and several table writes";
}

// A write-out takes the old bytes of what its writer's last write-out left from memory, while no
// other writer has written the file since. Here another writer (a file list of its own, as
// another process has) commits over the same records, header and pages in between: the next
// commit, failing at every write, leaves that writer's change whole.
TEST_F(CommitFaults, AFailedCommitAfterAnotherWritersCommitLeavesThatWritersChange) {
  const Contents first = contentsOf({1, 12, 3, 4, 5});
  const Contents theirs = contentsOf({1, 22, 13, 4, 5, 6});
  const Contents ours = contentsOf({1, 32, 23, 4, 5, 6, 7});
  bool completed = false;
  for (uint64_t k = 1; k <= kMaxWrites && !completed; ++k) {
    const std::string what = "fault at write " + std::to_string(k);
    writeTableImages(dir, pristine);
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    {
      Database db(dir.path(), &list);
      TDataTable& t = db.open();
      db.directory->StartTransaction();
      changeItem(t, 2, 12);
      db.directory->Commit(true, false);
      {
        TFileList otherList;
        Database other(dir.path(), &otherList);
        TDataTable& o = other.open();
        other.directory->StartTransaction();
        changeItem(o, 2, 22);
        changeItem(o, 3, 13);
        appendItem(o, 6);
        o.DataFile().IncChangeCounter();
        o.BlobFile().IncChangeCounter();
        other.directory->Commit(true, false);
        other.close(o);
      }
      db.directory->StartTransaction();
      changeItem(t, 2, 32);
      changeItem(t, 3, 23);
      appendItem(t, 7);
      faulty.setPlan({platform::Fault::IoError, k, true});
      const uint16_t code = errorOf([&] { db.directory->Commit(true, false); });
      faulty.setPlan({});
      completed = code == 0;
      if (!completed) {
        EXPECT_EQ(code, VELDOR_WRITEERR) << what;
      }
    }
    const Contents found = tableContents(dir);
    EXPECT_TRUE(found == (completed ? ours : theirs))
        << what << (found == first ? ": the first commit's" : "");
  }
  EXPECT_TRUE(completed) << "the commit needs more than " << kMaxWrites << " writes";
}

// A commit fails after some of its files were written out, and its own rollback fails as well (the
// disk stays full): the journal stays for the next writer. That writer (a file list of its own, as another
// process has) puts the old bytes back and commits over the same pages, which moves each counter to the value
// the failed write-out had left. The next commit of the failed writer then journals the other writer's bytes
// as the old ones, not what its own failed write-out left there.
TEST_F(CommitFaults, ACommitAfterAFailedOneWhoseJournalAnotherWriterRolledBackJournalsTheDisk) {
  const Contents expected = contentsOf({1, 32, 13, 4, 5, 6, 7});
  bool completed = false;
  for (uint64_t k = 1; k <= kMaxWrites && !completed; ++k) {
    const std::string what = "fault at write " + std::to_string(k);
    writeTableImages(dir, pristine);
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    {
      Database db(dir.path(), &list);
      TDataTable& t = db.open();
      db.directory->StartTransaction();
      changeTable(t);
      faulty.setPlan({platform::Fault::NoSpace, k, false, true});
      const uint16_t code = errorOf([&] { db.directory->Commit(true, false); });
      faulty.setPlan({});
      completed = code == 0;
      if (completed) break;
      {
        TFileList otherList;
        Database other(dir.path(), &otherList);
        TDataTable& o = other.open();
        other.directory->StartTransaction();
        changeItem(o, 3, 13);
        appendItem(o, 6);
        other.directory->Commit(true, false);
        other.close(o);
      }
      db.directory->StartTransaction();
      changeItem(t, 2, 32);
      appendItem(t, 7);
      EXPECT_EQ(errorOf([&] { db.directory->Commit(true, false); }), 0) << what;
    }
    EXPECT_TRUE(tableContents(dir) == expected) << what;
  }
  EXPECT_TRUE(completed) << "the commit needs more than " << kMaxWrites << " writes";
}

// The writer keeps its journal file from one commit to the next and lets it go when its
// directory closes. It ends before any step but a read: the journal's writes, its cut and the
// syncs of the first commit, between the two, in the second, and in the clean-up at the close.
// Each time the table is all before, after the first or after the second, a journal left empty
// is no damage, and the next open leaves no journal behind.
TEST_F(CommitFaults, AProcessEndingAtAnyStepOfTwoCommitsOrBetweenThemLeavesNoHalfChange) {
  const std::vector<Contents> states{before, after, contentsOf({31, 22, 3, 15, 5, 6, 7, 8})};
  size_t reached = 0;
  bool completed = false;
  uint64_t k = 1;
  for (; k <= 3 * kMaxWrites && !completed; ++k) {
    const std::string what = "exit at step " + std::to_string(k);
    writeTableImages(dir, pristine);
    const std::string path = dir.path();
    Helper writer([path, k](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      {
        Database db(path, &list);
        TDataTable& t = db.open();
        db.directory->StartTransaction();
        changeTable(t);
        faulty.setPlan({platform::Fault::Exit, k, false});
        db.directory->Commit(true, true);
        t.BeginWrite();
        changeItem(t, 1, 31);
        t.FlushTable(false, false, false, false, false);
        t.EndWrite();
      }
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    // Before anyone opens the table: only a journal with a change in it is named.
    const TJournalState journal = JournalState(platform::FileSystem::local(), dir.file("items.JNL"));
    const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("items"));
    EXPECT_EQ(report.ok(), journal != TJournalState::Hot) << what << ": " << report.text();
    const Contents found = tableContents(dir);
    const size_t state = size_t(std::find(states.begin(), states.end(), found) - states.begin());
    ASSERT_LT(state, states.size()) << what;
    EXPECT_GE(state, reached) << what << ": a later end undid a change that an earlier one kept";
    reached = state;
    EXPECT_FALSE(std::filesystem::exists(dir.file("items.JNL"))) << what;
  }
  EXPECT_TRUE(completed) << "the commits need more than " << 3 * kMaxWrites << " steps";
  EXPECT_EQ(reached, 2u);
}

// A writer keeps an empty journal while it lives and leaves it when it is killed. Neither is a
// change to roll back: the table reads, checks and writes as it is; a journal kept by a living
// writer stays for it, one that nobody keeps goes at the next open, and renaming or deleting the
// table leaves no journal behind.
TEST_F(CommitFaults, AnEmptyJournalOfAWriterThatLivesOrWasKilledIsNoDamage) {
  for (const bool rename : {false, true}) {
    SCOPED_TRACE(rename ? "renamed" : "opened");
    writeTableImages(dir, pristine);
    const std::string path = dir.path();
    Helper writer([path](Helper& h) {
      Database db(path);
      TDataTable& t = db.open();
      db.directory->StartTransaction();
      changeTable(t);
      db.directory->Commit(true, false);
      h.send('C');
      h.receive();
      return 0;
    });
    ASSERT_EQ(writer.receive(), 'C');
    const std::string journal = dir.file("items.JNL");
    ASSERT_EQ(JournalState(platform::FileSystem::local(), journal), TJournalState::Empty);
    EXPECT_TRUE(tablecheck::CheckTableFiles(dir.file("items")).ok());
    {
      // Kept by the writer: it stays for its next commit.
      Database reader(dir.path());
      TDataTable& r = reader.open();
      r.BeginRead();
      expectItem(r, 2, 22);
      r.EndRead();
      EXPECT_TRUE(std::filesystem::exists(journal));
    }
    writer.kill9();
    ASSERT_EQ(JournalState(platform::FileSystem::local(), journal), TJournalState::Empty);
    EXPECT_TRUE(tablecheck::CheckTableFiles(dir.file("items")).ok());
    if (rename) {
      Database mover(dir.path());
      ASSERT_EQ(mover.directory->RenameTable("items", "moved", false, false), 0);
      EXPECT_TRUE(tableContents(dir, "moved") == after);
      ASSERT_EQ(mover.directory->RenameTable("moved", "items", false, false), 0);
    } else {
      // Nobody keeps it now: the next open takes it away, and a write goes on as ever.
      Database other(dir.path());
      TDataTable& o = other.open();
      EXPECT_FALSE(std::filesystem::exists(journal));
      o.BeginWrite();
      changeItem(o, 1, 31);
      o.FlushTable(false, false, false, false, false);
      o.EndWrite();
      expectItem(o, 1, 31);
    }
    EXPECT_FALSE(std::filesystem::exists(journal));
    const Contents found = tableContents(dir);
    EXPECT_TRUE(found == (rename ? after : contentsOf({31, 22, 3, 15, 5, 6, 7, 8})));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      EXPECT_TRUE(entry.path().extension() != ".JNL" && entry.path().extension() != ".JNM") << entry.path();
  }
}

// ---- A writer killed at random moments ----

// The writer's messages: before each commit 'T', then per change 'A'/'M'/'D', record number and
// seed as four bytes each, then 'E'; after the commit returned 'C'.
bool receiveNumber(Helper& h, uint32_t& v) {
  v = 0;
  for (int i = 0; i < 4; ++i) {
    char c;
    if (read(h.inFd(), &c, 1) != 1) return false;
    v |= uint32_t(uint8_t(c)) << (8 * i);
  }
  return true;
}

// Runs small transactions and single writes of appends, changes and deletes for ever; `live` maps record
// numbers to seeds, as acknowledged so far.
int runWriter(Helper& h, const std::string& path, std::map<uint32_t, uint32_t> live, uint32_t nextSeed,
              uint32_t seed) {
  std::mt19937 rng(seed);
  Database db(path);
  TDataTable& t = db.open();
  for (;;) {
    // Every other round is a single write outside a transaction, under the write pair.
    const bool transaction = rng() % 2 == 0;
    if (transaction) {
      db.directory->StartTransaction();
    } else {
      t.BeginWrite();
    }
    std::string message = "T";
    auto add = [&](char op, uint32_t number, uint32_t s) {
      message += op;
      for (uint32_t v : {number, s})
        for (int i = 0; i < 4; ++i) message += char(v >> (8 * i));
    };
    for (int n = transaction ? 1 + int(rng() % 3) : 1; n > 0; --n) {
      const uint32_t choice = rng() % 4;
      if (live.empty() || (choice == 0 && live.size() < 24)) {
        const uint32_t number = appendItem(t, nextSeed);
        live[number] = nextSeed;
        add('A', number, nextSeed++);
        continue;
      }
      auto it = std::next(live.begin(), std::ptrdiff_t(rng() % live.size()));
      if (choice % 2 == 1) {
        changeItem(t, it->first, nextSeed);
        it->second = nextSeed;
        add('M', it->first, nextSeed++);
      } else {
        deleteItem(t, it->first);
        add('D', it->first, 0);
        live.erase(it);
      }
    }
    message += 'E';
    // One write: the parent sees all of the transaction's changes or none.
    if (write(h.outFd(), message.data(), message.size()) != ssize_t(message.size())) return 97;
    if (transaction) {
      db.directory->Commit(true, false);
    } else {
      t.FlushTable(false, false, false, false, false);
      t.EndWrite();
    }
    h.send('C');
  }
}

TEST(KilledWriter, EveryAcknowledgedCommitSurvivesAndNothingElseIsHalfThere) {
  const char* env = std::getenv("VELMARON_KILLS");
  const int kills = env ? std::atoi(env) : 200;
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  TempDir dir;
  Database(dir.path()).create(kRecords);
  std::map<uint32_t, uint32_t> acked;
  for (uint32_t n = 1; n <= kRecords; ++n) acked[n] = n;
  uint32_t nextSeed = kRecords + 1;
  int commits = 0, rolledForward = 0, hot = 0;
  for (int kill = 0; kill < kills; ++kill) {
    const std::string path = dir.path();
    const uint32_t writerSeed = uint32_t(rng());
    Helper writer([&](Helper& h) { return runWriter(h, path, acked, nextSeed, writerSeed); });
    const int waitCommits = int(rng() % 4);
    std::map<uint32_t, uint32_t> pending = acked;
    uint32_t pendingNext = nextSeed;
    bool inFlight = false;
    auto readMessage = [&]() -> bool {
      const char c = writer.receive();
      if (c == 'C') {
        acked = pending;
        nextSeed = pendingNext;
        inFlight = false;
        ++commits;
        return true;
      }
      if (c != 'T') return false;
      std::map<uint32_t, uint32_t> next = acked;
      uint32_t nextNext = nextSeed;
      for (char op = writer.receive(); op != 'E'; op = writer.receive()) {
        uint32_t number, s;
        if (op == 0 || !receiveNumber(writer, number) || !receiveNumber(writer, s)) return false;
        if (op == 'D') {
          next.erase(number);
        } else {
          next[number] = s;
          nextNext = s + 1;
        }
      }
      pending = next;
      pendingNext = nextNext;
      inFlight = true;
      return true;
    };
    for (int done = 0; done < waitCommits;)
      if (readMessage() && !inFlight) ++done;
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
    writer.kill9();
    while (readMessage()) {
    }
    std::vector<uint32_t> ackedSeeds, pendingSeeds;
    for (const auto& [n, s] : acked) ackedSeeds.push_back(s);
    for (const auto& [n, s] : pending) pendingSeeds.push_back(s);
    hot += std::filesystem::exists(dir.file("items.JNL"));
    const Contents found = tableContents(dir);
    if (inFlight && found == contentsOf(pendingSeeds)) {
      // Killed after the commit ended but before it was acknowledged.
      acked = pending;
      nextSeed = pendingNext;
      ++rolledForward;
    } else {
      ASSERT_TRUE(found == contentsOf(ackedSeeds))
          << "after kill " << kill << " (replay with VELMARON_SEED=" << seed << ")";
    }
  }
  std::printf("%d kills, %d commits acknowledged, %d journals left, %d commits done but not acknowledged\n",
              kills, commits, hot, rolledForward);
}

}  // namespace
}  // namespace engine
