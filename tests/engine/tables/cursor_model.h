// Model-based harness of the data cursor: seeded random operations on 1-3 cursors over one real
// table, each checked against a model (rows by unique id, and per cursor its order, range and
// position). After every step each cursor's count, current record and sequence number are
// compared, and the acting cursor scans its whole view; every kCheckEvery steps the integrity
// checker reads the files. A failure names its seed and step; VELMARON_SEED replays it.
//
// To extend: add a row to `ops` (a name, a weight and the step), keep the model in step, and
// let check() see anything new the cursor must show.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "engine/base/veldorlocale.h"
#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/blobcheck.h"
#include "tools/tablecheck/tablecheck.h"

namespace cursor_model {

using namespace engine;

struct Row {
  uint32_t id = 0;  // unique id
  uint32_t recNo = 0;
  int32_t key = 0;  // ID field (primary)
  int32_t k = 0;
  std::string name;  // empty: null
  double val = 0;
  std::shared_ptr<const std::string> body = std::make_shared<std::string>();  // the BODY blob
  std::string notes;                                                          // the NOTES memo
};

// Orders: the primary index on ID, BYK (unique), BYNAME (non-unique, long strings), and
// record-number order.
inline constexpr uint8_t kOrders[] = {0, 1, 2, kNoCurrentIndex};

struct CursorModel {
  std::unique_ptr<TDataCursor> cursor;
  uint8_t order = 0;
  std::optional<Row> lo, hi;  // range bounds (index order only)
  enum State { BOF, ON, END } state = BOF;
  Row at;  // ON: the row the cursor stands on (or stood on, when it is gone)
  std::vector<uint8_t> bookmark;
  std::optional<Row> bookmarkRow;
  uint8_t bookmarkOrder = 0;
  TFilter* filter = nullptr;  // one active filter, or none
  std::function<bool(const Row&)> keeps;
};

class Harness {
 public:
  static constexpr int kCheckEvery = 25;

  Harness(uint32_t seed, int cursors) : seed_(seed), random_(seed), db_(dir_.path()) {
    db_.session.SetLockWaitTime(1);
    using datafile_test::field;
    TCreateTableArgs a;
    a.LanguageId = seed % 2 ? 0x0409 : 0;
    a.BlobBlockSize = 512;
    a.Fields = {
        field(1, "K", 6),         field(2, "NAME", 1, 200),         field(3, "VAL", 7),
        field(4, "ID", 6, 0, 29), field(5, "BODY", kFieldTypeBlob), field(6, "NOTES", kFieldTypeBlob, 0, 22)};
    a.TextIndex.fields = {2, 6};
    a.Indexes.resize(3);
    a.Indexes[0].fields[0] = 4;
    a.Indexes[1].name = "BYK";
    a.Indexes[1].fields[0] = 1;
    a.Indexes[1].unique = 1;
    a.Indexes[2].name = "BYNAME";
    a.Indexes[2].fields[0] = 2;
    language_ = a.LanguageId;
    TDataCursor creator(*db_.directory);
    creator.SetTableName("rows");
    creator.SetExclusive(true);
    creator.CreateTable(a);
    cursors_.resize(size_t(cursors));
    for (auto& c : cursors_) reopen(c);
    ops = {
        {"append", 6, [this](CursorModel& c) { append(c); }},
        {"modify", 3, [this](CursorModel& c) { modify(c); }},
        {"delete", 2, [this](CursorModel& c) { remove(c); }},
        {"switch index", 1, [this](CursorModel& c) { switchIndex(c); }},
        {"set range", 2, [this](CursorModel& c) { setRange(c); }},
        {"reset range", 1, [this](CursorModel& c) { resetRange(c); }},
        {"find key", 3, [this](CursorModel& c) { findKey(c); }},
        {"move", 6, [this](CursorModel& c) { move(c); }},
        {"bookmark", 2, [this](CursorModel& c) { bookmark(c); }},
        {"reopen", 1, [this](CursorModel& c) { reopen(c); }},
        {"place on another", 1, [this](CursorModel& c) { placeOnAnother(c); }},
        {"text search", 2, [this](CursorModel& c) { textSearch(c); }},
        {"blob handles", 1, [this](CursorModel& c) { blobHandles(c); }},
        {"filter", 2, [this](CursorModel& c) { filter(c); }},
        {"transaction", 2, [this](CursorModel&) { transaction(); }},
        {"clone", 1, [this](CursorModel& c) { clone(c); }},
        {"empty", 0, [this](CursorModel&) { empty(); }},
    };
  }

  struct Op {
    const char* name;
    int weight;
    std::function<void(CursorModel&)> run;
  };
  std::vector<Op> ops;

  // Ends with what the last transaction wrote committed, so that the files are checked as well.
  ~Harness() {
    if (!committed_ || ::testing::Test::HasFatalFailure()) return;
    db_.directory->Commit(true, false);
    committed_.reset();
    checkFiles();
  }

