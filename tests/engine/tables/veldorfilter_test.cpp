// Filters against a twin table without indexes: every generated filter shows the same records
// whether indexes answer it or not, on tables in byte order and in a locale's order, while the
// tables change under the filtering cursor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/tables/veldorcursor.h"
#include "engine/values/veldorexptoken.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

const char* const kNames[] = {"ann",   "Ann",   "ANN",     "anna", "bob", "Bob", "zoe", "Zoë", "zoë",
                              "Émile", "emile", "étienne", "Zo",   "z",   "ab",  "abc", "Abd", "carl"};

// ID (serial, tells records apart), K int, NAME string(12), AMOUNT float. The indexed twin has
// K ascending, NAME in case and without, AMOUNT descending, and NAME descending as a field.
TCreateTableArgs tableArgs(uint16_t languageId, bool indexed) {
  using datafile_test::field;
  TCreateTableArgs a;
  a.LanguageId = languageId;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {field(1, "ID", 6), field(2, "K", 6), field(3, "NAME", 1, 12), field(4, "AMOUNT", 7),
              field(5, "NOTES", kFieldTypeBlob, 0, 22)};
  a.Indexes.resize(1);
  if (!indexed) return a;
  auto index = [&](const char* name, std::vector<uint16_t> fields, bool ci, bool desc, bool firstDesc) {
    TIndexDescriptor d;
    d.name = name;
    std::copy(fields.begin(), fields.end(), d.fields.begin());
    d.caseInsensitive = ci;
    d.descending = desc;
    d.fieldDescending[0] = firstDesc;
    a.Indexes.push_back(d);
  };
  a.TextIndex.fields[0] = 5;
  index("BYK", {2}, false, false, false);
  index("BYNAME", {3, 2}, false, false, false);
  index("BYNAMECI", {3}, true, false, false);
  index("BYAMOUNT", {4}, false, true, false);
  index("BYNAMEDESC", {3, 1}, false, false, true);
  return a;
}

struct Row {
  int32_t id = 0;
  std::optional<int32_t> k;
  std::string name;
  double amount = 0;
};

// A filter text and, where the test can tell without the engine's parser, whether a row passes
// it: the evaluation's rules written out on the model's values (an empty `holds` for tests it
// leaves to the twin table alone).
struct Expr {
  std::string text;
  std::function<bool(const Row&)> holds;
};

