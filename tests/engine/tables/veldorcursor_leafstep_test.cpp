// A cursor in the order of a unique index steps forward over several leaves of keys: inside a
// range, over the whole index to its end, with steps back between. Each step reads the next key
// as the table now stands and reports its place in the range, also when a writer added rows right
// after the cursor's row (bursts that split its leaf), deleted the row after it or moved that row
// before every other between two steps: another cursor of the session, another session of the
// process, or another process. The seed is printed; VELMARON_SEED replays it.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "platform/faultfs.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

constexpr int32_t kRows = 2000;
// Keys lie this far apart: a burst of rows fits between two neighbours.
constexpr int32_t kGap = 100;
constexpr uint8_t kByK = 1;

TCreateTableArgs keysTable() {
  using datafile_test::field;
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "NAME", kFieldTypeString, 40)};
  a.NoPrimaryIndex = true;
  a.Indexes.resize(2);
  a.Indexes[1].name = "ByK";
  a.Indexes[1].fields[0] = 1;
  a.Indexes[1].unique = true;
  return a;
}

void putK(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t k) {
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  std::array<uint8_t, 41> text{};
  const std::string name = "row of " + std::to_string(k);
  std::copy(name.begin(), name.end(), text.begin());
  c.PutField(2, buffer.data(), text.data());
}

int32_t kOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
  int32_t k = 0;
  bool isNull = false;
  c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&k));
  return k;
}

std::string nameOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
  std::array<char, 41> text{};
  bool isNull = false;
  c.GetField(2, buffer.data(), isNull, reinterpret_cast<uint8_t*>(text.data()));
  return text.data();
}

void openKeys(TDataCursor& c) {
  c.SetTableName("keys");
  c.Open();
  c.Table()->SetFileLockRetryRules(table_test::kImpatient);
  c.SwitchToIndex(kByK);
}

// kRows rows of keys 0, kGap, 2 kGap, ... appended in no particular order.
std::set<int32_t> createKeys(const TempDir& dir, std::mt19937& rng) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("keys");
  c.SetExclusive(true);
  TCreateTableArgs args = keysTable();
  c.CreateTable(args);
  c.Open();
  std::vector<int32_t> keys(kRows);
  std::iota(keys.begin(), keys.end(), 0);
  std::shuffle(keys.begin(), keys.end(), rng);
  std::vector<uint8_t> buffer(c.RecordSize());
  std::set<int32_t> model;
  for (int32_t i : keys) {
    putK(c, buffer, i * kGap);
    c.AppendRecord(buffer.data());
    model.insert(i * kGap);
  }
  return model;
}

TEST(ForwardStepsInKeyOrder, ReadEveryKeyOfARangeWithItsPlace) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  TempDir dir;
  const std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor c(*db.directory);
  openKeys(c);
  std::vector<uint8_t> buffer(c.RecordSize()), low(c.RecordSize()), high(c.RecordSize());
  const auto pick = [&](int32_t n) { return std::uniform_int_distribution<int32_t>(0, n - 1)(rng); };
  for (int round = 0; round < 30; ++round) {
    // Ends on keys and between them; the last rounds take the whole index, to its end.
    const int32_t lo = round >= 27 ? -1 : pick(kRows * kGap),
                  hi = round >= 27 ? kRows * kGap : lo + pick(600 * kGap);
    SCOPED_TRACE("range " + std::to_string(lo) + ".." + std::to_string(hi));
    if (round >= 27) {
      c.ResetRange();
    } else {
      putK(c, low, lo);
      putK(c, high, hi);
      c.SetRange(false, low.data(), 1, high.data(), 1);
    }
    std::vector<int32_t> expected(model.lower_bound(lo), model.upper_bound(hi));
    c.SetToBegin();
    size_t at = 0;
    while (c.GetNextRecord(buffer.data()) == 0) {
      ASSERT_LT(at, expected.size());
      ASSERT_EQ(kOf(c, buffer), expected[at]) << "step " << at;
      EXPECT_EQ(nameOf(c, buffer), "row of " + std::to_string(expected[at]));
      EXPECT_EQ(c.GetSequenceNumber(), int32_t(at + 1));
      ++at;
      // Now and then a step back and forward again, which the next step goes on from.
      if (round % 3 == 0 && at % 97 == 0 && at >= 2) {
        ASSERT_EQ(c.GetPriorRecord(buffer.data()), 0);
        ASSERT_EQ(kOf(c, buffer), expected[at - 2]);
        ASSERT_EQ(c.GetNextRecord(buffer.data()), 0);
        ASSERT_EQ(kOf(c, buffer), expected[at - 1]);
      }
    }
    EXPECT_EQ(at, expected.size());
    EXPECT_TRUE(c.AtEOF());
  }
}

