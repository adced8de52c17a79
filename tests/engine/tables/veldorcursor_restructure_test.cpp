// Restructuring against a model of the rows: random tables and random changes (description,
// added, dropped and retyped fields, shorter strings, unique indexes over duplicates and a text
// index built in place, where records keep their numbers), each with
// blob and memo values carried over, a blob made a string; each with
// no feedback (a case stops it and the table stays as it was), a feedback that goes on, or one
// that goes on once and then stops. And a
// worker process that sorts and restructures without end, killed at random moments: the table
// then opens whole with the same rows.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <functional>
#include <map>
#include <random>
#include <thread>

#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorhelpers_file.h"
#include "engine/tables/veldorcursor.h"
#include "platform/faultfs.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/tablecheck.h"

namespace {

using namespace engine;
using datafile_test::field;
using storage_test::Helper;
using table_test::Database;
using table_test::expectIntact;
using table_test::TempDir;

// A row as text per field number, and its record number as field 0; "" is null.
using Row = std::map<uint16_t, std::string>;

std::vector<Row> readRows(TDataCursor& c) {
  std::vector<Row> rows;
  std::vector<uint8_t> buffer(c.RecordSize());
  std::array<uint8_t, 256> v{};
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) {
    Row row{{0, std::to_string(c.CurrentRecordNo())}};
    for (uint16_t p = 1; p <= c.FieldCount(); ++p) {
      const TFieldDescriptor& d = c.Field(p).desc;
      bool isNull = false;
      c.GetField(p, buffer.data(), isNull, v.data());
      if (d.IsBlob() && !isNull) {
        uint32_t size = 0, read = 0;
        EXPECT_EQ(c.OpenBlob(p, buffer.data(), 0, false, 1) + c.GetBlobSize(p, buffer.data(), size, false),
                  0);
        std::string bytes(size, '\0');
        EXPECT_EQ(c.GetBlob(p, buffer.data(), 0, reinterpret_cast<uint8_t*>(bytes.data()), int32_t(size),
                            read, false),
                  0);
        c.FreeBlob(p, buffer.data(), false, 1);
        row[d.FieldNumber()] = bytes;
        continue;
      }
      int32_t i = 0;
      std::memcpy(&i, v.data(), 4);
      row[d.FieldNumber()] = isNull                         ? ""
                             : d.Type() == kFieldTypeString ? reinterpret_cast<const char*>(v.data())
                                                            : std::to_string(i);
    }
    rows.push_back(row);
  }
  return rows;
}

// The structure of step `step` of the worker's cycle: with or without an extra field (always
// null, so dropping it loses nothing), a secondary index (built again in place when its key
// changes), and a text index.
TRestructureArgs structure(int step) {
  TRestructureArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.NoBackup = step % 2 == 0;
  a.Description = "step " + std::to_string(step % 3);
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12)};
  if (step % 4 == 1) a.Fields.push_back(field(3, "EXTRA", 6));
  a.Indexes.resize(step % 4 >= 2 ? 2 : 1);
  if (a.Indexes.size() == 2) a.Indexes[1].name = "BYNAME", a.Indexes[1].fields = {2, uint16_t(step % 4 == 3)};
  if (step % 4 == 3) a.TextIndex.fields[0] = 2;
  return a;
}

// Creates table "rows" with `args` and appends `count` rows from `next`: K, NAME and, when given,
// CODE, BODY and NOTES ("" is null).
std::vector<Row> createRows(const TempDir& dir, TRestructureArgs args, int count,
                            const std::function<Row()>& next) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  c.CreateTable(args);
  c.Open();
  std::vector<Row> rows;
  std::vector<uint8_t> buffer(c.RecordSize());
  for (int i = 0; i < count; ++i) {
    Row row = next();
    const int32_t k = std::stoi(row[1]);
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    for (uint16_t p = 2; p <= c.FieldCount(); ++p) {
      const std::string& value = row[c.Field(p).desc.FieldNumber()];
      if (!c.Field(p).desc.IsBlob())
        c.PutField(p, buffer.data(),
                   value.empty() ? nullptr : reinterpret_cast<const uint8_t*>(value.c_str()));
      else if (!value.empty()) {
        EXPECT_EQ(c.OpenBlob(p, buffer.data(), 2, false, 1) +
                      c.PutBlob(p, buffer.data(), 0, reinterpret_cast<const uint8_t*>(value.data()),
                                int32_t(value.size()), false),
                  0);
      }
    }
    c.AppendRecord(buffer.data());
    row[0] = std::to_string(i + 1);
    rows.push_back(row);
  }
  return rows;
}

