// Commits one after another on the same table, the later one cut short by the end of its process
// at every write in turn: whatever the earlier commits left on disk beside the table (journals
// kept, cut or reused), a reader that had the table open and a session opening it afresh find the
// earlier commits whole and the cut one whole or not at all, and later commits stay. Records are
// changed scattered over the file, a few slots apart, with their blobs; plain and encrypted.
// Records read one at a time in number order inside a transaction that is rolled back show the
// old values afterwards, and a change another process commits meanwhile.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "platform/faultfs.h"
#include "table_test_util.h"
#include "tools/tablecheck/blobcheck.h"
#include "tools/tablecheck/tablecheck.h"

namespace engine {
namespace {

using namespace table_test;
using storage_test::Helper;

constexpr uint32_t kRecords = 40;

// The seed of record n after `commits` of the commits below.
uint32_t seedAfter(uint32_t n, int commits) {
  uint32_t seed = n;
  if (commits >= 1) seed = n + 1000;                // every record
  if (commits >= 2 && n % 7 == 3) seed = n + 2000;  // every seventh
  if (commits >= 3 && n % 5 == 1) seed = n + 3000;  // every fifth
  return seed;
}

// The changes of commit `commit`, counted as a cursor counts its writes, for readers to notice.
void commitNumber(TDataTable& t, int commit) {
  for (uint32_t n = 1; n <= kRecords; ++n)
    if (seedAfter(n, commit) != seedAfter(n, commit - 1)) changeItem(t, n, seedAfter(n, commit));
  t.DataFile().IncChangeCounter();
  t.BlobFile().IncChangeCounter();
}

// How many of the three commits the table shows (record `skip` aside), or -1 when it matches none.
int commitsShown(TDataTable& t, std::string& first, uint32_t skip = 0) {
  std::vector<Item> items;
  t.BeginRead();
  for (uint32_t n = 1; n <= kRecords; ++n) items.push_back(readItem(t, n));
  t.EndRead();
  for (int c = 0; c <= 3; ++c) {
    bool all = true;
    for (uint32_t n = 1; n <= kRecords && all; ++n)
      all = n == skip ||
            (items[n - 1].code == codeFor(seedAfter(n, c)) && items[n - 1].body == bodyFor(seedAfter(n, c)));
    if (all) return c;
  }
  for (uint32_t n = 1; n <= kRecords && first.empty(); ++n)
    for (int c = 0; c <= 3 && n != skip; ++c)
      if (items[n - 1].code == codeFor(seedAfter(n, c)) && items[n - 1].body != bodyFor(seedAfter(n, c)))
        first = "record " + std::to_string(n) + " has commit " + std::to_string(c) + "'s code, another body";
  if (first.empty()) first = "records of several commits";
  return -1;
}

void expectIntactFiles(const TempDir& dir, const std::string& what) {
  const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("items"));
  const tablecheck::BlobReport blobs = tablecheck::CheckTableBlobs(dir.file("items"));
  EXPECT_TRUE(report.ok()) << what << ": " << (report.problems.empty() ? "" : report.problems.front());
  EXPECT_TRUE(blobs.ok()) << what << ": " << (blobs.problems.empty() ? "" : blobs.problems.front());
}

// The table's files as `images` hold them, without journals or markers beside them.
void restoreTable(const TempDir& dir, const std::vector<std::vector<uint8_t>>& images) {
  writeTableImages(dir, images);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().extension() == ".JNL" || entry.path().extension() == ".JNM")
      std::filesystem::remove(entry.path());
}

// The writes at which the commits below end the process: every one of the second commit's start
// (its journal), then a sample up to one past the third commit's last, counted by a process of
// their own; 0 alone when they could not be counted.
std::vector<uint64_t> writeEnds(const std::string& path) {
  Helper counter([path](Helper& h) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    Database db(path, &list);
    TDataTable& t = db.open();
    for (int commit = 1; commit <= 3; ++commit) {
      db.directory->StartTransaction();
      commitNumber(t, commit);
      if (commit == 2) faulty.setPlan({platform::Fault::None, 0, true});
      db.directory->Commit(true, true);
    }
    h.send(char(std::min<uint64_t>(faulty.operations(), 120)));
    return 0;
  });
  const uint64_t writes = uint64_t(uint8_t(counter.receive()));
  if (counter.wait() != 0 || writes < 6) return {0};
  std::vector<uint64_t> ends;
  for (uint64_t k = 1; k <= writes; k += k < 10 ? 1 : std::max<uint64_t>(1, writes / 8)) ends.push_back(k);
  ends.push_back(writes + 1);
  return ends;
}