// 'a' adds a row of key n, 'd' deletes the row of key n, 'm' gives the row of key n the key
// -n - 1 (before every other); 'k' when done, 'n' when there was none.
char applyWrite(TDataCursor& c, std::vector<uint8_t>& buffer, char m, int32_t n) {
  bool done = false;
  const uint16_t code = errorOf([&] {
    putK(c, buffer, n);
    if (m == 'a') {
      c.AppendRecord(buffer.data());
      done = true;
    } else if (c.FindKey(false, buffer.data(), 1, false, 0, buffer.data())) {
      if (m == 'd') {
        c.DeleteRecord(buffer.data());
      } else {
        std::vector<uint8_t> moved(buffer.size());
        putK(c, moved, -n - 1);
        c.ModifyRecord(moved.data());
      }
      done = true;
    }
  });
  return code == 0 && done ? 'k' : 'n';
}

void sendKey(Helper& h, char m, int32_t n) {
  h.send(m);
  for (int shift = 24; shift >= 0; shift -= 8) h.send(char(uint8_t(uint32_t(n) >> shift)));
}

// applyWrite in its own process: m, then n in four bytes; 'q' ends.
int otherWriter(Helper& h, const std::string& path) {
  Database db(path);
  TDataCursor c(*db.directory);
  openKeys(c);
  std::vector<uint8_t> buffer(c.RecordSize());
  h.send('k');
  while (const char m = h.receive()) {
    if (m == 'q') break;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n = n << 8 | uint8_t(h.receive());
    h.send(applyWrite(c, buffer, m, int32_t(n)));
  }
  return 0;
}

enum class Writer { Cursor, Session, Process };

class ForwardStepsBesideAWriter : public ::testing::TestWithParam<Writer> {};