TEST(RestructureTest, ChangesMatchTheModelAndAStopLeavesTheTableAsItWas) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  const auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  for (int round = 0; round < 26; ++round) {
    const int change = round % 13;
    const bool inPlace = change == 0 || change == 5 || change == 8 || change == 9;
    const uint32_t feedback = pick(3);  // none, go on, go on once
    SCOPED_TRACE("seed " + std::to_string(seed) + " change " + std::to_string(change) + " feedback " +
                 std::to_string(feedback));
    TempDir dir;
    TRestructureArgs args = structure(2);
    args.Fields.push_back(field(3, "CODE", 1, 8));
    args.Fields.push_back(field(4, "BODY", kFieldTypeBlob));
    args.Fields.push_back(field(5, "NOTES", kFieldTypeBlob, 0, 22));
    const auto bytes = [&](uint32_t most) {
      std::string b(pick(most), '\0');
      for (char& ch : b) ch = char(pick(256));
      return b;
    };
    args.NoBackup = false;
    const std::vector<std::string> ownWords{"alpha", "beta"}, newWords{"gamma"};
    args.StopWords = &ownWords, args.SpaceChars.set(' ');
    const std::vector<Row> rows = createRows(dir, args, 40, [&] {
      // K unique where it becomes the auto-increment field.
      static int serial = 0;
      Row row{{1, std::to_string(change == 12 ? 100 + serial++ : int(pick(30)))},
              {2, std::string(1 + pick(8), "aBc"[pick(3)])},
              {3, ""}};
      if (pick(4) != 0) row[3] = pick(2) ? std::to_string(pick(1000)) : "x" + std::to_string(pick(9));
      row[4] = pick(8) == 0 ? bytes(3000) : "";
      row[5] = pick(2) == 0 ? std::string(pick(1500), char('a' + pick(26))) : "";
      return row;
    });
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);

    // The change, and what the model expects of it.
    std::vector<Row> expected;
    bool stops = false;
    int cases = 0;
    std::set<std::string> ks;
    for (Row row : rows) {
      bool skip = false;
      const auto fails = [&](bool dropRow) {
        stops = stops || feedback == 0 || (feedback == 2 && ++cases > 1);
        skip = skip || dropRow;
      };
      if (change == 1) row[6] = "7";
      if (change == 2 && !row[3].empty()) fails(false);
      if (change == 2) row = {{1, row[1]}, {2, row[2]}, {3, row[4]}, {4, row[5]}};  // numbered anew
      if (change == 3 && !row[3].empty() && row[3][0] == 'x') fails(false), row[3] = "";
      if (change == 7 && !row[4].empty()) fails(false), row[4] = "";
      if (change == 4 && row[2].size() > 4) fails(false), row[2] = "";
      if ((change == 5 || change == 9) && !ks.insert(row[1]).second) fails(true);
      if (change == 8 && !ks.insert(row[2]).second) fails(true);
      if (!inPlace) row[0] = std::to_string(expected.size() + 1);
      if (!skip) expected.push_back(row);
    }
    if (change == 0) args.Description = "renamed", args.Fields[1].SetDescription("the name");
    if (change == 1) args.Fields.push_back(field(6, "EXTRA", 6)), args.Fields.back().SetDefaultText("7");
    if (change == 2) args.Fields.erase(args.Fields.begin() + 2);
    if (change == 3) args.Fields[2] = field(3, "CODE", 6);
    if (change == 4) args.Fields[1] = field(2, "NAME", 1, 4);
    if (change == 5)
      args.Indexes.emplace_back(), args.Indexes[2].name = "BYK", args.Indexes[2].fields[0] = 1,
                                   args.Indexes[2].unique = 1;
    if (change == 6) args.Fields[0] = field(1, "K", 1, 20), args.BlobBlockSize = 2048;
    if (change == 7)
      args.Fields[3] = field(4, "BODY", 1, 20), args.Fields[4] = field(5, "NOTES", kFieldTypeBlob);
    if (change == 8) args.Indexes[1].unique = 1, args.TextIndex.fields = {2, 5};
    if (change == 9) args.NoPrimaryIndex = false, args.Indexes[0].fields[0] = 1;  // read in K order
    if (change == 10) args.LanguageId = 0x0409;  // every string key is built again by the locale
    if (change == 11) args.Encrypted = true, args.Password = "fresh";  // not known to the session
    if (change == 12) args.Fields[0] = field(1, "K", 6, 0, 29);        // K's values become the ids
    if (change == 9 && !stops)
      std::sort(expected.begin(), expected.end(),
                [](Row& a, Row& b) { return std::stoi(a[1]) < std::stoi(b[1]); });
    // New text-index parameters, or none given: the table's own stay.
    const bool newParams = pick(2) == 0;
    args.StopWords = newParams ? &newWords : nullptr, args.SpaceChars = TCharSet().set('/', newParams);
    c.Open();
    const uint32_t autoIncBefore = c.Table()->DataFile().GetLastAutoIncValue();
    c.Close();
    // Close clears the hooks.
    if (feedback)
      c.SetDataLostHook(
          [&, n = 0](TDataCursor&, TRestructureCase kind, const std::string&, bool& goOn, bool& all) mutable {
            EXPECT_EQ(kind == rcKeyViolation, change == 5 || change == 8 || change == 9);
            all = feedback == 1, goOn = feedback == 1 || n++ == 0;
          });
    db.session.SetProgressSteps(uint16_t(1 + pick(40)));
    std::vector<uint32_t> percents{0};
    c.SetRestructureProgressHook([&](TDataCursor&, uint32_t p) { percents.push_back(p); });
    args.LastAutoIncValue = change == 0 || change == 4 ? 5000 : -1;
    const auto datBefore = datafile_test::readFileBytes(dir.file("rows.DAT"));
    const auto idxBefore = datafile_test::readFileBytes(dir.file("rows.IDX"));
    const uint16_t error = storage_test::errorOf([&] { c.RestructureTable(args); });
    EXPECT_EQ(error != 0, stops) << error;
    // Progress rises by whole steps and reaches 100 when the records were walked to the end.
    for (size_t i = 1; i < percents.size(); ++i)
      EXPECT_TRUE(percents[i] > percents[i - 1] &&
                  (percents[i] >= percents[i - 1] + c.GetProgressStepPercent() || percents[i] == 100));
    EXPECT_EQ(percents.back() == 100, !stops && change != 0);
    // A closed cursor reads these from the header, without the password.
    EXPECT_EQ(c.GetDescription(), stops ? "step 2" : args.Description);
    EXPECT_EQ(c.IsEncrypted(), change == 11 && !stops);
    EXPECT_EQ(c.GetTablePassword(), change == 11 && !stops ? "fresh" : "");
    if (change == 11) db.session.AddPassword("fresh");
    c.Open();
    EXPECT_EQ(readRows(c), stops ? rows : expected);
    EXPECT_TRUE(change != 0 || c.Field(2).desc.Description() == "the name");
    const bool newKept = newParams && !stops;
    EXPECT_EQ(c.GetStopWords()[0] + std::to_string(c.GetStopWords().count()), newKept ? "gamma1" : "alpha2");
    EXPECT_EQ(c.GetSpaceChars(), newKept ? TCharSet().set('/') : TCharSet().set(' '));
    // Records deleted in place draw blob stamps from the counter.
    const uint32_t autoInc = c.Table()->DataFile().GetLastAutoIncValue();
    EXPECT_EQ(inPlace && !stops && change != 0 ? std::min(autoInc, autoIncBefore) : autoInc,
              args.LastAutoIncValue < 0 || stops ? autoIncBefore : 5000);
    const auto datAfter = datafile_test::readFileBytes(dir.file("rows.DAT"));
    if (stops || change == 0) {
      EXPECT_TRUE(std::equal(datBefore.begin() + 127 + 3 * 768, datBefore.end(),
                             datAfter.begin() + 127 + 3 * 768, datAfter.end()));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("rows.DBK")) && stops);
    EXPECT_TRUE(!stops || !inPlace || idxBefore == datafile_test::readFileBytes(dir.file("rows.IDX")));
    if (change == 8 && !stops) {
      // One word for each name and each note.
      uint64_t words = 0;
      for (const Row& row : expected) words += !row.at(2).empty() + !row.at(5).empty();
      c.SelectIndex(kSysTextSlot);
      EXPECT_EQ(TIndexTree(c.Table()->IndexFile(), c, kSysTextSlot).KeyCount(), words);
    }
    expectIntact(dir, "rows", c);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), stops || change == 0 ? 3
                                                                                  : inPlace            ? 4
                                                                                                       : 6);
  }
}

