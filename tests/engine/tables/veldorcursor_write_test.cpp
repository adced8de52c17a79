// Record writes through the cursor against a model of the table, and writers in several processes.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>
#include <set>

#include "engine/tables/veldorcursor.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpparser.h"
#include "platform/faultfs.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::expectIntact;
using table_test::TempDir;

struct Row {
  int32_t k = 0;
  std::string name;
  double amount = 0;
};

// K unique, NAME case-insensitive, AMOUNT descending with NAME, the auto-increment ID primary;
// the table sorts its strings in a locale's order.
TCreateTableArgs rowsTable() {
  using datafile_test::field;
  TCreateTableArgs a;
  a.LanguageId = 0x0409;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "AMOUNT", 7), field(4, "ID", 6, 0, 29)};
  a.Indexes.resize(4);
  a.Indexes[0].fields[0] = 4;
  a.Indexes[1].name = "BYK";
  a.Indexes[1].fields[0] = 1;
  a.Indexes[1].unique = 1;
  a.Indexes[2].name = "BYNAME";
  a.Indexes[2].fields[0] = 2;
  a.Indexes[2].caseInsensitive = 1;
  a.Indexes[3].name = "BYAMOUNT";
  a.Indexes[3].fields = {3, 2};
  a.Indexes[3].descending = 1;
  return a;
}

// A cursor on the rows table of `directory`, closed; with `create` the table is made first.
std::unique_ptr<TDataCursor> rowsCursor(TDataDirectory& directory, bool exclusive, bool create = false) {
  auto c = std::make_unique<TDataCursor>(directory);
  c->SetTableName("rows");
  c->SetExclusive(create || exclusive);
  TCreateTableArgs args = rowsTable();
  if (create) c->CreateTable(args);
  c->SetExclusive(exclusive);
  return c;
}

void put(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.k));
  std::array<uint8_t, 13> text{};
  std::memcpy(text.data(), row.name.data(), std::min<size_t>(row.name.size(), 12));
  c.PutField(2, buffer.data(), row.name.empty() ? nullptr : text.data());
  c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&row.amount));
}

Row read(TDataCursor& c, uint32_t recordNo) {
  std::vector<uint8_t> buffer(c.RecordSize());
  c.SetToRecordNo(recordNo);
  EXPECT_EQ(c.GetCurrentRecord(buffer.data(), false), 0) << "record " << recordNo;
  Row row;
  std::array<uint8_t, 251> name{};
  bool isNull = false;
  c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.k));
  c.GetField(2, buffer.data(), isNull, name.data());
  c.GetField(3, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.amount));
  row.name = reinterpret_cast<const char*>(name.data());
  return row;
}

// The records and their count are the model's (their keys are the checker's, expectIntact).
void expectTable(TDataCursor& c, const std::map<uint32_t, Row>& model, const std::string& when) {
  ASSERT_EQ(c.Table()->IndexFile().GetRecordCount(), model.size()) << when;
  for (const auto& [n, row] : model) {
    const Row got = read(c, n);
    EXPECT_EQ(got.k, row.k) << when << " record " << n;
    EXPECT_EQ(got.name, row.name) << when << " record " << n;
    EXPECT_EQ(got.amount, row.amount) << when << " record " << n;
  }
}

TEST(CursorWriteTest, RandomWritesMatchTheModelAndSurviveAReopen) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  TempDir dir;
  Database db(dir.path());
  auto open = [&](bool exclusive) { return rowsCursor(*db.directory, exclusive); };
  TCreateTableArgs args = rowsTable();
  args.Fields[0].SetMinText("0");
  args.Fields[0].SetMaxText("30");
  args.Fields[1].SetRequired(1);
  args.Fields[1].SetCaseRule(2);
  // Without a primary index records are only appended; with one, deleted slots are taken again.
  if ((args.NoPrimaryIndex = random() % 2 == 0)) args.Indexes[0].fields[0] = 0;
  rowsCursor(*db.directory, true)->CreateTable(args);
  auto c = open(random() % 2 == 0);
  c->Open();
  std::map<uint32_t, Row> model;
  // NAME is kept in upper case by the locale's mapping and without trailing blanks.
  const char* names[] = {"ann", "Ann", "bob", "Zoe", "zoë", "", "carl  "};
  const char* stored[] = {"ANN", "ANN", "BOB", "ZOE", "ZOË", "", "CARL"};
  std::string written;
  auto someRow = [&] {
    const size_t n = random() % 7;
    written = names[n];
    return Row{int32_t(random() % 40) - 3, stored[n], double(int(random() % 9) - 4) / 2};
  };
  auto kTaken = [&](int32_t k, uint32_t except) {
    for (const auto& [n, row] : model)
      if (row.k == k && n != except) return true;
    return false;
  };
  // The field rules come first, in field order, then the unique key.
  auto refusal = [&](const Row& r, uint32_t self) -> uint16_t {
    if (r.k < 0 || r.k > 30) return r.k < 0 ? VELDOR_MINVALERR : VELDOR_MAXVALERR;
    if (r.name.empty()) return VELDOR_REQDERR;
    return kTaken(r.k, self) ? VELDOR_KEYVIOL : 0;
  };
  std::vector<uint8_t> buffer(c->RecordSize());
  for (int step = 0; step < 300; ++step) {
    const int op = model.empty() ? 0 : int(random() % 3);
    const Row row = someRow();
    const std::string when = "step " + std::to_string(step) + " seed " + std::to_string(seed);
    if (op == 0) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{row.k, written, row.amount});
      const uint16_t error = errorOf([&] { c->AppendRecord(buffer.data()); });
      ASSERT_EQ(error, refusal(row, 0)) << when;
      if (error == 0) model[c->CurrentRecordNo()] = row;
    } else {
      auto it = std::next(model.begin(), long(random() % model.size()));
      c->SetToRecordNo(it->first);
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0) << when;
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0) << when;
      if (op == 1) {
        put(*c, buffer, Row{row.k, written, row.amount});
        const uint16_t error = errorOf([&] { c->ModifyRecord(buffer.data()); });
        ASSERT_EQ(error, refusal(row, it->first)) << when;
        if (error == 0) it->second = row;
        c->CancelRecord();
      } else {
        c->DeleteRecord(buffer.data());
        model.erase(it);
      }
    }
    if (step % 50 == 49) expectTable(*c, model, when);
    if (step % 50 == 49 && !c->Options().Exclusive) expectIntact(dir, "rows", *c);
  }
  c.reset();
  auto again = open(false);
  again->Open();
  expectTable(*again, model, "reopened");
  expectIntact(dir, "rows", *again);

  // A unique index over equal keys is refused and goes again; no record is lost.
  again->Close();
  auto exclusive = open(true);
  exclusive->Open();
  TIndexDescriptor byName;
  byName.name = "UNAMES";
  byName.fields[0] = 2;
  byName.unique = 1;
  bool duplicates = false;
  for (auto a = model.begin(); a != model.end(); ++a)
    for (auto b = std::next(a); b != model.end(); ++b)
      duplicates |= OSCompareStrings(0x0409, 0, a->second.name, false, 0, b->second.name) == 0;
  EXPECT_EQ(errorOf([&] { exclusive->AddSecondaryIndex(byName); }), duplicates ? VELDOR_KEYVIOL : 0);
  EXPECT_EQ(exclusive->IndexExists("UNAMES"), !duplicates);
  TIndexDescriptor byAmount;
  byAmount.name = "AMOUNTS";
  byAmount.fields = {3, 1};
  exclusive->AddSecondaryIndex(byAmount);
  // Deleting an index leaves the primary index current without the range of the index before.
  exclusive->SetIndexName("BYK");
  std::vector<uint8_t> low(exclusive->RecordSize()), high(exclusive->RecordSize());
  put(*exclusive, low, Row{INT32_MIN, "", 0});
  put(*exclusive, high, Row{INT32_MIN, "", 0});
  exclusive->SetRange(false, low.data(), 1, high.data(), 1);
  exclusive->DeleteIndex("byname");
  EXPECT_EQ(exclusive->CurrentIndex(), kPrimarySlot);
  EXPECT_EQ(exclusive->GetRecordCount(), int32_t(model.size()));
  EXPECT_EQ(exclusive->Table()->IndexFile().GetRecordCount(), model.size());
  exclusive->Close();
  again->Open();
  expectIntact(dir, "rows", *again);

  // The checker sees a record whose field no longer matches its keys.
  if (model.empty()) return;
  const uint32_t damaged = model.begin()->first;
  datafile_test::patchFile(dir.file("rows.DAT"), [&](std::vector<uint8_t>& bytes) {
    bytes[127 + 4 * 768 + (damaged - 1) * again->RecordSize() + 10] ^= 0x40;
  });
  tablecheck::Options options;
  options.checkRecordKeys = true;
  const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("rows"), options);
  EXPECT_NE(report.text().find("of record " + std::to_string(damaged) + " is not the record's key"),
            std::string::npos)
      << report.text();
}

