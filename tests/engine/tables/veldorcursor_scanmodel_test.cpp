// A scan that steps forward and back while another writer changes the table at random between its
// steps (names changed, keys moved, rows deleted and added, the row just read among them), against
// a model of the rows: every step reads the neighbour that the table as it now stands has, with its
// present values, whether the step ran on the caches or on the files (strict change detection).
// A row the scan stood on that went away leaves it between its neighbours: the next step forward
// reads the row after it, not the one after that. The writer is another process, or another
// session of this process writing through the same open file; the scan runs in key order and in
// record order. And a scan in key order beside a writer killed at each write of its commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "platform/faultfs.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

// Beyond one read-ahead run and the record cache's first fill.
constexpr int32_t kRows = 700;
constexpr int kSteps = 160;

struct ModelCase {
  bool keyOrder;
  bool otherProcess;
  // Every step under the read pair, none on the caches alone.
  bool strict;
};

std::string caseName(const ::testing::TestParamInfo<ModelCase>& info) {
  return std::string(info.param.keyOrder ? "KeyOrder" : "RecordOrder") +
         (info.param.otherProcess ? "OtherProcess" : "OtherSession") + (info.param.strict ? "Strict" : "");
}

TCreateTableArgs rowsTable(bool keyOrder) {
  using datafile_test::field;
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", kFieldTypeInteger), field(2, "NAME", kFieldTypeString, 16)};
  a.Indexes.resize(1);
  if (keyOrder)
    a.Indexes[0].fields[0] = 1;
  else
    a.NoPrimaryIndex = true;
  return a;
}

using Row = std::pair<int32_t, std::string>;

void putRow(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.first));
  std::array<uint8_t, 17> text{};
  std::memcpy(text.data(), row.second.data(), std::min<size_t>(row.second.size(), 16));
  c.PutField(2, buffer.data(), text.data());
}

Row rowOf(TDataCursor& c, const std::vector<uint8_t>& buffer) {
  Row row;
  std::array<uint8_t, 64> text{};
  bool isNull = false;
  c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.first));
  c.GetField(2, buffer.data(), isNull, text.data());
  row.second = reinterpret_cast<const char*>(text.data());
  return row;
}

// The rows in record order, a deleted one kept as a gap (K 0), so that a position stays where its
// record was.
struct Model {
  std::vector<Row> slots;
  bool keyOrder = false;

  // Where row `k` lies, or where it lay.
  size_t slotOf(int32_t k) const {
    for (size_t i = 0; i < slots.size(); ++i)
      if (slots[i].first == k) return i;
    return slots.size();
  }
  // The row a step from row `k` (as it was read) reaches; K 0 when there is none.
  Row neighbour(int32_t k, size_t lastSlot, bool forward) const {
    Row best{0, ""};
    if (keyOrder) {
      for (const Row& r : slots) {
        if (r.first == 0) continue;
        if (forward ? r.first > k && (best.first == 0 || r.first < best.first)
                    : r.first < k && (best.first == 0 || r.first > best.first))
          best = r;
      }
      return best;
    }
    if (forward) {
      for (size_t i = lastSlot + 1; i < slots.size(); ++i)
        if (slots[i].first != 0) return slots[i];
    } else {
      for (size_t i = lastSlot; i-- > 0;)
        if (slots[i].first != 0) return slots[i];
    }
    return best;
  }
  Row first(bool forward) const {
    Row best{0, ""};
    if (!keyOrder) {
      for (size_t n = 0; n < slots.size(); ++n) {
        const Row& r = slots[forward ? n : slots.size() - 1 - n];
        if (r.first != 0) return r;
      }
      return best;
    }
    for (const Row& r : slots)
      if (r.first != 0 && (best.first == 0 || (forward ? r.first < best.first : r.first > best.first)))
        best = r;
    return best;
  }
};

bool findRow(TDataCursor& c, int32_t k, std::vector<uint8_t>& buffer) {
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0)
    if (rowOf(c, buffer).first == k) return true;
  return false;
}

// One change: 'm' renames row k, 'x' gives row k the key k2, 'd' deletes row k, 'a' adds row k.
struct Change {
  char kind;
  int32_t k;
  int32_t k2;
};

void apply(TDataCursor& c, const Change& ch) {
  std::vector<uint8_t> buffer(c.RecordSize());
  if (ch.kind == 'a') {
    putRow(c, buffer, {ch.k, "new " + std::to_string(ch.k)});
    c.AppendRecord(buffer.data());
    return;
  }
  if (!findRow(c, ch.k, buffer)) throw std::runtime_error("no row " + std::to_string(ch.k));
  if (ch.kind == 'd') {
    c.DeleteRecord(buffer.data());
    return;
  }
  Row row = rowOf(c, buffer);
  if (ch.kind == 'm') row.second = "name " + std::to_string(ch.k2);
  if (ch.kind == 'x') row.first = ch.k2;
  putRow(c, buffer, row);
  c.ModifyRecord(buffer.data());
}

