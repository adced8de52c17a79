// Appends to a table whose only index is the record-id one: each append's key goes after every
// other, at the edge of the tree that the cursor remembers, and its record straight to the held
// writes. Two processes taking turns split each other's edge; deletes and explicit ids below the
// top go the long way; a killed appender leaves every append whole or absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using datafile_test::field;
using storage_test::Helper;
using table_test::Database;
using table_test::expectIntact;
using table_test::TempDir;

// K and NAME, the auto-increment ID; no primary index, no other index.
void createRows(const std::string& folder) {
  Database db(folder);
  TDataCursor c(*db.directory);
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "ID", 6, 0, 29)};
  a.Indexes.resize(1);
  c.SetTableName("rows");
  c.SetExclusive(true);
  c.CreateTable(a);
}

void appendRow(TDataCursor& c, std::vector<uint8_t>& buffer, int32_t k, int32_t id = 0) {
  c.ClearRecordBuffer(buffer.data());
  const std::string name = "n" + std::to_string(k % 1000);
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
  if (id != 0) c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&id));
  c.AppendRecord(buffer.data());
}

int32_t fieldOf(TDataCursor& c, const std::vector<uint8_t>& buffer, uint16_t p) {
  int32_t v = 0;
  bool isNull = false;
  c.GetField(p, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&v));
  return v;
}

// K and ID of every record, in record-number order.
std::vector<std::pair<int32_t, int32_t>> rowsOf(TDataCursor& c) {
  c.SetIndexName("");
  std::vector<std::pair<int32_t, int32_t>> rows;
  std::vector<uint8_t> buffer(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) rows.emplace_back(fieldOf(c, buffer, 1), fieldOf(c, buffer, 3));
  return rows;
}

void sendCount(Helper& h, uint32_t n) {
  for (int i = 0; i < 4; ++i) h.send(char(n >> (8 * i)));
}
uint32_t receiveCount(Helper& h) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= uint32_t(uint8_t(h.receive())) << (8 * i);
  return n;
}

// 'R' and a count: appends that many rows, K from 1,000,000 on, and answers 'A'. 'D' and a count
// (below). 'S', a count and a sum: answers 'Y' when it sees that many rows with distinct ids and
// that sum of K.
int appendInRuns(Helper& h, const std::string& folder) {
  Database db(folder);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  int32_t next = 1000000;
  for (char command; (command = h.receive()) != 0;) {
    const uint32_t n = receiveCount(h);
    if (command == 'R') {
      for (uint32_t i = 0; i < n; ++i) appendRow(c, buffer, next++);
      h.send('A');
      continue;
    }
    if (command == 'D') {
      // Deletes the n rows of the highest record numbers and answers with the sum of their K.
      uint32_t sum = 0;
      std::vector<uint8_t> read(c.RecordSize());
      for (uint32_t i = 0; i < n; ++i) {
        c.SetIndexName("");
        c.SetToEnd();
        if (c.GetPriorRecord(read.data()) != 0) break;
        sum += uint32_t(fieldOf(c, read, 1));
        c.DeleteRecord(read.data());
      }
      sendCount(h, sum);
      continue;
    }
    const uint32_t sum = receiveCount(h);
    const auto rows = rowsOf(c);
    std::set<int32_t> ids;
    uint32_t kSum = 0;
    for (const auto& [k, id] : rows) {
      ids.insert(id);
      kSum += uint32_t(k);
    }
    h.send(rows.size() == n && ids.size() == n && kSum == sum ? 'Y' : 'N');
  }
  return 0;
}

TEST(CursorAppendEdgeTest, TwoProcessesTakingTurnsSeeEveryRowOnceWithItsOwnId) {
  TempDir dir;
  createRows(dir.path());
  Helper other([&](Helper& h) { return appendInRuns(h, dir.path()); });
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  std::multiset<int32_t> expected;
  int32_t childNext = 1000000, k = 0;
  const auto childAppends = [&](uint32_t n) {
    other.send('R');
    sendCount(other, n);
    ASSERT_EQ(other.receive(), 'A');
    for (uint32_t i = 0; i < n; ++i) expected.insert(childNext++);
  };
  // Runs of about two thirds of a leaf of record ids: each side's edge is split by the other's.
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 290; ++i) {
      appendRow(c, buffer, ++k);
      expected.insert(k);
    }
    childAppends(310);
  }
  // Deletes here and there and of the newest rows, then rows whose explicit ids lie below the
  // top (the freed ids) and rows after the top again, from both sides.
  std::vector<uint8_t> read(c.RecordSize());
  std::vector<uint32_t> doomed;
  c.SetIndexName("");
  c.SetToBegin();
  for (int n = 0; c.GetNextRecord(read.data()) == 0; ++n)
    if (n % 7 == 3 || n >= 2900) doomed.push_back(c.CurrentRecordNo());
  std::vector<int32_t> freedIds;
  for (uint32_t recordNo : doomed) {
    c.SetToRecordNo(recordNo);
    ASSERT_EQ(c.GetCurrentRecord(read.data(), false), 0);
    freedIds.push_back(fieldOf(c, read, 3));
    expected.erase(expected.find(fieldOf(c, read, 1)));
    c.DeleteRecord(read.data());
  }
  ASSERT_GT(freedIds.size(), 400u);
  c.SuppressAutoInc(true);
  for (size_t i = 0; i < freedIds.size(); i += 5) {
    appendRow(c, buffer, ++k, freedIds[i]);
    expected.insert(k);
  }
  c.SuppressAutoInc(false);
  for (int i = 0; i < 200; ++i) {
    appendRow(c, buffer, ++k);
    expected.insert(k);
  }
  childAppends(200);
  const auto rows = rowsOf(c);
  std::multiset<int32_t> ks;
  std::set<int32_t> ids;
  for (const auto& [rowK, id] : rows) {
    ks.insert(rowK);
    ids.insert(id);
  }
  EXPECT_EQ(ks, expected);
  EXPECT_EQ(ids.size(), rows.size());
  EXPECT_EQ(c.GetRecordCount(), int32_t(rows.size()));
  uint32_t kSum = 0;
  for (int32_t rowK : ks) kSum += uint32_t(rowK);
  other.send('S');
  sendCount(other, uint32_t(rows.size()));
  sendCount(other, kSum);
  EXPECT_EQ(other.receive(), 'Y');
  other.send(0);
  EXPECT_EQ(other.wait(), 0);
  expectIntact(dir, "rows", c);
}