// Creates table "memos" through `c`, leaving `c` exclusive: a key K, a memo NOTES in blocks of
// 512 bytes and the fields `more`; with `textIndex`, NOTES has the text index.
void createMemos(TDataCursor& c, std::vector<TFieldDescriptor> more = {}, bool textIndex = false) {
  using datafile_test::field;
  c.SetTableName("memos");
  c.SetExclusive(true);
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Fields = {field(1, "K", 6), field(2, "NOTES", kFieldTypeBlob, 0, 22)};
  a.Fields.insert(a.Fields.end(), more.begin(), more.end());
  a.Indexes.resize(1);
  a.Indexes[0].fields[0] = 1;
  if (textIndex) a.TextIndex.fields[0] = 2;
  c.CreateTable(a);
}

// Adds to the open cursor's field list `field`, computed as `text`.
void addComputedField(TDataCursor& c, TFieldDescriptor field, const char* text) {
  std::vector<TFieldDescriptor> fields;
  for (uint16_t p = 1; p <= c.FieldCount(); ++p) fields.push_back(c.Field(p).desc);
  field.SetComputed(true);
  fields.push_back(field);
  c.SetFieldDescs(fields);
  TExpressionParser parser;
  parser.SetText(text);
  parser.NextToken();
  TExpToken* tree = parser.ParseExpression(0);
  TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, false, &TDataCursor::BindColumn, &c, nullptr, *tree,
                   "field");
  c.AttachFieldExpression(uint16_t(fields.size()), tree);
}

// A modify that leaves the record's key in the cursor's index as it was keeps the cursor where it
// stood without searching the index again; the place must be the one a search finds (record,
// sequence number, record with its computed field, the records either side), whatever else the
// write changed, in each index order, also when another cursor changed the table just before.
TEST(CursorWriteTest, AModifyKeepingItsKeyLeavesTheCursorWhereASearchPutsIt) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  TempDir dir;
  Database db(dir.path());
  rowsCursor(*db.directory, true, true);
  auto cursor = rowsCursor(*db.directory, false);
  TDataCursor& c = *cursor;
  c.Open();
  addComputedField(c, datafile_test::field(5, "TWICE", 6), "k * 2 + 1");
  auto other = rowsCursor(*db.directory, false);
  other->Open();
  std::vector<uint8_t> buffer(c.RecordSize()), seen(c.RecordSize()), expected(c.RecordSize());
  std::vector<uint8_t> spare(other->RecordSize());
  std::set<int32_t> ks;
  const char* names[] = {"ann", "bob", "carl", "dora", "eve"};
  auto appendRow = [&](TDataCursor& to, std::vector<uint8_t>& into) {
    int32_t k;
    do k = int32_t(random() % 1000);
    while (ks.count(k));
    ks.insert(k);
    to.ClearRecordBuffer(into.data());
    put(to, into, Row{k, names[random() % 5], double(random() % 4)});
    to.AppendRecord(into.data());
  };
  for (int i = 0; i < 60; ++i) appendRow(c, buffer);
  const char* orders[] = {"BYK", "BYNAME", "BYAMOUNT"};
  for (int step = 0; step < 200; ++step) {
    const std::string when = "step " + std::to_string(step) + " seed " + std::to_string(seed);
    c.SetIndexName(orders[step % 3]);
    c.SetToRecNo(int32_t(1 + random() % uint32_t(c.GetRecordCount())));
    ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0) << when;
    const uint32_t recordNo = c.CurrentRecordNo();
    if (random() % 4 == 0) appendRow(*other, spare);
    bool isNull = false;
    Row row;
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.k));
    c.GetField(3, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&row.amount));
    // Fields of the other indexes, or of this one; AMOUNT orders BYAMOUNT with NAME.
    switch (random() % 3) {
      case 0:
        row.amount += 1;
        c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&row.amount));
        break;
      case 1:
        c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(names[random() % 5]));
        break;
      default:
        if (ks.size() < 900) {
          ks.erase(row.k);
          do row.k = int32_t(random() % 1000);
          while (ks.count(row.k));
          ks.insert(row.k);
        }
        c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.k));
    }
    c.ModifyRecord(buffer.data());
    ASSERT_EQ(c.CurrentRecordNo(), recordNo) << when;
    const std::vector<uint8_t> held = c.GetCurrentRecordBuffer();
    const int32_t sequence = c.GetSequenceNumber();
    ASSERT_EQ(c.GetCurrentRecord(seen.data(), false), 0) << when;
    std::vector<uint8_t> next(c.RecordSize()), prior(c.RecordSize());
    const uint16_t nextResult = c.GetNextRecord(next.data());
    c.SetToRecordNo(recordNo);
    const uint16_t priorResult = c.GetPriorRecord(prior.data());
    // The place a search finds.
    c.SetToRecordNo(recordNo);
    EXPECT_EQ(c.GetSequenceNumber(), sequence) << when;
    ASSERT_EQ(c.GetCurrentRecord(expected.data(), false), 0) << when;
    EXPECT_EQ(seen, expected) << when;
    EXPECT_EQ(held, c.GetCurrentRecordBuffer()) << when;
    std::vector<uint8_t> wantNext(c.RecordSize()), wantPrior(c.RecordSize());
    c.SetToRecNo(sequence + 1);
    const bool hasNext = sequence < c.GetRecordCount();
    if (hasNext) c.GetCurrentRecord(wantNext.data(), false);
    EXPECT_EQ(nextResult == 0, hasNext) << when;
    if (hasNext) {
      EXPECT_EQ(next, wantNext) << when;
    }
    if (sequence > 1) {
      c.SetToRecNo(sequence - 1);
      c.GetCurrentRecord(wantPrior.data(), false);
      EXPECT_EQ(priorResult, 0) << when;
      EXPECT_EQ(prior, wantPrior) << when;
    }
  }
}

// A delete through the cursor's own index leaves it on the entry that followed the record, found
// without another search; it must be the record a search finds there (checked against a second
// cursor), at the same sequence number, also when another cursor changed the table in between.
TEST(CursorWriteTest, ADeleteLeavesTheCursorOnTheRecordThatFollowedInItsIndex) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  TempDir dir;
  Database db(dir.path());
  rowsCursor(*db.directory, true, true);
  auto cursor = rowsCursor(*db.directory, false), other = rowsCursor(*db.directory, false),
       probe = rowsCursor(*db.directory, false);
  TDataCursor& c = *cursor;
  for (auto* open : {&c, other.get(), probe.get()}) open->Open();
  addComputedField(c, datafile_test::field(5, "TWICE", 6), "k * 2 + 1");
  std::vector<uint8_t> buffer(c.RecordSize()), spare(other->RecordSize()), seen(probe->RecordSize());
  int32_t nextK = 0;
  const char* names[] = {"ann", "bob", "carl", "dora", "eve"};
  auto appendRow = [&](TDataCursor& to, std::vector<uint8_t>& into) {
    to.ClearRecordBuffer(into.data());
    const int32_t k = int32_t((nextK++ * 7919) % 100000);
    put(to, into, Row{k, names[random() % 5], double(random() % 4)});
    to.AppendRecord(into.data());
  };
  for (int i = 0; i < 150; ++i) appendRow(c, buffer);
  const char* orders[] = {"BYK", "BYNAME", "BYAMOUNT"};
  for (int step = 0; step < 150; ++step) {
    const std::string when = "step " + std::to_string(step) + " seed " + std::to_string(seed);
    const char* order = orders[step % 3];
    c.SetIndexName(order);
    // The first and last records too, where no entry follows in the leaf or in the index.
    const int32_t count = c.GetRecordCount();
    const uint32_t pick = random() % 8;
    c.SetToRecNo(pick == 0 ? 1 : pick == 1 ? count : int32_t(1 + random() % uint32_t(count)));
    ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0) << when;
    const uint32_t recordNo = c.CurrentRecordNo();
    switch (random() % 6) {
      case 0:
        appendRow(*other, spare);
        break;
      case 1:
        other->SetIndexName("BYK");
        other->SetToRecNo(int32_t(1 + random() % uint32_t(other->GetRecordCount())));
        if (other->GetCurrentRecord(spare.data(), false) == 0 && other->CurrentRecordNo() != recordNo)
          other->DeleteRecord(spare.data());
        break;
      default:
        break;
    }
    probe->SetIndexName(order);
    probe->SetToRecordNo(recordNo);
    uint32_t following = 0;
    if (probe->GetNextRecord(seen.data()) == 0) following = probe->CurrentRecordNo();
    c.DeleteRecord(buffer.data());
    if (following != 0) {
      EXPECT_EQ(c.CurrentRecordNo(), following) << when;
      EXPECT_FALSE(c.AtEOF()) << when;
    }
    const int32_t sequence = c.GetSequenceNumber();
    const std::vector<uint8_t> held = c.GetCurrentRecordBuffer();
    const uint32_t standing = c.CurrentRecordNo();
    c.SetToRecordNo(standing);
    EXPECT_EQ(c.GetSequenceNumber(), sequence) << when;
    ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0) << when;
    EXPECT_EQ(held, c.GetCurrentRecordBuffer()) << when;
    if (c.GetRecordCount() < 60) {
      for (int i = 0; i < 60; ++i) appendRow(c, buffer);
    }
  }
}