// A memo that cannot be read while a new text index is built goes to the feedback as a case of
// its own; going on, its record stays and the rest is built. Without feedback the table stays as
// it was.
// A cursor that selected an index before a restructure moved the index's key field within the
// record (a wider field before it), while the index's own definition stayed byte for byte the
// same: its keys come from the field where it lies now.
TEST(RestructureTest, AKeyFieldMovedByARestructureIsReadFromItsNewPlace) {
  TempDir dir;
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("moved");
  c.SetExclusive(true);
  TRestructureArgs args;
  args.BlobBlockSize = 512;
  args.NoPrimaryIndex = true;
  args.Fields = {field(1, "K", 6), field(2, "PAD", 1, 4), field(3, "NAME", 1, 12)};
  args.Indexes.resize(2);
  args.Indexes[1].name = "BYNAME";
  args.Indexes[1].fields[0] = 3;
  c.CreateTable(args);
  c.Open();
  const auto append = [&](int32_t k, const char* name) {
    std::vector<uint8_t> buffer(c.RecordSize());
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>("pad"));
    c.PutField(3, buffer.data(), reinterpret_cast<const uint8_t*>(name));
    c.AppendRecord(buffer.data());
  };
  c.SetIndexName("BYNAME");
  append(1, "mmm");
  c.Close();
  args.NoBackup = true;
  args.Fields[1] = field(2, "PAD", 1, 40);
  c.RestructureTable(args);
  c.Open();
  c.SetIndexName("BYNAME");
  append(2, "aaa");
  append(3, "zzz");
  std::vector<std::string> names;
  for (const Row& row : readRows(c)) names.push_back(row.at(3));
  EXPECT_EQ(names, (std::vector<std::string>{"aaa", "mmm", "zzz"}));
  std::vector<uint8_t> probe(c.RecordSize());
  c.ClearRecordBuffer(probe.data());
  c.PutField(3, probe.data(), reinterpret_cast<const uint8_t*>("aaa"));
  ASSERT_TRUE(c.FindKey(false, probe.data(), 1, false, 0, nullptr));
  c.Close();
}