TEST_P(ForwardStepsBesideAWriter, EachStepReadsTheNextKeyTheTableNowHas) {
  const Writer kind = GetParam();
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  std::set<int32_t> model = createKeys(dir, rng);
  std::optional<Helper> child;
  if (kind == Writer::Process) {
    child.emplace([&](Helper& h) { return otherWriter(h, dir.path()); });
    ASSERT_EQ(child->receive(), 'k');
  }
  Database db(dir.path());
  std::optional<Database> otherDb;
  if (kind == Writer::Session) otherDb.emplace(dir.path());
  TDataCursor reader(*db.directory);
  openKeys(reader);
  std::optional<TDataCursor> writer;
  if (kind != Writer::Process) {
    writer.emplace(kind == Writer::Session ? *otherDb->directory : *db.directory);
    openKeys(*writer);
  }
  std::vector<uint8_t> buffer(reader.RecordSize()), written(reader.RecordSize());
  const auto write = [&](char m, int32_t n) {
    char answer = 0;
    if (child) {
      sendKey(*child, m, n);
      answer = child->receive();
    } else {
      answer = applyWrite(*writer, written, m, n);
    }
    const bool held = model.count(n) != 0;
    ASSERT_EQ(answer, m == 'a' ? (held ? 'n' : 'k') : (held ? 'k' : 'n')) << m << " " << n;
    if (answer != 'k') return;
    if (m != 'a') model.erase(n);
    if (m != 'd') model.insert(m == 'a' ? n : -n - 1);
  };
  reader.SetToBegin();
  ASSERT_EQ(reader.GetNextRecord(buffer.data()), 0);
  int32_t current = kOf(reader, buffer);
  ASSERT_EQ(current, *model.begin());
  int changes = 0;
  for (int step = 1;; ++step) {
    if (step % 5 == 0) {
      // The writer's turn, around the row after the reader's.
      const auto after = model.upper_bound(current);
      const int32_t next = after == model.end() ? current + kGap : *after;
      switch (pick(4)) {
        case 0:
          // A row right after the reader's, or a burst of them that splits its leaf.
          for (int32_t i = 1, n = pick(3) == 0 ? 40 : 1; i <= n && current + i < next; ++i)
            ASSERT_NO_FATAL_FAILURE(write('a', current + i));
          break;
        case 1:
          ASSERT_NO_FATAL_FAILURE(write('d', next));
          break;
        case 2:
          ASSERT_NO_FATAL_FAILURE(write('m', next));
          break;
        default:
          break;
      }
      ++changes;
    }
    const uint16_t code = reader.GetNextRecord(buffer.data());
    const auto after = model.upper_bound(current);
    if (after == model.end()) {
      ASSERT_EQ(code, VELDOR_EOF) << "after " << current;
      break;
    }
    ASSERT_EQ(code, 0) << "after " << current;
    ASSERT_EQ(kOf(reader, buffer), *after) << "step " << step << " after " << current;
    ASSERT_EQ(reader.GetSequenceNumber(), int32_t(std::distance(model.begin(), after) + 1));
    current = *after;
  }
  EXPECT_GT(changes, kRows / 5);
  if (child) {
    child->send('q');
    EXPECT_EQ(child->wait(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Writers, ForwardStepsBesideAWriter,
                         ::testing::Values(Writer::Cursor, Writer::Session, Writer::Process));

// An index of names as a table may hold them: many alike but for case, some missing, in an index
// kept descending, blind to case or with its leaves compressed, in an encrypted table. Forward
// steps (from the entry's place in its leaf) and backward steps (a search each) give one order.
struct NameIndex {
  const char* label;
  uint8_t descending, caseInsensitive, compression;
  bool encrypted;
};

class ForwardStepsOverAnIndexOfNames : public ::testing::TestWithParam<NameIndex> {};

constexpr uint8_t kByName = 1;

void openNames(TDataCursor& c) {
  c.SetTableName("names");
  c.Open();
  c.SwitchToIndex(kByName);
}

// The ID of each record met, by GetNextRecord from the start or GetPriorRecord from the end.
std::vector<int32_t> walkNames(TDataCursor& c, bool forward) {
  std::vector<uint8_t> buffer(c.RecordSize());
  std::vector<int32_t> ids;
  if (forward)
    c.SetToBegin();
  else
    c.SetToEnd();
  while ((forward ? c.GetNextRecord(buffer.data()) : c.GetPriorRecord(buffer.data())) == 0) {
    int32_t id = 0;
    bool isNull = false;
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&id));
    ids.push_back(id);
    if (forward) {
      EXPECT_EQ(c.GetSequenceNumber(), int32_t(ids.size())) << "after ID " << id;
    }
  }
  EXPECT_TRUE(forward ? c.AtEOF() : c.AtBOF());
  if (!forward) std::reverse(ids.begin(), ids.end());
  return ids;
}

TEST_P(ForwardStepsOverAnIndexOfNames, ReadsTheOrderBackwardStepsRead) {
  const NameIndex kind = GetParam();
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  constexpr int32_t kNames = 3000;
  {
    Database db(dir.path());
    if (kind.encrypted) db.session.AddPassword("hush");
    TDataCursor c(*db.directory);
    using datafile_test::field;
    TCreateTableArgs a;
    a.BlobBlockSize = 512;
    a.Fields = {field(1, "ID", kFieldTypeInteger), field(2, "NAME", kFieldTypeString, 24)};
    a.NoPrimaryIndex = true;
    a.Indexes.resize(2);
    a.Indexes[1].name = "ByName";
    a.Indexes[1].fields[0] = 2;
    a.Indexes[1].descending = kind.descending;
    a.Indexes[1].caseInsensitive = kind.caseInsensitive;
    a.Indexes[1].compression = kind.compression;
    a.Encrypted = kind.encrypted;
    a.Password = kind.encrypted ? "hush" : "";
    c.SetTableName("names");
    c.SetExclusive(true);
    c.CreateTable(a);
    c.Open();
    const std::vector<std::string> stems = {"alder", "Alder",  "ALDER", "birch", "birch tree", "Birch",
                                            "cedar", "cedars", "CEDAR", "d",     "D",          "elm"};
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t id = 1; id <= kNames; ++id) {
      c.ClearRecordBuffer(buffer.data());
      c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&id));
      if (pick(10) != 0) {
        std::array<uint8_t, 25> text{};
        const std::string name = stems[pick(uint32_t(stems.size()))] + std::string(pick(3), 'x');
        std::copy(name.begin(), name.end(), text.begin());
        c.PutField(2, buffer.data(), text.data());
      }
      c.AppendRecord(buffer.data());
    }
  }
  Database db(dir.path());
  if (kind.encrypted) db.session.AddPassword("hush");
  TDataCursor c(*db.directory);
  openNames(c);
  const std::vector<int32_t> forward = walkNames(c, true);
  EXPECT_EQ(forward, walkNames(c, false));
  EXPECT_EQ(std::set<int32_t>(forward.begin(), forward.end()).size(), size_t(kNames));
  // Inside a range of names that ends among names alike but for case.
  std::vector<uint8_t> low(c.RecordSize()), high(c.RecordSize());
  std::array<uint8_t, 25> text{};
  const std::string lo = kind.descending ? "cedar" : "birch", hi = kind.descending ? "birch" : "cedar";
  c.ClearRecordBuffer(low.data());
  c.ClearRecordBuffer(high.data());
  std::copy(lo.begin(), lo.end(), text.begin());
  c.PutField(2, low.data(), text.data());
  text.fill(0);
  std::copy(hi.begin(), hi.end(), text.begin());
  c.PutField(2, high.data(), text.data());
  c.SetRange(false, low.data(), 1, high.data(), 1);
  const std::vector<int32_t> ranged = walkNames(c, true);
  EXPECT_FALSE(ranged.empty());
  EXPECT_LT(ranged.size(), forward.size());
  EXPECT_EQ(ranged, walkNames(c, false));
}

INSTANTIATE_TEST_SUITE_P(Indexes, ForwardStepsOverAnIndexOfNames,
                         ::testing::Values(NameIndex{"Plain", 0, 0, kcNone, false},
                                           NameIndex{"Descending", 1, 0, kcNone, false},
                                           NameIndex{"CaseBlind", 0, 1, kcNone, false},
                                           NameIndex{"Compressed", 0, 1, kcBoth, false},
                                           NameIndex{"DescendingCompressedEncrypted", 1, 1, kcLeading, true}),
                         [](const ::testing::TestParamInfo<NameIndex>& info) {
                           return std::string(info.param.label);
                         });