  void run(int steps) {
    int total = 0;
    for (const Op& op : ops) total += op.weight;
    for (step_ = 0; step_ < steps && !::testing::Test::HasFatalFailure(); ++step_) {
      int pick = int(random_() % uint32_t(total));
      const Op* op = &ops[0];
      for (const Op& o : ops)
        if ((pick -= o.weight) < 0) {
          op = &o;
          break;
        }
      if (rows_.size() > 150 && random_() % 40 == 0) op = &ops.back();
      CursorModel& c = cursors_[random_() % cursors_.size()];
      last_ = op->name;
      try {
        op->run(c);
        for (CursorModel& each : cursors_) check(each, &each == &c);
        if (step_ % kCheckEvery == kCheckEvery - 1 && !committed_) checkFiles();
      } catch (const std::exception& e) {
        FAIL() << where() << " cursor " << (&c - cursors_.data()) << ": " << e.what();
      }
    }
  }

  std::string where() const {
    return "seed " + std::to_string(seed_) + " (VELMARON_SEED) step " + std::to_string(step_) + " " + last_ +
           " rows " + std::to_string(rows_.size());
  }

 private:
  // ---- The model's orders ----
  int compareName(const std::string& a, const std::string& b) const {
    if (a.empty() || b.empty()) return int(!a.empty()) - int(!b.empty());
    if (language_ == 0) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
    return OSCompareStrings(language_, 0, a, false, 0, b);
  }
  static int sign(int64_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }
  // The order's first field only (what a range bound compares).
  int compareField(uint8_t order, const Row& a, const Row& b) const {
    if (order == 0) return sign(int64_t(a.key) - b.key);
    if (order == 1) return sign(int64_t(a.k) - b.k);
    if (order == 2) return compareName(a.name, b.name);
    return sign(int64_t(a.recNo) - b.recNo);
  }
  int compare(uint8_t order, const Row& a, const Row& b) const {
    const int r = compareField(order, a, b);
    return r != 0 || order != 2 ? r : sign(int64_t(a.id) - b.id);
  }
  // The rows the cursor shows; `filtered` false: the range alone (what an index position counts).
  std::vector<Row> view(const CursorModel& c, bool filtered = true) const {
    std::vector<Row> v;
    for (const auto& [id, row] : rows_)
      if ((!filtered || !c.keeps || c.keeps(row)) && (!c.lo || compareField(c.order, row, *c.lo) >= 0) &&
          (!c.hi || compareField(c.order, row, *c.hi) <= 0))
        v.push_back(row);
    std::sort(v.begin(), v.end(), [&](const Row& a, const Row& b) { return compare(c.order, a, b) < 0; });
    return v;
  }
  // Where an ON cursor stands after the view changed: its row, or the next one after it; past
  // the view's end, the end (in record-number order the last record).
  void settle(CursorModel& c) {
    const std::vector<Row> v = view(c);
    if (v.empty()) return void(c.state = CursorModel::BOF);
    if (c.state != CursorModel::ON) return;
    for (const Row& r : v)
      if (compare(c.order, r, c.at) >= 0) return void(c.at = r);
    if (c.order == kNoCurrentIndex)
      c.at = v.back();
    else
      c.state = CursorModel::END;
  }