TEST(RestructureTest, AnUnreadableMemoInAnIndexRebuildGoesToTheFeedback) {
  TempDir dir;
  TRestructureArgs args = structure(2);
  args.Fields.push_back(field(3, "NOTES", kFieldTypeBlob, 0, 22));
  createRows(dir, args, 3, [n = 0]() mutable {
    ++n;
    return Row{{1, std::to_string(n)}, {2, "name"}, {3, "some words " + std::to_string(n)}};
  });
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  c.Open();
  const size_t at = 127 + 3 * 768 + c.RecordSize() + c.Field(3).desc.Offset() + 1;
  c.Close();
  datafile_test::patchFile(dir.file("rows.DAT"),
                           [&](std::vector<uint8_t>& bytes) { platform::put4(&bytes[at], 9999); });
  args.TextIndex.fields[0] = 3;
  EXPECT_EQ(storage_test::errorOf([&] { c.RestructureTable(args); }), VELDOR_MEMOCORRUPT);
  std::vector<TRestructureCase> cases;
  c.SetDataLostHook(
      [&](TDataCursor&, TRestructureCase kind, const std::string&, bool&, bool&) { cases.push_back(kind); });
  c.RestructureTable(args);
  EXPECT_EQ(cases, std::vector<TRestructureCase>{rcWriteError});
  c.Open();
  EXPECT_EQ(c.GetRecordCount(), 3);
  c.SelectIndex(kSysTextSlot);
  EXPECT_GT(TIndexTree(c.Table()->IndexFile(), c, kSysTextSlot).KeyCount(), 0u);
}

// The rows as a multiset of their first two fields (the third comes and goes, always null).
std::multiset<Row> firstTwo(TDataCursor& c) {
  std::multiset<Row> rows;
  for (Row row : readRows(c)) rows.insert({{1, row[1]}, {2, row[2]}});
  return rows;
}

// Table "rows" of structure 0 in `dir` with the rows (1, "r1") to (3, "r3"); their first two fields.
std::multiset<Row> threeNumberedRows(const TempDir& dir) {
  std::multiset<Row> rows;
  for (const Row& row : createRows(dir, structure(0), 3, [n = 0]() mutable {
         ++n;
         return Row{{1, std::to_string(n)}, {2, "r" + std::to_string(n)}};
       }))
    rows.insert({{1, row.at(1)}, {2, row.at(2)}});
  return rows;
}

// The bytes of every file of a folder, by path.
using FolderImage = std::map<std::filesystem::path, std::vector<uint8_t>>;

FolderImage imageOf(const TempDir& dir) {
  FolderImage image;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    image[entry.path()] = datafile_test::readFileBytes(entry.path().string());
  return image;
}

// Makes the folder hold exactly the files of `image` again.
void restore(const TempDir& dir, const FolderImage& image) {
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) std::filesystem::remove(entry);
  for (const auto& [file, bytes] : image) datafile_test::writeFileBytes(file.string(), bytes);
}

int worker(const std::string& path, uint32_t seed) {
  Database db(path);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);
  for (int step = int(seed % 4) * 3;; ++step) {
    TRestructureArgs a = structure(step);
    c.RestructureTable(a);
    if (a.Indexes.size() > 1) continue;
    c.Open();
    const uint16_t fields[] = {uint16_t(1 + step % 2), uint16_t(2 - step % 2)};
    const bool descending[] = {step % 3 == 0, false};
    c.SortRecords(fields, descending, {});
    c.Close();
  }
}

TEST(KilledRestructure, TheTableOpensWholeWithItsRowsAfterEveryKill) {
  const char* env = std::getenv("VELMARON_KILLS");
  const int kills = env ? std::atoi(env) : 25;
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 rng(seed);
  TempDir dir;
  std::multiset<Row> rows;
  for (const Row& row : createRows(dir, structure(0), 400, [&] {
         return Row{{1, std::to_string(rng() % 50)}, {2, std::string(1 + rng() % 10, char('a' + rng() % 5))}};
       }))
    rows.insert({{1, row.at(1)}, {2, row.at(2)}});
  for (int kill = 0; kill < kills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill) + " (replay with VELMARON_SEED=" + std::to_string(seed) +
                 ")");
    const uint32_t workerSeed = uint32_t(rng());
    Helper writer([&](Helper&) { return worker(dir.path(), workerSeed); });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
    ASSERT_EQ(writer.kill9(), 128 + SIGKILL);
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    ASSERT_EQ(firstTwo(c), rows);
    expectIntact(dir, "rows", c);
    // The open removed the new table of a copy cut short; only the table and its backups stay.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      EXPECT_EQ(entry.path().stem().string(), "rows") << entry.path();
  }
}