// Steps forward beside transactions of another cursor of the same session: each adds rows
// before the reader's row (in a leaf far from the reader's), a burst right after it and deletes
// the row after it; the reader steps inside the transaction, which then commits or rolls back,
// and every step reads the next key, with its place, of the table as the session now sees it.
TEST(ForwardStepsAcrossTransactions, EachStepReadsTheNextKeyAfterACommitOrARollback) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor reader(*db.directory), writer(*db.directory);
  openKeys(reader);
  openKeys(writer);
  std::vector<uint8_t> buffer(reader.RecordSize()), written(reader.RecordSize());
  // The table as the session sees it: `model` inside a transaction, `kept` what a rollback keeps.
  std::set<int32_t> kept = model;
  const auto write = [&](char m, int32_t n) {
    const bool held = model.count(n) != 0;
    const char answer = applyWrite(writer, written, m, n);
    ASSERT_EQ(answer, m == 'a' ? (held ? 'n' : 'k') : (held ? 'k' : 'n')) << m << " " << n;
    if (answer != 'k') return;
    if (m != 'a') model.erase(n);
    if (m != 'd') model.insert(m == 'a' ? n : -n - 1);
  };
  int32_t current = 0;
  bool started = false;
  // One step forward, checked against `model`; false at the end.
  const auto step = [&]() -> bool {
    const uint16_t code = reader.GetNextRecord(buffer.data());
    const auto after = started ? model.upper_bound(current) : model.begin();
    if (after == model.end()) {
      EXPECT_EQ(code, VELDOR_EOF) << "after " << current;
      return false;
    }
    EXPECT_EQ(code, 0) << "after " << current;
    EXPECT_EQ(kOf(reader, buffer), *after) << "after " << current;
    EXPECT_EQ(reader.GetSequenceNumber(), int32_t(std::distance(model.begin(), after) + 1))
        << "on " << *after;
    current = *after;
    started = true;
    return code == 0 && !::testing::Test::HasFailure();
  };
  reader.SetToBegin();
  int rounds = 0, rolledBack = 0;
  while (step()) {
    if (pick(7) != 0) continue;
    ++rounds;
    db.directory->StartTransaction();
    const auto after = model.upper_bound(current);
    const int32_t next = after == model.end() ? current + kGap : *after;
    // Rows before the reader's, far from its leaf: every place after them moves on.
    if (current > 300 * kGap) {
      const int32_t base = int32_t(pick(100)) * kGap;
      for (int32_t i = 1; i <= 30; ++i) ASSERT_NO_FATAL_FAILURE(write('a', base + i));
    }
    for (int32_t i = 1, n = pick(2) == 0 ? 40 : 2; i <= n && current + i < next; ++i)
      ASSERT_NO_FATAL_FAILURE(write('a', current + i));
    if (after != model.end()) {
      ASSERT_NO_FATAL_FAILURE(write('d', next));
    }
    // Inside the transaction: the reader reads its rows, perhaps one of the burst.
    for (uint32_t n = pick(3); n > 0; --n) {
      if (!step()) break;
    }
    if (::testing::Test::HasFailure()) break;
    if (pick(2) == 0) {
      db.directory->Commit(true, false);
      kept = model;
    } else {
      db.directory->Rollback();
      model = kept;
      ++rolledBack;
    }
    if (reader.AtEOF()) break;
  }
  EXPECT_FALSE(::testing::Test::HasFailure());
  EXPECT_GT(rolledBack, 20);
  EXPECT_GT(rounds, rolledBack);
}

// otherWriter's writes in transactions of a process whose file system can end it: 't' starts
// one; 'x' and a count n in one byte commits it, the process ending at once before the commit's
// n-th write (0: none); 'k' when the commit was whole.
int committingWriter(Helper& h, const std::string& path) {
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  Database db(path, &list);
  TDataCursor c(*db.directory);
  openKeys(c);
  std::vector<uint8_t> buffer(c.RecordSize());
  h.send('k');
  while (const char m = h.receive()) {
    if (m == 'q') break;
    if (m == 't') {
      db.directory->StartTransaction();
      h.send('k');
      continue;
    }
    if (m == 'x') {
      const uint64_t at = uint8_t(h.receive());
      if (at != 0) faulty.setPlan({platform::Fault::Exit, at, true});
      db.directory->Commit(true, true);
      faulty.setPlan({});
      h.send('k');
      continue;
    }
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n = n << 8 | uint8_t(h.receive());
    h.send(applyWrite(c, buffer, m, int32_t(n)));
  }
  return 0;
}

// The keys of the table, read by a session of its own in record order.
std::set<int32_t> keysOnDisk(const std::string& path) {
  Database db(path);
  TDataCursor c(*db.directory);
  c.SetTableName("keys");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  std::set<int32_t> keys;
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) keys.insert(kOf(c, buffer));
  return keys;
}

