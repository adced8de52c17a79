// A cursor in the order of a non-unique index finds a key and steps on among the rows that share
// it, as a join's inner side does, beside a writer that adds and deletes rows of the same and
// neighbouring keys between the cursor's calls (leaves split and merge under it): another cursor
// of the session, another session of the process, or another process. Before each step,
// NextKeySharesFields says whether the row GetNextRecord then reads has the key of the row the
// cursor stands on; every found row is the first of its key as the table now stands. The seed is
// printed; VELMARON_SEED replays it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldortable.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

constexpr int32_t kKeys = 400;
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

void openKeys(TDataCursor& c) {
  c.SetTableName("keys");
  c.Open();
  c.Table()->SetFileLockRetryRules(table_test::kImpatient);
  c.SwitchToIndex(kByK);
}

// 'a' adds a row of K n, 'd' deletes the first row of K n; 'k' when done, 'n' when there was none.
char applyWrite(TDataCursor& c, std::vector<uint8_t>& buffer, char m, int32_t n) {
  bool done = false;
  const uint16_t code = errorOf([&] {
    putK(c, buffer, n);
    if (m == 'a') {
      c.AppendRecord(buffer.data());
      done = true;
    } else if (c.FindKey(false, buffer.data(), 1, false, 0, buffer.data())) {
      c.DeleteRecord(buffer.data());
      done = true;
    }
  });
  return code == 0 && done ? 'k' : 'n';
}

// applyWrite in its own process: m, then n in two bytes; 'q' ends.
int otherWriter(Helper& h, const std::string& path) {
  Database db(path);
  TDataCursor c(*db.directory);
  openKeys(c);
  std::vector<uint8_t> buffer(c.RecordSize());
  h.send('k');
  while (const char m = h.receive()) {
    if (m == 'q') break;
    const uint32_t hi = uint8_t(h.receive()), lo = uint8_t(h.receive());
    h.send(applyWrite(c, buffer, m, int32_t(hi << 8 | lo)));
  }
  return 0;
}

enum class Writer { Cursor, Session, Process };

class NextKeyBesideAWriter : public ::testing::TestWithParam<Writer> {};

TEST_P(NextKeyBesideAWriter, EachAnswerIsWhatTheNextStepReads) {
  const Writer kind = GetParam();
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  // Rows per key: three of each to begin with.
  std::map<int32_t, int> model;
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t i = 0; i < 3 * kKeys; ++i) {
      putK(c, buffer, i % kKeys);
      c.AppendRecord(buffer.data());
      ++model[i % kKeys];
    }
  }
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
  std::vector<uint8_t> buffer(reader.RecordSize()), key(reader.RecordSize()), written(reader.RecordSize());
  const auto write = [&](char m, int32_t n) {
    char answer = 0;
    if (child) {
      child->send(m);
      child->send(char(uint8_t(n >> 8)));
      child->send(char(uint8_t(n)));
      answer = child->receive();
    } else {
      answer = applyWrite(*writer, written, m, n);
    }
    ASSERT_EQ(answer, m == 'a' || model[n] > 0 ? 'k' : 'n') << m << " " << n;
    if (answer == 'k') model[n] += m == 'a' ? 1 : -1;
  };
  int answered = 0;
  for (int round = 0; round < 150; ++round) {
    // Keys in order, as the outer rows of a join often come, now and then anywhere.
    const int32_t k = pick(4) == 0 ? int32_t(pick(kKeys)) : (round * 7) % kKeys;
    putK(reader, key, k);
    const bool found = reader.FindKey(false, key.data(), 1, true, 0, buffer.data());
    ASSERT_EQ(found, model[k] > 0) << "key " << k;
    if (!found) continue;
    int32_t current = kOf(reader, buffer);
    ASSERT_EQ(current, k);
    for (int step = 0; step < 5; ++step) {
      // The writer's turn: rows of this key, of the next, or a burst that splits or merges leaves.
      const uint32_t what = pick(6);
      const char m = pick(2) ? 'a' : 'd';
      const int32_t after = std::min(current + 1, kKeys - 1);
      const int burst = what == 3 ? 40 : (what < 3 ? 1 : 0);
      for (int i = 0; i < burst; ++i) {
        const int32_t n =
            what == 3 ? std::min(current + int32_t(pick(3)), kKeys - 1) : (what == 2 ? after : current);
        ASSERT_NO_FATAL_FAILURE(write(what == 0 ? 'a' : what == 1 ? 'd' : m, n));
      }
      const int answer = reader.NextKeySharesFields(1);
      const uint16_t code = reader.GetNextRecord(buffer.data());
      ASSERT_TRUE(code == 0 || code == VELDOR_EOF) << code;
      const int next = code == 0 ? kOf(reader, buffer) : -1;
      if (answer >= 0) {
        ++answered;
        ASSERT_EQ(answer, next == current ? 1 : 0)
            << "round " << round << " step " << step << " key " << current;
      }
      if (code != 0) break;
      current = next;
    }
  }
  EXPECT_GT(answered, 300);
  if (child) {
    child->send('q');
    EXPECT_EQ(child->wait(), 0);
  }
}