// Restructures a small table once per file operation of the restructure, in a process of its
// own: with `fault` Exit the process ends at that operation; with IoError every operation from
// that one on fails, and once the failure is reported the disk works again and the same process
// restructures once more, which must succeed. Afterwards the table opens whole with its rows, and
// nothing but the table's own files is left in the folder. Returns the operations of a whole run.
uint64_t failAtEveryOperation(platform::Fault fault) {
  TempDir dir;
  const std::multiset<Row> rows = threeNumberedRows(dir);
  const FolderImage pristine = imageOf(dir);
  bool completed = false;
  uint64_t at = 1;
  for (; !completed && at < 2000; ++at) {
    SCOPED_TRACE("failed at operation " + std::to_string(at));
    restore(dir, pristine);
    Helper writer([&](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(dir.path(), &list);
      TDataCursor c(*db.directory);
      c.SetTableName("rows");
      c.SetExclusive(true);
      TRestructureArgs args = structure(1);
      faulty.setPlan({fault, at, false, true});
      try {
        c.RestructureTable(args);
        return 0;
      } catch (const EVELDOREngineError&) {
      }
      faulty.setPlan({});
      c.Close();
      args = structure(1);
      c.RestructureTable(args);
      return 1;
    });
    const int code = writer.wait();
    EXPECT_TRUE(code == 0 || code == (fault == platform::Fault::Exit ? platform::kFaultExitCode : 1)) << code;
    completed = code == 0;
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    EXPECT_EQ(firstTwo(c), rows);
    c.Close();
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      EXPECT_EQ(entry.path().stem().string(), "rows") << entry.path();
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(at, 20u) << "the copy makes, fills and swaps in a table of its own";
  return at - 1;
}

TEST(KilledRestructure, EndingAtAnyFileOperationLeavesNoStrayCopy) {
  std::printf("the restructure ran to its end after %llu operations\n",
              static_cast<unsigned long long>(failAtEveryOperation(platform::Fault::Exit)));
}

TEST(FailedRestructure, TheNextCopyAfterADiskFailingAtAnyOperationLeavesNoStrayCopy) {
  failAtEveryOperation(platform::Fault::IoError);
}

// Opens `table` in a session of its own (the open that clears stale copy markers); its rows.
int32_t openAndCount(const TempDir& dir, const std::string& table) {
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName(table);
  c.Open();
  return c.GetRecordCount();
}

// A copy marker can outlive its copy's files: its process ended right after the swap moved them.
// The temporary name it holds may be taken again by a copy of another table on a thread of the
// same id. Opening the first table then leaves that other copy alone while anyone holds it, and
// still clears the marker.
TEST(KilledRestructure, AStaleCopyMarkerNeverDeletesATableHeldOpen) {
  TempDir dir;
  threeNumberedRows(dir);
  const std::string reused = "00123450";
  Database(dir.path()).create(2, reused);
  datafile_test::writeFileBytes(dir.file("rows.CPY"), std::vector<uint8_t>(reused.begin(), reused.end()));
  Helper holder([&](Helper& h) {
    Database db(dir.path());
    db.open(reused, true);
    h.send('o');
    h.receive();
    return 0;
  });
  ASSERT_EQ(holder.receive(), 'o');
  EXPECT_EQ(openAndCount(dir, "rows"), 3);
  EXPECT_TRUE(std::filesystem::exists(dir.file(reused + ".DAT")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("rows.CPY")));
  holder.send('x');
  EXPECT_EQ(holder.wait(), 0);
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName(reused);
  c.Open();
  EXPECT_EQ(c.GetRecordCount(), 2);
}

// A file system that, at the delete of the file named `watched`, first has another process try
// to put a file of its own under that name: an open elsewhere that deleted the stale file, then a
// copy that took the name afresh.
class ReplacedAtDelete final : public table_test::LocalFileSystem {
 public:
  ReplacedAtDelete(std::string watched, Helper& other) : watched_(std::move(watched)), other_(other) {}
  bool deleteFile(const std::string& path) override {
    replace(path);
    return base().deleteFile(path);
  }
  bool deleteFileAsSpelt(const std::string& path) override {
    replace(path);
    return base().deleteFileAsSpelt(path);
  }
  bool openAnywhereAsSpelt(const std::string& path) override { return base().openAnywhereAsSpelt(path); }
  // 'r' once the other process put its file there, 'n' once it could not; 0 before.
  char outcome = 0;

 private:
  void replace(const std::string& path) {
    if (outcome || std::filesystem::path(path).filename() != watched_) return;
    other_.send('g');
    outcome = other_.receive();
  }
  std::string watched_;
  Helper& other_;
};

// The open that clears a stale copy marker deletes a file of the table it names only while that
// name leads to the file it saw: one put there since, between its look and its delete, stays.
TEST(KilledRestructure, AStaleCopyMarkerNeverDeletesAFileThatTookTheNameSinceItsLook) {
  TempDir dir;
  threeNumberedRows(dir);
  const std::string reused = "00123450";
  Database(dir.path()).create(2, reused);
  datafile_test::writeFileBytes(dir.file("rows.CPY"), std::vector<uint8_t>(reused.begin(), reused.end()));
  const std::string index = dir.file(reused + ".IDX");
  Helper other([&](Helper& h) {
    if (h.receive() != 'g') return 1;
    platform::FileSystem& fs = platform::FileSystem::local();
    const bool replaced =
        fs.deleteFile(index) && fs.createNewFile(index) == platform::CreateNewResult::Created;
    h.send(replaced ? 'r' : 'n');
    return 0;
  });
  ReplacedAtDelete fs(reused + ".IDX", other);
  {
    TFileList list(fs);
    Database db(dir.path(), &list);
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    EXPECT_EQ(c.GetRecordCount(), 3);
  }
  EXPECT_EQ(other.wait(), 0);
  ASSERT_NE(fs.outcome, 0) << "the open never came to the delete";
  if (fs.outcome == 'r') {
    EXPECT_TRUE(std::filesystem::exists(index)) << "the file that took the name was deleted";
  } else {
    EXPECT_FALSE(std::filesystem::exists(index)) << "the file seen stayed";
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file(reused + ".DAT")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("rows.CPY")));
}

// A file system that stops its process at the first move of the table "rows"'s data file (the
// swap of a restructure, its new table closed) until the parent lets it go on.
class PausingAtSwap final : public table_test::LocalFileSystem {
 public:
  explicit PausingAtSwap(Helper& helper) : helper_(helper) {}
  bool renameFile(const std::string& from, const std::string& to) override {
    if (!paused_ && std::filesystem::path(from).filename() == "rows.DAT") {
      paused_ = true;
      helper_.send('p');
      helper_.receive();
    }
    return base().renameFile(from, to);
  }
  bool openAnywhereAsSpelt(const std::string& path) override { return base().openAnywhereAsSpelt(path); }