// A cursor that holds its table alone reads the record a delete leaves it on only when it is
// wanted; a cursor sharing its table reads it at once. The same writes and moves on two such
// tables show the same records, places and results after every step: moves next and prior, the
// buffer looked at or not, a modify, append or delete, a search, a copy of the cursor, each right
// after a delete, also of the first and last records of the index.
TEST(CursorWriteTest, TheRecordADeleteStandsOnIsTheSameReadAtOnceOrWhenWanted) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  TempDir dir;
  Database db(dir.path());
  auto make = [&](const char* name, bool exclusive) {
    auto c = std::make_unique<TDataCursor>(*db.directory);
    c->SetTableName(name);
    c->SetExclusive(true);
    TCreateTableArgs args = rowsTable();
    c->CreateTable(args);
    c->SetExclusive(exclusive);
    c->Open();
    return c;
  };
  auto alone = make("alone", true), shared = make("shared", false);
  TDataCursor* both[] = {alone.get(), shared.get()};
  std::vector<uint8_t> buffer(alone->RecordSize()), got[2];
  int32_t nextK = 0;
  const char* names[] = {"ann", "bob", "carl", "dora", "eve"};
  // Runs `step` on both cursors; its result, and each cursor's place, must agree.
  auto each = [&](const std::string& when, auto&& step) {
    int64_t results[2];
    for (int i = 0; i < 2; ++i) results[i] = step(*both[i], got[i]);
    EXPECT_EQ(results[0], results[1]) << when;
    EXPECT_EQ(got[0], got[1]) << when;
    EXPECT_EQ(alone->CurrentRecordNo(), shared->CurrentRecordNo()) << when;
    EXPECT_EQ(alone->AtBOF(), shared->AtBOF()) << when;
    EXPECT_EQ(alone->AtEOF(), shared->AtEOF()) << when;
  };
  auto append = [&](const std::string& when) {
    const Row row{int32_t((nextK++ * 7919) % 100000), names[random() % 5], double(random() % 4)};
    each(when + " append", [&](TDataCursor& c, std::vector<uint8_t>& out) {
      out.assign(c.RecordSize(), 0);
      c.ClearRecordBuffer(out.data());
      put(c, out, row);
      c.AppendRecord(out.data());
      return int64_t(c.CurrentRecordNo());
    });
  };
  for (int i = 0; i < 120; ++i) append("fill");
  const char* orders[] = {"BYK", "BYNAME", "BYAMOUNT"};
  for (int step = 0; step < 240; ++step) {
    const std::string when = "step " + std::to_string(step) + " seed " + std::to_string(seed);
    const char* order = orders[random() % 3];
    const int32_t count = alone->GetRecordCount();
    const uint32_t pick = random() % 6;
    const int32_t at = pick == 0 ? 1 : pick == 1 ? count : int32_t(1 + random() % uint32_t(count));
    each(when + " place", [&](TDataCursor& c, std::vector<uint8_t>& out) {
      c.SetIndexName(order);
      c.SetToRecNo(at);
      out.assign(c.RecordSize(), 0);
      return int64_t(c.GetCurrentRecord(out.data(), false));
    });
    // One to three deletes in a row, each standing on what the one before left.
    const uint32_t deletes = 1 + random() % 3;
    for (uint32_t d = 0; d < deletes && alone->GetRecordCount() > 1; ++d)
      each(when + " delete", [&](TDataCursor& c, std::vector<uint8_t>& out) {
        if (c.AtEOF() || c.AtBOF()) return int64_t(-1);
        c.DeleteRecord(nullptr);
        out.clear();
        return int64_t(c.GetSequenceNumber());
      });
    const int32_t k = int32_t((random() % uint32_t(nextK)) * 7919 % 100000);
    const Row edit{int32_t(100000 + step), names[random() % 5], double(random() % 4)};
    switch (random() % 9) {
      case 0:
        each(when + " next", [&](TDataCursor& c, std::vector<uint8_t>& out) {
          out.assign(c.RecordSize(), 0);
          return int64_t(c.GetNextRecord(out.data()));
        });
        break;
      case 1:
        each(when + " prior", [&](TDataCursor& c, std::vector<uint8_t>& out) {
          out.assign(c.RecordSize(), 0);
          return int64_t(c.GetPriorRecord(out.data()));
        });
        break;
      case 2:
        each(when + " buffer", [&](TDataCursor& c, std::vector<uint8_t>& out) {
          out = c.GetCurrentRecordBuffer();
          return int64_t(c.RecordBuffer().size());
        });
        break;
      case 3:
        each(when + " modify", [&](TDataCursor& c, std::vector<uint8_t>& out) {
          if (c.AtEOF() || c.AtBOF()) return int64_t(-1);
          out.assign(c.RecordSize(), 0);
          c.ClearRecordBuffer(out.data());
          put(c, out, edit);
          c.ModifyRecord(out.data());
          out = c.GetCurrentRecordBuffer();
          return int64_t(c.CurrentRecordNo());
        });
        break;
      case 4:
        append(when);
        break;
      case 5:
        each(when + " find", [&](TDataCursor& c, std::vector<uint8_t>& out) {
          c.SetIndexName("BYK");
          out.assign(c.RecordSize(), 0);
          c.ClearRecordBuffer(out.data());
          put(c, out, Row{k, "", 0});
          const bool found = c.FindKey(false, out.data(), 1, true, 0, nullptr);
          out = c.GetCurrentRecordBuffer();
          return int64_t(found);
        });
        break;
      case 6:
        each(when + " copy", [&](TDataCursor& c, std::vector<uint8_t>& out) {
          std::unique_ptr<TDataCursor> copy = c.Clone();
          out = copy->GetCurrentRecordBuffer();
          return int64_t(copy->CurrentRecordNo());
        });
        break;
      default:
        break;
    }
    // Whatever came before, the current record as the cursor reads it now.
    each(when + " current", [&](TDataCursor& c, std::vector<uint8_t>& out) {
      out.assign(c.RecordSize(), 0);
      return int64_t(c.GetCurrentRecord(out.data(), false));
    });
    if (alone->GetRecordCount() < 40)
      for (int i = 0; i < 60; ++i) append(when + " refill");
  }
  for (TDataCursor* c : both) c->Close();
  shared->Open();
  expectIntact(dir, "shared", *shared);
  shared->Close();
  alone->Open();
  expectIntact(dir, "alone", *alone);
}