// Right after a key search the cursor knows the entry that followed the one it found; a writer
// that gives a lone key a second row between the search and the question changes that entry.
TEST_P(NextKeyBesideAWriter, ARowAddedAfterTheSearchIsTheNextOfItsKey) {
  const Writer kind = GetParam();
  TempDir dir;
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t k = 0; k < kKeys; ++k) {
      putK(c, buffer, k);
      c.AppendRecord(buffer.data());
    }
  }
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
  std::vector<uint8_t> buffer(reader.RecordSize()), key(reader.RecordSize()), written(reader.RecordSize());
  for (int32_t k = 10; k < kKeys; k += 37) {
    putK(reader, key, k);
    ASSERT_TRUE(reader.FindKey(false, key.data(), 1, true, 0, buffer.data()));
    EXPECT_EQ(reader.NextKeySharesFields(1), 0) << "key " << k;
    ASSERT_TRUE(reader.FindKey(false, key.data(), 1, true, 0, buffer.data()));
    if (child) {
      child->send('a');
      child->send(char(uint8_t(k >> 8)));
      child->send(char(uint8_t(k)));
      ASSERT_EQ(child->receive(), 'k');
    } else {
      ASSERT_EQ(applyWrite(*writer, written, 'a', k), 'k');
    }
    EXPECT_EQ(reader.NextKeySharesFields(1), 1) << "key " << k;
    ASSERT_EQ(reader.GetNextRecord(buffer.data()), 0);
    EXPECT_EQ(kOf(reader, buffer), k);
  }
  if (child) {
    child->send('q');
    EXPECT_EQ(child->wait(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Writers, NextKeyBesideAWriter,
                         ::testing::Values(Writer::Cursor, Writer::Session, Writer::Process));

}  // namespace

namespace {

// The first row a cursor reads forward (or back) from where it stands; its K, or -1 past the end.
int32_t stepFrom(TDataCursor& c, bool forward) {
  std::vector<uint8_t> buffer(c.RecordSize());
  const uint16_t code = forward ? c.GetNextRecord(buffer.data()) : c.GetPriorRecord(buffer.data());
  return code == 0 ? kOf(c, buffer) : -int32_t(code);
}

// Drops every third record by number.
bool notThirdRecord(void*, TDataCursor&, const uint8_t*, uint32_t recordNo) {
  return recordNo % 3 != 0;
}

// A view that a filter narrows: the row after the cursor's in the index may be one the view
// drops, so the answer, when one is given, is about the row GetNextRecord reads, from a key
// search and from steps, whole keys of a row or two dropped among their rows.
TEST(NextKeyInAFilteredView, EachAnswerIsWhatTheNextStepReads) {
  TempDir dir;
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    // Keys with one to four rows, appended in rounds so that a key's rows lie apart.
    for (int copy = 0; copy < 4; ++copy)
      for (int32_t k = 0; k < kKeys; ++k)
        if (copy <= k % 4) {
          putK(c, buffer, k);
          c.AppendRecord(buffer.data());
        }
  }
  Database db(dir.path());
  TDataCursor reader(*db.directory);
  openKeys(reader);
  reader.ActivateFilter(
      reader.AddFilter(nullptr, nullptr, nullptr, false, &notThirdRecord, true, false, false, false));
  std::vector<uint8_t> buffer(reader.RecordSize()), key(reader.RecordSize());
  int answered = 0, steps = 0;
  // Every step of a walk, and the first steps after a search for each key.
  reader.SetToBegin();
  ASSERT_EQ(reader.GetNextRecord(buffer.data()), 0);
  for (int32_t k = -1; k < kKeys; ++k) {
    if (k >= 0) {
      putK(reader, key, k);
      if (!reader.FindKey(false, key.data(), 1, true, 0, buffer.data())) continue;
    }
    for (int step = 0; k < 0 || step < 3; ++step) {
      EXPECT_EQ(reader.GetRecordNumber() % 3 == 0, false) << "stands on a dropped record";
      const int32_t current = kOf(reader, buffer);
      const int answer = reader.NextKeySharesFields(1);
      const uint16_t code = reader.GetNextRecord(buffer.data());
      ASSERT_TRUE(code == 0 || code == VELDOR_EOF) << code;
      ++steps;
      if (answer >= 0) {
        ++answered;
        ASSERT_EQ(answer, code == 0 && kOf(reader, buffer) == current ? 1 : 0)
            << "after key " << current << (k < 0 ? " in the walk" : " found");
      }
      if (code != 0) break;
    }
  }
  EXPECT_GT(steps, 1000);
}

}  // namespace