struct Generator {
  std::mt19937& random;
  uint16_t language = 0;
  int pick(int n) { return int(random() % unsigned(n)); }
  const char* someName() { return kNames[pick(std::size(kNames))]; }
  int number() { return pick(16) - 3; }
  // A number for the INTEGER column K: now and then one it cannot hold, which equals no key and
  // bounds a range at K's nearest value on its side.
  double kNumber() {
    const int n = number();
    return pick(4) == 0 ? n + 0.5 : n;
  }
  double amount() {
    const int whole = pick(9) - 4;
    return pick(2) ? whole + (whole < 0 ? -0.5 : 0.5) : whole;
  }
  static std::string quoted(const std::string& t) { return "'" + t + "'"; }
  static std::string num(double v) {
    std::ostringstream o;
    o << v;
    return o.str();
  }
  std::string op() {
    static const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
    return ops[pick(6)];
  }
  // `op` applied to an order: c < 0, 0 or > 0 for left below, equal to or above right.
  static bool test(const std::string& op, int c) {
    if (op == "=") return c == 0;
    if (op == "<>") return c != 0;
    if (op == "<") return c < 0;
    if (op == ">") return c > 0;
    return op == "<=" ? c <= 0 : c >= 0;
  }
  template <class A>
  static int order(A a, A b) {
    return a < b ? -1 : (b < a ? 1 : 0);
  }
  // Texts in the table's collation, case kept; a NULL text orders as the empty one.
  int text(const std::string& a, const std::string& b) const {
    return OSCompareStrings(language, 0, a, false, 0, b);
  }
  // Against one NULL operand = is false, <> true, and an ordering of numbers false.
  static bool numberTest(const std::string& op, std::optional<double> left, std::optional<double> right) {
    if (!left || !right) return op == "<>";
    return test(op, order(*left, *right));
  }
  Expr atom() {
    switch (pick(16)) {
      case 13:
        return {std::string("NOTES ") + (pick(2) ? "NOT " : "") + "LIKE '%" +
                    std::string(someName()).substr(0, 2) + "%'",
                {}};
      case 14: {
        // Whole words, a stop word, a prefix; the name's words may be in a NOTES memo.
        static const char* extra[] = {"zyx", "qwv", "the", "zy*", "nope"};
        std::string words = someName();
        if (pick(2)) words += std::string(" ") + extra[pick(std::size(extra))];
        return {"TEXTSEARCH('" + words + "' IN NOTES)", {}};
      }
      case 0: {
        const std::string o = op();
        const double n = kNumber();
        return {"K " + o + " " + num(n), [=](const Row& r) { return numberTest(o, r.k, n); }};
      }
      case 1: {
        const std::string o = op();
        const double n = kNumber();
        return {num(n) + " " + o + " K", [=](const Row& r) { return numberTest(o, n, r.k); }};
      }
      case 2: {
        const std::string o = op(), n = someName();
        return {"NAME " + o + " " + quoted(n), [=, this](const Row& r) {
                  if (r.name.empty() && (o == "=" || o == "<>")) return o == "<>";
                  return test(o, text(r.name, n));
                }};
      }
      case 3:
        return {"NAME = '" + std::string(someName()).substr(0, 2) + "*'", {}};
      case 4:
        return {std::string("NAME ") + (pick(2) ? "NOT " : "") + "LIKE '" +
                    std::string(someName()).substr(0, 1 + pick(2)) + "%'",
                {}};
      case 5:
        return {"UPPER(NAME) " + op() + " " + quoted(someName()), {}};
      case 6: {
        const bool negated = pick(2);
        const double low = kNumber(), high = kNumber();
        return {std::string("K ") + (negated ? "NOT " : "") + "BETWEEN " + num(low) + " AND " + num(high),
                [=](const Row& r) { return negated != (r.k && *r.k >= low && *r.k <= high); }};
      }
      case 7: {
        const bool negated = pick(2);
        const std::string low = someName(), high = someName();
        return {std::string("NAME ") + (negated ? "NOT " : "") + "BETWEEN " + quoted(low) + " AND " +
                    quoted(high),
                [=, this](const Row& r) {
                  return negated != (text(r.name, low) >= 0 && text(r.name, high) <= 0);
                }};
      }
      case 8: {
        const bool negated = pick(2);
        const double a = kNumber(), b = kNumber(), c = kNumber();
        return {std::string("K ") + (negated ? "NOT " : "") + "IN (" + num(a) + ", " + num(b) + ", " +
                    num(c) + ")",
                [=](const Row& r) { return negated != (r.k && (*r.k == a || *r.k == b || *r.k == c)); }};
      }
      case 9: {
        const bool negated = pick(2);
        const std::string a = someName(), b = someName();
        return {std::string("NAME ") + (negated ? "NOT " : "") + "IN (" + quoted(a) + ", " + quoted(b) + ")",
                [=, this](const Row& r) {
                  return negated != (!r.name.empty() && (text(r.name, a) == 0 || text(r.name, b) == 0));
                }};
      }
      case 10: {
        const bool onK = pick(2), negated = pick(2);
        return {std::string(onK ? "K" : "NAME") + " IS " + (negated ? "NOT " : "") + "NULL",
                [=](const Row& r) { return negated != (onK ? !r.k : r.name.empty()); }};
      }
      case 11: {
        const std::string o = op();
        const double a = amount();
        return {"AMOUNT " + o + " " + num(a), [=](const Row& r) { return test(o, order(r.amount, a)); }};
      }
      case 12: {
        const double a = amount(), b = amount();
        return {"AMOUNT IN (" + num(a) + ", " + num(b) + ")",
                [=](const Row& r) { return r.amount == a || r.amount == b; }};
      }
      default: {
        const std::string o = op();
        const int n = pick(60);
        return {"ID " + o + " " + num(n), [=](const Row& r) { return test(o, order(r.id, n)); }};
      }
    }
  }
  Expr filter(int depth) {
    if (depth == 0 || pick(3) == 0) return atom();
    const auto both = [](const auto& a, const auto& b, bool all) -> std::function<bool(const Row&)> {
      if (!a || !b) return {};
      return [=](const Row& r) { return all ? a(r) && b(r) : a(r) || b(r); };
    };
    switch (pick(3)) {
      case 0: {
        const Expr a = filter(depth - 1), b = filter(depth - 1);
        return {"(" + a.text + ") AND (" + b.text + ")", both(a.holds, b.holds, true)};
      }
      case 1: {
        const Expr a = filter(depth - 1), b = filter(depth - 1);
        return {"(" + a.text + ") OR (" + b.text + ")", both(a.holds, b.holds, false)};
      }
      default: {
        const Expr a = filter(depth - 1);
        return {"NOT (" + a.text + ")",
                a.holds ? std::function<bool(const Row&)>([h = a.holds](const Row& r) { return !h(r); })
                        : std::function<bool(const Row&)>()};
      }
    }
  }
};