  // ---- Records ----
  Row randomRow() {
    static const char* stems[] = {"ann", "Ann and bob", "bob", "zoë", "the Zoe", "carl", "", "ånne ANN"};
    Row r;
    r.k = int32_t(random_() % 400) - 50;
    r.name = stems[random_() % 8];
    if (!r.name.empty())
      r.name += std::string(random_() % 3 ? random_() % 4 : 150 + random_() % 30, 'a' + char(random_() % 3));
    r.val = double(random_() % 1000) / 8;
    r.body = std::make_shared<const std::string>(randomBody());
    r.notes = randomText();
    return r;
  }
  // Empty, one byte, within one block, many blocks, and now and then 10 MB.
  std::string randomBody() {
    static const uint32_t sizes[] = {0, 1, 300, 494, 495, 5000, 40000};
    uint32_t size = sizes[random_() % 7];
    if (!bigDone_ && random_() % 100 == 0) size = 10u << 20, bigDone_ = true;
    std::string body(size, '\0');
    for (uint32_t i = 0; i < size; i += 97) body[i] = char(random_());
    return body;
  }
  // Words with stop words, mixed case, accents and 70 letters.
  std::string randomText() {
    static const char* words[] = {"red", "Green", "greenish", "BLUE", "and",
                                  "the", "Émile", "émile",    "grün", ""};
    std::string text;
    for (uint32_t n = random_() % 6; n-- > 0;)
      text += (random_() % 12 ? words[random_() % 10] : std::string(70, 'q')) + std::string(" ");
    return text;
  }
  // Puts the body through an open blob, in up to three writes at rising positions.
  void putBody(TDataCursor& t, std::vector<uint8_t>& b, const std::string& body, uint16_t field = 5) {
    const uint8_t tag = uint8_t(random_() % 2);
    ASSERT_EQ(t.OpenBlob(field, b.data(), 2, false, tag), 0) << where();
    ASSERT_EQ(t.TruncateBlob(field, b.data(), 0, false), 0) << where();
    const int32_t size = int32_t(body.size());
    const int32_t cut1 = size ? int32_t(random_() % uint32_t(size)) : 0, cut2 = cut1 + (size - cut1) / 2;
    for (auto [from, to] : {std::pair{cut2, size}, std::pair{0, cut1}, std::pair{cut1, cut2}})
      ASSERT_EQ(t.PutBlob(field, b.data(), from, reinterpret_cast<const uint8_t*>(body.data()) + from,
                          to - from, false),
                0)
          << where();
    uint32_t got = 0;
    ASSERT_EQ(t.GetBlobSize(field, b.data(), got, false), 0) << where();
    ASSERT_EQ(got, body.size()) << where();
  }
  std::string getBody(TDataCursor& t, std::vector<uint8_t>& b) {
    std::string body;
    uint32_t size = 0, read = 0;
    EXPECT_EQ(t.OpenBlob(5, b.data(), 0, false, 1), 0) << where();
    EXPECT_EQ(t.GetBlobSize(5, b.data(), size, false), 0) << where();
    body.resize(size + 5);
    // Reading past the end gives what there is and says so.
    EXPECT_EQ(
        t.GetBlob(5, b.data(), 0, reinterpret_cast<uint8_t*>(body.data()), int32_t(size) + 5, read, false),
        VELDOR_ENDOFBLOB)
        << where();
    EXPECT_EQ(read, size) << where();
    body.resize(read);
    EXPECT_EQ(t.FreeBlob(5, b.data(), false, 1), 0) << where();
    bool isNull = false;
    t.GetField(5, b.data(), isNull, nullptr);
    EXPECT_EQ(isNull, size == 0) << where();
    return body;
  }
  void put(TDataCursor& t, std::vector<uint8_t>& b, const Row& r, bool withKey = false) {
    t.PutField(1, b.data(), reinterpret_cast<const uint8_t*>(&r.k));
    std::vector<uint8_t> text(r.name.begin(), r.name.end());
    text.push_back(0);
    t.PutField(2, b.data(), r.name.empty() ? nullptr : text.data());
    t.PutField(3, b.data(), reinterpret_cast<const uint8_t*>(&r.val));
    if (withKey) t.PutField(4, b.data(), reinterpret_cast<const uint8_t*>(&r.key));
  }
  Row get(TDataCursor& t, const std::vector<uint8_t>& b) const {
    Row r;
    std::array<uint8_t, 256> v{};
    bool isNull = false;
    std::memcpy(&r.id, b.data() + 5, 4);
    std::memcpy(&r.recNo, b.data() + 1, 4);
    t.GetField(1, b.data(), isNull, v.data());
    std::memcpy(&r.k, v.data(), 4);
    t.GetField(2, b.data(), isNull, v.data());
    r.name = isNull ? "" : reinterpret_cast<const char*>(v.data());
    t.GetField(3, b.data(), isNull, v.data());
    std::memcpy(&r.val, v.data(), 8);
    t.GetField(4, b.data(), isNull, v.data());
    std::memcpy(&r.key, v.data(), 4);
    return r;
  }
  bool kTaken(int32_t k, uint32_t except) const {
    for (const auto& [id, row] : rows_)
      if (row.k == k && id != except) return true;
    return false;
  }
  void afterWrite(CursorModel& c) {
    for (CursorModel& o : cursors_)
      if (&o != &c) settle(o);
  }