class CommitSequence : public ::testing::TestWithParam<bool> {};

TEST_P(CommitSequence, ALaterCommitCutAtAnyWriteNeverUndoesAnEarlierOne) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kRecords, "items", itemsDefinition(GetParam()));
  }
  const auto pristine = tableImages(dir);
  const std::string path = dir.path();
  const std::vector<uint64_t> ends = writeEnds(path);
  ASSERT_GT(ends.size(), 6u);
  bool completed = false;
  for (uint64_t k : ends) {
    const std::string what = "exit at write " + std::to_string(k) + " of the second commit on";
    restoreTable(dir, pristine);
    // Commit 1 whole; commit 2 (fewer records: a smaller journal) and 3 with the end at write k.
    Helper writer([path, k](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(path, &list);
      TDataTable& t = db.open();
      for (int commit = 1; commit <= 3; ++commit) {
        db.directory->StartTransaction();
        commitNumber(t, commit);
        if (commit == 2) faulty.setPlan({platform::Fault::Exit, k, true});
        db.directory->Commit(true, true);
      }
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    int shown = 0;
    {
      Database reader(dir.path());
      TDataTable& r = reader.open();
      std::string first;
      shown = commitsShown(r, first);
      ASSERT_GE(shown, 1) << what << ": " << (shown == 0 ? "the first commit is undone" : first);
      if (completed) {
        EXPECT_EQ(shown, 3) << what;
      }
      // A commit of this process on top, and a fresh opener after it, keep what it found.
      reader.directory->StartTransaction();
      changeItem(r, 2, 4242);
      reader.directory->Commit(true, true);
    }
    {
      Database again(dir.path());
      TDataTable& t = again.open();
      t.BeginRead();
      expectItem(t, 2, 4242);
      for (uint32_t n = 3; n <= kRecords; ++n) expectItem(t, n, seedAfter(n, shown));
      t.EndRead();
    }
    expectIntactFiles(dir, what);
  }
  EXPECT_TRUE(completed) << "the commits took more than " << ends.back() << " writes";
}

// Two writers sharing the table, each keeping its journal between commits: one dies at a write of
// its second commit, and the other, which had the table open and committed before, commits again
// at once. Its commit first puts back what the dead one left half written (never writing its own
// journal over the dead one's), so the table shows the dead writer's commits whole or not at all
// beside the survivor's change.
TEST_P(CommitSequence, AWriterCommittingAfterAnotherDiedInItsCommitPutsThatOneBackFirst) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kRecords, "items", itemsDefinition(GetParam()));
  }
  const auto pristine = tableImages(dir);
  const std::string path = dir.path();
  const std::vector<uint64_t> ends = writeEnds(path);
  ASSERT_GT(ends.size(), 6u);
  for (uint64_t k : ends) {
    const std::string what = "exit at write " + std::to_string(k) + " of the second commit on";
    restoreTable(dir, pristine);
    Helper writer([path, k](Helper& h) {
      if (h.receive() != 'G') return 2;
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(path, &list);
      TDataTable& t = db.open();
      for (int commit = 1; commit <= 3; ++commit) {
        db.directory->StartTransaction();
        commitNumber(t, commit);
        if (commit == 2) faulty.setPlan({platform::Fault::Exit, k, true});
        db.directory->Commit(true, true);
      }
      return 0;
    });
    int shown = 0;
    {
      Database survivor(dir.path());
      TDataTable& s = survivor.open();
      survivor.directory->StartTransaction();
      changeItem(s, 2, 4000);
      s.DataFile().IncChangeCounter();
      survivor.directory->Commit(true, true);
      writer.send('G');
      const int code = writer.wait();
      ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
      survivor.directory->StartTransaction();
      changeItem(s, 2, 4242);
      s.DataFile().IncChangeCounter();
      survivor.directory->Commit(true, true);
      std::string first;
      shown = commitsShown(s, first, 2);
      ASSERT_GE(shown, 1) << what << ": " << (shown == 0 ? "the first commit is undone" : first);
      if (code == 0) {
        EXPECT_EQ(shown, 3) << what;
      }
    }
    Database again(dir.path());
    TDataTable& t = again.open();
    t.BeginRead();
    expectItem(t, 2, 4242);
    for (uint32_t n = 3; n <= kRecords; ++n) expectItem(t, n, seedAfter(n, shown));
    t.EndRead();
    again.close(t);
    expectIntactFiles(dir, what);
  }
}

