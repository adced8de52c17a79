// Tables of a folder whose path, with the table's name, is longer than the engine's 255-byte texts:
// each table's journal is its own. Two tables whose names share their first bytes are written by
// processes that end in the middle of a commit, one at a time and both at once; afterwards each
// table holds one of its own states, whichever table is opened first, and every journal a writer
// leaves lies beside its own table's files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "platform/faultfs.h"
#include "table_test_util.h"

namespace engine {
namespace {

using namespace table_test;

// With the folder's 232 bytes (delimiter included), a name passes 255 bytes at its 24th byte:
// cut there, both names would be one.
const std::string kFirst = "shared_start_of_two_tables_A";
const std::string kSecond = "shared_start_of_two_tables_B";
constexpr uint32_t kFirstRecords = 5;
constexpr uint32_t kSecondRecords = 9;
constexpr uint64_t kMaxWrites = 40;

class LongFolder : public ::testing::Test {
 public:
  void SetUp() override {
    folder =
        root.path() + "/" + std::string(100, 'f') + "/" + std::string(231 - root.path().size() - 102, 'g');
    std::filesystem::create_directories(folder);
    ASSERT_EQ(folder.size() + 1 + kFirst.size() + 4, 264u);
    Database db(folder);
    db.create(kFirstRecords, kFirst);
    db.create(kSecondRecords, kSecond);
    pristineFirst = images(kFirst);
    pristineSecond = images(kSecond);
  }

  std::string file(const std::string& name, const std::string& ext = "") const {
    return folder + "/" + name + ext;
  }

  std::vector<std::vector<uint8_t>> images(const std::string& name) const {
    std::vector<std::vector<uint8_t>> found;
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      found.push_back(datafile_test::readFileBytes(file(name, ext)));
    return found;
  }
  void restore(const std::string& name, const std::vector<std::vector<uint8_t>>& images) const {
    const char* exts[] = {".DAT", ".IDX", ".BLB"};
    for (size_t i = 0; i < 3; ++i) datafile_test::writeFileBytes(file(name, exts[i]), images[i]);
  }

  // What every record in use holds, read by a session that opens the table afresh (rolling back
  // what a dead writer left), once the integrity checkers passed over it.
  Contents contents(const std::string& name) const {
    Contents c;
    {
      Database db(folder);
      TDataTable* t = nullptr;
      EXPECT_NO_THROW(t = &db.open(name)) << name;
      if (!t) return c;
      c = liveContents(*t);
    }
    expectSoundTableFiles(file(name), name + ": ");
    return c;
  }

  // Every file under the temporary folder that is not one of the two tables' own files.
  std::vector<std::string> strayFiles() const {
    std::set<std::string> own;
    for (const std::string& name : {kFirst, kSecond})
      for (const char* ext : {".DAT", ".IDX", ".BLB"}) own.insert(file(name, ext));
    std::vector<std::string> stray;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path()))
      if (entry.is_regular_file() && !own.count(entry.path().string()))
        stray.push_back(entry.path().string());
    return stray;
  }

  TempDir root;
  std::string folder;
  std::vector<std::vector<uint8_t>> pristineFirst, pristineSecond;
};