// In record-number order an append stands on the record it wrote with the image it wrote, not
// one read back; that image is the one a read finds, on a table held alone or shared, with a
// computed field (read back) or without, between deletes that leave gaps.
TEST(CursorWriteTest, AnAppendStandsOnTheRecordAsAReadFindsIt) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  TempDir dir;
  Database db(dir.path());
  int made = 0;
  for (const bool exclusive : {true, false})
    for (const bool computed : {false, true}) {
      const std::string name = "t" + std::to_string(made++);
      auto c = std::make_unique<TDataCursor>(*db.directory);
      c->SetTableName(name);
      c->SetExclusive(true);
      TCreateTableArgs args = rowsTable();
      args.NoPrimaryIndex = true;
      args.Indexes[0].fields[0] = 0;
      c->CreateTable(args);
      c->SetExclusive(exclusive);
      c->Open();
      if (computed) addComputedField(*c, datafile_test::field(5, "TWICE", 6), "k * 2 + 1");
      std::vector<uint8_t> buffer(c->RecordSize()), fresh(c->RecordSize());
      for (int i = 0; i < 150; ++i) {
        const std::string when = name + " append " + std::to_string(i) + " seed " + std::to_string(seed);
        c->ClearRecordBuffer(buffer.data());
        put(*c, buffer, Row{i, i % 2 ? "odd" : "even", double(random() % 50)});
        c->AppendRecord(buffer.data());
        const std::vector<uint8_t> held = c->GetCurrentRecordBuffer();
        const uint32_t recordNo = c->CurrentRecordNo();
        const int32_t sequence = c->GetSequenceNumber();
        EXPECT_EQ(sequence, c->GetRecordCount()) << when;
        c->SetToRecordNo(recordNo);
        EXPECT_EQ(c->GetSequenceNumber(), sequence) << when;
        ASSERT_EQ(c->GetCurrentRecord(fresh.data(), false), 0) << when;
        EXPECT_EQ(held, fresh) << when;
        if (random() % 4 == 0) {
          c->SetToRecNo(int32_t(1 + random() % uint32_t(c->GetRecordCount())));
          if (c->GetCurrentRecord(buffer.data(), false) == 0) c->DeleteRecord(buffer.data());
        }
      }
      c->Close();
    }
}

// The record a delete leaves a cursor holding its table alone on is read when first wanted: no
// cursor of the session, no other session and no other process can open the table to change it
// in between.
TEST(CursorWriteTest, NothingElseOpensATableHeldAloneBetweenADeleteAndTheReadItPostponed) {
  TempDir dir;
  {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, true, true);
    c->Open();
    std::vector<uint8_t> buffer(c->RecordSize());
    for (int32_t k = 1; k <= 10; ++k) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "n", double(k)});
      c->AppendRecord(buffer.data());
    }
  }
  Helper other([&](Helper& h) {
    if (h.receive() != 'o') return 1;
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, false);
    h.send(errorOf([&] { c->Open(); }) != 0 ? 'r' : 'a');
    return 0;
  });
  Database db(dir.path());
  auto c = rowsCursor(*db.directory, true);
  c->Open();
  c->SetIndexName("BYK");
  std::vector<uint8_t> buffer(c->RecordSize());
  c->ClearRecordBuffer(buffer.data());
  put(*c, buffer, Row{3, "", 0});
  ASSERT_TRUE(c->FindKey(false, buffer.data(), 1, false, 0, nullptr));
  c->DeleteRecord(nullptr);
  auto sameSession = rowsCursor(*db.directory, false);
  EXPECT_NE(errorOf([&] { sameSession->Open(); }), 0);
  Database second(dir.path());
  auto otherSession = rowsCursor(*second.directory, false);
  EXPECT_NE(errorOf([&] { otherSession->Open(); }), 0);
  other.send('o');
  EXPECT_EQ(other.receive(), 'r');
  EXPECT_EQ(other.wait(), 0);
  int32_t k = 0;
  bool isNull = true;
  const std::vector<uint8_t> image = c->GetCurrentRecordBuffer();
  c->GetField(1, image.data(), isNull, reinterpret_cast<uint8_t*>(&k));
  EXPECT_EQ(k, 4);
}

// Searches in key order start from the pages of the search before. Between rounds of them
// another process splits the index's pages (keys between every two), merges them (most keys
// deleted), grows it past its last key and shrinks it to a root alone: each search after finds
// exactly the keys the table holds, at their places in key order.
TEST(CursorWriteTest, KeySearchesInOrderFollowAnotherProcesssSplitsMergesAndRootChanges) {
  TempDir dir;
  std::set<int32_t> model;
  {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, true, true);
    c->Open();
    std::vector<uint8_t> buffer(c->RecordSize());
    for (int32_t k = 2; k <= 1600; k += 2) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "n", double(k % 7)});
      c->AppendRecord(buffer.data());
      model.insert(k);
    }
  }
  // The other process's rounds, one a message: keys added or deleted, then 'D'.
  Helper other([&](Helper& h) {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, false);
    c->Open();
    c->SetIndexName("BYK");
    std::vector<uint8_t> buffer(c->RecordSize());
    const auto add = [&](int32_t k) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "m", 1});
      c->AppendRecord(buffer.data());
    };
    const auto erase = [&](int32_t k) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "", 0});
      if (!c->FindKey(false, buffer.data(), 1, false, 0, nullptr)) return false;
      c->DeleteRecord(nullptr);
      return true;
    };
    for (char round; (round = h.receive()) != 0;) {
      if (round == 'x') break;
      if (round == '1')
        for (int32_t k = 1; k < 1600; k += 2) add(k);
      if (round == '2')
        for (int32_t k = 1; k <= 1400; ++k)
          if (!erase(k)) return 2;
      if (round == '3')
        for (int32_t k = 5000; k < 5400; ++k) add(k);
      if (round == '4') {
        for (int32_t k = 1401; k <= 1600; ++k)
          if (!erase(k)) return 3;
        for (int32_t k = 5000; k < 5397; ++k)
          if (!erase(k)) return 4;
      }
      h.send('D');
    }
    return 0;
  });
  Database db(dir.path());
  auto c = rowsCursor(*db.directory, false);
  c->Open();
  c->SetIndexName("BYK");
  std::vector<uint8_t> buffer(c->RecordSize());
  const auto searchAll = [&](const std::string& when) {
    int32_t place = 0;
    for (int32_t k : model) {
      ++place;
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "", 0});
      ASSERT_TRUE(c->FindKey(false, buffer.data(), 1, false, 0, nullptr)) << when << " K " << k;
      ASSERT_EQ(c->GetSequenceNumber(), place) << when << " K " << k;
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0) << when;
      int32_t got = 0;
      bool isNull = true;
      c->GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&got));
      ASSERT_EQ(got, k) << when;
      // A key the table lacks, just past this one.
      if (!model.count(k + 1)) {
        c->ClearRecordBuffer(buffer.data());
        put(*c, buffer, Row{k + 1, "", 0});
        ASSERT_FALSE(c->FindKey(false, buffer.data(), 1, false, 0, nullptr)) << when << " K " << k + 1;
      }
    }
  };
  searchAll("as made");
  int32_t last = *model.rbegin();
  const auto round = [&](char r, const std::string& when) {
    other.send(r);
    ASSERT_EQ(other.receive(), 'D') << when;
    // The first search after the change is for the key the last one ended on.
    c->ClearRecordBuffer(buffer.data());
    put(*c, buffer, Row{last, "", 0});
    EXPECT_EQ(c->FindKey(false, buffer.data(), 1, false, 0, nullptr), model.count(last) == 1) << when;
    searchAll(when);
    last = *model.rbegin();
  };
  for (int32_t k = 1; k < 1600; k += 2) model.insert(k);
  round('1', "keys added between every two");
  for (int32_t k = 1; k <= 1400; ++k) model.erase(k);
  round('2', "most keys deleted");
  for (int32_t k = 5000; k < 5400; ++k) model.insert(k);
  round('3', "keys added past the last");
  for (int32_t k = 1401; k <= 1600; ++k) model.erase(k);
  for (int32_t k = 5000; k < 5397; ++k) model.erase(k);
  round('4', "a root alone");
  other.send('x');
  EXPECT_EQ(other.wait(), 0);
}

TEST(CursorWriteTest, ComputedFieldFollowsItsColumns) {
  TempDir dir;
  Database db(dir.path());
  auto cursor = rowsCursor(*db.directory, true, true);
  TDataCursor& c = *cursor;
  c.Open();
  addComputedField(c, datafile_test::field(5, "TWICE", 6), "k * 2 + 1");
  std::vector<uint8_t> buffer(c.RecordSize());
  put(c, buffer, Row{20, "x", 1});
  c.AppendRecord(buffer.data());
  std::fill(buffer.begin(), buffer.end(), 0);
  ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
  int32_t twice = 0;
  bool isNull = true;
  c.GetField(5, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&twice));
  EXPECT_FALSE(isNull);
  EXPECT_EQ(twice, 41);
  auto copy = c.Clone();
  ASSERT_EQ(copy->GetCurrentRecord(buffer.data(), false), 0);
  c.GetField(5, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&twice));
  EXPECT_EQ(twice, 41);
}

