// Processes append, modify and delete their own rows on one shared table, each through four
// cursors (record-number order and three indexes, two of them filtered). Every write first finds
// its row again: by its key on the unique index, by the record number it was appended under on
// the others; and, while no other process writes at the same time, the sequence number found
// there must lead back to it. The table must then hold exactly the rows that replaying every
// process's seeded operations gives, give out every auto-increment and record unique id once,
// count its records right and pass the checker over the files with their keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "engine/tables/veldorcursor.h"
#include "platform/bytes.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/tablecheck.h"

namespace {
constexpr int kWriters = 4;

using namespace engine;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

struct Row {
  int32_t k = 0;
  std::string name;
  double amount = 0;
  auto operator<=>(const Row&) const = default;
};

TCreateTableArgs sharedTable() {
  using datafile_test::field;
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "AMOUNT", 7), field(4, "ID", 6, 0, 29)};
  a.Indexes.resize(3);
  a.Indexes[0].fields[0] = 4;
  a.Indexes[1].name = "BYK";
  a.Indexes[1].fields[0] = 1;
  a.Indexes[1].unique = 1;
  a.Indexes[2].name = "BYNAME";
  a.Indexes[2].fields = {2, 3};
  return a;
}

void put(TDataCursor& c, uint8_t* buffer, const Row& row) {
  std::array<uint8_t, 13> text{};
  std::memcpy(text.data(), row.name.data(), row.name.size());
  c.PutField(1, buffer, reinterpret_cast<const uint8_t*>(&row.k));
  c.PutField(2, buffer, text.data());
  c.PutField(3, buffer, reinterpret_cast<const uint8_t*>(&row.amount));
}

Row readRow(TDataCursor& c, const uint8_t* buffer) {
  Row row;
  std::array<uint8_t, 13> name{};
  bool isNull = false;
  c.GetField(1, buffer, isNull, reinterpret_cast<uint8_t*>(&row.k));
  c.GetField(2, buffer, isNull, name.data());
  c.GetField(3, buffer, isNull, reinterpret_cast<uint8_t*>(&row.amount));
  row.name = reinterpret_cast<const char*>(name.data());
  return row;
}

// The table holds exactly `expected`, gives out every auto-increment id and record unique id once,
// counts its records right and passes the checker.
void checkTable(TempDir& dir, const std::multiset<Row>& expected, uint32_t seed) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::multiset<Row> found;
  std::set<uint32_t> ids, uniqueIds;
  std::vector<uint8_t> buffer(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) {
    int32_t id = 0;
    bool isNull = false;
    c.GetField(4, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&id));
    found.insert(readRow(c, buffer.data()));
    EXPECT_TRUE(ids.insert(uint32_t(id)).second) << "auto-increment id " << id << " twice";
    EXPECT_TRUE(uniqueIds.insert(platform::get4(buffer.data() + 5)).second) << "unique id twice";
  }
  EXPECT_TRUE(found == expected) << "replay with VELMARON_SEED=" << seed;
  EXPECT_EQ(c.Table()->IndexFile().GetRecordCount(), expected.size());
  table_test::expectIntact(dir, "rows", c);
}

void createTable(TempDir& dir, bool indexed) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  TCreateTableArgs args = sharedTable();
  if (!indexed) {
    args.Indexes.resize(1);
    args.Indexes[0].fields[0] = 0;
    args.NoPrimaryIndex = true;
  }
  c.CreateTable(args);
}

// One process's rows and cursors (none: the model, which replays the same operations).
struct TurnWriter {
  struct Own {
    Row row;
    uint32_t recordNo = 0;
  };
  std::mt19937 rng;
  int who;
  int next = 0;
  int turns = 0;
  std::map<int32_t, Own> rows;
  std::vector<std::unique_ptr<TDataCursor>> cursors;
  std::vector<uint8_t> buffer;
  bool together = false;  // the other process writes at the same time

  TurnWriter(uint32_t seed, int who) : rng(seed * 7 + uint32_t(who)), who(who) {}