// A process changes the table in transactions, each adding rows before the reader's row (far
// from its leaf) and right after it and deleting the row after it, and ends in the middle of
// most of its commits, leaving a half-written change that the reader's next step rolls back.
// Each step reads the next key of the table as it then is, with its place.
TEST(ForwardStepsAcrossTransactions, EachStepReadsTheNextKeyAfterAWriterEndedInItsCommit) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor reader(*db.directory);
  openKeys(reader);
  std::vector<uint8_t> buffer(reader.RecordSize());
  int32_t current = 0;
  bool started = false;
  // One step forward: the key and place it read against `model`, or against `other` where that
  // is the table the step may find; false at the end.
  const auto step = [&](const std::set<int32_t>* other) -> bool {
    const uint16_t code = reader.GetNextRecord(buffer.data());
    const auto expect = [&](const std::set<int32_t>& keys) -> ::testing::AssertionResult {
      const auto after = started ? keys.upper_bound(current) : keys.begin();
      if (after == keys.end()) {
        if (code == VELDOR_EOF) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "code " << code << " at the end, after " << current;
      }
      if (code != 0) return ::testing::AssertionFailure() << "code " << code << " after " << current;
      const int32_t place = int32_t(std::distance(keys.begin(), after) + 1);
      if (kOf(reader, buffer) != *after || reader.GetSequenceNumber() != place)
        return ::testing::AssertionFailure()
               << "read " << kOf(reader, buffer) << " at " << reader.GetSequenceNumber() << " after "
               << current << ", not " << *after << " at " << place;
      return ::testing::AssertionSuccess();
    };
    const ::testing::AssertionResult first = expect(model);
    if (!first && other) {
      EXPECT_TRUE(expect(*other)) << first.message();
    } else {
      EXPECT_TRUE(first);
    }
    if (code != 0) return false;
    current = kOf(reader, buffer);
    started = true;
    return !::testing::Test::HasFailure();
  };
  std::optional<Helper> child;
  int ended = 0, rounds = 0;
  reader.SetToBegin();
  while (step(nullptr)) {
    if (pick(25) != 0) continue;
    ++rounds;
    if (!child) {
      child.emplace([&](Helper& h) { return committingWriter(h, dir.path()); });
      ASSERT_EQ(child->receive(), 'k');
    }
    std::set<int32_t> changed = model;
    const auto write = [&](char m, int32_t n) {
      sendKey(*child, m, n);
      const bool held = changed.count(n) != 0;
      ASSERT_EQ(child->receive(), m == 'a' ? (held ? 'n' : 'k') : (held ? 'k' : 'n')) << m << " " << n;
      if (m == 'a')
        changed.insert(n);
      else
        changed.erase(n);
    };
    child->send('t');
    ASSERT_EQ(child->receive(), 'k');
    const auto after = model.upper_bound(current);
    const int32_t next = after == model.end() ? current + kGap : *after;
    if (current > 300 * kGap) {
      const int32_t base = int32_t(pick(100)) * kGap;
      for (int32_t i = 1; i <= 30; ++i) ASSERT_NO_FATAL_FAILURE(write('a', base + i));
    }
    for (int32_t i = 1, n = pick(2) == 0 ? 40 : 2; i <= n && current + i < next; ++i)
      ASSERT_NO_FATAL_FAILURE(write('a', current + i));
    if (after != model.end()) {
      ASSERT_NO_FATAL_FAILURE(write('d', next));
    }
    // Mostly before one of the commit's first writes: its journal, then the files' pages.
    const uint8_t at = pick(4) == 0 ? 0 : uint8_t(1 + pick(12));
    child->send('x');
    child->send(char(at));
    const bool whole = child->receive() == 'k';
    if (!whole) {
      ASSERT_EQ(child->wait(), platform::kFaultExitCode) << "ended at write " << int(at);
      child.reset();
      ++ended;
    }
    // The first step after a commit cut short rolls it back; which writes had reached the
    // files is seen after it, by a session of its own.
    if (whole) model = changed;
    const bool more = step(whole ? nullptr : &changed);
    if (!whole) {
      const std::set<int32_t> found = keysOnDisk(dir.path());
      ASSERT_TRUE(found == model || found == changed) << "ended at write " << int(at);
      model = found;
    }
    if (!more) break;
  }
  EXPECT_FALSE(::testing::Test::HasFailure());
  EXPECT_GT(ended, 10);
  EXPECT_GT(rounds, ended);
  if (child) {
    child->send('q');
    EXPECT_EQ(child->wait(), 0);
  }
}

// Lets a key pass unless it is a multiple of the gaps `data` points to.
bool notEvery(void* data, TDataCursor& c, const uint8_t* record, uint32_t) {
  int32_t k = 0;
  bool isNull = false;
  c.GetField(1, record, isNull, reinterpret_cast<uint8_t*>(&k));
  return k % (*static_cast<const int32_t*>(data) * kGap) != 0;
}