// A switch that leaves the cursor for its caller to place gives every placing and step the same
// outcome as a switch that placed it first, whatever the cursor stood on before (a row, a row
// another session deleted since, either end, an empty table) and with rows another session added
// before the first key since the switch.
TEST(UnplacedIndexSwitch, PlacesAndStepsAsAfterAPlacedSwitch) {
  TempDir dir;
  Database db(dir.path());
  {
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    // Record order runs against key order: record n holds K 41 - n.
    for (int32_t k = 40; k >= 1; --k) {
      putK(c, buffer, k);
      c.AppendRecord(buffer.data());
    }
  }
  Database other(dir.path());
  TDataCursor writer(*other.directory);
  openKeys(writer);
  std::vector<uint8_t> buffer(writer.RecordSize());
  // Where the cursor stands before it switches to the key index.
  enum Start { OnARow, OnADeletedRow, AtTheBeginning, AtTheEnd };
  for (Start start : {OnARow, OnADeletedRow, AtTheBeginning, AtTheEnd}) {
    SCOPED_TRACE("start " + std::to_string(int(start)));
    TDataCursor placed(*db.directory), unplaced(*db.directory);
    for (TDataCursor* c : {&placed, &unplaced}) {
      c->SetTableName("keys");
      c->Open();
      c->Table()->SetFileLockRetryRules(table_test::kImpatient);
      if (start == AtTheEnd) c->SetToEnd();
      if (start == OnARow || start == OnADeletedRow) c->SetToRecordNo(31);
    }
    if (start == OnADeletedRow) {
      putK(writer, buffer, 10);
      ASSERT_TRUE(writer.FindKey(false, buffer.data(), 1, false, 0, buffer.data()));
      writer.DeleteRecord(buffer.data());
    }
    placed.SwitchToIndex(kByK);
    placed.SetToBegin();
    unplaced.SwitchToIndexUnplaced(kByK);
    EXPECT_EQ(unplaced.CurrentIndex(), kByK);
    EXPECT_EQ(unplaced.GetRecordCount(), placed.GetRecordCount());
    EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));
    EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));

    // Back to record order, each placed on one record by its number.
    placed.SwitchToIndex(255);
    unplaced.SwitchToIndexUnplaced(255);
    for (TDataCursor* c : {&placed, &unplaced}) c->SetToRecordNo(5);
    std::vector<uint8_t> a(placed.RecordSize()), b(unplaced.RecordSize());
    ASSERT_EQ(placed.GetCurrentRecord(a.data(), false), 0);
    ASSERT_EQ(unplaced.GetCurrentRecord(b.data(), false), 0);
    EXPECT_EQ(kOf(unplaced, b), 36);
    EXPECT_EQ(kOf(unplaced, b), kOf(placed, a));
    EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));

    // A row of a key before every other, added between the switch and the first step, is read.
    unplaced.SwitchToIndexUnplaced(kByK);
    putK(writer, buffer, -int32_t(start) - 1);
    writer.AppendRecord(buffer.data());
    EXPECT_EQ(stepFrom(unplaced, true), -int32_t(start) - 1);
    // Stepping back from the beginning finds nothing; a key search places the cursor on its key.
    unplaced.SwitchToIndex(255);
    unplaced.SwitchToIndexUnplaced(kByK);
    EXPECT_EQ(stepFrom(unplaced, false), -int32_t(VELDOR_BOF));
    unplaced.SwitchToIndex(255);
    unplaced.SwitchToIndexUnplaced(kByK);
    putK(unplaced, b, 25);
    ASSERT_TRUE(unplaced.FindKey(false, b.data(), 1, false, 0, b.data()));
    EXPECT_EQ(kOf(unplaced, b), 25);
    EXPECT_EQ(stepFrom(unplaced, true), 26);
  }

  // An empty table: nothing to read either way.
  {
    TDataCursor c(*db.directory);
    c.SetTableName("none");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
  }
  TDataCursor empty(*db.directory);
  empty.SetTableName("none");
  empty.Open();
  empty.SwitchToIndexUnplaced(kByK);
  EXPECT_EQ(empty.GetRecordCount(), 0);
  EXPECT_EQ(stepFrom(empty, true), -int32_t(VELDOR_EOF));
  EXPECT_EQ(stepFrom(empty, false), -int32_t(VELDOR_BOF));
}