void put(TDataCursor& c, std::vector<uint8_t>& buffer, const Row& row) {
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&row.id));
  c.PutField(2, buffer.data(), row.k ? reinterpret_cast<const uint8_t*>(&*row.k) : nullptr);
  std::array<uint8_t, 13> text{};
  std::memcpy(text.data(), row.name.data(), std::min<size_t>(row.name.size(), 11));
  c.PutField(3, buffer.data(), row.name.empty() ? nullptr : text.data());
  c.PutField(4, buffer.data(), reinterpret_cast<const uint8_t*>(&row.amount));
  // A memo that repeats the name, none without one.
  const std::string notes = row.name.empty() ? "" : "zyx " + row.name + " qwv";
  ASSERT_EQ(c.OpenBlob(5, buffer.data(), 2, false, 0), 0);
  ASSERT_EQ(c.TruncateBlob(5, buffer.data(), 0, false), 0);
  ASSERT_EQ(c.PutBlob(5, buffer.data(), 0, reinterpret_cast<const uint8_t*>(notes.data()),
                      int32_t(notes.size()), false),
            0);
}

Row randomRow(Generator& gen, int32_t id) {
  Row r{id, std::nullopt, gen.pick(6) ? kNames[gen.pick(std::size(kNames))] : "",
        double(gen.pick(9) - 4) / 2};
  if (gen.pick(6)) r.k = gen.pick(12) - 2;
  return r;
}

// Drops the records whose ID is a multiple of 3.
bool notThird(void*, TDataCursor& c, const uint8_t* record, uint32_t) {
  int32_t id = 0;
  bool isNull = false;
  c.GetField(1, record, isNull, reinterpret_cast<uint8_t*>(&id));
  return id % 3 != 0;
}

// Lets every record pass and keeps its ID in the set that `data` points to.
bool askedAbout(void* data, TDataCursor& c, const uint8_t* record, uint32_t) {
  int32_t id = 0;
  bool isNull = false;
  c.GetField(1, record, isNull, reinterpret_cast<uint8_t*>(&id));
  static_cast<std::set<int32_t>*>(data)->insert(id);
  return true;
}

// The IDs of the records the cursor shows.
std::set<int32_t> shown(TDataCursor& c) {
  std::set<int32_t> ids;
  const TRecordsBitmap bitmap = c.CombinedBitmap();
  std::vector<uint8_t> buffer(c.RecordSize());
  uint32_t n = 0;
  int64_t position = 0;
  while (bitmap.FindNext(n, 1, position)) {
    c.SetToRecordNo(n);
    EXPECT_EQ(c.GetCurrentRecord(buffer.data(), false), 0);
    int32_t id = 0;
    bool isNull = false;
    c.GetField(1, buffer.data(), isNull, reinterpret_cast<uint8_t*>(&id));
    ids.insert(id);
  }
  return ids;
}