  void open(TDataDirectory& directory, bool indexed) {
    for (uint8_t order : {kNoCurrentIndex, uint8_t(1), uint8_t(2), uint8_t(0)}) {
      auto& c = cursors.emplace_back(std::make_unique<TDataCursor>(directory));
      c->SetTableName("rows");
      c->Open();
      c->SwitchToIndex(indexed ? order : kNoCurrentIndex);
      // With indexes, half the cursors show their rows through a filter that lets every row pass.
      if (indexed && cursors.size() % 2 == 0) {
        const std::string text = "K >= 0";
        c->ActivateFilter(c->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false));
      }
    }
    buffer.resize(cursors[0]->RecordSize());
  }

  std::string where(const TDataCursor& c, int32_t k) const {
    return "process " + std::to_string(who) + ", order " + std::to_string(c.CurrentIndex()) + ", row " +
           std::to_string(k) + ": ";
  }

  // Stands on the row, checks it and what its sequence number leads to.
  void land(TDataCursor& c, const Own& own) {
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&own.row.k));
    if (c.CurrentIndex() != 1)
      c.SetToRecordNo(own.recordNo);
    else if (!c.FindKey(false, buffer.data(), 1, false, 0, nullptr))
      throw std::runtime_error(where(c, own.row.k) + "key not found");
    const uint16_t code = c.GetCurrentRecord(buffer.data(), false);
    if (code != 0 || c.GetRecordNumber() != own.recordNo || readRow(c, buffer.data()) != own.row)
      throw std::runtime_error(where(c, own.row.k) + "record " + std::to_string(own.recordNo) + " gave " +
                               std::to_string(code) + " at record " + std::to_string(c.GetRecordNumber()));
    // While the other process writes, the sequence numbers move.
    if (together) return;
    const int32_t sequence = c.GetSequenceNumber();
    c.SetToRecNo(sequence);
    if (c.GetRecordNumber() != own.recordNo)
      throw std::runtime_error(where(c, own.row.k) + "sequence number " + std::to_string(sequence) +
                               " leads to record " + std::to_string(c.GetRecordNumber()));
    c.SetToRecordNo(own.recordNo);
    c.GetCurrentRecord(buffer.data(), false);
  }

  // A busy record or lock pair: the operation starts again.
  template <class Step>
  void retry(TDataCursor& c, const Step& step) {
    for (int tries = 1;; ++tries) {
      try {
        return step();
      } catch (const EVELDOREngineError& e) {
        if ((e.ErrorCode() != VELDOR_RECLOCKFAILED && e.ErrorCode() != VELDOR_LOCKTIMEOUT) || tries == 200)
          throw;
        c.CancelRecord();
      }
    }
  }

  void turn(int ops) {
    // Turns of appends and changes, of mostly appends and of mostly changes (free slots stay
    // free a while).
    const uint32_t appends = std::array<uint32_t, 3>{5, 8, 2}[turns++ % 3];
    for (int i = 0; i < ops; ++i) {
      const uint32_t dice = rng() % 10, pick = rng(), which = rng();
      Row row{who * 100000 + next++, "p" + std::to_string(who) + "." + std::to_string(rng() % 1000),
              double(rng() % 5000)};
      TDataCursor* c = cursors.empty() ? nullptr : cursors[which % cursors.size()].get();
      if (dice < appends || rows.empty()) {
        uint32_t recordNo = 0;
        if (c)
          retry(*c, [&] {
            c->ClearRecordBuffer(buffer.data());
            put(*c, buffer.data(), row);
            c->AppendRecord(buffer.data());
            recordNo = c->GetRecordNumber();
          });
        rows[row.k] = {row, recordNo};
        if (c) retry(*c, [&] { land(*c, rows[row.k]); });
        continue;
      }
      auto it = rows.begin();
      std::advance(it, pick % rows.size());
      row.k = it->first;
      if (c)
        retry(*c, [&] {
          land(*c, it->second);
          c->GetCurrentRecord(buffer.data(), true);
          if (dice >= 8) {
            c->DeleteRecord(buffer.data());
          } else {
            put(*c, buffer.data(), row);
            c->ModifyRecord(buffer.data());
          }
        });
      if (dice >= 8)
        rows.erase(it);
      else
        it->second.row = row;
    }
    // After a longer turn one cursor finds them all; the others stay behind until they act.
    const uint32_t checker = rng();
    for (auto& [k, own] : rows) {
      if (cursors.empty() || ops == 1) break;
      TDataCursor& c = *cursors[checker % cursors.size()];
      retry(c, [&] { land(c, own); });
    }
  }
};