 private:
  Helper& helper_;
  bool paused_ = false;
};

// Restructures `table` of `dir` to structure 1 through `fs`, its copy named as thread 12345 names
// it; `before` runs once the table's session is open, just before the restructure.
void restructureAsThread12345(
    platform::FileSystem& fs, const TempDir& dir, const std::string& table,
    const std::function<void()>& before = [] {}) {
  TFileList list(fs);
  Database db(dir.path(), &list);
  SetTempNameThreadNumber(12345);
  TDataCursor c(*db.directory);
  c.SetTableName(table);
  c.SetExclusive(true);
  TRestructureArgs a = structure(1);
  before();
  c.RestructureTable(a);
}

// The copy of a restructure running in another process took the temporary name that a stale
// marker beside another table names, and waits between closing its new table and moving it into
// place. Opening the other table then must not delete that copy's files: the restructure
// completes, and the table keeps its rows.
TEST(KilledRestructure, AStaleCopyMarkerLeavesALiveCopyOfAnotherTableAlone) {
  TempDir dir;
  const std::multiset<Row> rows = threeNumberedRows(dir);
  Database(dir.path()).create(2, "items");
  const std::string reused = "00123450";
  datafile_test::writeFileBytes(dir.file("items.CPY"), std::vector<uint8_t>(reused.begin(), reused.end()));
  Helper copier([&](Helper& h) {
    PausingAtSwap fs(h);
    restructureAsThread12345(fs, dir, "rows");
    return 0;
  });
  ASSERT_EQ(copier.receive(), 'p');
  ASSERT_TRUE(std::filesystem::exists(dir.file(reused + ".DAT")));
  EXPECT_EQ(openAndCount(dir, "items"), 2);
  EXPECT_TRUE(std::filesystem::exists(dir.file(reused + ".DAT")));
  EXPECT_TRUE(std::filesystem::exists(dir.file(reused + ".IDX")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("items.CPY")));
  copier.send('g');
  EXPECT_EQ(copier.wait(), 0) << "the restructure reports a failure";
  Database db(dir.path());
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  ASSERT_NO_THROW(c.Open());
  EXPECT_EQ(c.FieldCount(), 3) << "the new structure is in place";
  EXPECT_EQ(firstTwo(c), rows);
}

// Two restructures of two tables at once, in two processes whose temporary names start alike,
// both ended at the same file operation in turn: each table opens whole with its rows afterwards,
// and nothing but the tables' own files is left.
TEST(KilledRestructure, TwoCopiesOfLikeNamesEndedAtAnyOperationLeaveBothTablesWhole) {
  TempDir dir;
  const std::multiset<Row> rows = threeNumberedRows(dir);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    std::filesystem::copy_file(entry.path(), dir.file("other" + entry.path().extension().string()));
  const FolderImage pristine = imageOf(dir);
  int completed = 0;
  uint64_t at = 1;
  for (; completed < 2 && at < 2000; ++at) {
    SCOPED_TRACE("ended at operation " + std::to_string(at));
    restore(dir, pristine);
    const auto restructure = [&](const std::string& table) {
      return [&, table](Helper&) {
        platform::FaultyFileSystem faulty(platform::FileSystem::local());
        restructureAsThread12345(faulty, dir, table, [&] {
          faulty.setPlan({platform::Fault::Exit, at, false});
        });
        return 0;
      };
    };
    Helper first(restructure("rows"));
    Helper second(restructure("other"));
    completed = 0;
    for (Helper* writer : {&first, &second}) {
      const int code = writer->wait();
      EXPECT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
      completed += code == 0;
    }
    Database db(dir.path());
    for (const char* table : {"rows", "other"}) {
      TDataCursor c(*db.directory);
      c.SetTableName(table);
      ASSERT_NO_THROW(c.Open()) << table;
      EXPECT_EQ(firstTwo(c), rows) << table;
      c.Close();
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string stem = entry.path().stem().string();
      EXPECT_TRUE(stem == "rows" || stem == "other") << entry.path();
    }
  }
  EXPECT_EQ(completed, 2);
  EXPECT_GT(at, 20u);
}