class FilterTest : public ::testing::TestWithParam<uint16_t> {};

// Writes the same rows to both tables through their cursors, and a writer cursor of the indexed
// table changes it under the filter between checks.
TEST_P(FilterTest, EveryFilterShowsTheSameRecordsWithAndWithoutIndexes) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  Generator gen{random, GetParam()};
  TempDir dir;
  // Another process appends the same rows to both tables when told ('G').
  Helper other([&](Helper& h) {
    if (h.receive() != 'G') return 1;
    std::mt19937 childRandom(seed + 1);
    Generator childGen{childRandom};
    Database childDb(dir.path());
    std::vector<uint8_t> rowBuffer;
    for (const char* name : {"plain", "indexed"}) {
      TDataCursor c(*childDb.directory);
      c.SetTableName(name);
      c.Open();
      rowBuffer.resize(c.RecordSize());
      childRandom.seed(seed + 1);
      for (int32_t id = 1000000; id < 1000020; ++id) {
        c.ClearRecordBuffer(rowBuffer.data());
        put(c, rowBuffer, randomRow(childGen, id));
        c.AppendRecord(rowBuffer.data(), false);
        c.FreeAllBlobs(true);
      }
    }
    return 0;
  });
  for (bool indexed : {false, true}) {
    Database creatorDb(dir.path());
    TDataCursor creator(*creatorDb.directory);
    creator.SetTableName(indexed ? "indexed" : "plain");
    creator.SetExclusive(true);
    TCreateTableArgs args = tableArgs(GetParam(), indexed);
    creator.CreateTable(args);
  }
  Database db(dir.path());
  auto cursor = [&](const char* name) {
    auto c = std::make_unique<TDataCursor>(*db.directory);
    c->SetTableName(name);
    return c;
  };
  auto plain = cursor("plain"), indexed = cursor("indexed"), writer = cursor("indexed");
  auto plainWriter = cursor("plain");
  plainWriter->Open();
  plain->Open();
  indexed->Open();
  writer->Open();
  std::vector<uint8_t> buffer(plain->RecordSize());
  int32_t nextId = 1;
  auto someRow = [&] { return randomRow(gen, nextId++); };
  // Record numbers of each ID in the plain and the indexed table, and the rows as written.
  std::map<int32_t, std::pair<uint32_t, uint32_t>> where;
  std::map<int32_t, Row> model;
  auto append = [&](TDataCursor& through) {
    const Row row = someRow();
    for (TDataCursor* c : {plainWriter.get(), &through}) {
      c->ClearRecordBuffer(buffer.data());
      put(*c, buffer, row);
      c->AppendRecord(buffer.data(), false);
      c->FreeAllBlobs(true);
    }
    where[row.id] = {plainWriter->CurrentRecordNo(), through.CurrentRecordNo()};
    model[row.id] = row;
  };
  // A change or delete of a record that `through` can stand on, in both tables.
  auto change = [&](TDataCursor& through, const std::set<int32_t>& candidates) {
    if (candidates.empty()) return append(through);
    const int32_t id = *std::next(candidates.begin(), gen.pick(int(candidates.size())));
    Row row = someRow();
    row.id = id;
    const bool remove = gen.pick(3) == 0;
    for (TDataCursor* c : {plainWriter.get(), &through}) {
      c->SetToRecordNo(c == plainWriter.get() ? where[id].first : where[id].second);
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), false), 0);
      ASSERT_EQ(c->GetCurrentRecord(buffer.data(), true), 0);
      if (remove) {
        c->DeleteRecord(buffer.data(), false);
      } else {
        put(*c, buffer, row);
        c->ModifyRecord(buffer.data(), true, false);
        c->FreeAllBlobs(true);
      }
      if (c->LockedRecordNo() != 0) c->UnlockRecord();
    }
    if (remove)
      where.erase(id), model.erase(id);
    else
      model[id] = row;
  };
  for (int i = 0; i < 120; ++i) append(*writer);
  std::array<int, 3> levels{};
  for (int round = 0; round < 50; ++round) {
    const Expr drawn = gen.filter(3);
    const std::string& text = drawn.text;
    // The rows the model's own evaluation lets pass, where it can tell.
    const auto expectModel = [&](const std::string& after) {
      if (!drawn.holds) return;
      std::set<int32_t> passing;
      for (const auto& [id, row] : model)
        if (drawn.holds(row)) passing.insert(id);
      ASSERT_EQ(shown(*plain), passing) << text << " seed " << seed << after;
    };
    const bool checkRangeSize = gen.pick(2);
    const std::string when = "filter " + text + " seed " + std::to_string(seed);
    indexed->SetIndexName(gen.pick(2) ? "BYK" : "");
    TFilter* expected = plain->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
    TFilter* got =
        indexed->AddFilter(nullptr, &text, nullptr, true, nullptr, false, checkRangeSize, false, false);
    ASSERT_EQ(expected->OptimizeLevel(), 0) << when;
    ++levels[got->OptimizeLevel()];
    plain->ActivateFilter(expected);
    indexed->ActivateFilter(got);
    ASSERT_EQ(shown(*indexed), shown(*plain)) << when << " level " << int(got->OptimizeLevel());
    expectModel("");
    // Changes by the filtering cursor itself (to the records it shows) and by another cursor.
    for (int step = 0; step < 4; ++step) {
      std::set<int32_t> all;
      for (const auto& [id, places] : where) all.insert(id);
      if (step % 2 == 0)
        change(*indexed, shown(*indexed));
      else
        change(*writer, all);
      if (gen.pick(2)) append(step % 2 ? *writer : *indexed);
      ASSERT_EQ(shown(*indexed), shown(*plain)) << when << " after change " << step;
      expectModel(" after change " + std::to_string(step));
    }
    TFilter* third[2];
    for (int i = 0; i < 2; ++i) {
      TDataCursor& c = i ? *indexed : *plain;
      third[i] = c.AddFilter(nullptr, nullptr, nullptr, false, &notThird, true, true, false, false);
      c.ActivateFilter(third[i]);
    }
    ASSERT_EQ(shown(*indexed), shown(*plain)) << when << " with a callback filter after it";
    ASSERT_EQ(indexed->GetRecordCount(), plain->GetRecordCount()) << when;
    plain->DropFilter(third[0]);
    indexed->DropFilter(third[1]);
    plain->DropFilter(expected);
    indexed->DropFilter(got);
  }
  // Every comparison with the column on the right, against the model.
  for (const char* op : {"=", "<>", "<", ">", "<=", ">="}) {
    const std::string text = std::string("4 ") + op + " K";
    TFilter* f = plain->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
    plain->ActivateFilter(f);
    std::set<int32_t> passing;
    for (const auto& [id, row] : model)
      if (Generator::numberTest(op, 4, row.k)) passing.insert(id);
    EXPECT_EQ(shown(*plain), passing) << text;
    plain->DropFilter(f);
  }
  // A filter made after another process wrote sees its records.
  other.send('G');
  ASSERT_EQ(other.wait(), 0);
  for (int again = 0; again < 3; ++again) {
    const std::string text = gen.filter(2).text;
    TFilter* filters[] = {
        plain->AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false),
        indexed->AddFilter(nullptr, &text, nullptr, true, nullptr, false, true, false, false)};
    plain->ActivateFilter(filters[0]);
    indexed->ActivateFilter(filters[1]);
    EXPECT_EQ(shown(*indexed), shown(*plain)) << text << " after another process wrote, seed " << seed;
    EXPECT_EQ(indexed->GetRecordCount(), plain->GetRecordCount()) << text;
    plain->DropFilter(filters[0]);
    indexed->DropFilter(filters[1]);
  }
  // An after-others callback goes behind a filter added after it and is asked only about the
  // records that filter lets pass.
  plain->DropFilter(nullptr);
  std::set<int32_t> asked;
  plain->AddFilter(&asked, nullptr, nullptr, false, &askedAbout, true, true, false, false);
  const std::string named = "NAME IS NOT NULL";
  plain->AddFilter(nullptr, &named, nullptr, true, nullptr, false, true, false, false);
  plain->ActivateFilter(nullptr);
  EXPECT_TRUE(plain->Filters().back()->IsCallback());
  const std::set<int32_t> withNames = shown(*plain);
  EXPECT_TRUE(std::includes(withNames.begin(), withNames.end(), asked.begin(), asked.end()));
  // Memos are read for the evaluation and searched for words: each holds its record's name.
  for (std::string memo : {"NOTES LIKE 'zyx %'", "TEXTSEARCH('zyx' IN NOTES)"}) {
    indexed->DropFilter(nullptr);
    indexed->ActivateFilter(
        indexed->AddFilter(nullptr, &memo, nullptr, true, nullptr, false, true, false, false));
    EXPECT_EQ(shown(*indexed), shown(*plain)) << memo;
  }
  // NULL tests are answered from an index in either order.
  for (std::string nulls : {"NAME IS NULL", "NAME IS NOT NULL"}) {
    indexed->DropFilter(nullptr);
    TFilter* f = indexed->AddFilter(nullptr, &nulls, nullptr, true, nullptr, false, false, false, false);
    EXPECT_EQ(f->OptimizeLevel(), 2) << nulls;
  }
  EXPECT_GT(plain->GetRecordCount(), 0);
  EXPECT_GT(levels[0], 0);
  EXPECT_GT(levels[1], 0);
  EXPECT_GT(levels[2], 0);
}