  void append(CursorModel& c) {
    TDataCursor& t = *c.cursor;
    std::vector<uint8_t> b(t.RecordSize());
    Row r = randomRow();
    if (c.state == CursorModel::ON && random_() % 3 == 0) {
      // A copy of the current record, its blob and memo with it, under another K.
      ASSERT_EQ(t.CloneCurrentRecord(b.data()), 0) << where();
      const Row& from = rows_.at(c.at.id);
      r.name = from.name, r.val = from.val, r.body = from.body, r.notes = from.notes;
      t.PutField(1, b.data(), reinterpret_cast<const uint8_t*>(&r.k));
    } else {
      t.ClearRecordBuffer(b.data());
      put(t, b, r);
      putBody(t, b, *r.body);
      putBody(t, b, r.notes, 6);
    }
    const uint16_t error = storage_test::errorOf([&] { t.AppendRecord(b.data()); });
    t.FreeAllBlobs(true);
    ASSERT_EQ(error, kTaken(r.k, 0) ? VELDOR_KEYVIOL : 0) << where();
    if (error != 0) return;
    Row written = byK(r.k);
    written.body = r.body;
    written.notes = r.notes;
    rows_[written.id] = written;
    afterWrite(c);
    c.state = CursorModel::ON;
    c.at = written;
    // A record outside the range: the cursor goes to the nearest record of its view.
    if (!inView(c, written)) settle(c);
  }
  // The record with this K, read by a cursor the model does not follow.
  Row byK(int32_t k) {
    TDataCursor probe(*db_.directory);
    probe.SetTableName("rows");
    probe.Open();
    probe.SwitchToIndex(1);
    std::vector<uint8_t> b(probe.RecordSize());
    probe.PutField(1, b.data(), reinterpret_cast<const uint8_t*>(&k));
    EXPECT_TRUE(probe.FindKey(false, b.data(), 1, false, 0, b.data())) << where();
    return get(probe, b);
  }
  bool inView(const CursorModel& c, const Row& r) const {
    for (const Row& v : view(c))
      if (v.id == r.id) return true;
    return false;
  }
  void modify(CursorModel& c) {
    if (c.state != CursorModel::ON) return;
    TDataCursor& t = *c.cursor;
    std::vector<uint8_t> b(t.RecordSize());
    ASSERT_EQ(t.GetCurrentRecord(b.data(), false), 0) << where();
    ASSERT_EQ(t.GetCurrentRecord(b.data(), true), 0) << where();
    Row r = rows_.at(c.at.id);
    const Row other = randomRow();
    if (random_() % 2) r.k = other.k;
    if (random_() % 2) r.name = other.name;
    r.val = other.val;
    put(t, b, r);
    if (random_() % 2) {
      r.body = other.body;
      putBody(t, b, *r.body);
      r.notes = other.notes;
      putBody(t, b, r.notes, 6);
    }
    const uint16_t error = storage_test::errorOf([&] { t.ModifyRecord(b.data()); });
    t.FreeAllBlobs(true);
    t.CancelRecord();
    ASSERT_EQ(error, kTaken(r.k, r.id) ? VELDOR_KEYVIOL : 0) << where();
    if (error != 0) return;
    rows_[r.id] = r;
    afterWrite(c);
    c.at = r;
    if (!inView(c, r)) settle(c);
  }
  void remove(CursorModel& c) {
    if (c.state != CursorModel::ON) return;
    TDataCursor& t = *c.cursor;
    std::vector<uint8_t> b(t.RecordSize());
    ASSERT_EQ(t.GetCurrentRecord(b.data(), false), 0) << where();
    t.DeleteRecord(b.data());
    rows_.erase(c.at.id);
    afterWrite(c);
    settle(c);
  }

  // ---- Orders, ranges, searches ----
  void switchIndex(CursorModel& c) {
    const uint8_t order = kOrders[random_() % 4];
    if (order == c.order) return;
    c.order = order;
    c.cursor->SwitchToIndex(c.order);
    c.lo = c.hi = std::nullopt;
    settle(c);
  }
  // A bound: a row's value, or a random one.
  Row bound() {
    if (!rows_.empty() && random_() % 2)
      return std::next(rows_.begin(), long(random_() % rows_.size()))->second;
    Row r = randomRow();
    if (r.name.empty()) r.name = "bob";
    r.key = int32_t(random_() % 300);
    r.recNo = random_() % 300 + 1;
    return r;
  }
  void setRange(CursorModel& c) {
    if (c.order == kNoCurrentIndex) return;
    TDataCursor& t = *c.cursor;
    std::optional<Row> lo, hi;
    if (random_() % 4) lo = bound();
    if (random_() % 4) hi = bound();
    std::vector<uint8_t> lb(t.RecordSize()), hb(t.RecordSize());
    if (lo) put(t, lb, *lo, true);
    if (hi) put(t, hb, *hi, true);
    t.SetRange(false, lo ? lb.data() : nullptr, 1, hi ? hb.data() : nullptr, 1);
    c.lo = lo;
    c.hi = hi;
    settle(c);
    if (c.state == CursorModel::ON && !inView(c, c.at)) settle(c);
  }
  void resetRange(CursorModel& c) {
    c.cursor->ResetRange();
    c.lo = c.hi = std::nullopt;
    settle(c);
  }
  void findKey(CursorModel& c) {
    if (c.order == kNoCurrentIndex || c.order == 0) return;
    TDataCursor& t = *c.cursor;
    const Row want = bound();
    const bool nearest = random_() % 2;
    std::vector<uint8_t> b(t.RecordSize()), result(t.RecordSize());
    put(t, b, want);
    const bool found = t.FindKey(false, b.data(), 1, nearest, 0, result.data());
    const std::vector<Row> v = view(c);
    auto it =
        std::find_if(v.begin(), v.end(), [&](const Row& r) { return compareField(c.order, r, want) >= 0; });
    const bool expected = it != v.end() && compareField(c.order, *it, want) == 0;
    ASSERT_EQ(found, expected) << where();
    if (v.empty()) return void(c.state = CursorModel::BOF);
    // A search of a non-unique index is a partial one, which always goes to the nearest key.
    if (!found && !nearest && c.order != 2) return;
    c.state = CursorModel::ON;
    c.at = it == v.end() ? v.back() : *it;
    ASSERT_EQ(get(t, result).id, c.at.id) << where();
  }