// An open that leaves the cursor for its caller to place reads no row and leaves every step and
// placing the outcome an open that placed the cursor on its first row gives: as a statement's
// source and as a plain cursor, with the first row deleted or a row added by another session
// between the open and the first step, and over an empty table.
TEST(UnplacedOpen, StepsAndPlacesAsAfterAPlacedOpen) {
  TempDir dir;
  Database db(dir.path());
  {
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    // Record n holds K 41 - n.
    for (int32_t k = 40; k >= 1; --k) {
      putK(c, buffer, k);
      c.AppendRecord(buffer.data());
    }
  }
  Database other(dir.path());
  TDataCursor writer(*other.directory);
  openKeys(writer);
  std::vector<uint8_t> buffer(writer.RecordSize());
  enum Change { Nothing, FirstRowDeleted, RowAdded };
  int32_t added = 100;
  for (bool source : {false, true}) {
    for (Change change : {Nothing, FirstRowDeleted, RowAdded}) {
      SCOPED_TRACE(std::string(source ? "source" : "plain") + " change " + std::to_string(int(change)));
      TDataCursor placed(*db.directory), unplaced(*db.directory);
      unplaced.SetOpenUnplaced(true);
      for (TDataCursor* c : {&placed, &unplaced}) {
        c->SetTableName("keys");
        c->SetQuerySource(source);
        c->Open();
        c->Table()->SetFileLockRetryRules(table_test::kImpatient);
      }
      EXPECT_EQ(unplaced.GetRecordCount(), placed.GetRecordCount());
      EXPECT_EQ(unplaced.GetRecordNumber(), 0u);
      const std::vector<uint8_t>& seen = unplaced.GetCurrentRecordBuffer();
      EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](uint8_t b) { return b == 0; }));
      if (change == FirstRowDeleted) {
        placed.SetToBegin();
        std::vector<uint8_t> first(placed.RecordSize());
        ASSERT_EQ(placed.GetNextRecord(first.data()), 0);
        putK(writer, buffer, kOf(placed, first));
        ASSERT_TRUE(writer.FindKey(false, buffer.data(), 1, false, 0, buffer.data()));
        writer.DeleteRecord(buffer.data());
        placed.SetToBegin();
      } else if (change == RowAdded) {
        putK(writer, buffer, --added);
        writer.AppendRecord(buffer.data());
      }
      EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));
      EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));
      EXPECT_EQ(unplaced.GetRecordCount(), placed.GetRecordCount());
      // From either end, and in the key's index after a search.
      for (TDataCursor* c : {&placed, &unplaced}) c->SetToEnd();
      EXPECT_EQ(stepFrom(unplaced, false), stepFrom(placed, false));
      for (TDataCursor* c : {&placed, &unplaced}) c->SetToBegin();
      EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));
      for (TDataCursor* c : {&placed, &unplaced}) {
        c->SwitchToIndex(kByK);
        std::vector<uint8_t> key(c->RecordSize());
        putK(*c, key, 25);
        ASSERT_TRUE(c->FindKey(false, key.data(), 1, false, 0, key.data()));
      }
      EXPECT_EQ(stepFrom(unplaced, true), 26);
      EXPECT_EQ(stepFrom(placed, true), 26);
    }
  }

  // An empty table: nothing to read either way.
  {
    TDataCursor c(*db.directory);
    c.SetTableName("none");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
  }
  TDataCursor empty(*db.directory);
  empty.SetOpenUnplaced(true);
  empty.SetTableName("none");
  empty.Open();
  EXPECT_EQ(empty.GetRecordCount(), 0);
  EXPECT_EQ(stepFrom(empty, true), -int32_t(VELDOR_EOF));
  EXPECT_EQ(stepFrom(empty, false), -int32_t(VELDOR_BOF));
}