TEST(FilterErrorTest, FiltersThatCannotFilterAreRefusedAndOnlyTheCursorsOwnAreDropped) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("t");
  c.SetExclusive(true);
  TCreateTableArgs args = tableArgs(0, true);
  c.CreateTable(args);
  c.Open();
  auto add = [&](const std::string* text) {
    return errorOf([&] { c.AddFilter(nullptr, text, nullptr, true, nullptr, false, true, false, false); });
  };
  EXPECT_EQ(add(nullptr), VELDOR_INVALIDFILTER);
  for (std::string text : {"  ", "K +", "K + 1", "NOSUCH = 1", "NAME = 1"})
    EXPECT_EQ(add(&text), VELDOR_INVALIDFILTER) << text;
  const std::string text = "K = 1";
  for (int i = 0; i < 64; ++i) ASSERT_EQ(add(&text), 0);
  EXPECT_EQ(add(&text), VELDOR_INTERNALLIMIT);
  TDataCursor other(*db.directory);
  EXPECT_EQ(errorOf([&] { c.DropFilter(reinterpret_cast<TFilter*>(&other)); }), VELDOR_NOSUCHFILTER);
  c.DropFilter(nullptr);
  EXPECT_TRUE(c.Filters().empty());
}

// A tree its caller built is checked as a text's would be and prepared into the filter's own
// copy; a comparison built as a key compare keeps its length and case rule, whatever its text.
TEST(FilterErrorTest, BuiltTreesAreCheckedAndKeepTheirOwnKeyCompares) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("t");
  c.SetExclusive(true);
  TCreateTableArgs args = tableArgs(0, true);
  c.CreateTable(args);
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  int32_t id = 0;
  for (const char* name : {"ab*x", "AB*", "abc", "ab"}) {
    c.ClearRecordBuffer(buffer.data());
    put(c, buffer, Row{++id, id, name, 0});
    c.AppendRecord(buffer.data(), false);
    c.FreeAllBlobs(true);
  }
  // column = constant, both typed as the column.
  const auto comparison = [](const char* column, TEngineFieldType type, const std::string& text) {
    TExpTreePtr n(GetExpToken());
    n->kind = expBinary;
    n->code = opEqual;
    n->left = GetExpToken();
    n->right = GetExpToken();
    n->left->kind = expColumn;
    n->left->columnName = column;
    n->right->kind = expConstant;
    n->right->type = n->left->type = type;
    if (type == TEngineFieldType::String) {
      n->right->SetText(text);
    } else {
      n->right->SetValueSize(4);
      const int32_t k = std::stoi(text);
      std::memcpy(n->right->Value(), &k, 4);
    }
    return n;
  };
  const auto passing = [&](TExpToken& tree) {
    TFilter* f = c.AddFilter(tree);
    c.ActivateFilter(f);
    const std::set<int32_t> ids = shown(c);
    c.DropFilter(f);
    return ids;
  };
  TExpTreePtr prefix = comparison("NAME", TEngineFieldType::String, "ab*");
  prefix->kind = expKeyCompare;
  prefix->compareLength = 3;
  prefix->caseInsensitive = true;
  EXPECT_EQ(passing(*prefix), (std::set<int32_t>{1, 2}));
  prefix->caseInsensitive = false;
  EXPECT_EQ(passing(*prefix), (std::set<int32_t>{1}));
  EXPECT_EQ(passing(*comparison("NAME", TEngineFieldType::String, "AB*")), (std::set<int32_t>{2}));
  EXPECT_EQ(passing(*comparison("K", TEngineFieldType::Integer, "3")), (std::set<int32_t>{3}));

  const auto refused = [&](TExpTreePtr tree) { return errorOf([&] { c.AddFilter(*tree); }); };
  EXPECT_EQ(refused(comparison("NOSUCH", TEngineFieldType::Integer, "1")), VELDOR_INVALIDFILTER);
  EXPECT_EQ(refused(comparison("NAME", TEngineFieldType::Integer, "1")), VELDOR_INVALIDFILTER);
  TExpTreePtr sum = comparison("K", TEngineFieldType::Integer, "1");
  sum->code = opAdd;
  EXPECT_EQ(refused(std::move(sum)), VELDOR_INVALIDFILTER);
  EXPECT_TRUE(c.Filters().empty());
}