// A power loss keeps only what reached the device. A copy's new files must be there, every
// write of theirs synced, before the swap marker commits the swap and before any old file of
// the table is moved or deleted: otherwise the name leads to files the disk never got, with the
// backups gone. The session does not force its writes (ForceBufferFlush is off, the default).
TEST(PowerLossRestructure, TheNewFilesReachTheDeviceBeforeTheOldTableIsGivenUp) {
  for (const bool noBackup : {true, false}) {
    SCOPED_TRACE(noBackup ? "old files deleted" : "old files kept as backups");
    TempDir dir;
    TRestructureArgs args = structure(0);
    args.Fields.push_back(field(3, "BODY", kFieldTypeBlob));
    createRows(dir, args, 30, [n = 0]() mutable {
      ++n;
      return Row{
          {1, std::to_string(n)}, {2, "r" + std::to_string(n)}, {3, std::string(700, char('a' + n % 26))}};
    });
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    {
      Database db(dir.path(), &list);
      ASSERT_EQ(db.session.ForceBufferFlush(), 0);
      TDataCursor c(*db.directory);
      c.SetTableName("rows");
      c.SetExclusive(true);
      args.Fields.push_back(field(4, "EXTRA", 6));
      args.NoBackup = noBackup;
      faulty.record(true);
      c.RestructureTable(args);
      faulty.record(false);
    }
    using Kind = platform::FaultyFileSystem::EventKind;
    const std::vector<platform::FaultyFileSystem::Event> events = faulty.events();
    const auto nameOf = [](const std::string& path) {
      return std::filesystem::path(path).filename().string();
    };
    const auto isOldFile = [&](const std::string& path) {
      const std::string name = nameOf(path);
      return name == "rows.DAT" || name == "rows.IDX" || name == "rows.BLB";
    };
    // The first step after which the old table may no longer be whole on the device: the swap
    // marker's sync, an old file moved to its backup, or a file of the table deleted.
    size_t commit = events.size();
    for (size_t i = 0; i < events.size() && commit == events.size(); ++i) {
      const auto& e = events[i];
      if ((e.kind == Kind::Sync && nameOf(e.path) == "rows.SWP") ||
          (e.kind == Kind::Rename && isOldFile(e.path)) ||
          (e.kind == Kind::Delete && std::filesystem::path(e.path).stem() == "rows"))
        commit = i;
    }
    ASSERT_LT(commit, events.size()) << "no swap seen";
    std::vector<std::string> moved;
    for (const auto& e : events)
      if (e.kind == Kind::Rename && isOldFile(e.to) && !isOldFile(e.path)) moved.push_back(nameOf(e.path));
    ASSERT_EQ(moved.size(), 3u) << "data, index and blob files move in";
    for (const std::string& fresh : moved) {
      SCOPED_TRACE(fresh);
      bool synced = false;
      for (size_t i = 0; i < commit; ++i) {
        if (nameOf(events[i].path) != fresh) continue;
        if (events[i].kind == Kind::Write) synced = false;
        if (events[i].kind == Kind::Sync) synced = true;
      }
      EXPECT_TRUE(synced) << "written after its last sync, or never synced, before the swap commits";
      for (size_t i = commit; i < events.size(); ++i)
        EXPECT_FALSE(events[i].kind == Kind::Write && nameOf(events[i].path) == fresh)
            << "written after the commit";
    }
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.Open();
    EXPECT_EQ(c.GetRecordCount(), 30);
    expectIntact(dir, "rows", c);
  }
}

// Table "rows" of structure 2 (an index BYNAME over NAME) with 40 rows; their first two fields.
std::multiset<Row> fortyNamedRows(const TempDir& dir) {
  std::multiset<Row> rows;
  for (const Row& row : createRows(dir, structure(2), 40, [n = 0]() mutable {
         ++n;
         return Row{{1, std::to_string(n)}, {2, std::string(1 + n % 7, char('a' + n % 5))}};
       }))
    rows.insert({{1, row.at(1)}, {2, row.at(2)}});
  return rows;
}

// The rows as index BYNAME leads to them, with the checkers' word on every key of the table.
std::multiset<Row> rowsThroughTheIndex(const TempDir& dir, TDataCursor& c) {
  expectIntact(dir, "rows", c);
  c.SetIndexName("BYNAME");
  return firstTwo(c);
}

// The rebuild in place of an index whose order changes (the records keep their numbers), its
// old index file kept as the backup, ended at every file operation in a process of its own: the
// table opens, every row is found through the index, old or new, and the index is whole.
TEST(KilledRestructure, AnIndexRebuiltInPlaceEndedAtAnyOperationLeavesEveryRowFoundThroughIt) {
  TempDir dir;
  const std::multiset<Row> rows = fortyNamedRows(dir);
  const FolderImage pristine = imageOf(dir);
  bool completed = false;
  uint64_t at = 1;
  for (; !completed && at < 3000; ++at) {
    SCOPED_TRACE("ended at operation " + std::to_string(at));
    restore(dir, pristine);
    Helper writer([&](Helper&) {
      platform::FaultyFileSystem faulty(platform::FileSystem::local());
      TFileList list(faulty);
      Database db(dir.path(), &list);
      TDataCursor c(*db.directory);
      c.SetTableName("rows");
      c.SetExclusive(true);
      TRestructureArgs args = structure(3);
      faulty.setPlan({platform::Fault::Exit, at, false});
      c.RestructureTable(args);
      return 0;
    });
    const int code = writer.wait();
    ASSERT_TRUE(code == 0 || code == platform::kFaultExitCode) << code;
    completed = code == 0;
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    ASSERT_NO_THROW(c.Open());
    EXPECT_EQ(rowsThroughTheIndex(dir, c), rows);
  }
  EXPECT_TRUE(completed);
  EXPECT_GT(at, 10u) << "the rebuild copies the index, builds it again and writes it out";
  std::printf("the rebuild ran to its end after %llu operations\n", static_cast<unsigned long long>(at - 1));
  EXPECT_TRUE(std::filesystem::exists(dir.file("rows.IBK")));
}

using Events = std::vector<platform::FaultyFileSystem::Event>;
using EventKind = platform::FaultyFileSystem::EventKind;