void sendInt(Helper& h, int32_t v) {
  h.send(char(uint8_t(v & 0xFF)));
  h.send(char(uint8_t(v >> 8)));
}
int32_t receiveInt(Helper& h) {
  const int32_t low = uint8_t(h.receive());
  return low | int32_t(uint8_t(h.receive())) << 8;
}

class ScanAgainstAModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ScanAgainstAModel, EachStepReadsTheNeighbourTheTableNowHas) {
  const ModelCase kind = GetParam();
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  TempDir dir;
  const std::string path = dir.path();
  // Forked before the test opens any file.
  std::unique_ptr<Helper> child;
  if (kind.otherProcess) {
    child = std::make_unique<Helper>([&](Helper& h) {
      if (h.receive() != 'g') return 3;
      Database db(path);
      TDataCursor c(*db.directory);
      c.SetTableName("rows");
      c.Open();
      h.send('k');
      for (;;) {
        const char m = h.receive();
        if (m == 'q' || m == 0) return 0;
        Change ch{m, receiveInt(h), 0};
        ch.k2 = receiveInt(h);
        apply(c, ch);
        h.send('k');
      }
    });
  }
  Model model;
  model.keyOrder = kind.keyOrder;
  {
    Database db(path);
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    TCreateTableArgs args = rowsTable(kind.keyOrder);
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t i = 0; i < kRows; ++i) {
      const Row row{4 * i + 2, "row " + std::to_string(i)};
      putRow(c, buffer, row);
      c.AppendRecord(buffer.data());
      model.slots.push_back(row);
    }
  }
  Database db(path);
  auto other = kind.otherProcess ? nullptr : std::make_unique<Database>(path);
  std::unique_ptr<TDataCursor> writer;
  if (other) {
    writer = std::make_unique<TDataCursor>(*other->directory);
    writer->SetTableName("rows");
    writer->Open();
  } else {
    child->send('g');
    ASSERT_EQ(child->receive(), 'k');
  }
  if (kind.strict) db.session.SetStrictChangeDetection(1);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  c.Table()->SetFileLockRetryRules(table_test::kImpatient);
  std::vector<uint8_t> buffer(c.RecordSize());
  std::vector<int32_t> live;
  for (const Row& r : model.slots) live.push_back(r.first);
  int32_t nextKey = 4 * kRows + 2;

  Row last{0, ""};
  size_t lastSlot = 0;
  c.SetToBegin();
  bool atStart = true;
  for (int step = 0; step < kSteps; ++step) {
    // Most steps run on what the caches hold; a change comes before one step in three.
    if (pick(3) == 0 && !live.empty()) {
      const uint32_t what = pick(8);
      // The row just read is changed as often as any other, and then some.
      const auto current = std::find(live.begin(), live.end(), last.first);
      const size_t at = current != live.end() && pick(3) == 0 ? size_t(current - live.begin())
                                                              : pick(uint32_t(live.size()));
      Change ch{'m', live[at], int32_t(step)};
      if (what == 0 || what == 1) {
        ch.kind = 'd';
        live.erase(live.begin() + std::ptrdiff_t(at));
        model.slots[model.slotOf(ch.k)].first = 0;
      } else if (what == 2) {
        ch = {'a', nextKey, 0};
        nextKey += 4;
        live.push_back(ch.k);
        model.slots.emplace_back(ch.k, "new " + std::to_string(ch.k));
      } else if (what == 3 || what == 4) {
        // A key just beside another, or anywhere: the row moves in key order.
        ch.kind = 'x';
        ch.k2 = pick(2) ? ch.k + 1 : int32_t(4 * pick(uint32_t(kRows)) + 1);
        if (std::find(live.begin(), live.end(), ch.k2) != live.end()) continue;
        Row& r = model.slots[model.slotOf(ch.k)];
        r.first = ch.k2;
        live[at] = ch.k2;
      } else {
        model.slots[model.slotOf(ch.k)].second = "name " + std::to_string(ch.k2);
      }
      if (writer) {
        apply(*writer, ch);
      } else {
        child->send(ch.kind);
        sendInt(*child, ch.k);
        sendInt(*child, ch.k2);
        ASSERT_EQ(child->receive(), 'k') << "change " << ch.kind << " " << ch.k;
      }
      // The row just read, moved or deleted: the model steps from where it was read.
    }
    const bool forward = atStart || pick(5) != 0;
    const uint16_t code = forward ? c.GetNextRecord(buffer.data()) : c.GetPriorRecord(buffer.data());
    const Row expected = atStart ? model.first(forward) : model.neighbour(last.first, lastSlot, forward);
    if (expected.first == 0) {
      EXPECT_EQ(code, forward ? VELDOR_EOF : VELDOR_BOF) << "step " << step;
      c.SetToBegin();
      atStart = true;
      continue;
    }
    ASSERT_EQ(code, 0) << "step " << step << " expects " << expected.first;
    const Row got = rowOf(c, buffer);
    ASSERT_EQ(got, expected) << "step " << step << (forward ? " forward" : " back") << " from " << last.first;
    last = got;
    lastSlot = model.slotOf(got.first);
    atStart = false;
  }
  if (child) {
    child->send('q');
    EXPECT_EQ(child->wait(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanAgainstAModel,
                         ::testing::Values(ModelCase{true, true, false}, ModelCase{false, true, false},
                                           ModelCase{true, false, false}, ModelCase{false, false, false},
                                           ModelCase{true, true, true}, ModelCase{false, true, true}),
                         caseName);

// A writer in key order that moves a row to another key, renames one and adds one, and ends at
// each write of its commit in turn (journal writes included): the scan beside it, whose next rows
// are cached, reads either every old row or every new one, as a reader opening the table afresh
// (which rolls back what the writer left) does.
TEST(KeyOrderScanBesideAKilledWriter, ReadsAllOldOrAllNewAsAFreshReaderDoes) {
  constexpr int32_t rows = 40;
  TempDir dir;
  const std::string path = dir.path();
  {
    Database db(path);
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    TCreateTableArgs args = rowsTable(true);
    c.CreateTable(args);
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t k = 1; k <= rows; ++k) {
      putRow(c, buffer, {10 * k, "row " + std::to_string(k)});
      c.AppendRecord(buffer.data());
    }
  }
  std::vector<std::vector<uint8_t>> pristine;
  for (const char* ext : {".DAT", ".IDX"})
    pristine.push_back(datafile_test::readFileBytes(dir.file("rows" + std::string(ext))));
  const auto scanRest = [](TDataCursor& c) {
    std::vector<Row> got;
    std::vector<uint8_t> buffer(c.RecordSize());
    while (c.GetNextRecord(buffer.data()) == 0) got.push_back(rowOf(c, buffer));
    return got;
  };
  bool completed = false;
  uint64_t at = 1;
  for (; at <= 80 && !completed; ++at) {
    const std::string what = "exit at write " + std::to_string(at);
    int e = 0;
    for (const char* ext : {".DAT", ".IDX"})
      datafile_test::writeFileBytes(dir.file("rows" + std::string(ext)), pristine[size_t(e++)]);
    Database db(path);
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    c.SetToBegin();
    std::vector<uint8_t> buffer(c.RecordSize());
    ASSERT_EQ(c.GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(c.GetNextRecord(buffer.data()), 0);
    const int code = table_test::commitEndingAtWrite(path, at, [&](Database& other) {
      TDataCursor w(*other.directory);
      w.SetTableName("rows");
      w.Open();
      other.directory->StartTransaction();
      apply(w, {'x', 30, 255});
      apply(w, {'m', 220, 1});
      apply(w, {'a', 135, 0});
      return 0;
    });
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << what << ": " << code;
    completed = code == 0;
    const std::vector<Row> scanned = scanRest(c);
    c.Close();
    Database fresh(path);
    TDataCursor f(*fresh.directory);
    f.SetTableName("rows");
    f.Open();
    f.SetToBegin();
    ASSERT_EQ(f.GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(f.GetNextRecord(buffer.data()), 0);
    EXPECT_EQ(scanRest(f), scanned) << what;
    // The old rows after the second, or the new ones: 30 gone to 255, 220 renamed, 135 added.
    std::vector<Row> expected;
    for (int32_t k = 3; k <= rows; ++k) expected.emplace_back(10 * k, "row " + std::to_string(k));
    if (completed) {
      expected.erase(expected.begin());
      expected[size_t(22 - 4)].second = "name 1";
      expected.insert(expected.begin() + (14 - 4), Row{135, "new 135"});
      expected.insert(expected.begin() + (26 - 4 + 1), Row{255, "row 3"});
    }
    EXPECT_EQ(scanned, expected) << what;
    EXPECT_FALSE(std::filesystem::exists(dir.file("rows.JNL"))) << what;
  }
  EXPECT_TRUE(completed);
  // Killed at several writes before one went through.
  EXPECT_GT(at, 4u);
}

}  // namespace