// As above with every commit of the dead writer over two tables (a marker beside the journals),
// the survivor committing to one of them: both show the same commits afterwards.
TEST(CommitSequenceTwoTables, AWriterCommittingAfterAnotherDiedInItsCommitOverTwoTablesPutsThatOneBackFirst) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kRecords, "items");
    db.create(kRecords, "other");
  }
  const auto pristine = tableImages(dir);
  const auto pristineOther = tableImages(dir, "other");
  const std::string path = dir.path();
  const std::vector<uint64_t> ends = writeEnds(path);
  ASSERT_GT(ends.size(), 6u);
  // Both tables' journals about double the writes: every other end of the sample, twice as far.
  for (size_t e = 0; e < ends.size(); e += 2) {
    const uint64_t k = ends[e];
    const std::string what = "exit at write " + std::to_string(k) + " of the second commit on";
    restoreTable(dir, pristine);
    writeTableImages(dir, pristineOther, "other");
    Helper writer([path, k](Helper& h) {
      if (h.receive() != 'G') return 2;
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(path, &list);
      TDataTable& t = db.open();
      TDataTable& o = db.open("other");
      for (int commit = 1; commit <= 3; ++commit) {
        db.directory->StartTransaction();
        commitNumber(t, commit);
        commitNumber(o, commit);
        if (commit == 2) faulty.setPlan({platform::Fault::Exit, k * 2, true});
        db.directory->Commit(true, true);
      }
      return 0;
    });
    int shown = 0;
    {
      Database survivor(dir.path());
      TDataTable& s = survivor.open();
      TDataTable& so = survivor.open("other");
      survivor.directory->StartTransaction();
      changeItem(s, 2, 4000);
      changeItem(so, 2, 4000);
      s.DataFile().IncChangeCounter();
      so.DataFile().IncChangeCounter();
      survivor.directory->Commit(true, true);
      writer.send('G');
      const int code = writer.wait();
      ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
      survivor.directory->StartTransaction();
      changeItem(s, 2, 4242);
      s.DataFile().IncChangeCounter();
      survivor.directory->Commit(true, true);
      std::string first;
      shown = commitsShown(s, first, 2);
      ASSERT_GE(shown, 1) << what << ": " << (shown == 0 ? "the first commit is undone" : first);
      if (code == 0) {
        EXPECT_EQ(shown, 3) << what;
      }
    }
    Database again(dir.path());
    TDataTable& o = again.open("other");
    std::string first;
    EXPECT_EQ(commitsShown(o, first, 2), shown) << what << ": " << first;
    TDataTable& t = again.open();
    t.BeginRead();
    expectItem(t, 2, 4242);
    t.EndRead();
    again.close(t);
    again.close(o);
    expectIntactFiles(dir, what);
  }
}