// The first thing done after an unplaced open may be a step back or a look at the current row:
// both find the cursor at its beginning, as after a placed open, in record order and in a key's.
TEST(UnplacedOpen, AFirstStepBackOrLookFindsTheBeginningAsAfterAPlacedOpen) {
  TempDir dir;
  Database db(dir.path());
  {
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t k = 40; k >= 1; --k) {
      putK(c, buffer, k);
      c.AppendRecord(buffer.data());
    }
  }
  for (bool source : {false, true}) {
    for (bool look : {false, true}) {
      SCOPED_TRACE(std::string(source ? "source" : "plain") + (look ? " look" : " step back"));
      TDataCursor placed(*db.directory), unplaced(*db.directory);
      unplaced.SetOpenUnplaced(true);
      for (TDataCursor* c : {&placed, &unplaced}) {
        c->SetTableName("keys");
        c->SetQuerySource(source);
        c->Open();
      }
      if (look) {
        std::vector<uint8_t> a(placed.RecordSize()), b(unplaced.RecordSize());
        EXPECT_EQ(unplaced.GetCurrentRecord(b.data(), false), placed.GetCurrentRecord(a.data(), false));
        EXPECT_EQ(unplaced.GetCurrentRecord(b.data(), false), VELDOR_BOF);
      } else {
        EXPECT_EQ(stepFrom(unplaced, false), stepFrom(placed, false));
        EXPECT_EQ(stepFrom(unplaced, false), -int32_t(VELDOR_BOF));
      }
      EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));
      EXPECT_EQ(stepFrom(unplaced, true), stepFrom(placed, true));
    }
  }
}

// A source opened for its count builds no view: it counts the table's live records under a read
// pair, and its first step, read or refresh builds the view, reading the table as another
// session left it since the open (first row deleted, a row added), as a placed open's cursor
// reads it.
TEST(CountOpen, CountsTheLiveRecordsAndStepsAsAfterAPlacedOpenOnceItReads) {
  TempDir dir;
  Database db(dir.path());
  {
    TDataCursor c(*db.directory);
    c.SetTableName("keys");
    c.SetExclusive(true);
    TCreateTableArgs args = keysTable();
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t k = 40; k >= 1; --k) {
      putK(c, buffer, k);
      c.AppendRecord(buffer.data());
    }
    // A deleted record in the middle: the live count is below the last record number.
    c.SwitchToIndex(kByK);
    putK(c, buffer, 20);
    ASSERT_TRUE(c.FindKey(false, buffer.data(), 1, false, 0, buffer.data()));
    c.DeleteRecord(buffer.data());
  }
  Database other(dir.path());
  TDataCursor writer(*other.directory);
  openKeys(writer);
  std::vector<uint8_t> buffer(writer.RecordSize());
  enum Change { Nothing, FirstRowDeleted, RowAdded };
  int32_t added = 100;
  enum Use { Step, StepBack, Refresh };
  for (Use use : {Step, StepBack, Refresh}) {
    for (Change change : {Nothing, FirstRowDeleted, RowAdded}) {
      SCOPED_TRACE("use " + std::to_string(int(use)) + " change " + std::to_string(int(change)));
      TDataCursor placed(*db.directory), counting(*db.directory);
      counting.SetOpenForCount(true);
      for (TDataCursor* c : {&placed, &counting}) {
        c->SetTableName("keys");
        c->SetQuerySource(true);
        c->Open();
        c->Table()->SetFileLockRetryRules(table_test::kImpatient);
      }
      EXPECT_EQ(counting.GetRecordNumber(), 0u);
      if (change == FirstRowDeleted) {
        std::vector<uint8_t> first(placed.RecordSize());
        placed.SetToBegin();
        ASSERT_EQ(placed.GetNextRecord(first.data()), 0);
        putK(writer, buffer, kOf(placed, first));
        ASSERT_TRUE(writer.FindKey(false, buffer.data(), 1, false, 0, buffer.data()));
        writer.DeleteRecord(buffer.data());
      } else if (change == RowAdded) {
        putK(writer, buffer, --added);
        writer.AppendRecord(buffer.data());
      }
      placed.RefreshIfChanged();
      counting.BeginQueryRead();
      EXPECT_EQ(counting.GetTableRecordCount(), placed.GetRecordCount());
      counting.EndQueryRead();
      placed.SetToBegin();
      if (use == Step) {
        EXPECT_EQ(stepFrom(counting, true), stepFrom(placed, true));
      } else if (use == StepBack) {
        EXPECT_EQ(stepFrom(counting, false), -int32_t(VELDOR_BOF));
      } else {
        counting.RefreshIfChanged();
      }
      EXPECT_EQ(counting.GetRecordCount(), placed.GetRecordCount());
      for (TDataCursor* c : {&placed, &counting}) c->SetToBegin();
      for (int i = 0; i < 45; ++i) {
        const int32_t want = stepFrom(placed, true);
        ASSERT_EQ(stepFrom(counting, true), want) << i;
        if (want < 0) break;
      }
    }
  }
}