std::string nameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// True when every write of `file` among events[0, end) is followed, before `end`, by a sync of it.
bool syncedBefore(const Events& events, size_t end, const std::string& file) {
  bool synced = true;
  for (size_t i = 0; i < end; ++i) {
    if (nameOf(events[i].path) != file) continue;
    if (events[i].kind == EventKind::Write) synced = false;
    if (events[i].kind == EventKind::Sync) synced = true;
  }
  return synced;
}

// A power loss keeps only what reached the device. The backup of an index rebuilt in place is
// whole on the device, its name too, before the first byte of the index is overwritten; a backup
// is deleted only once the index in place (rebuilt, or copied back from it) is on the device.
// The session does not force its writes (ForceBufferFlush is off, the default).
TEST(PowerLossRestructure, AnIndexBackupReachesTheDeviceBeforeTheIndexIsOverwrittenAndGoesOnlyAfterIt) {
  TempDir dir;
  fortyNamedRows(dir);
  platform::FaultyFileSystem faulty(platform::FileSystem::local());
  TFileList list(faulty);
  Database db(dir.path(), &list);
  ASSERT_EQ(db.session.ForceBufferFlush(), 0);
  TDataCursor c(*db.directory);
  c.SetTableName("rows");
  c.SetExclusive(true);

  TRestructureArgs args = structure(3);
  faulty.record(true);
  c.RestructureTable(args);
  Events events = faulty.events();
  size_t firstIndexWrite = events.size();
  bool backupMade = false;
  for (size_t i = 0; i < events.size() && firstIndexWrite == events.size(); ++i) {
    backupMade = backupMade || (events[i].kind == EventKind::Write && nameOf(events[i].path) == "rows.IBK");
    if (backupMade && events[i].kind == EventKind::Write && nameOf(events[i].path) == "rows.IDX")
      firstIndexWrite = i;
  }
  ASSERT_LT(firstIndexWrite, events.size()) << "no backup made, or no index written after it";
  EXPECT_TRUE(syncedBefore(events, firstIndexWrite, "rows.IBK")) << "the backup's bytes";
  bool folderSynced = false;
  for (size_t i = 0; i < firstIndexWrite; ++i) {
    if (events[i].kind == EventKind::Write && nameOf(events[i].path) == "rows.IBK") folderSynced = false;
    if (events[i].kind == EventKind::SyncFolder) folderSynced = true;
  }
  EXPECT_TRUE(folderSynced) << "the backup's name";

  // The backup goes, the index rebuilt in place kept, and then copied back over a changed index.
  for (const bool keepCurrent : {true, false}) {
    SCOPED_TRACE(keepCurrent ? "rebuilt index kept" : "backup copied back");
    c.Open();
    c.BackupIndex();
    std::vector<uint8_t> buffer(c.RecordSize());
    const int32_t k = 100;
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>("added"));
    c.AppendRecord(buffer.data());
    faulty.record(true);
    c.RestoreIndex(keepCurrent, true);
    events = faulty.events();
    faulty.record(false);
    size_t backupGone = events.size();
    for (size_t i = 0; i < events.size() && backupGone == events.size(); ++i)
      if (events[i].kind == EventKind::Delete && nameOf(events[i].path) == "rows.IBK") backupGone = i;
    ASSERT_LT(backupGone, events.size()) << "the backup was not deleted";
    EXPECT_TRUE(syncedBefore(events, backupGone, "rows.IDX")) << "the index in place";
    bool forced = false;
    for (size_t i = 0; i < backupGone; ++i)
      forced = forced || (events[i].kind == EventKind::Sync && nameOf(events[i].path) == "rows.IDX");
    EXPECT_TRUE(forced) << "the index in place was never forced";
    c.Close();
  }
}

// The records a cursor shows and counts, in record-number order and through index BYNAME.
std::pair<int32_t, std::multiset<Row>> shown(TDataCursor& c, const std::string& index) {
  c.SetIndexName(index);
  std::multiset<Row> rows = firstTwo(c);
  return {c.GetRecordCount(), rows};
}

// An index copied back from its backup replaces the one the cursor found its view in: the cursor
// then counts and shows what the index in place holds, as the cursor that opens the table next
// does, whether the backup stays or goes. (A row added since the backup is unknown to it.)
TEST(IndexBackupTest, ACursorThatCopiedTheBackupBackCountsAndShowsWhatTheIndexInPlaceHolds) {
  for (const bool deleteBackup : {false, true}) {
    SCOPED_TRACE(deleteBackup ? "backup deleted" : "backup kept");
    TempDir dir;
    const std::multiset<Row> rows = fortyNamedRows(dir);
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("rows");
    c.SetExclusive(true);
    c.Open();
    c.BackupIndex();
    std::vector<uint8_t> buffer(c.RecordSize());
    const int32_t k = 100;
    c.ClearRecordBuffer(buffer.data());
    c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
    c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>("added"));
    c.AppendRecord(buffer.data());
    ASSERT_EQ(c.GetRecordCount(), 41);
    c.RestoreIndex(false, deleteBackup);
    EXPECT_EQ(c.GetTableRecordCount(), 40);
    for (const std::string index : {"", "BYNAME"}) {
      SCOPED_TRACE("index \"" + index + "\"");
      const auto [count, seen] = shown(c, index);
      EXPECT_EQ(seen, rows);
      EXPECT_EQ(count, 40);
    }
    c.Close();
    c.Open();
    for (const std::string index : {"", "BYNAME"}) EXPECT_EQ(shown(c, index), std::make_pair(40, rows));
  }
}

}  // namespace