// A new tree given to a filter is the filter's from then on, also where the filter's first tree
// stayed its caller's; one that finds no active filter of the cursor (an inactive one, another
// cursor's) is refused and freed, and the filter goes on with its old tree. Every node given
// comes back once the filters are dropped.
TEST(FilterErrorTest, AReplacedTreeBelongsToTheFilterAndARefusedOneIsFreed) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("t");
  c.SetExclusive(true);
  TCreateTableArgs args = tableArgs(0, true);
  c.CreateTable(args);
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  for (int32_t id = 1; id <= 4; ++id) {
    c.ClearRecordBuffer(buffer.data());
    put(c, buffer, Row{id, id, "n", 0});
    c.AppendRecord(buffer.data(), false);
    c.FreeAllBlobs(true);
  }
  const int64_t before = ExpTokensInUse();
  // A tree prepared for the cursor, taken from a filter added for it and dropped again.
  const auto treeOf = [&](std::string text) {
    TFilter* scratch = c.AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
    TExpTreePtr tree(CopyExpTree(scratch->Tree()));
    c.DropFilter(scratch);
    return tree;
  };
  std::string text = "K = 1";
  TFilter* owning = c.AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
  c.ActivateFilter(owning);
  TFilter* inactive = c.AddFilter(nullptr, &text, nullptr, true, nullptr, false, false, false, false);
  TDataCursor other(*db.directory);
  for (TFilter* refused : {inactive, reinterpret_cast<TFilter*>(&other)})
    EXPECT_EQ(errorOf([&] { c.ReplaceFilterExpression(treeOf("K = 2"), refused); }), VELDOR_NOSUCHFILTER);
  EXPECT_EQ(shown(c), (std::set<int32_t>{1}));
  c.ReplaceFilterExpression(treeOf("K = 2"), owning);
  EXPECT_EQ(shown(c), (std::set<int32_t>{2}));
  c.DropFilter(owning);
  c.DropFilter(inactive);

  TExpTreePtr callers = treeOf("K = 3");
  TFilter* borrowing =
      c.AddFilter(nullptr, nullptr, callers.get(), false, nullptr, false, false, false, false);
  c.ActivateFilter(borrowing);
  EXPECT_EQ(shown(c), (std::set<int32_t>{3}));
  c.ReplaceFilterExpression(treeOf("K = 4"), borrowing);
  EXPECT_EQ(shown(c), (std::set<int32_t>{4}));
  c.DropFilter(borrowing);
  callers.reset();
  EXPECT_EQ(ExpTokensInUse(), before) << "nodes given to filters were not all freed";
}