// A cursor in key order whose view filters drop keys: forward steps read the next key that every
// active filter lets pass, over the whole index and inside ranges, as another cursor changes the
// key of the row after the reader's so that it comes into the view or leaves it.
TEST(ForwardStepsInAFilteredView, ReadOnlyTheKeysTheFiltersLetPass) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor reader(*db.directory), writer(*db.directory);
  openKeys(reader);
  openKeys(writer);
  int32_t three = 3, seven = 7;
  TFilter* third = reader.AddFilter(&three, nullptr, nullptr, false, &notEvery, true, false, false, false);
  TFilter* seventh = reader.AddFilter(&seven, nullptr, nullptr, false, &notEvery, true, false, false, false);
  bool thirdOn = false, seventhOn = false;
  const auto shown = [&](int32_t k) {
    return !(thirdOn && k % (3 * kGap) == 0) && !(seventhOn && k % (7 * kGap) == 0);
  };
  std::vector<uint8_t> buffer(reader.RecordSize()), written(reader.RecordSize());
  std::vector<uint8_t> low(reader.RecordSize()), high(reader.RecordSize());
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int32_t lo = INT32_MIN, hi = INT32_MAX;
    if (round % 3 == 2) {
      lo = int32_t(pick(kRows / 2)) * kGap - 1;
      hi = lo + int32_t(pick(kRows / 2)) * kGap;
      putK(reader, low, lo);
      putK(reader, high, hi);
      reader.SetRange(false, low.data(), 1, high.data(), 1);
    } else {
      reader.ResetRange();
    }
    // The filters of the view: none, either or both.
    if (thirdOn != bool(round & 1)) {
      thirdOn = !thirdOn;
      thirdOn ? reader.ActivateFilter(third) : reader.DeactivateFilter(third);
    }
    if (seventhOn != bool(round & 2)) {
      seventhOn = !seventhOn;
      seventhOn ? reader.ActivateFilter(seventh) : reader.DeactivateFilter(seventh);
    }
    reader.SetToBegin();
    int32_t current = INT32_MIN;
    for (int step = 0;; ++step) {
      if (pick(25) == 0) {
        // The row after the reader's takes a key the filters drop, or one they let pass.
        const auto after = model.upper_bound(current);
        if (after != model.end() && *after % kGap == 0 && *after + 2 * kGap < INT32_MAX) {
          const int32_t from = *after;
          const int32_t to = from + (pick(2) == 0 ? 1 : 0);
          if (to != from && model.count(to) == 0) {
            putK(writer, written, from);
            ASSERT_TRUE(writer.FindKey(false, written.data(), 1, false, 0, written.data()));
            putK(writer, written, to);
            writer.ModifyRecord(written.data());
            model.erase(from);
            model.insert(to);
          }
        }
      }
      const uint16_t code = reader.GetNextRecord(buffer.data());
      auto next = model.upper_bound(current);
      if (current == INT32_MIN) next = model.lower_bound(lo);
      while (next != model.end() && *next <= hi && !shown(*next)) ++next;
      if (next == model.end() || *next > hi) {
        ASSERT_EQ(code, VELDOR_EOF) << "after " << current;
        break;
      }
      ASSERT_EQ(code, 0) << "after " << current;
      ASSERT_EQ(kOf(reader, buffer), *next) << "step " << step << " after " << current;
      current = *next;
    }
  }
}

// Two callback filters, the second tested only on the rows the first lets pass, switched on and
// off, dropped and added again in any order: the view, walked in key order and in record order,
// holds the rows that the filters active now let pass, and no filter switched off or dropped
// still hides a row.
TEST(FilterSwitches, TheViewHoldsTheRowsTheActiveFiltersLetPass) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  const std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor byKey(*db.directory), byNumber(*db.directory);
  openKeys(byKey);
  byNumber.SetTableName("keys");
  byNumber.Open();
  std::array<int32_t, 2> divisors = {3, 7};
  std::array<bool, 2> on{};
  std::array<std::array<TFilter*, 2>, 2> filters{};
  const auto add = [&](int which) {
    for (int c = 0; c < 2; ++c)
      filters[c][which] =
          (c ? byNumber : byKey)
              .AddFilter(&divisors[which], nullptr, nullptr, false, &notEvery, true, false, false, false);
    on[which] = false;
  };
  add(0);
  add(1);
  std::vector<uint8_t> buffer(byKey.RecordSize());
  for (int round = 0; round < 60; ++round) {
    const int which = int(pick(2));
    std::string what;
    if (pick(3) == 0) {
      what = "dropped and added again";
      for (int c = 0; c < 2; ++c) (c ? byNumber : byKey).DropFilter(filters[c][which]);
      add(which);
    } else {
      on[which] = !on[which];
      what = on[which] ? "on" : "off";
      for (int c = 0; c < 2; ++c) {
        TDataCursor& cursor = c ? byNumber : byKey;
        on[which] ? cursor.ActivateFilter(filters[c][which]) : cursor.DeactivateFilter(filters[c][which]);
      }
    }
    SCOPED_TRACE("round " + std::to_string(round) + ": every " + std::to_string(divisors[which]) + " " +
                 what + "; on: " + std::to_string(on[0]) + std::to_string(on[1]));
    std::set<int32_t> expected;
    for (int32_t k : model)
      if (!(on[0] && k % (3 * kGap) == 0) && !(on[1] && k % (7 * kGap) == 0)) expected.insert(k);
    for (int c = 0; c < 2; ++c) {
      TDataCursor& cursor = c ? byNumber : byKey;
      std::vector<int32_t> walked;
      cursor.SetToBegin();
      while (cursor.GetNextRecord(buffer.data()) == 0) walked.push_back(kOf(cursor, buffer));
      if (c == 1) std::sort(walked.begin(), walked.end());
      ASSERT_EQ(walked, std::vector<int32_t>(expected.begin(), expected.end()))
          << (c ? "in record order" : "in key order");
    }
  }
}