// Each side deletes the newest rows, the other's among them, between the other's runs of
// appends: the edge a cursor remembers lost its top keys in another process, without a split.
TEST(CursorAppendEdgeTest, TheNewestRowsDeletedByTheOtherProcessBetweenRunsLeaveEveryOtherRowOnce) {
  TempDir dir;
  createRows(dir.path());
  Helper other([&](Helper& h) { return appendInRuns(h, dir.path()); });
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize()), read(c.RecordSize());
  int64_t sum = 0;
  uint32_t count = 0;
  int32_t k = 0, childNext = 1000000;
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 120; ++i, ++count) sum += ++k;
    for (int i = 0; i < 120; ++i) appendRow(c, buffer, k - 119 + i);
    other.send('D');
    sendCount(other, 3);
    sum -= receiveCount(other);
    count -= 3;
    other.send('R');
    sendCount(other, 90);
    ASSERT_EQ(other.receive(), 'A');
    for (int i = 0; i < 90; ++i, ++count) sum += childNext++;
    for (int i = 0; i < 2; ++i, --count) {
      c.SetIndexName("");
      c.SetToEnd();
      ASSERT_EQ(c.GetPriorRecord(read.data()), 0);
      sum -= fieldOf(c, read, 1);
      c.DeleteRecord(read.data());
    }
  }
  const auto rows = rowsOf(c);
  std::set<int32_t> ks, ids;
  int64_t seen = 0;
  for (const auto& [rowK, id] : rows) {
    ks.insert(rowK);
    ids.insert(id);
    seen += rowK;
  }
  EXPECT_EQ(rows.size(), count);
  EXPECT_EQ(ks.size(), count);
  EXPECT_EQ(ids.size(), count);
  EXPECT_EQ(seen, sum);
  EXPECT_EQ(c.GetRecordCount(), int32_t(count));
  other.send('S');
  sendCount(other, count);
  sendCount(other, uint32_t(sum));
  EXPECT_EQ(other.receive(), 'Y');
  other.send(0);
  EXPECT_EQ(other.wait(), 0);
  expectIntact(dir, "rows", c);
}

// Appends K = 1, 2, ... after the rows there, answering 'A' after each, until killed.
int appendUntilKilled(Helper& h, const std::string& folder) {
  Database db(folder);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (int32_t k = c.GetRecordCount() + 1;; ++k) {
    appendRow(c, buffer, k);
    h.send('A');
  }
}

TEST(CursorAppendEdgeTest, AKilledAppenderLeavesEveryAppendWholeOrAbsent) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  TempDir dir;
  createRows(dir.path());
  uint32_t acked = 0;
  for (int kill = 0; kill < 4; ++kill) {
    {
      Helper appender([&](Helper& h) { return appendUntilKilled(h, dir.path()); });
      for (uint32_t n = 200 + uint32_t(rng() % 400); n > 0; --n) {
        ASSERT_EQ(appender.receive(), 'A');
        ++acked;
      }
      appender.kill9();
      // The acknowledgements the appender wrote before it was killed and that were not read yet:
      // it runs ahead of the reads here.
      while (appender.receive() == 'A') ++acked;
    }
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    // Every acknowledged row and at most the one in flight, each whole: K 1..n in order.
    const auto rows = rowsOf(c);
    ASSERT_GE(rows.size(), acked) << kill;
    ASSERT_LE(rows.size(), acked + 1) << kill;
    acked = uint32_t(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i].first, int32_t(i + 1)) << kill;
    EXPECT_EQ(c.GetRecordCount(), int32_t(rows.size()));
    expectIntact(dir, "rows", c);
  }
}

}  // namespace