// Filters whose comparisons, predicates and NULL tests read values computed from the record
// (arithmetic, negation, concatenation, UPPER and LOWER over its fields) show the rows the
// model's values give, whatever rows came before.
TEST(FilterComputedTest, ComputedOperandsAreComputedFromEachRecord) {
  TempDir dir;
  {
    Database creatorDb(dir.path());
    TDataCursor creator(*creatorDb.directory);
    creator.SetTableName("plain");
    creator.SetExclusive(true);
    TCreateTableArgs args = tableArgs(0, false);
    creator.CreateTable(args);
  }
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("plain");
  c.Open();
  std::vector<uint8_t> buffer(c.RecordSize());
  std::map<int32_t, Row> model;
  const std::vector<std::pair<std::optional<int32_t>, std::string>> values = {
      {7, "ann"}, {std::nullopt, "Bob"}, {-3, ""},    {2, "abc"},
      {0, "zoe"}, {std::nullopt, ""},    {5, "carl"}, {-1, "Zo"}};
  for (int32_t id = 1; id <= 40; ++id) {
    const auto& [k, name] = values[size_t(id) % values.size()];
    const Row row{id, k ? std::optional<int32_t>(*k * id) : std::nullopt, name, double(id % 5) / 2};
    c.ClearRecordBuffer(buffer.data());
    put(c, buffer, row);
    c.AppendRecord(buffer.data(), false);
    c.FreeAllBlobs(true);
    model[row.id] = row;
  }
  const std::vector<Expr> filters = {
      {"K * 2 + 1 > 21", [](const Row& r) { return r.k && *r.k * 2 + 1 > 21; }},
      {"-K BETWEEN -10 AND 0", [](const Row& r) { return r.k && -*r.k >= -10 && -*r.k <= 0; }},
      {"(K - ID) IS NULL", [](const Row& r) { return !r.k; }},
      {"ID * 3 IN (9, 12, 30)", [](const Row& r) { return r.id == 3 || r.id == 4 || r.id == 10; }},
      {"UPPER(NAME) = 'ANN'", [](const Row& r) { return r.name == "ann"; }},
      {"LOWER(NAME || 'X') LIKE 'zo%x'", [](const Row& r) { return r.name == "zoe" || r.name == "Zo"; }},
      {"UPPER(NAME) || 'x' = 'Bx' OR K * ID < -100", [](const Row& r) { return r.k && *r.k * r.id < -100; }},
  };
  for (const Expr& f : filters) {
    std::set<int32_t> passing;
    for (const auto& [id, row] : model)
      if (f.holds(row)) passing.insert(id);
    ASSERT_FALSE(passing.empty()) << f.text;
    TFilter* filter = c.AddFilter(nullptr, &f.text, nullptr, true, nullptr, false, false, false, false);
    c.ActivateFilter(filter);
    EXPECT_EQ(shown(c), passing) << f.text;
    c.DropFilter(filter);
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrderAndLocale, FilterTest, ::testing::Values(uint16_t(0), uint16_t(0x0409)));

}  // namespace