TEST(SharedTableStress, FourWritersLeaveExactlyTheirRowsWithDistinctIdsAndAWholeTable) {
  const char* env = std::getenv("VELMARON_STRESS_OPS");
  const int count = env ? std::atoi(env) : 250;
  const uint32_t seed = storage_test::testSeed();
  TempDir dir;
  createTable(dir, true);
  std::vector<std::unique_ptr<Helper>> writers;
  for (int who = 0; who < kWriters; ++who)
    writers.push_back(std::make_unique<Helper>([&, who](Helper& h) {
      try {
        Database db(dir.path());
        db.session.SetLockWaitTime(1);
        TurnWriter writer(seed, who);
        writer.together = true;
        writer.open(*db.directory, true);
        h.send('R');
        if (h.receive() != 'G') return 3;
        writer.turn(count);
        return 0;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "writer %d: %s\n", who, e.what());
        return 9;
      }
    }));
  for (auto& w : writers) ASSERT_EQ(w->receive(), 'R');
  for (auto& w : writers) w->send('G');
  for (auto& w : writers) ASSERT_EQ(w->wait(), 0) << "replay with VELMARON_SEED=" << seed;
  std::multiset<Row> expected;
  for (int who = 0; who < kWriters; ++who) {
    TurnWriter model(seed, who);
    model.turn(count);
    for (const auto& [k, own] : model.rows) expected.insert(own.row);
  }
  checkTable(dir, expected, seed);
}

TEST(SharedTableStress, CursorsFindTheirRowsByRecordNumberAfterAnotherProcessWrote) {
  const char* env = std::getenv("VELMARON_STRESS_OPS");
  const int turns = env ? std::max(1, std::atoi(env) / 2) : 100;
  const uint32_t seed = storage_test::testSeed();
  for (bool indexed : {false, true}) {
    SCOPED_TRACE(indexed ? "with indexes" : "without indexes");
    TempDir dir;
    createTable(dir, indexed);
    storage_test::Helper other([&](Helper& h) {
      try {
        Database db(dir.path());
        db.session.SetLockWaitTime(1);
        TurnWriter writer(seed, 1);
        writer.open(*db.directory, indexed);
        for (char go; (go = h.receive()) == 'T' || go == 'W';) {
          writer.together = go == 'W';
          writer.turn(h.receive());
          h.send('D');
        }
        return 0;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 9;
      }
    });
    Database db(dir.path());
    db.session.SetLockWaitTime(1);
    TurnWriter mine(seed, 0), theirs(seed, 1);
    mine.open(*db.directory, indexed);
    for (int t = 0; t < turns; ++t) {
      // Short turns one after the other; every fourth turn both processes write at once, the
      // other process three times as much.
      mine.together = t % 4 == 3;
      const int ops = mine.together ? 8 : t % 7 == 0 ? 5 : 1;
      other.send(mine.together ? 'W' : 'T');
      other.send(char(mine.together ? 3 * ops : ops));
      if (!mine.together) {
        ASSERT_EQ(other.receive(), 'D') << "replay with VELMARON_SEED=" << seed;
      }
      theirs.turn(mine.together ? 3 * ops : ops);
      EXPECT_NO_THROW(mine.turn(ops)) << "turn " << t << ", replay with VELMARON_SEED=" << seed;
      if (mine.together) {
        ASSERT_EQ(other.receive(), 'D') << "replay with VELMARON_SEED=" << seed;
      }
      if (HasFailure()) return;
      if (t % 10 != 9 && t + 1 != turns) continue;
      std::multiset<Row> expected;
      for (const TurnWriter* w : {&mine, &theirs})
        for (const auto& [k, own] : w->rows) expected.insert(own.row);
      checkTable(dir, expected, seed);
      if (HasFailure()) return;
    }
    other.send('Q');
    ASSERT_EQ(other.wait(), 0);
  }
}

}  // namespace