// An expression filter and a callback filter after it, tested only on the rows the first lets
// pass, beside every other change of the filters and the rows: the first one's expression is
// replaced, it is switched off and on, a filter is added before the second and dropped again,
// the cursor itself adds, deletes and re-keys rows, and transactions of those writes commit or
// roll back. After each, the view in key order and in record order holds the rows that the
// active filters let pass now.
TEST(FilterSwitches, TheViewFollowsEveryChangeOfAnEarlierFilter) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor byKey(*db.directory), byNumber(*db.directory);
  openKeys(byKey);
  byNumber.SetTableName("keys");
  byNumber.Open();
  std::array<TDataCursor*, 2> cursors = {&byKey, &byNumber};
  int32_t every3 = 3, every7 = 7;
  // The bounds of the expression filter: lo <= K < hi.
  int32_t lo = kRows * kGap / 2, hi = kRows * kGap;
  bool boundsOn = true, sevenOn = false;
  std::array<TFilter*, 2> bounds{}, after{}, seven{};
  const auto boundsText = [&] { return "K >= " + std::to_string(lo) + " AND K < " + std::to_string(hi); };
  for (int c = 0; c < 2; ++c) {
    const std::string text = boundsText();
    bounds[c] = cursors[c]->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
    after[c] = cursors[c]->AddFilter(&every3, nullptr, nullptr, false, &notEvery, true, false, false, false);
    cursors[c]->ActivateFilter(bounds[c]);
    cursors[c]->ActivateFilter(after[c]);
  }
  const auto passes = [&](int32_t k) {
    return (!boundsOn || (k >= lo && k < hi)) && k % (3 * kGap) != 0 && (!sevenOn || k % (7 * kGap) != 0);
  };
  std::vector<uint8_t> buffer(byKey.RecordSize()), written(byKey.RecordSize());
  std::set<int32_t> kept = model;
  bool inTransaction = false;
  for (int round = 0; round < 80; ++round) {
    std::string what;
    const uint32_t action = pick(8);
    if (action <= 1 && boundsOn) {
      // A new expression, most often one that lets rows pass the old one dropped.
      lo = int32_t(pick(kRows)) * kGap - int32_t(pick(2)) * kRows * kGap;
      hi = lo + int32_t(1 + pick(kRows)) * kGap;
      what = "bounds now " + boundsText();
      for (int c = 0; c < 2; ++c) {
        // A tree prepared for this cursor, taken from a filter added for it and dropped again.
        const std::string text = boundsText();
        TFilter* scratch =
            cursors[c]->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
        TExpTreePtr tree(CopyExpTree(scratch->Tree()));
        cursors[c]->DropFilter(scratch);
        cursors[c]->ReplaceFilterExpression(std::move(tree), bounds[c]);
      }
    } else if (action == 2) {
      boundsOn = !boundsOn;
      what = boundsOn ? "bounds on" : "bounds off";
      for (TDataCursor* c : cursors)
        boundsOn ? c->ActivateFilter(bounds[c == &byNumber]) : c->DeactivateFilter(bounds[c == &byNumber]);
    } else if (action == 3) {
      sevenOn = !sevenOn;
      what = sevenOn ? "every 7 added before the last" : "every 7 dropped";
      for (int c = 0; c < 2; ++c) {
        if (sevenOn) {
          seven[c] =
              cursors[c]->AddFilter(&every7, nullptr, nullptr, false, &notEvery, false, false, false, false);
          cursors[c]->ActivateFilter(seven[c]);
          EXPECT_EQ(cursors[c]->Filters().back().get(), after[c]);
        } else {
          cursors[c]->DropFilter(seven[c]);
        }
      }
    } else if (action <= 5) {
      // The filtered cursor's own writes: a visible row deleted or re-keyed before every other,
      // or a row added in a gap.
      std::vector<int32_t> shown;
      for (int32_t k : model)
        if (passes(k)) shown.push_back(k);
      const char m = shown.empty() ? 'a' : "adm"[pick(3)];
      const int32_t n = m == 'a' ? int32_t(pick(kRows)) * kGap + 1 + int32_t(pick(kGap - 1))
                                 : shown[pick(uint32_t(shown.size()))];
      if (!inTransaction && pick(2) == 0) {
        db.directory->StartTransaction();
        inTransaction = true;
      }
      what = std::string(1, m) + " " + std::to_string(n) + (inTransaction ? " in a transaction" : "");
      const bool held = model.count(n) != 0;
      const char answer = applyWrite(byKey, written, m, n);
      ASSERT_EQ(answer, m == 'a' ? (held ? 'n' : 'k') : 'k') << what;
      if (answer == 'k') {
        if (m != 'a') model.erase(n);
        if (m != 'd') model.insert(m == 'a' ? n : -n - 1);
      }
    } else if (inTransaction) {
      inTransaction = false;
      if (pick(2) == 0) {
        what = "committed";
        db.directory->Commit(true, false);
        kept = model;
      } else {
        what = "rolled back";
        db.directory->Rollback();
        model = kept;
      }
    } else {
      continue;
    }
    if (!inTransaction) kept = model;
    SCOPED_TRACE("round " + std::to_string(round) + ": " + what + "; bounds " + boundsText() +
                 (boundsOn ? " on" : " off") + (sevenOn ? ", every 7 on" : ""));
    std::vector<int32_t> expected;
    for (int32_t k : model)
      if (passes(k)) expected.push_back(k);
    for (TDataCursor* cursor : cursors) {
      std::vector<int32_t> walked;
      cursor->SetToBegin();
      while (cursor->GetNextRecord(buffer.data()) == 0) walked.push_back(kOf(*cursor, buffer));
      if (cursor == &byNumber) std::sort(walked.begin(), walked.end());
      ASSERT_EQ(walked, expected) << (cursor == &byNumber ? "in record order" : "in key order");
    }
  }
  if (inTransaction) db.directory->Rollback();
}