  // ---- Navigation and bookmarks ----
  void move(CursorModel& c) {
    TDataCursor& t = *c.cursor;
    const std::vector<Row> v = view(c);
    std::vector<uint8_t> b(t.RecordSize());
    const int kind = int(random_() % 6);
    const auto index = [&]() -> int64_t {
      for (size_t i = 0; i < v.size(); ++i)
        if (v[i].id == c.at.id) return int64_t(i);
      return -1;
    };
    if (v.empty()) {
      if (kind < 2) {
        ASSERT_EQ(kind == 0 ? t.GetNextRecord(b.data()) : t.GetPriorRecord(b.data()),
                  kind == 0 ? VELDOR_EOF : VELDOR_BOF)
            << where();
      }
      return;
    }
    if (kind == 0 || kind == 1) {  // next, prior
      const int64_t from = c.state == CursorModel::BOF   ? -1
                           : c.state == CursorModel::END ? int64_t(v.size())
                                                         : index();
      const int64_t to = from + (kind == 0 ? 1 : -1);
      const uint16_t code = kind == 0 ? t.GetNextRecord(b.data()) : t.GetPriorRecord(b.data());
      if (to < 0 || to >= int64_t(v.size())) {
        ASSERT_EQ(code, kind == 0 ? VELDOR_EOF : VELDOR_BOF) << where();
        c.state = kind == 0 ? CursorModel::END : CursorModel::BOF;
      } else {
        ASSERT_EQ(code, 0) << where();
        c.state = CursorModel::ON;
        c.at = v[size_t(to)];
        ASSERT_EQ(get(t, b).id, c.at.id) << where();
      }
    } else if (kind == 2) {
      random_() % 2 ? t.SetToBegin() : t.SetToEnd();
      c.state = t.AtBOF() ? CursorModel::BOF : CursorModel::END;
    } else if (kind == 3) {
      const int32_t n = int32_t(random_() % (v.size() + 2));
      t.SetToRecNo(n);
      c.state = CursorModel::ON;
      c.at = v[size_t(std::clamp<int32_t>(n, 1, int32_t(v.size())) - 1)];
      // Under a filter in index order, n counts index entries: the nearest shown one, forward first.
      if (c.keeps && c.order != kNoCurrentIndex && n >= 1 && n <= int32_t(v.size())) {
        const std::vector<Row> all = view(c, false);
        const auto it = std::find_if(all.begin() + (n - 1), all.end(), c.keeps);
        c.at = it == all.end() ? v.back() : *it;
      }
      if (n == 0) c.state = CursorModel::BOF;
      if (n > int32_t(v.size())) c.state = CursorModel::END;
    } else {
      uint32_t count = random_() % 12;
      std::vector<uint8_t> block(size_t(count) * t.RecordSize());
      const int64_t from =
          c.state == CursorModel::BOF ? -1 : (c.state == CursorModel::END ? int64_t(v.size()) : index());
      const int64_t left = std::max<int64_t>(0, int64_t(v.size()) - 1 - from);
      const uint32_t asked = count;
      const uint16_t code = t.ReadRecordBlock(count, block.data());
      ASSERT_EQ(code, left < asked ? VELDOR_EOF : 0) << where();
      ASSERT_EQ(count, std::min<int64_t>(left, asked)) << where();
      for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint8_t> one(block.begin() + long(i * t.RecordSize()),
                                 block.begin() + long((i + 1) * t.RecordSize()));
        ASSERT_EQ(get(t, one).id, v[size_t(from + 1 + i)].id) << where() << " block record " << i;
      }
      if (left < asked)
        c.state = CursorModel::END;
      else if (count > 0)
        c.at = v[size_t(from + count)], c.state = CursorModel::ON;
    }
  }
  void bookmark(CursorModel& c) {
    TDataCursor& t = *c.cursor;
    if (c.bookmarkRow && c.bookmarkOrder == c.order && random_() % 2) {
      // Back to a bookmark taken earlier: found when a record of the view has its key (record
      // number); otherwise the nearest record to where that key stood.
      const bool found = t.SetToBookmark(c.bookmark.data(), false);
      const std::vector<Row> v = view(c);
      const auto it = std::find_if(v.begin(), v.end(),
                                   [&](const Row& r) { return compare(c.order, r, *c.bookmarkRow) == 0; });
      ASSERT_EQ(found, it != v.end()) << where();
      c.state = CursorModel::ON;
      c.at = found ? *it : *c.bookmarkRow;
      return settle(c);
    }
    if (c.state != CursorModel::ON) return;
    c.bookmark.assign(t.GetKeySize(), 0);
    t.GetBookmark(c.bookmark.data());
    c.bookmarkRow = c.at;
    c.bookmarkOrder = c.order;
    EXPECT_EQ(t.CompareBookmarks(c.bookmark.data(), c.bookmark.data()), 0) << where();
  }
  // On the record of another cursor: found when it is in this cursor's view.
  void placeOnAnother(CursorModel& c) {
    CursorModel& o = cursors_[random_() % cursors_.size()];
    if (o.state != CursorModel::ON) return;
    const bool there = inView(c, rows_.at(o.at.id));
    ASSERT_EQ(c.cursor->SetToRecordBuffer(*o.cursor), there ? 0 : VELDOR_RECNOTFOUND) << where();
    if (there) c.state = CursorModel::ON, c.at = rows_.at(o.at.id);
  }
  void reopen(CursorModel& c) {
    c.cursor = std::make_unique<TDataCursor>(*db_.directory);
    c.cursor->SetTableName("rows");
    c.cursor->Open();
    c.order = 0;
    c.lo = c.hi = std::nullopt;
    c.state = CursorModel::BOF;
    c.bookmarkRow.reset();
    c.filter = nullptr;
    c.keeps = nullptr;
  }
  // The copy takes the cursor's index, range, place and filters (the active ones active).
  void clone(CursorModel& c) {
    c.cursor = c.cursor->Clone();
    ASSERT_EQ(c.cursor->Filters().size(), c.filter ? 1u : 0u) << where();
    if (c.filter) {
      c.filter = c.cursor->Filters()[0].get();
      ASSERT_TRUE(c.filter->Active()) << where();
    }
    settle(c);
  }
  // Sets one of a small family of filters, or drops the one set; the cursor stays on its record
  // when the filter keeps it, else goes on to the next one shown.
  void filter(CursorModel& c) {
    TDataCursor& t = *c.cursor;
    if (c.filter) {
      t.DropFilter(std::exchange(c.filter, nullptr));
      c.keeps = nullptr;
      return settle(c);
    }
    const int32_t k = int32_t(random_() % 400) - 50;
    const double val = double(random_() % 1000) / 8;
    const int kind = int(random_() % 4);  // K, VAL, both, a word
    const std::string word = std::vector<std::string>{"red", "GREEN", "émile", "blue"}[random_() % 4];
    std::string text = kind == 3   ? "TEXTSEARCH('" + word + "' IN NOTES)"
                       : kind == 1 ? ""
                                   : "K < " + std::to_string(k);
    if (kind == 1 || kind == 2) text += (kind == 2 ? " AND VAL >= " : "VAL >= ") + std::to_string(val);
    // Through the model's cursor: a clone replaces it.
    c.keeps = [this, &c, kind, k, val, query = split(word)](const Row& r) {
      bool all = false;
      if (kind == 3) occurs(*c.cursor, query, split(r.notes), all);
      return kind == 3 ? all : (kind == 1 || r.k < k) && (kind == 0 || r.val >= val);
    };
    c.filter = t.AddFilter(nullptr, &text, nullptr, true, nullptr, false, random_() % 2, false, false);
    t.ActivateFilter(c.filter);
    settle(c);
  }
  // Start, commit with or without its end, or roll back. A commit without its end keeps the
  // tables in the transaction: a later rollback drops only what came after it. A rollback leaves
  // every cursor at the beginning.
  void transaction() {
    const uint32_t kind = random_() % 4;
    if (!committed_) {
      db_.directory->StartTransaction();
      committed_ = rows_;
    } else if (kind < 2) {
      db_.directory->Commit(kind == 0, random_() % 2);
      if (kind == 0)
        committed_.reset();
      else
        committed_ = rows_;
    } else {
      db_.directory->Rollback();
      rows_ = *std::exchange(committed_, std::nullopt);
      // Every cursor moves on from where it stood and counts what is left.
      std::vector<uint8_t> b(cursors_[0].cursor->RecordSize());
      for (CursorModel& c : cursors_) {
        c.cursor->GetNextRecord(b.data());
        ASSERT_EQ(c.cursor->GetRecordCount(), int32_t(view(c).size())) << where();
        c.cursor->SetToBegin(), c.state = CursorModel::BOF;
      }
    }
  }
  void empty() {
    if (committed_) return;
    for (auto& c : cursors_) c.cursor.reset();
    {
      TDataCursor e(*db_.directory);
      e.SetTableName("rows");
      e.SetExclusive(true);
      e.Open();
      e.EmptyTable();
    }
    rows_.clear();
    for (auto& c : cursors_) reopen(c);
  }