// A field computed from a memo reads the memo's whole text.
TEST(CursorWriteTest, ComputedFieldReadsAMemo) {
  using datafile_test::field;
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  createMemos(c);
  c.Open();
  addComputedField(c, field(3, "SIZE", 6), "LENGTH(NOTES)");
  const std::string notes(700, 'n');
  std::vector<uint8_t> buffer(c.RecordSize());
  ASSERT_EQ(c.OpenBlob(2, buffer.data(), 2, false, 0) +
                c.PutBlob(2, buffer.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()), 700, false),
            0);
  c.AppendRecord(buffer.data());
  c.FreeAllBlobs(true);
  int32_t size = 0;
  bool isNull = true;
  ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
  c.GetField(3, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&size));
  EXPECT_EQ(size, 700);
}

// A blob value read whole from a stored record (ReadBlobValue and ReadStoredBlob: straight from
// its chain) is the value a blob opened on the record gives, opened to read (its blocks read in
// passing) or to write (through the cache), for every length and a NULL one, and it fails as the
// open blob fails: a record whose value changed owner, too many open blobs.
TEST(CursorBlobTest, AValueReadWholeIsTheValueAnOpenBlobGives) {
  using datafile_test::field;
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  createMemos(c);
  c.SetExclusive(false);
  c.Open();
  const auto throughOpenBlob = [&](const std::vector<uint8_t>& record, uint8_t mode = 1) {
    std::vector<uint8_t> image = record, value;
    if (const uint16_t code = c.OpenBlob(2, image.data(), mode, false, 1)) return std::pair(code, value);
    uint32_t size = 0, read = 0;
    c.GetBlobSize(2, image.data(), size, false);
    value.resize(size);
    c.GetBlob(2, image.data(), 0, value.data(), int32_t(size), read, false);
    c.FreeBlob(2, image.data(), false, 1);
    return std::pair(uint16_t(0), value);
  };
  const std::vector<size_t> lengths = {0, 1, 493, 494, 495, 988, 5000};
  std::vector<uint8_t> buffer(c.RecordSize());
  for (size_t i = 0; i < lengths.size(); ++i) {
    c.ClearRecordBuffer(buffer.data());
    const int32_t k = int32_t(i);
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    if (lengths[i] > 0) {
      std::vector<uint8_t> notes(lengths[i]);
      for (size_t j = 0; j < notes.size(); ++j) notes[j] = uint8_t(j * 7 + i);
      ASSERT_EQ(c.OpenBlob(2, buffer.data(), 2, false, 0) +
                    c.PutBlob(2, buffer.data(), 0, notes.data(), int32_t(notes.size()), false),
                0);
    }
    c.AppendRecord(buffer.data());
    c.FreeAllBlobs(true);
  }
  c.SetToBegin();
  for (size_t i = 0; i < lengths.size(); ++i) {
    ASSERT_EQ(c.GetNextRecord(buffer.data()), 0);
    std::vector<uint8_t> value;
    EXPECT_EQ(c.ReadBlobValue(2, false, buffer.data(), value), lengths[i] > 0) << lengths[i];
    EXPECT_EQ(value.size(), lengths[i]);
    EXPECT_EQ(value, throughOpenBlob(buffer).second) << lengths[i];
    EXPECT_EQ(value, throughOpenBlob(buffer, 2).second) << lengths[i];
    ASSERT_TRUE(c.ReadsStoredBlob(2, false, buffer.data()));
    std::string text = "left over";
    EXPECT_EQ(c.ReadStoredBlob(2, false, buffer.data(), text), 0);
    EXPECT_EQ(text, std::string(value.begin(), value.end())) << lengths[i];
  }
  // The last record's value given to another record meanwhile (its owner differs now).
  std::vector<uint8_t> last = buffer;
  ASSERT_EQ(c.GetPriorRecord(buffer.data()), 0);
  std::memcpy(last.data() + 1, buffer.data() + 1, 4);
  std::vector<uint8_t> value;
  EXPECT_EQ(errorOf([&] { c.ReadBlobValue(2, false, last.data(), value); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(throughOpenBlob(last).first, VELDOR_KEYORRECDELETED);
  EXPECT_EQ(throughOpenBlob(last, 2).first, VELDOR_KEYORRECDELETED);
  std::string text;
  EXPECT_EQ(c.ReadStoredBlob(2, false, last.data(), text), VELDOR_KEYORRECDELETED);
  // With the cursor's open blobs at their limit, a value cannot be read either way.
  std::vector<std::vector<uint8_t>> held(TDataCursor::kMaxOpenBlobs, buffer);
  for (auto& image : held) ASSERT_EQ(c.OpenBlob(2, image.data(), 1, false, 0), 0);
  EXPECT_EQ(throughOpenBlob(buffer).first, VELDOR_OPENBLOBLIMIT);
  EXPECT_EQ(errorOf([&] { c.ReadBlobValue(2, false, buffer.data(), value); }), VELDOR_OPENBLOBLIMIT);
  EXPECT_EQ(c.ReadStoredBlob(2, false, buffer.data(), text), VELDOR_OPENBLOBLIMIT);
  // Open in the record, a blob is not read from its chain.
  EXPECT_FALSE(c.ReadsStoredBlob(2, false, held[0].data()));
  c.FreeAllBlobs(true);
}

// A blob opened to be read and then written starts from the value it was opened with: the text
// index trades that value's words for the new ones, and bytes left in memory by a longer value
// read before it never show.
TEST(CursorBlobTest, ABlobOpenedToReadThenWrittenStartsFromTheValueItWasOpenedWith) {
  using datafile_test::field;
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  createMemos(c, {}, true);
  c.SetExclusive(false);
  c.Open();
  const auto put = [&](std::vector<uint8_t>& record, uint8_t mode, int32_t position,
                       const std::string& text) {
    return c.OpenBlob(2, record.data(), mode, false, 0) +
           c.PutBlob(2, record.data(), position, reinterpret_cast<const uint8_t*>(text.data()),
                     int32_t(text.size()), false);
  };
  // The records the text index names for `word`.
  const auto having = [&](const char* word) {
    TRecordsBitmap bitmap;
    bitmap.SetSize(4);
    bitmap.SetAll();
    c.NarrowByTextIndex(2, word, bitmap);
    std::set<uint32_t> records;
    for (uint32_t n = 1; n <= 4; ++n)
      if (bitmap.GetBit(n)) records.insert(n);
    return records;
  };
  const auto stored = [&] {
    std::vector<uint8_t> record(c.RecordSize()), value;
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), 0);
    c.ReadBlobValue(2, false, record.data(), value);
    return std::string(value.begin(), value.end());
  };
  std::vector<uint8_t> record(c.RecordSize());
  for (int32_t k : {1, 2}) {
    c.ClearRecordBuffer(record.data());
    c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
    ASSERT_EQ(put(record, 2, 0, k == 1 ? std::string(700, 'x') + " long" : "alpha beta"), 0);
    c.AppendRecord(record.data());
    c.FreeAllBlobs(true);
  }
  c.SetToRecNo(1);
  ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0);
  uint32_t size = 0;
  ASSERT_EQ(c.OpenBlob(2, record.data(), 1, false, 0) + c.GetBlobSize(2, record.data(), size, false), 0);
  EXPECT_EQ(size, 705u);
  ASSERT_EQ(c.FreeBlob(2, record.data(), false, 0), 0);
  c.SetToRecNo(2);
  ASSERT_EQ(c.GetCurrentRecord(record.data(), false), 0);
  // Opened to read, then its end rewritten: "beta" gives way to "gamma".
  ASSERT_EQ(put(record, 1, 6, "gamma"), 0);
  c.ModifyRecord(record.data());
  c.FreeAllBlobs(true);
  EXPECT_EQ(stored(), "alpha gamma");
  // A new record's blob, written past its start only: the gap reads as zeros.
  int32_t k = 3;
  c.ClearRecordBuffer(record.data());
  c.PutField(1, record.data(), reinterpret_cast<const uint8_t*>(&k));
  ASSERT_EQ(put(record, 1, 3, "delta"), 0);
  c.AppendRecord(record.data());
  c.FreeAllBlobs(true);
  EXPECT_EQ(stored(), std::string(3, '\0') + "delta");
  EXPECT_EQ(having("beta"), std::set<uint32_t>{});
  EXPECT_EQ(having("gamma"), std::set<uint32_t>{2});
  EXPECT_EQ(having("alpha"), std::set<uint32_t>{2});
  EXPECT_EQ(having("long"), std::set<uint32_t>{1});
  EXPECT_EQ(having("delta"), std::set<uint32_t>{3});
}