// A walk in key order that appends rows without moving to them: each step reads the key after the
// one the walk stood on, whether the new row's key lies behind it, right after it or far ahead
// (read once the walk gets there); no row is skipped or read twice.
TEST(ForwardStepsBesideOwnAppends, AnAppendThatKeepsThePlaceNeitherSkipsNorRepeatsRows) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  std::set<int32_t> model = createKeys(dir, rng);
  Database db(dir.path());
  TDataCursor c(*db.directory);
  openKeys(c);
  std::vector<uint8_t> buffer(c.RecordSize()), added(c.RecordSize());
  std::vector<int32_t> walked;
  std::set<int32_t> behind;
  c.SetToBegin();
  int32_t at = 0;
  bool started = false;
  int appended = 0;
  for (;;) {
    const uint16_t code = c.GetNextRecord(buffer.data());
    const auto next = started ? model.upper_bound(at) : model.begin();
    if (next == model.end()) {
      ASSERT_EQ(code, VELDOR_EOF) << "after " << at;
      break;
    }
    ASSERT_EQ(code, 0) << "after " << at;
    ASSERT_EQ(kOf(c, buffer), *next) << "after " << at;
    at = *next;
    started = true;
    walked.push_back(at);
    if (pick(4) != 0) continue;
    const uint32_t where = pick(3);
    const int32_t n = where == 0   ? at - 1 - int32_t(pick(kGap - 1))
                      : where == 1 ? at + 1 + int32_t(pick(kGap - 2))
                                   : at + int32_t(1 + pick(50)) * kGap + 1 + int32_t(pick(kGap - 2));
    if (model.count(n)) continue;
    putK(c, added, n);
    c.AppendRecord(added.data(), false);
    model.insert(n);
    if (where == 0) behind.insert(n);
    ++appended;
  }
  EXPECT_GT(appended, 300);
  std::vector<int32_t> expected;
  std::set_difference(model.begin(), model.end(), behind.begin(), behind.end(), std::back_inserter(expected));
  EXPECT_EQ(walked, expected);
}

// The same walk over an index whose keys repeat: a row appended without moving to it leaves the
// walk among the rows of its key, and the step reads the next row of that key.
TEST(ForwardStepsBesideOwnAppends, AnAppendThatKeepsThePlaceReadsTheRestOfARepeatedKey) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  {
    TCreateTableArgs args = keysTable();
    args.Indexes[1].name = "ByName";
    args.Indexes[1].fields[0] = 2;
    args.Indexes[1].unique = false;
    c.SetTableName("repeats");
    c.SetExclusive(true);
    c.CreateTable(args);
  }
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  const auto put = [&](int32_t k, const std::string& name) {
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    std::array<uint8_t, 41> text{};
    std::copy(name.begin(), name.end(), text.begin());
    c.PutField(2, buffer.data(), text.data());
  };
  const auto nameOfGroup = [](uint32_t g) {
    std::string name = std::to_string(g);
    return "g" + std::string(4 - name.size(), '0') + name;
  };
  // The rows in index order: name, then record number (here k, as rows are appended by k).
  std::set<std::pair<std::string, int32_t>> model;
  for (int32_t k = 0; k < 900; ++k) {
    put(k, nameOfGroup(uint32_t(k) % 150));
    c.AppendRecord(buffer.data());
    model.emplace(nameOfGroup(uint32_t(k) % 150), k);
  }
  c.Close();
  c.SetExclusive(false);
  c.Open();
  c.SwitchToIndex(kByK);
  std::vector<uint8_t> read(c.RecordSize());
  c.SetToBegin();
  std::pair<std::string, int32_t> at;
  bool started = false;
  int32_t nextK = 900;
  for (;;) {
    const uint16_t code = c.GetNextRecord(read.data());
    const auto next = started ? model.upper_bound(at) : model.begin();
    if (next == model.end()) {
      ASSERT_EQ(code, VELDOR_EOF);
      break;
    }
    ASSERT_EQ(code, 0) << "after " << at.first << " " << at.second;
    ASSERT_EQ(kOf(c, read), next->second) << "after " << at.first << " " << at.second;
    at = *next;
    started = true;
    if (pick(3) != 0) continue;
    // A row of a key behind, of this key or ahead; it comes after every row of its key.
    const std::string name =
        nameOfGroup(uint32_t(std::max<int32_t>(0, std::stoi(at.first.substr(1)) + int32_t(pick(5)) - 2)));
    put(nextK, name);
    c.AppendRecord(buffer.data(), false);
    model.emplace(name, nextK++);
  }
}

}  // namespace