  // Open blobs of scratch buffers: the limit, stale handles and bad positions are refused, and
  // the blobs that stay open stay usable.
  void blobHandles(CursorModel& c) {
    TDataCursor& t = *c.cursor;
    std::vector<std::vector<uint8_t>> buffers(TDataCursor::kMaxOpenBlobs + 1,
                                              std::vector<uint8_t>(t.RecordSize()));
    for (size_t i = 0; i < buffers.size(); ++i) {
      t.ClearRecordBuffer(buffers[i].data());
      ASSERT_EQ(t.OpenBlob(5, buffers[i].data(), 2, false, uint8_t(i % 2)),
                i < TDataCursor::kMaxOpenBlobs ? 0 : VELDOR_OPENBLOBLIMIT)
          << where();
    }
    uint8_t* b = buffers[3].data();
    uint32_t n = 0;
    const uint8_t byte = 7;
    ASSERT_EQ(t.OpenBlob(1, b, 2, false, 0), VELDOR_NOTABLOB) << where();
    ASSERT_EQ(t.PutBlob(5, b, -1, &byte, 1, false), VELDOR_INVALIDBLOBOFFSET) << where();
    ASSERT_EQ(t.PutBlob(5, b, 0x7FFFFFFF, &byte, 1, false), VELDOR_INVALIDBLOBOFFSET) << where();
    ASSERT_EQ(t.GetBlob(5, b, 0, nullptr, -1, n, false), VELDOR_INVALIDBLOBOFFSET) << where();
    ASSERT_EQ(t.FreeBlob(5, b, false, 0), 0) << where();  // opened with tag 1: stays open
    ASSERT_EQ(t.PutBlob(5, b, 3, &byte, 1, false), 0) << where();
    ASSERT_EQ(t.GetBlobSize(5, b, n, false), 0) << where();
    ASSERT_EQ(n, 4u) << where();
    bool isNull = true;
    t.GetField(5, buffers[4].data(), isNull, nullptr);
    ASSERT_EQ(t.FreeBlob(5, buffers[4].data(), false, 0), 0) << where();
    t.GetField(5, buffers[4].data(), isNull, nullptr);
    ASSERT_TRUE(isNull) << where();  // a blob without a value keeps none
    t.FreeAllBlobs(false);
    ASSERT_EQ(t.OpenBlobCount(), TDataCursor::kMaxOpenBlobs / 2 - 1) << where();
    ASSERT_EQ(t.GetBlobSize(5, b, n, false), VELDOR_INVALIDBLOBHANDLE) << where();
    t.FreeAllBlobs(true);
  }