// A blob already open in a record buffer (the caller's, or one a record copy opened) is read from
// the open blob: the read neither takes it over nor frees it, so its unsaved value stays and the
// append or modify that follows writes it. A field computed from the memo reads it so whenever a
// value put into the record recomputes the fields.
TEST(CursorBlobTest, ReadingABlobOpenInTheRecordKeepsItsUnsavedValue) {
  using datafile_test::field;
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  createMemos(c, {field(3, "EXTRA", kFieldTypeBlob, 0, 22), field(4, "N", 6)});
  c.Open();
  addComputedField(c, field(5, "SIZE", 6), "LENGTH(NOTES)");
  const auto bytes = [](size_t n, char fill) { return std::vector<uint8_t>(n, uint8_t(fill)); };
  const auto write = [&](std::vector<uint8_t>& buffer, uint16_t fieldNo, const std::vector<uint8_t>& value) {
    return c.OpenBlob(fieldNo, buffer.data(), 2, false, 0) +
           c.TruncateBlob(fieldNo, buffer.data(), 0, false) +
           c.PutBlob(fieldNo, buffer.data(), 0, value.data(), int32_t(value.size()), false);
  };
  const auto read = [&](const std::vector<uint8_t>& buffer, uint16_t fieldNo) {
    std::vector<uint8_t> value;
    c.ReadBlobValue(fieldNo, false, buffer.data(), value);
    return value;
  };
  const auto putInt = [&](std::vector<uint8_t>& buffer, uint16_t fieldNo, int32_t v) {
    c.PutField(fieldNo, buffer.data(), reinterpret_cast<const uint8_t*>(&v));
  };
  const auto size = [&](const std::vector<uint8_t>& buffer) {
    int32_t value = -1;
    bool isNull = true;
    c.GetField(5, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&value));
    return value;
  };
  const auto current = [&] {
    std::vector<uint8_t> record(c.RecordSize());
    EXPECT_EQ(c.GetCurrentRecord(record.data(), false), 0);
    return record;
  };
  const auto handleOf = [&](const std::vector<uint8_t>& buffer, uint16_t fieldNo) {
    int32_t word = 0;
    std::memcpy(&word, buffer.data() + c.GetFieldDesc(fieldNo).Offset() + 1, 4);
    return uint32_t(-int64_t(word));
  };

  // A new record: both blobs open and written, neither saved yet.
  std::vector<uint8_t> buffer(c.RecordSize());
  c.ClearRecordBuffer(buffer.data());
  ASSERT_EQ(write(buffer, 2, bytes(700, 'a')) + write(buffer, 3, bytes(10, 'e')), 0);
  EXPECT_EQ(read(buffer, 2), bytes(700, 'a'));
  EXPECT_EQ(read(buffer, 3), bytes(10, 'e'));
  putInt(buffer, 1, 1);
  EXPECT_EQ(size(buffer), 700);
  ASSERT_EQ(c.OpenBlobCount(), 2u);
  EXPECT_TRUE(c.IsOpenBlob(handleOf(buffer, 2)));
  // Still the caller's: more bytes go in, and freeing it with the caller's tag closes it.
  const std::vector<uint8_t> more = bytes(100, 'b');
  ASSERT_EQ(c.PutBlob(2, buffer.data(), 700, more.data(), 100, false), 0);
  c.AppendRecord(buffer.data());
  c.FreeAllBlobs(true);
  std::vector<uint8_t> whole = bytes(700, 'a');
  whole.insert(whole.end(), more.begin(), more.end());
  EXPECT_EQ(read(current(), 2), whole);
  EXPECT_EQ(read(current(), 3), bytes(10, 'e'));
  EXPECT_EQ(size(current()), 800);

  // The stored record edited: NOTES rewritten in the buffer, EXTRA read from its chain.
  buffer = current();
  ASSERT_EQ(write(buffer, 2, bytes(300, 'c')), 0);
  EXPECT_EQ(read(buffer, 2), bytes(300, 'c'));
  EXPECT_EQ(read(buffer, 3), bytes(10, 'e'));
  putInt(buffer, 4, 7);
  EXPECT_EQ(size(buffer), 300);
  ASSERT_EQ(c.OpenBlobCount(), 1u);
  ASSERT_EQ(c.FreeBlob(2, buffer.data(), false, 1), 0);
  EXPECT_EQ(c.OpenBlobCount(), 1u) << "freed by a tag that did not open it";
  c.ModifyRecord(buffer.data());
  c.FreeAllBlobs(true);
  EXPECT_EQ(read(current(), 2), bytes(300, 'c'));
  EXPECT_EQ(size(current()), 300);

  // A copy of the record: its blobs, opened by the copy, are kept while N's value recomputes SIZE.
  ASSERT_EQ(c.CloneCurrentRecord(buffer.data()), 0);
  EXPECT_EQ(c.OpenBlobCount(), 2u);
  putInt(buffer, 1, 2);
  c.AppendRecord(buffer.data());
  c.FreeAllBlobs(true);
  EXPECT_EQ(read(current(), 2), bytes(300, 'c'));
  EXPECT_EQ(read(current(), 3), bytes(10, 'e'));
  EXPECT_EQ(size(current()), 300);

  // A handle no open blob has is refused, as every blob step refuses it.
  std::vector<uint8_t> stale = buffer;
  const int32_t word = -0x7000000;
  std::memcpy(stale.data() + c.GetFieldDesc(2).Offset() + 1, &word, 4);
  stale[c.GetFieldDesc(2).Offset()] = 1;
  std::vector<uint8_t> value;
  EXPECT_EQ(errorOf([&] { c.ReadBlobValue(2, false, stale.data(), value); }), VELDOR_INVALIDBLOBHANDLE);
}