// The same with a reader of another process holding the table open (and its records cached)
// while the writer dies in its second commit; the reader then finds the first commit whole.
TEST_P(CommitSequence, AReaderHoldingTheTableOpenSeesTheEarlierCommitsAfterTheWriterDies) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kRecords, "items", itemsDefinition(GetParam()));
  }
  const std::string path = dir.path();
  std::mt19937 random(storage_test::testSeed());
  for (int round = 0; round < 6; ++round) {
    const uint64_t k = 1 + random() % 14;
    const std::string what = "round " + std::to_string(round) + ", exit at write " + std::to_string(k);
    // Forked before this process opens the table; it starts when the reader has read it all.
    Helper writer([path, k](Helper& h) {
      if (h.receive() != 'G') return 2;
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(path, &list);
      TDataTable& t = db.open();
      // Back to no commit, then commits 1 to 3 with the end at write k of the second.
      db.directory->StartTransaction();
      for (uint32_t n = 1; n <= kRecords; ++n) changeItem(t, n, n);
      db.directory->Commit(true, true);
      for (int commit = 1; commit <= 3; ++commit) {
        db.directory->StartTransaction();
        commitNumber(t, commit);
        if (commit == 2) faulty.setPlan({platform::Fault::Exit, k, true});
        db.directory->Commit(true, true);
      }
      return 0;
    });
    Database reader(dir.path());
    TDataTable& r = reader.open();
    std::string first;
    const int before = commitsShown(r, first);
    ASSERT_GE(before, 0) << what << ": " << first;
    writer.send('G');
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    first.clear();
    const int shown = commitsShown(r, first);
    ASSERT_GE(shown, 1) << what << ": " << (shown == 0 ? "the first commit is undone" : first);
    if (code == 0) {
      EXPECT_EQ(shown, 3) << what;
    }
    reader.close(r);
    expectIntactFiles(dir, what);
  }
}

// Inside a transaction, records read one at a time in number order (each read a miss) while
// records just ahead are changed; after the rollback the same reads show the old values, and
// after another process commits changes scattered over them, its values.
TEST_P(CommitSequence, RecordsReadInNumberOrderAfterARollbackShowTheFilesValues) {
  TempDir dir;
  {
    Database db(dir.path());
    db.create(kRecords, "items", itemsDefinition(GetParam()));
  }
  const std::string path = dir.path();
  // Forked before this process opens the table; it commits when told.
  Helper other([path](Helper& h) {
    if (h.receive() != 'G') return 2;
    Database odb(path);
    TDataTable& o = odb.open();
    for (int commit = 1; commit <= 3; ++commit) {
      odb.directory->StartTransaction();
      commitNumber(o, commit);
      odb.directory->Commit(true, false);
    }
    return 0;
  });
  Database db(dir.path());
  TDataTable& t = db.open();
  auto expectSeeds = [&](int commits, const std::string& what) {
    t.DataFile().ClearRecordCache();
    t.BeginRead();
    for (uint32_t n = 1; n <= kRecords; ++n) {
      const Item item = readItem(t, n);
      ASSERT_EQ(item.code, codeFor(seedAfter(n, commits))) << what << " record " << n;
    }
    t.EndRead();
  };
  for (int round = 0; round < 2; ++round) {
    const std::string what = "round " + std::to_string(round);
    db.directory->StartTransaction();
    t.DataFile().ClearRecordCache();
    for (uint32_t n = 1; n <= kRecords; ++n) {
      ASSERT_EQ(readItem(t, n).code, codeFor(n % 3 == 2 && n > 1 ? n + 500 : n)) << what << " record " << n;
      if (n % 3 == 1 && n + 1 <= kRecords) {
        // The next record, read along with this one, is changed and written out to the held
        // writes before it is asked for.
        changeItem(t, n + 1, n + 1 + 500);
        t.FlushTable(false, false, false, false, false);
      }
    }
    db.directory->Rollback();
    expectSeeds(0, what + " after the rollback");
  }
  other.send('G');
  ASSERT_EQ(other.wait(), 0);
  // Read one at a time, not cleared first: the change is noticed on taking the read pair.
  t.BeginRead();
  for (uint32_t n = 1; n <= kRecords; ++n) {
    const Item item = readItem(t, n);
    ASSERT_EQ(item.code, codeFor(seedAfter(n, 3))) << "record " << n;
    ASSERT_EQ(item.body, bodyFor(seedAfter(n, 3))) << "record " << n;
  }
  t.EndRead();
  expectSeeds(3, "afresh");
}

INSTANTIATE_TEST_SUITE_P(Tables, CommitSequence, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
}  // namespace engine