  // ---- Text ----
  // The reference splitter: words between blanks, cut to 60 bytes at a character, upper-cased.
  std::vector<std::string> split(const std::string& text) const {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
      size_t n = std::min<size_t>(w.size(), 60);
      while (n < w.size() && n > 0 && (uint8_t(w[n]) & 0xC0) == 0x80) --n;
      w.resize(n);
      OSUpperCase(language_, 0, w);
      out.push_back(w);
    }
    return out;
  }
  bool stop(TDataCursor& t, const std::string& w) {
    size_t i = 0;
    return t.GetStopWords().count() > 0 && t.GetStopWords().Find(w, i);
  }
  // Text-index keys as (field, word, record number).
  using TextKeys = std::set<std::tuple<uint16_t, std::string, uint32_t>>;
  TextKeys textKeys(TDataCursor& probe) {
    TextKeys keys;
    probe.BeginRead();
    probe.SelectIndex(kSysTextSlot);
    TIndexTree(probe.Table()->IndexFile(), probe, kSysTextSlot)
        .ForEachKey([&](const uint8_t* k, uint32_t ref) {
          keys.insert({uint16_t(k[1] << 8 | k[2]),
                       std::string(reinterpret_cast<const char*>(k + 3),
                                   strnlen(reinterpret_cast<const char*>(k + 3), 61)),
                       ref});
        });
    probe.EndRead();
    return keys;
  }
  TextKeys expectedKeys(TDataCursor& t) {
    TextKeys keys;
    for (const auto& [id, r] : rows_)
      for (auto [field, text] : {std::pair<uint16_t, const std::string*>{2, &r.name}, {6, &r.notes}})
        for (const std::string& w : split(*text))
          if (!stop(t, w)) keys.insert({field, w, r.recNo});
    return keys;
  }
  // A query matches a text when each word (not a stop word) is among its words, a word with "*"
  // when it starts one of them; occurrences add up every match.
  uint32_t occurs(TDataCursor& t, const std::vector<std::string>& query,
                  const std::vector<std::string>& words, bool& all) {
    uint32_t total = 0;
    all = true;
    for (const std::string& q : query) {
      const bool wild = q.back() == '*';
      const std::string stem = wild ? q.substr(0, q.size() - 1) : q;
      if (!wild && stop(t, q)) continue;
      uint32_t n = 0;
      for (const std::string& w : words) n += wild ? w.compare(0, stem.size(), stem) == 0 : w == stem;
      all = all && n > 0;
      total += n;
    }
    return total;
  }
  // Text search three ways: evaluation on the memo's text, through the index's keys, and by the
  // reference splitter.
  void textSearch(CursorModel& c) {
    TDataCursor& t = *c.cursor;
    // Up to three words; a "*" is kept on the last word of a text only.
    std::string query;
    for (uint32_t n = 1 + random_() % 3; n-- > 0;) {
      std::vector<std::string> w =
          split(randomText() + " " + (rows_.empty() ? "" : rows_.begin()->second.notes));
      if (w.empty()) continue;
      std::string word = w[random_() % w.size()];
      if (n == 0 && random_() % 2) {
        size_t cut = 1 + random_() % word.size();
        while (cut < word.size() && (uint8_t(word[cut]) & 0xC0) == 0x80) ++cut;
        word = word.substr(0, cut) + "*";
      }
      query += (query.empty() ? "" : " ") + word;
    }
    std::vector<std::string> q = split(query);
    std::sort(q.begin(), q.end());
    q.erase(std::unique(q.begin(), q.end()), q.end());
    if (q.empty()) return;
    TDataCursor probe(*db_.directory);
    probe.SetTableName("rows");
    probe.Open();
    const TextKeys keys = textKeys(probe);
    for (const auto& [id, r] : rows_) {
      bool all = false;
      const uint32_t n = occurs(t, q, split(r.notes), all);
      ASSERT_EQ(t.TextSearch(query, r.notes), all) << where() << " '" << query << "' in '" << r.notes << "'";
      ASSERT_EQ(t.TextOccurs(query, r.notes), n) << where() << " '" << query << "' in '" << r.notes << "'";
      // The index holds no stop words, so a prefix finds none there.
      std::vector<std::string> indexed, kept;
      for (const auto& [field, word, ref] : keys)
        if (field == 6 && ref == r.recNo) indexed.push_back(word);
      for (const std::string& w : split(r.notes))
        if (!stop(t, w)) kept.push_back(w);
      bool found = false, expected = false;
      occurs(t, q, indexed, found);
      occurs(t, q, kept, expected);
      ASSERT_EQ(found, expected) << where() << " '" << query << "' by the index, record " << r.recNo;
    }
  }

  // ---- Checks ----
  void check(CursorModel& c, bool scan) {
    TDataCursor& t = *c.cursor;
    std::vector<uint8_t> b(t.RecordSize());
    const uint16_t code = t.GetCurrentRecord(b.data(), false);
    const std::vector<Row> v = view(c);
    ASSERT_EQ(t.GetRecordCount(), int32_t(v.size())) << where();
    if (v.empty()) return;
    if (c.state == CursorModel::ON) {
      ASSERT_EQ(code, 0) << where();
      const Row got = get(t, b);
      ASSERT_EQ(got.id, c.at.id) << where();
      const Row& want = rows_.at(got.id);
      ASSERT_TRUE(got.k == want.k && got.name == want.name && got.val == want.val) << where();
      if (scan) {
        ASSERT_TRUE(getBody(t, b) == *want.body) << where() << " body of " << got.id;
      }
      // In index order the place counts every entry of the range, shown or not.
      const std::vector<Row> counted = c.order == kNoCurrentIndex ? v : view(c, false);
      const auto at =
          std::find_if(counted.begin(), counted.end(), [&](const Row& r) { return r.id == got.id; });
      ASSERT_EQ(t.GetSequenceNumber(), int32_t(at - counted.begin()) + 1) << where();
    } else {
      ASSERT_EQ(code, c.state == CursorModel::BOF ? VELDOR_BOF : VELDOR_EOF) << where();
    }
    if (!scan) return;
    // The whole view in order, and back to the same place by bookmark.
    std::vector<uint8_t> mark(t.GetKeySize());
    t.GetBookmark(mark.data());
    t.SetToBegin();
    for (const Row& r : v) {
      ASSERT_EQ(t.GetNextRecord(b.data()), 0) << where();
      ASSERT_EQ(get(t, b).id, r.id) << where();
    }
    ASSERT_EQ(t.GetNextRecord(b.data()), VELDOR_EOF) << where();
    if (c.state == CursorModel::ON)
      ASSERT_TRUE(t.SetToBookmark(mark.data(), false)) << where();
    else
      c.state == CursorModel::BOF ? t.SetToBegin() : t.SetToEnd();
  }
  void checkFiles() {
    TDataCursor probe(*db_.directory);
    probe.SetTableName("rows");
    probe.Open();
    tablecheck::Options options;
    options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t size) {
      if (probe.CurrentIndex() != slot) probe.SelectIndex(slot);
      return probe.CompareKeys(a, b, size);
    };
    const tablecheck::Report report = tablecheck::CheckTableFiles(dir_.file("rows"), options);
    ASSERT_TRUE(report.ok()) << where() << "\n" << report.text();
    // Words that the locale takes as equal (an accent) are one key: the index keeps the first.
    const TextKeys got = textKeys(probe), want = expectedKeys(probe);
    auto same = [&](const TextKeys& a, const TextKeys& b, const char* what) {
      for (const auto& [field, word, ref] : a) {
        bool found = false;
        for (const auto& [f, w, r] : b)
          found = found || (f == field && r == ref && OSCompareStrings(language_, 0, w, false, 0, word) == 0);
        ASSERT_TRUE(found) << where() << what << field << " " << word << " " << ref;
      }
    };
    same(got, want, " extra text key ");
    same(want, got, " missing text key ");
    const tablecheck::BlobReport blobs = tablecheck::CheckTableBlobs(dir_.file("rows"));
    ASSERT_TRUE(blobs.ok()) << where() << "\n" << (blobs.problems.empty() ? "" : blobs.problems[0]);
  }

  uint32_t seed_;
  std::mt19937 random_;
  table_test::TempDir dir_;
  table_test::Database db_;
  uint16_t language_ = 0;
  std::map<uint32_t, Row> rows_;
  std::optional<std::map<uint32_t, Row>> committed_;  // in a transaction: the rows a rollback brings back
  std::vector<CursorModel> cursors_;
  int step_ = 0;
  bool bigDone_ = false;
  std::string last_;
};

}  // namespace cursor_model