TEST(CursorWriteTest, AnEditWithoutItsLockLosesNoUpdateAndIdsNeverWrap) {
  TempDir dir;
  Database db(dir.path());
  auto mine = rowsCursor(*db.directory, false, true), theirs = rowsCursor(*db.directory, false);
  mine->Open();
  theirs->Open();
  std::vector<uint8_t> buffer(mine->RecordSize()), other(mine->RecordSize());
  put(*mine, buffer, Row{1, "one", 1});
  mine->AppendRecord(buffer.data());
  ASSERT_EQ(mine->GetCurrentRecord(buffer.data(), false), 0);
  theirs->SetToRecordNo(1);
  ASSERT_EQ(theirs->GetCurrentRecord(other.data(), false), 0);
  put(*theirs, other, Row{2, "two", 2});
  theirs->ModifyRecord(other.data());
  // Edited from the image before theirs, without taking the record's lock first.
  put(*mine, buffer, Row{3, "three", 3});
  EXPECT_EQ(errorOf([&] { mine->ModifyRecord(buffer.data()); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(read(*mine, 1).k, 2);
  mine->Close();
  theirs->Close();

  // The last unique id given out: the next append is refused before anything changes.
  datafile_test::patchFile(dir.file("rows.DAT"), [](std::vector<uint8_t>& bytes) {
    bytes[17] = bytes[18] = bytes[19] = 0xFF, bytes[20] = 0x7F;
  });
  mine->Open();
  put(*mine, buffer, Row{4, "four", 4});
  EXPECT_EQ(errorOf([&] { mine->AppendRecord(buffer.data()); }), VELDOR_TABLEFULL);
  EXPECT_EQ(mine->Table()->IndexFile().GetRecordCount(), 1u);
  expectIntact(dir, "rows", *mine);
}

// A delete that finds one of the record's keys missing from its index fails as a damaged index
// and changes nothing: the keys it had removed from the other indexes are back, the record stays.
TEST(CursorWriteTest, ADeleteWhoseKeyIsMissingFailsAndLeavesTheOtherKeys) {
  TempDir dir;
  Database db(dir.path());
  auto c = rowsCursor(*db.directory, true, true);
  c->Open();
  std::vector<uint8_t> buffer(c->RecordSize());
  for (const Row& r : {Row{1, "ann", 1}, Row{2, "bob", 2}, Row{3, "carl", 3}}) {
    c->ClearRecordBuffer(buffer.data());
    put(*c, buffer, r);
    c->AppendRecord(buffer.data());
  }
  c->SetToRecordNo(2);
  ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
  // BYAMOUNT (slot 3) comes after BYK and BYNAME, whose keys the delete removes first.
  c->SelectIndex(3);
  std::vector<uint8_t> key(c->CurrentKeySize());
  c->BuildKey(buffer.data(), key.data(), buffer.data());
  ASSERT_TRUE(TIndexTree(c->Table()->IndexFile(), *c, 3).DeleteKey(key.data()));
  c->SwitchToIndex(255);
  c->SetToRecordNo(2);
  EXPECT_EQ(errorOf([&] { c->DeleteRecord(buffer.data()); }), VELDOR_INDEXCORRUPT);
  EXPECT_EQ(c->Table()->IndexFile().GetRecordCount(), 3u);
  EXPECT_EQ(read(*c, 2).k, 2);
  for (const char* index : {"BYK", "BYNAME"}) {
    c->SetIndexName(index);
    uint32_t seen = 0;
    c->SetToBegin();
    while (c->GetNextRecord(buffer.data()) == 0) ++seen;
    EXPECT_EQ(seen, 3u) << index;
  }
}

// An I/O error at any read or write of an append, modify or delete: the write fails, and the
// table reads back whole, with the change or without it.
TEST(CursorWriteTest, AWriteThatFailsAnywhereLeavesAWholeTable) {
  TempDir dir;
  std::vector<std::vector<uint8_t>> pristine;
  {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, true, true);
    c->Open();
    std::vector<uint8_t> buffer(c->RecordSize());
    for (int32_t k = 0; k < 60; ++k) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "name" + std::to_string(k % 7), double(k)});
      c->AppendRecord(buffer.data());
    }
  }
  pristine = table_test::tableImages(dir, "rows");
  for (int op = 0; op < 3; ++op) {
    bool completed = false;
    uint64_t failures = 0;
    for (uint64_t k = 1; k < 200 && !completed; ++k) {
      const std::string what = "operation " + std::to_string(op) + ", fault at " + std::to_string(k);
      table_test::writeTableImages(dir, pristine, "rows");
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      {
        Database db(dir.path(), &list);
        auto cursor = rowsCursor(*db.directory, false);
        TDataCursor& c = *cursor;
        c.Open();
        std::vector<uint8_t> buffer(c.RecordSize());
        c.SetToRecordNo(30);
        ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0) << what;
        if (op < 2) put(c, buffer, Row{op == 0 ? 100 : 101, "changed", -1});
        faulty.setPlan({platform::Fault::IoError, k, false});
        const uint16_t code = errorOf([&] {
          if (op == 0) c.AppendRecord(buffer.data());
          if (op == 1) c.ModifyRecord(buffer.data());
          if (op == 2) c.DeleteRecord(buffer.data());
        });
        faulty.setPlan({});
        completed = code == 0;
        failures += !completed;
      }
      Database db(dir.path());
      auto c = rowsCursor(*db.directory, false);
      c->Open();
      expectIntact(dir, "rows", *c);
      const uint32_t count = c->Table()->IndexFile().GetRecordCount();
      EXPECT_TRUE(count == 60 || count == (op == 0 ? 61u : op == 2 ? 59u : 60u)) << what;
    }
    EXPECT_TRUE(completed && failures > 0) << "operation " << op;
  }
}

// Four processes add one to a counter 1,000 times each, first holding the record's lock from
// read to write, then writing only when nobody changed the record meanwhile.
int countUp(Helper& h, const std::string& path, TLockProtocol protocol, int times) {
  Database db(path);
  db.session.SetLockProtocol(protocol);
  db.session.SetLockWaitTime(1);
  auto cursor = rowsCursor(*db.directory, false);
  TDataCursor& c = *cursor;
  c.Open();
  std::vector<uint8_t> seen(c.RecordSize()), buffer(c.RecordSize());
  h.send('R');
  if (h.receive() != 'G') return 3;
  for (int done = 0; done < times;) {
    c.SetToRecordNo(1);
    try {
      if (c.GetCurrentRecord(seen.data(), false) != 0) return 4;
      buffer = seen;
      if (protocol == lpPessimistic && c.GetCurrentRecord(buffer.data(), true) != 0) return 5;
      int32_t v;
      std::memcpy(&v, buffer.data() + 10, 4);
      ++v;
      c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&v));
      c.ModifyRecord(buffer.data());
      ++done;
    } catch (const EVELDOREngineError& e) {
      // Busy, or changed meanwhile: the edit starts again. Anything else is a failure.
      if (e.ErrorCode() != VELDOR_RECLOCKFAILED && e.ErrorCode() != VELDOR_KEYORRECDELETED &&
          e.ErrorCode() != VELDOR_LOCKTIMEOUT)
        return 6;
      c.CancelRecord();
    }
  }
  return 0;
}

// Two processes take turns: one appends, deletes and changes BYK keys, the other, whose cursor
// keeps its index pages cached, then finds exactly the keys of the model both draw from the seed.
int alternate(Helper& h, const std::string& path, uint32_t seed, bool first) {
  Database db(path);
  auto c = rowsCursor(*db.directory, false);
  c->Open();
  c->SelectIndex(1);
  std::vector<uint8_t> buffer(c->RecordSize());
  std::mt19937 random(seed);
  std::set<int32_t> model;
  const auto find = [&](int32_t k) {
    put(*c, buffer, Row{k, "", 0});
    return c->FindKey(false, buffer.data(), 1, false, 0, buffer.data());
  };
  for (int round = 0; round < 12; ++round) {
    const bool mine = (round % 2 == 0) == first;
    for (int op = 0; op < (round == 0 ? 1500 : 60); ++op) {
      const uint32_t kind = round == 0 ? 0 : random() % 3;  // append, delete, change
      const int32_t k =
          kind == 0 ? int32_t(random() % 4000) : *std::next(model.begin(), random() % model.size());
      const int32_t to = kind == 2 ? int32_t(random() % 4000) : k;
      if ((kind != 1 && model.count(to)) || (kind == 1 ? !model.erase(k) : !model.insert(to).second))
        continue;
      if (kind == 2) model.erase(k);
      if (!mine) continue;
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "n", double(k)});
      if (kind == 0) c->AppendRecord(buffer.data());
      if (kind != 0 && (!find(k) || c->GetCurrentRecord(buffer.data(), true))) return 4;
      if (kind == 1) c->DeleteRecord(buffer.data());
      if (kind == 2) c->PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&to));
      if (kind == 2) c->ModifyRecord(buffer.data());
    }
    if (mine) h.send('D');
    if (mine) continue;
    if (h.receive() != 'D') return 3;
    for (int32_t k = 0; k < 4000; ++k)
      if (find(k) != (model.count(k) != 0)) return 5;
  }
  return 0;
}

// Records found one at a time in number order come from one read of the records that follow;
// another process changes records inside and around that run between two finds, and each find
// shows the record as that process committed it.
TEST(CursorWriteTest, RecordsFoundInNumberOrderShowWhatAnotherProcessChangedMeanwhile) {
  const uint32_t seed = storage_test::testSeed();
  TempDir dir;
  constexpr int32_t kRows = 200;
  {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, true, true);
    c->Open();
    std::vector<uint8_t> buffer(c->RecordSize());
    for (int32_t k = 1; k <= kRows; ++k) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, Row{k, "row", 0});
      c->AppendRecord(buffer.data());
    }
  }
  // The other process adds one to the AMOUNT of the record whose K it is sent, until it is sent 0.
  Helper other([&](Helper& h) {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, false);
    c->Open();
    c->SetIndexName("BYK");
    std::vector<uint8_t> buffer(c->RecordSize());
    for (char k; (k = h.receive()) != 0;) {
      put(*c, buffer, Row{uint8_t(k), "", 0});
      if (!c->FindKey(false, buffer.data(), 1, false, 0, nullptr)) return 2;
      if (c->GetCurrentRecord(buffer.data(), false) != 0) return 3;
      double amount = 0;
      bool isNull = false;
      c->GetField(3, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&amount));
      amount += 1;
      c->PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(&amount));
      c->ModifyRecord(buffer.data());
      h.send('D');
    }
    return 0;
  });
  Database db(dir.path());
  auto cursor = rowsCursor(*db.directory, false);
  TDataCursor& c = *cursor;
  c.Open();
  c.SetIndexName("BYK");
  std::mt19937 random(seed);
  std::vector<double> amounts(kRows + 1, 0);
  std::vector<uint8_t> buffer(c.RecordSize());
  for (int32_t k = 1; k <= kRows; ++k) {
    const std::string when = "K " + std::to_string(k) + " seed " + std::to_string(seed);
    if (random() % 3 == 0) {
      // Ahead of the walk mostly, sometimes just behind it.
      const int32_t target = std::clamp<int32_t>(k + int32_t(random() % 12) - 2, 1, std::min(kRows, 120));
      other.send(char(target));
      ASSERT_EQ(other.receive(), 'D') << when;
      amounts[size_t(target)] += 1;
    }
    put(c, buffer, Row{k, "", 0});
    ASSERT_TRUE(c.FindKey(false, buffer.data(), 1, false, 0, nullptr)) << when;
    const std::vector<uint8_t> held = c.GetCurrentRecordBuffer();
    double amount = -1;
    bool isNull = false;
    c.GetField(3, held.data(), isNull, reinterpret_cast<uint8_t*>(&amount));
    EXPECT_EQ(amount, amounts[size_t(k)]) << when;
  }
  other.send(0);
  EXPECT_EQ(other.wait(), 0);
}