// Kills, before each of its writes, a writer committing a change of the first table, or with
// `both` of both tables in one transaction. Whichever table is opened first, each holds all of
// its change or none (both alike when they changed together), and what a writer leaves lies in
// the tables' folder: their own journals, and the marker of a change of both.
void endEveryCommitEarly(LongFolder& f, bool both, bool secondFirst) {
  const Contents before = contentsOf(seedRange(1, kFirstRecords));
  const Contents after = contentsOf({1, 22, 3, 15, 5, 6, 7, 8});
  const Contents secondBefore = contentsOf(seedRange(1, kSecondRecords));
  const Contents secondAfter = contentsOf({41, 2, 3, 4, 5, 6, 7, 8, 9, 42});
  bool completed = false;
  uint64_t k = 1;
  for (; k <= kMaxWrites && !completed; ++k) {
    const std::string what = std::string(both ? "both" : "first") + ", exit at write " + std::to_string(k);
    f.restore(kFirst, f.pristineFirst);
    f.restore(kSecond, f.pristineSecond);
    Helper writer([&](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(f.folder, &list);
      TDataTable& t = db.open(kFirst);
      TDataTable* o = both ? &db.open(kSecond) : nullptr;
      db.directory->StartTransaction();
      for (uint32_t seed = 6; seed <= 8; ++seed) appendItem(t, seed);
      changeItem(t, 2, 22);
      changeItem(t, 4, 15);
      if (o) {
        changeItem(*o, 1, 41);
        appendItem(*o, 42);
      }
      faulty.setPlan({platform::Fault::Exit, k, true});
      db.directory->Commit(true, true);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    for (const std::filesystem::path left : f.strayFiles()) {
      const bool journal = left == f.file(kFirst, ".JNL") || (both && left == f.file(kSecond, ".JNL"));
      const bool marker = both && left.parent_path() == f.folder && left.extension() == ".JNM";
      EXPECT_TRUE(journal || marker) << what << ": " << left;
    }
    Contents first, second;
    if (secondFirst) second = f.contents(kSecond);
    first = f.contents(kFirst);
    if (!secondFirst) second = f.contents(kSecond);
    EXPECT_TRUE(first == after || (!completed && first == before)) << what;
    EXPECT_TRUE(second == ((first == after && both) ? secondAfter : secondBefore)) << what;
    EXPECT_TRUE(f.strayFiles().empty()) << what;
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(k, 5u) << "the commit writes its journal and several table writes";
}

TEST_F(LongFolder, AWriterEndingInTheMiddleOfACommitLeavesTheOtherTableAloneAndItsOwnWhole) {
  endEveryCommitEarly(*this, false, true);
  endEveryCommitEarly(*this, false, false);
}

TEST_F(LongFolder, AWriterEndingInTheMiddleOfACommitOfBothTablesLeavesBothAllOldOrAllNew) {
  endEveryCommitEarly(*this, true, true);
  endEveryCommitEarly(*this, true, false);
}

// A journal left where an earlier build cut the first table's journal path names no table: it
// could be any table's whose path starts alike. It is neither rolled back onto either table nor
// deleted, and each table still recovers from its own journal.
TEST_F(LongFolder, AJournalAtTheCutPathOfAnEarlierBuildIsLeftAlone) {
  Helper writer([&](Helper&) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    Database db(folder, &list);
    TDataTable& t = db.open(kFirst);
    db.directory->StartTransaction();
    for (uint32_t seed = 6; seed <= 8; ++seed) appendItem(t, seed);
    changeItem(t, 2, 22);
    // The journal is written and forced out first; the process ends at a write into the table.
    faulty.setPlan({platform::Fault::Exit, 4, true});
    db.directory->Commit(true, true);
    return 0;
  });
  ASSERT_EQ(writer.wait(), platform::kFaultExitCode);
  ASSERT_EQ(JournalState(platform::FileSystem::local(), file(kFirst, ".JNL")), TJournalState::Hot);
  ASSERT_NE(images(kFirst), pristineFirst) << "the commit ended after writing into the table";
  const std::string cut = file(kFirst, ".JNL").substr(0, kEngineStringLength);
  std::filesystem::copy_file(file(kFirst, ".JNL"), cut);
  const std::vector<uint8_t> left = datafile_test::readFileBytes(cut);
  EXPECT_TRUE(contents(kSecond) == contentsOf(seedRange(1, kSecondRecords)));
  EXPECT_TRUE(contents(kFirst) == contentsOf(seedRange(1, kFirstRecords)));
  EXPECT_EQ(strayFiles(), std::vector<std::string>{cut});
  EXPECT_EQ(datafile_test::readFileBytes(cut), left);
}

// Names long enough for their files' extensions to be cut (".DA", ".D") have their journals' cut
// as far: the whole extension made a name longer than a folder entry may be, and every commit
// failed. A writer ending in the middle of its commit leaves its journal there, and the next
// session rolls it back; a whole commit holds.
TEST(LongNames, AJournalOfANameWhoseExtensionsAreCutIsCutAsFarAndRollsBack) {
  TempDir dir;
  for (size_t length : {252u, 253u}) {
    const std::string name(length, char('a' + length - 252));
    const std::string journal = dir.path() + "/" + name + std::string(kJournalExt.substr(0, 255 - length));
    { Database(dir.path()).create(kFirstRecords, name); }
    const auto commit = [&](uint64_t exitAt) {
      Helper writer([&](Helper&) {
        platform::FaultyFileSystem faulty(platform::FileSystem::local());
        TFileList list(faulty);
        Database db(dir.path(), &list);
        TDataTable& t = db.open(name);
        db.directory->StartTransaction();
        for (uint32_t seed = 6; seed <= 8; ++seed) appendItem(t, seed);
        changeItem(t, 2, 22);
        if (exitAt) faulty.setPlan({platform::Fault::Exit, exitAt, true});
        db.directory->Commit(true, true);
        return 0;
      });
      return writer.wait();
    };
    const auto codes = [&] {
      Database db(dir.path());
      TDataTable& t = db.open(name);
      std::vector<std::vector<uint8_t>> found;
      t.BeginRead();
      for (uint32_t n = 1; n <= t.DataFile().GetLastRecordNumber(); ++n) found.push_back(readItem(t, n).code);
      t.EndRead();
      return found;
    };
    const auto before = codes();
    ASSERT_EQ(commit(4), platform::kFaultExitCode) << length;
    EXPECT_EQ(JournalState(platform::FileSystem::local(), journal), TJournalState::Hot) << length;
    EXPECT_EQ(codes(), before) << length;
    EXPECT_FALSE(std::filesystem::exists(journal)) << length;
    ASSERT_EQ(commit(0), 0) << length;
    const auto after = codes();
    ASSERT_EQ(after.size(), before.size() + 3) << length;
    EXPECT_EQ(after[1], codeFor(22)) << length;
  }
}

// ---- Two writers at once, killed at random moments ----

// Round 0 is the table as made; each later round rewrites every record with seeds of its own.
uint32_t seedOf(int round, uint32_t n) {
  return round == 0 ? n : uint32_t(1000 * round) + n;
}

Contents roundContents(int round, uint32_t records) {
  std::vector<uint32_t> seeds;
  for (uint32_t n = 1; n <= records; ++n) seeds.push_back(seedOf(round, n));
  return contentsOf(seeds);
}

// Commits round after round from `round` on, telling 'T' before each commit and 'C' after it.
int runRounds(Helper& h, const std::string& folder, const std::string& name, uint32_t records, int round) {
  Database db(folder);
  TDataTable& t = db.open(name);
  t.SetFileLockRetryRules(LockRetryRules{});  // a writer's usual patience, not the tests' short one
  for (;; ++round) {
    db.directory->StartTransaction();
    for (uint32_t n = 1; n <= records; ++n) changeItem(t, n, seedOf(round, n));
    h.send('T');
    // Forced to the device: the commit takes long enough for a kill to land inside it.
    db.directory->Commit(true, true);
    h.send('C');
  }
}

struct Writer {
  Writer(std::string n, uint32_t r) : name(std::move(n)), records(r) {}

  std::string name;
  uint32_t records;
  int acked = 0;  // the last round acknowledged
  bool inFlight = false;
  std::unique_ptr<Helper> helper;

  void start(const std::string& folder) {
    inFlight = false;
    helper = std::make_unique<Helper>(
        [&, folder, first = acked + 1](Helper& h) { return runRounds(h, folder, name, records, first); });
  }
  // False once the writer has gone.
  bool read() {
    const char c = helper->receive();
    if (c == 'T') inFlight = true;
    if (c == 'C') {
      ++acked;
      inFlight = false;
    }
    return c != 0;
  }
  void kill() {
    helper->kill9();
    while (read()) {
    }
  }
};

TEST_F(LongFolder, TwoWritersOfTablesWithTheSameStartKilledAtRandomKeepEveryTableWhole) {
  const char* env = std::getenv("VELMARON_KILLS");
  const int kills = env ? std::atoi(env) : 24;
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  Writer writers[2] = {{kFirst, kFirstRecords}, {kSecond, kSecondRecords}};
  int hot = 0;
  for (int kill = 0; kill < kills; ++kill) {
    const std::string what =
        "kill " + std::to_string(kill) + " (replay with VELMARON_SEED=" + std::to_string(seed) + ")";
    for (Writer& w : writers) w.start(folder);
    // Both write at once: the first is killed after a few of its commits, the other a moment later.
    Writer& early = writers[kill % 2];
    Writer& late = writers[1 - kill % 2];
    for (int commits = int(rng() % 3); commits > 0 && early.read();)
      if (!early.inFlight) --commits;
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    early.kill();
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    late.kill();
    for (const Writer& w : writers)
      hot += JournalHot(platform::FileSystem::local(), file(w.name, ".JNL")) ? 1 : 0;
    // Either table is opened first.
    for (int i = 0; i < 2; ++i) {
      Writer& w = writers[(kill / 2 + i) % 2];
      const Contents found = contents(w.name);
      if (w.inFlight && found == roundContents(w.acked + 1, w.records)) {
        ++w.acked;  // killed after its commit ended but before telling so
      } else {
        ASSERT_TRUE(found == roundContents(w.acked, w.records)) << w.name << " after " << what;
      }
    }
    EXPECT_TRUE(strayFiles().empty()) << what;
  }
  std::printf("%d kills, rounds acknowledged %d and %d, %d journals left with a change\n", kills,
              writers[0].acked, writers[1].acked, hot);
}

}  // namespace
}  // namespace engine