TEST(CursorWriteTest, TwoProcessesTakingTurnsEachFindExactlyTheKeysTheOtherLeft) {
  const uint32_t seed = storage_test::testSeed();
  TempDir dir;
  {
    Database db(dir.path());
    rowsCursor(*db.directory, true, true);
  }
  Helper other([&](Helper& h) { return alternate(h, dir.path(), seed, true); });
  const int mine = alternate(other, dir.path(), seed, false);
  EXPECT_EQ(mine, 0);
  EXPECT_EQ(mine == 0 ? other.wait() : other.kill9(), 0);
}

TEST(CursorWriteTest, FourProcessesCountExactlyUnderEitherProtocol) {
  const int times = 1000;
  for (TLockProtocol protocol : {lpPessimistic, lpOptimistic}) {
    TempDir dir;
    {
      Database db(dir.path());
      auto c = rowsCursor(*db.directory, true, true);
      c->Open();
      std::vector<uint8_t> buffer(c->RecordSize());
      put(*c, buffer, Row{0, "count", 0});
      c->AppendRecord(buffer.data());
    }
    std::vector<std::unique_ptr<Helper>> writers;
    for (int i = 0; i < 4; ++i)
      writers.push_back(
          std::make_unique<Helper>([&](Helper& h) { return countUp(h, dir.path(), protocol, times); }));
    for (auto& w : writers) ASSERT_EQ(w->receive(), 'R');
    for (auto& w : writers) w->send('G');
    for (auto& w : writers) EXPECT_EQ(w->wait(), 0) << "protocol " << int(protocol);
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    std::vector<uint8_t> buffer(c.RecordSize());
    c.SetToRecordNo(1);
    ASSERT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
    EXPECT_EQ(platform::get4(buffer.data() + 10), uint32_t(4 * times)) << "protocol " << int(protocol);
    expectIntact(dir, "rows", c);
  }
}

// A data file cut from outside below the records its header counts: a delete, a modify or a read
// of a record that is gone is the read error of any short read (never the record taken for a
// deleted one, nor read as zeros), alone, in a transaction that changed a record, and in one
// whose writes are held back with an append; the failed write leaves the table's files as they
// were.
TEST(CursorWriteTest, ARecordCutFromTheDataFileIsAReadErrorForDeleteModifyAndRead) {
  enum Road { Delete, Modify, Read };
  for (const bool exclusive : {false, true})
    for (const int before : {0, 1, 2})
      for (const Road road : {Delete, Modify, Read}) {
        SCOPED_TRACE(std::string(exclusive ? "exclusive" : "shared") + ", " +
                     (before == 0   ? "no transaction"
                      : before == 1 ? "transaction with a modify"
                                    : "transaction with a modify and an append") +
                     ", " +
                     (road == Delete   ? "delete"
                      : road == Modify ? "modify"
                                       : "read"));
        TempDir dir;
        {
          Database db(dir.path());
          auto c = rowsCursor(*db.directory, true, true);
          c->Open();
          std::vector<uint8_t> buffer(c->RecordSize());
          for (int i = 1; i <= 40; ++i) {
            c->ClearRecordBuffer(buffer.data());
            put(*c, buffer, Row{i, "n" + std::to_string(i), double(i)});
            c->AppendRecord(buffer.data());
          }
        }
        Database db(dir.path());
        auto c = rowsCursor(*db.directory, exclusive);
        c->Open();
        std::vector<uint8_t> buffer(c->RecordSize());
        if (before > 0) {
          db.directory->StartTransaction();
          c->SetToRecordNo(1);
          ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
          put(*c, buffer, Row{1, "changed", 1});
          c->ModifyRecord(buffer.data());
        }
        if (before > 1) {
          c->ClearRecordBuffer(buffer.data());
          put(*c, buffer, Row{41, "n41", 41});
          c->AppendRecord(buffer.data());
        }
        c->SetIndexName("BYK");
        c->SetToRecordNo(40);
        ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
        // The last record loses its last bytes; what the caches hold of it goes too.
        std::filesystem::resize_file(dir.file("rows.DAT"),
                                     std::filesystem::file_size(dir.file("rows.DAT")) - 10);
        c->Table()->DataFile().ClearRecordCache();
        const auto files = table_test::tableImages(dir, "rows");
        put(*c, buffer, Row{40, "edited", 40});
        EXPECT_EQ(errorOf([&] {
                    if (road == Delete) c->DeleteRecord(buffer.data());
                    if (road == Modify) c->ModifyRecord(buffer.data());
                    if (road == Read) c->GetCurrentRecord(buffer.data(), false);
                  }),
                  VELDOR_READERR);
        // The rollback and the close meet the cut file too: a read error or nothing.
        for (const uint16_t error : {before > 0 ? errorOf([&] { db.directory->Rollback(); }) : uint16_t(0),
                                     errorOf([&] { c->Close(); })})
          EXPECT_TRUE(error == 0 || error == VELDOR_READERR) << error;
        EXPECT_EQ(table_test::tableImages(dir, "rows"), files) << "nothing written";
      }
}

// A file that is longer or shorter than it was, for reasons of its own, is read whole under held
// writes: one another process extended since this one last looked, one this table emptied and
// filled again before writing anything out, and one left empty.
TEST(CursorWriteTest, AFileExtendedElsewhereOrEmptiedHereIsReadWholeUnderHeldWrites) {
  TempDir dir;
  auto append = [](TDataCursor& c, int32_t from, int32_t to) {
    std::vector<uint8_t> buffer(c.RecordSize());
    for (int32_t k = from; k <= to; ++k) {
      c.ClearRecordBuffer(buffer.data());
      put(c, buffer, Row{k, "n" + std::to_string(k), double(k)});
      c.AppendRecord(buffer.data());
    }
  };
  {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, true, true);
    c->Open();
    append(*c, 1, 40);
  }
  Database db(dir.path());
  auto c = rowsCursor(*db.directory, false);
  c->Open();
  EXPECT_EQ(read(*c, 40).k, 40);
  Helper other([&](Helper&) {
    Database db(dir.path());
    auto c = rowsCursor(*db.directory, false);
    c->Open();
    append(*c, 41, 60);
    return 0;
  });
  ASSERT_EQ(other.wait(), 0);
  db.directory->StartTransaction();
  std::vector<uint8_t> buffer(c->RecordSize());
  c->SetToRecordNo(1);
  ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
  put(*c, buffer, Row{1, "changed", 1});
  c->ModifyRecord(buffer.data());
  for (uint32_t n = 1; n <= 60; ++n) EXPECT_EQ(read(*c, n).k, int32_t(n));
  db.directory->Commit(true, false);
  c->Close();

  c = rowsCursor(*db.directory, true);
  c->Open();
  c->EmptyTable();
  append(*c, 1, 3);
  for (uint32_t n = 1; n <= 3; ++n) EXPECT_EQ(read(*c, n).name, "n" + std::to_string(n));
  EXPECT_EQ(c->GetRecordCount(), 3);
  c->EmptyTable();
  c->SetToBegin();
  EXPECT_NE(c->GetNextRecord(buffer.data()), 0);
  EXPECT_EQ(c->GetRecordCount(), 0);
  c->Close();
  c->Open();
  EXPECT_EQ(c->GetRecordCount(), 0);
  expectIntact(dir, "rows", *c);
}

}  // namespace
