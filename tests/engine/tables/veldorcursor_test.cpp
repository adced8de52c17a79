// The data cursor over real table files: creation and its checks, open and the password, lock
// protocols and change detection between processes and sessions, and maintenance round trips.
#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>

#include "engine/tables/veldorcursor.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/tables/table_test_util.h"
#include "tools/tablecheck/tablecheck.h"

#if defined(__SANITIZE_ADDRESS__)
#define CURSOR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CURSOR_TEST_ASAN 1
#endif
#endif

namespace {

using namespace engine;
using storage_test::errorOf;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

// A table of every field type, with a primary key, a case-insensitive descending index, a
// non-unique index and a text index.
TCreateTableArgs everyKind() {
  using datafile_test::field;
  TCreateTableArgs a;
  a.BlobBlockSize = 512;
  a.Description = "every kind";
  a.Fields = {field(1, "NAME", 1, 20),    field(2, "BORN", 2),
              field(3, "BODY", 3, 0, 22), field(4, "OK", 4),
              field(5, "SMALL", 5),       field(6, "ID", 6, 0, 29),
              field(7, "RATE", 7),        field(8, "AMOUNT", 8, 0, 0, 2),
              field(9, "CODE", 9, 8),     field(10, "AT", 10),
              field(11, "STAMP", 11),     field(12, "COUNT", 12),
              field(13, "BIG", 18)};
  a.Fields[0].SetDefaultText("none");
  a.Fields[1].SetDefaultText("current_date");
  a.Indexes.resize(3);
  a.Indexes[0].fields[0] = 6;
  a.Indexes[1].name = " byName ";
  a.Indexes[1].fields = {1, 13};
  a.Indexes[1].caseInsensitive = 1;
  a.Indexes[1].descending = 1;
  a.Indexes[1].unique = 1;
  a.Indexes[2].name = "ByAmount";
  a.Indexes[2].fields[0] = 8;
  a.TextIndex.fields = {1, 3};
  return a;
}

class CursorTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataCursor> cursor(const std::string& name = "every", bool exclusive = false) {
    auto c = std::make_unique<TDataCursor>(*db.directory);
    c->SetTableName(name);
    c->SetExclusive(exclusive);
    return c;
  }
  void create(TCreateTableArgs a = everyKind(), const std::string& name = "every") {
    cursor(name, true)->CreateTable(a);
  }
  TempDir dir;
  Database db{dir.path()};
};

TEST_F(CursorTest, CreatedTableHasTheGoldenHeaderAndOpensWithItsFieldList) {
  create();
  auto bytes = datafile_test::readFileBytes(dir.file("every.DAT"));
  std::fill(bytes.begin() + 27, bytes.begin() + 35, 0);  // the last-write stamp
  EXPECT_EQ(
      hex(bytes.data(), 127),
      "01000000000200000500000000010000000000000082000d00010000000000000000000a6576657279206b696e6400000000"
      "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "000000000000000000000001000000001879000000000000000000");
  auto c = cursor();
  EXPECT_EQ(c->GetBlobBlockSize(), 512u);
  EXPECT_EQ(c->GetUserMajorVersion(), 0);
  c->Open();
  ASSERT_EQ(c->FieldCount(), 13);
  // Descriptors by position and number, of the cursor's list and of the table: the last one and
  // no further.
  EXPECT_EQ(&c->GetTableFieldDescByPosition(13), &c->GetTableFieldDescByNumber(13));
  EXPECT_EQ(c->GetFieldDescByPosition(13).Name(), c->GetTableFieldDescByPosition(13).Name());
  EXPECT_EQ(c->GetFieldNumber("NAME"), 1);
  for (uint16_t outside : {uint16_t(0), uint16_t(14)}) {
    EXPECT_EQ(errorOf([&] { c->GetFieldDescByPosition(outside); }), VELDOR_OUTOFRANGE);
    EXPECT_EQ(errorOf([&] { c->GetFieldDescByNumber(outside); }), VELDOR_OUTOFRANGE);
    EXPECT_EQ(errorOf([&] { c->GetTableFieldDescByPosition(outside); }), VELDOR_OUTOFRANGE);
    EXPECT_EQ(errorOf([&] { c->GetTableFieldDescByNumber(outside); }), VELDOR_OUTOFRANGE);
  }
  EXPECT_EQ(c->Field(6).desc.Offset(), kAutoIncFieldOffset);
  EXPECT_EQ(c->Field(1).desc.Offset(), 9);
  EXPECT_EQ(c->Field(1).QualifiedName(), "every.NAME");
  EXPECT_TRUE(c->HasAutoInc() && c->HasDefaults() && !c->HasChecks());
  EXPECT_EQ(c->CurrentIndex(), kPrimarySlot);
  std::vector<uint8_t> record(c->RecordSize());
  c->ApplyDefaultValues(record.data());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data()) + 10), "none");
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char today[16];
  std::strftime(today, sizeof today, "%Y-%m-%d", localtime_r(&now, &local));
  EXPECT_EQ(platform::get4(record.data() + 32), uint32_t(ParseDateText(today)));
  c->SetIndexName("BYNAME");
  EXPECT_EQ(c->CurrentKeySize(), 22 + 9);
  c->SetIndexName("byamount");
  EXPECT_EQ(c->CurrentKeySize(), 9 + 4);
  EXPECT_EQ(c->GetStopWords().count(), DefaultStopWords().size());
  // What a restructure compares: a default's letter case is no change, a rule is.
  TFieldDescriptor before = c->Field(1).desc, after = before;
  after.SetDefaultText("NONE");
  EXPECT_FALSE(TDataCursor::FieldDefinitionChanged(before, after));
  after.SetRequired(1);
  EXPECT_TRUE(TDataCursor::FieldDefinitionChanged(before, after));
  std::vector<TFieldDescriptor> fields;
  for (uint16_t p = 1; p <= c->FieldCount(); ++p) fields.push_back(c->Field(p).desc);
  const TIndexDescriptor byName = c->Table()->IndexFile().GetIndexDescriptor(1);
  EXPECT_FALSE(c->IndexNeedsRebuild(byName, byName, fields));
  fields[0].SetRequired(1);
  EXPECT_TRUE(c->IndexNeedsRebuild(byName, byName, fields));
  EXPECT_EQ(errorOf([&] { c->SetExclusive(false); }), VELDOR_TABLEOPEN);
  EXPECT_EQ(errorOf([&] { c->SetQuerySource(false); }), 0);
  EXPECT_EQ(errorOf([&] { c->SetTemporary(true); }), VELDOR_TABLEOPEN);
}

// Cursors on one table start from one field list built from the table's descriptors: each sees
// its own spelling of the table in the qualified names and the numbers its options give, a list
// one cursor changes stays its own, and a change of the table's descriptors shows in the next
// cursor opened.
TEST_F(CursorTest, CursorsStartWithTheTablesFieldsAndChangeOnlyTheirOwnList) {
  create();
  auto lower = cursor(), upper = cursor("EVERY"), again = cursor(), result = cursor();
  lower->Open();
  upper->Open();
  again->Open();
  result->SetQuerySource(true);
  result->SetQueryResult(true);
  result->Open();
  EXPECT_EQ(lower->Field(1).QualifiedName(), "every.NAME");
  EXPECT_EQ(upper->Field(13).QualifiedName(), "EVERY.BIG");
  EXPECT_EQ(again->Field(1).QualifiedName(), "every.NAME");
  EXPECT_EQ(lower->Field(13).TableFieldNo(), 13);
  EXPECT_EQ(result->Field(13).TableFieldNo(), 0);
  EXPECT_EQ(result->Field(13).desc.Name(), "BIG");
  EXPECT_TRUE(result->HasAutoInc() && result->HasDefaults() && !result->HasChecks());

  std::vector<TFieldDescriptor> renamed;
  for (uint16_t p = 1; p <= lower->FieldCount(); ++p) renamed.push_back(lower->Field(p).desc);
  renamed[0].SetName("ALIAS");
  const TFieldDescriptor* before = &lower->Field(2).desc;
  lower->SetFieldDescs(renamed);
  EXPECT_EQ(lower->Field(1).desc.Name(), "ALIAS");
  EXPECT_EQ(again->Field(1).desc.Name(), "NAME");
  renamed[1].SetName("BORN_ON");
  const TFieldDescriptor* own = &lower->Field(2).desc;
  EXPECT_NE(own, before);
  lower->SetFieldDescs(renamed);
  // A list of the cursor's own is changed in place.
  EXPECT_EQ(&lower->Field(2).desc, own);
  EXPECT_EQ(own->Name(), "BORN_ON");
  lower->Close();
  lower->Open();
  EXPECT_EQ(lower->Field(1).desc.Name(), "NAME");

  TFieldDescriptor d = lower->GetTableFieldDescByNumber(2);
  d.SetName("BIRTH");
  d.SetRequired(1);
  lower->SetTableFieldDesc(2, d);
  auto later = cursor();
  later->Open();
  EXPECT_EQ(later->Field(2).desc.Name(), "BIRTH");
  EXPECT_EQ(later->Field(2).QualifiedName(), "every.BIRTH");
  EXPECT_TRUE(later->HasChecks());
  EXPECT_EQ(again->Field(2).desc.Name(), "BORN");
}

// A cursor made where another one just ended (each thread keeps the last cursor's memory) is as
// new: none of the ended cursor's table, field list, position or index shows in it, and cursors
// made and dropped on several threads at once each read their own table.
TEST_F(CursorTest, ACursorMadeWhereAnotherEndedStartsAsNew) {
  db.create(3, "items");
  db.create(7, "other");
  const auto firstCode = [](TDataCursor& c) {
    std::vector<uint8_t> record(c.RecordSize()), code(8);
    EXPECT_EQ(c.GetNextRecord(record.data()), 0);
    bool isNull = true;
    c.GetField(1, record.data(), isNull, code.data());
    EXPECT_FALSE(isNull);
    return code;
  };
  for (int round = 0; round < 3; ++round) {
    {
      auto ended = cursor("items");
      ended->Open();
      std::vector<TFieldDescriptor> renamed;
      for (uint16_t p = 1; p <= ended->FieldCount(); ++p) renamed.push_back(ended->Field(p).desc);
      renamed[0].SetName("RENAMED");
      ended->SetFieldDescs(renamed);
      std::vector<uint8_t> record(ended->RecordSize());
      while (ended->GetNextRecord(record.data()) == 0) {
      }
    }
    auto next = cursor("other");
    EXPECT_FALSE(next->Active());
    next->Open();
    EXPECT_EQ(next->Field(1).desc.Name(), "CODE");
    EXPECT_EQ(next->Field(1).QualifiedName(), "other.CODE");
    EXPECT_TRUE(next->InRecordNumberOrder());
    EXPECT_EQ(next->GetRecordCount(), 7);
    EXPECT_EQ(firstCode(*next), table_test::codeFor(1));
    // A cursor made while that one lives takes fresh memory.
    auto beside = cursor("items");
    beside->Open();
    EXPECT_EQ(beside->GetRecordCount(), 3);
    EXPECT_EQ(firstCode(*beside), table_test::codeFor(1));
    EXPECT_EQ(next->GetRecordCount(), 7);
  }
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (uint32_t t = 0; t < 3; ++t) {
    const std::string name = "thread" + std::to_string(t);
    db.create(t + 2, name);
    threads.emplace_back([&, name, t] {
      Database own{dir.path()};
      for (int i = 0; i < 40; ++i) {
        auto made = std::make_unique<TDataCursor>(*own.directory);
        made->SetTableName(name);
        made->Open();
        if (made->GetRecordCount() != int32_t(t + 2) || firstCode(*made) != table_test::codeFor(1)) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// A cursor made on one thread and ended on another leaves its memory with the thread that ended
// it: the next cursor there is as new, and the thread that made it takes fresh memory meanwhile.
// Threads that end with memory kept give it back (the leak checker sees the rest).
TEST_F(CursorTest, ACursorEndedOnAnotherThreadLeavesBothThreadsCursorsAsNew) {
  db.create(4, "made");
  db.create(6, "kept");
  std::unique_ptr<TDataCursor> handed;
  std::thread maker([&] {
    Database own{dir.path()};
    handed = std::make_unique<TDataCursor>(*own.directory);
    handed->SetTableName("made");
    handed->Open();
    handed.reset();
    handed = std::make_unique<TDataCursor>(*own.directory);
    handed->SetTableName("made");
    handed->Open();
    EXPECT_EQ(handed->GetRecordCount(), 4);
    handed->Close();
  });
  maker.join();
  handed.reset();
  auto next = cursor("kept");
  EXPECT_FALSE(next->Active());
  next->Open();
  EXPECT_EQ(next->Field(1).QualifiedName(), "kept.CODE");
  EXPECT_EQ(next->GetRecordCount(), 6);
}

// The memory a thread keeps of its ended cursors cannot be read until a new cursor takes it, so
// that a use of an ended cursor is reported under the address sanitizer, whichever of the kept
// blocks it lies in; a cursor made there has all of its memory to itself.
TEST_F(CursorTest, AnEndedCursorsMemoryStaysUnreadableUntilACursorTakesIt) {
#ifndef CURSOR_TEST_ASAN
  GTEST_SKIP() << "needs the address sanitizer";
#else
  db.create(2, "items");
  std::vector<std::unique_ptr<TDataCursor> > live;
  std::vector<const void*> ended;
  for (int i = 0; i < 3; ++i) {
    live.push_back(cursor("items"));
    live.back()->Open();
    ended.push_back(live.back().get());
  }
  live.clear();
  for (const void* block : ended)
    EXPECT_EQ(__asan_region_is_poisoned(const_cast<void*>(block), sizeof(TDataCursor)), block);
  for (int i = 0; i < 3; ++i) {
    live.push_back(cursor("items"));
    EXPECT_EQ(__asan_region_is_poisoned(live.back().get(), sizeof(TDataCursor)), nullptr);
  }
#endif
}

// Every refusal of a definition, with its message; nothing is created by any of them.
TEST_F(CursorTest, RefusedDefinitionsSayWhyAndCreateNothing) {
  struct Row {
    const char* what;
    std::function<void(TCreateTableArgs&)> change;
    const char* message;
  };
  auto secondary = [](TCreateTableArgs& a, const char* name, uint16_t fieldNo) {
    TIndexDescriptor d;
    d.name = name;
    d.fields[0] = fieldNo;
    a.Indexes.push_back(d);
  };
  const std::vector<Row> rows = {
      {"password of 16", [](auto& a) { a.Encrypted = true, a.Password = "0123456789abcdef"; },
       "Password provided for the table 'every' is invalid"},
      {"blank password", [](auto& a) { a.Encrypted = true, a.Password = "   "; },
       "Password provided for the table 'every' is invalid"},
      {"unknown locale", [](auto& a) { a.LanguageId = 0x7777; },
       "The language driver for the table 'every' is not available or installed"},
      {"1025 fields",
       [](auto& a) {
         for (uint16_t i = 14; i <= 1025; ++i)
           a.Fields.push_back(datafile_test::field(i, "F" + std::to_string(i), 4));
       },
       "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in "
       "the "
       "table 'every'"},
      {"31 secondary indexes",
       [&](auto& a) {
         for (int i = 3; i <= 31; ++i) secondary(a, ("X" + std::to_string(i)).c_str(), 5);
       },
       "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table 'every'"},
      {"block size 63", [](auto& a) { a.BlobBlockSize = 63; },
       "Too many blob fields or invalid blob block size specified for the table 'every'"},
      {"record of 65,536 bytes",
       [](auto& a) {
         for (uint16_t i = 14; i < 14 + 262; ++i)
           a.Fields.push_back(datafile_test::field(i, "S" + std::to_string(i), 1, 250));
       },
       "Maximum record size exceeded in the table 'every'"},
      {"name case", [](auto& a) { a.Fields[4].SetName("name"); },
       "Invalid or duplicate field name 'NAME' specified for the table 'every'"},
      {"number twice", [](auto& a) { a.Fields[4].SetFieldNumber(1); },
       "Invalid field definition specified for the field 'NAME' in the table 'every'"},
      {"type 0", [](auto& a) { a.Fields[3].SetType(0); },
       "Invalid field definition specified for the field 'OK' in the table 'every'"},
      {"bad default", [](auto& a) { a.Fields[4].SetDefaultText("many"); },
       "Invalid default, min or max validity check, or expression specified for the field 'SMALL' in the "
       "table "
       "'every'"},
      {"index name", [&](auto& a) { secondary(a, "1st", 5); },
       "Invalid secondary index name '1st' specified for the table 'every'"},
      {"index twice", [&](auto& a) { secondary(a, "BYNAME", 5); },
       "The secondary index 'byName' already exists for the table 'every'"},
      {"gap in key", [](auto& a) { a.Indexes[2].fields[2] = 4; },
       "Invalid field number '4' specified in the index 'ByAmount' for the table 'every'"},
      {"blob key", [](auto& a) { a.Indexes[2].fields[0] = 3; },
       "Invalid field 'BODY' specified for the index 'ByAmount' in the table 'every'"},
      {"empty secondary key", [](auto& a) { a.Indexes[2].fields[0] = 0; },
       "Invalid key size specified in the index 'ByAmount' for the table 'every'"},
      {"empty primary key", [](auto& a) { a.Indexes[0].fields[0] = 0; },
       "Invalid key size specified in the index 'Primary' for the table 'every'"},
      {"non-unique key of 520 + id",
       [&](auto& a) {
         a.Fields.push_back(datafile_test::field(14, "LONG1", 1, 250));
         a.Fields.push_back(datafile_test::field(15, "LONG2", 1, 240));
         a.Fields.push_back(datafile_test::field(16, "LONG3", 1, 16));
         a.Indexes[2].fields = {14, 15, 16, 9};  // 252 + 242 + 18 + 9 = 521, + 4 for the id
       },
       "Invalid key size specified in the index 'ByAmount' for the table 'every'"},
      {"text index on a number", [](auto& a) { a.TextIndex.fields[1] = 5; },
       "Invalid field 'SMALL' specified for the index 'Sys Text' in the table 'every'"},
  };
  for (const Row& row : rows) {
    TCreateTableArgs a = everyKind();
    row.change(a);
    auto c = cursor("every", true);
    try {
      c->CreateTable(a);
      ADD_FAILURE() << row.what << ": accepted";
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorText(), row.message) << row.what;
      EXPECT_EQ(e.Item(kItemDatabase), db.directory->Path()) << row.what;
    }
    EXPECT_EQ(table_test::filesOf(dir, "every"), "") << row.what;
  }
  // The limits themselves are accepted.
  TCreateTableArgs edge = everyKind();
  edge.Encrypted = true;
  edge.Password = "0123456789abcde";
  edge.BlobBlockSize = 64;
  for (uint16_t i = 14; i <= 1024; ++i)
    edge.Fields.push_back(datafile_test::field(i, "F" + std::to_string(i), 4));
  create(edge);
  auto c = cursor("every", true);
  EXPECT_EQ(errorOf([&] { c->CreateTable(edge); }), VELDOR_TABLEEXISTS);
  edge.Overwrite = true;
  EXPECT_EQ(errorOf([&] { c->CreateTable(edge); }), 0);
}

TEST_F(CursorTest, HostileTableNamesNeverLeaveTheFolder) {
  auto c = cursor();
  for (const std::string& name :
       std::vector<std::string>{"../outside", "a/b", "..", std::string("x\0y", 3), "sub\\x"}) {
    EXPECT_EQ(errorOf([&] { c->SetTableName(name); }), VELDOR_OSEACCES) << name;
    EXPECT_EQ(c->TableName(), "every");
  }
  create();
  EXPECT_EQ(errorOf([&] { c->RenameTable("../escaped"); }), VELDOR_OSEACCES);
  c->SetTableName("every.dat");
  EXPECT_EQ(c->TableName(), "every");
  EXPECT_EQ(table_test::filesOf(dir, "every"), "DAT IDX BLB");
}

TEST_F(CursorTest, ACursorOutlivingItsDirectoryIsClosedAndSaysSo) {
  create();
  auto other = std::make_unique<Database>(dir.path());
  TDataCursor c(*other->directory);
  c.SetTableName("every");
  c.Open();
  other.reset();
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(errorOf([&] { c.Open(); }), VELDOR_NOTINITIALIZED);
}

TEST_F(CursorTest, EncryptedTableOpensOnlyWithItsPassword) {
  TCreateTableArgs a = everyKind();
  a.Encrypted = true;
  a.Password = " hush ";
  create(a);
  auto c = cursor();
  int asked = 0;
  // A callback that says yes without giving a password would be asked for ever.
  c->SetPasswordCallback([&](TDataCursor&) { return ++asked < 100; });
  EXPECT_EQ(errorOf([&] { c->Open(); }), VELDOR_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(errorOf([&] { c->GetDataHeader(); }), VELDOR_NOTSUFFTABLERIGHTS);
  c->SetPasswordCallback([&](TDataCursor& sender) {
    sender.Session().AddPassword("hush");
    return true;
  });
  EXPECT_EQ(c->GetDataHeader()[86], 1);
  EXPECT_NO_THROW(c->Open());
}

// A cursor in a child process: it holds record 3 and writes the text-index parameters when told.
int childWriter(Helper& h, const std::string& path) {
  Database other(path);
  other.session.SetLockRetryCount(1);
  TDataCursor c(*other.directory);
  c.SetTableName("every");
  c.Open();
  c.LockRecord(3);
  h.send('L');
  while (char m = h.receive()) {
    if (m == 'W') {
      const std::vector<std::string> words{"alpha", "beta"};
      c.SetTextIndexParams(&words, GetDefaultSpaceChars(), {});
      c.SaveTextIndexParams();
      h.send('w');
    } else if (m == 'Q') {
      break;
    }
  }
  return 0;
}

TEST_F(CursorTest, ProcessesSeeEachOthersLocksAndChanges) {
  create();
  Helper child([&](Helper& h) { return childWriter(h, dir.path()); });
  ASSERT_EQ(child.receive(), 'L');
  db.session.SetLockRetryCount(1);
  db.session.SetLockWaitTime(1);
  auto shared = cursor();
  shared->Open();
  int refreshed = 0;
  shared->SetRefreshHook([&] { ++refreshed; });
  EXPECT_EQ(errorOf([&] { shared->LockRecord(3); }), VELDOR_RECLOCKFAILED);
  shared->LockRecord(4);
  auto second = cursor();
  second->Open();
  EXPECT_EQ(errorOf([&] { second->LockRecord(4); }), VELDOR_RECLOCKFAILED);
  shared->UnlockRecord();
  second->LockRecord(4);
  second->UnlockRecord();
  EXPECT_EQ(errorOf([&] { cursor("every", true)->Open(); }), VELDOR_OSEACCES);

  // Another process writes: the next lock of a shared cursor notices it, once.
  EXPECT_FALSE(shared->BeginRead());
  shared->EndRead();
  child.send('W');
  ASSERT_EQ(child.receive(), 'w');
  EXPECT_TRUE(shared->BeginRead());
  shared->EndRead();
  EXPECT_FALSE(shared->BeginRead());
  shared->EndRead();
  EXPECT_EQ(refreshed, 1);
  EXPECT_EQ(second->GetStopWords().count(), 2u);
  child.send('Q');
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(CursorTest, SessionsOfOneProcessKeepApartAndAnExclusiveCursorTakesNoLocks) {
  create();
  Database other(dir.path());
  TDataCursor theirs(*other.directory);
  theirs.SetTableName("every");
  theirs.Open();
  auto mine = cursor();
  mine->Open();
  // One cursor's end never releases the pair another cursor of the table took.
  ASSERT_FALSE(mine->BeginRead());
  auto clone = mine->Clone();
  clone->EndRead();
  EXPECT_TRUE(mine->Table()->HoldsReadPair());
  mine->EndRead();
  EXPECT_FALSE(mine->Table()->HoldsReadPair());

  const std::vector<std::string> words{"gamma"};
  theirs.SetTextIndexParams(&words, {}, {});
  theirs.SaveTextIndexParams();
  EXPECT_TRUE(mine->BeginRead());
  mine->EndRead();
  theirs.Close();
  mine.reset();
  clone.reset();

  auto exclusive = cursor("every", true);
  exclusive->Open();
  EXPECT_FALSE(exclusive->BeginWrite());
  EXPECT_FALSE(exclusive->Table()->HoldsWritePair());
  auto exclusiveClone = exclusive->Clone();
  EXPECT_TRUE(exclusiveClone->SeesOtherWriters());
  EXPECT_EQ(errorOf([&] { theirs.Open(); }), VELDOR_OSEACCES);
}

TEST_F(CursorTest, MaintenanceRoundTrips) {
  create();
  auto c = cursor();
  c->RenameTable("moved");
  EXPECT_EQ(table_test::filesOf(dir, "moved"), "DAT IDX BLB");
  c->SetTableName("moved");
  auto holder = cursor("moved");
  holder->Open();
  EXPECT_EQ(errorOf([&] { c->RenameTable("again"); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { c->DeleteTable(); }), VELDOR_OSEACCES);
  holder->Close();

  c->SetExclusive(true);
  c->Open();
  EXPECT_EQ(errorOf([&] { c->DeleteTable(); }), VELDOR_TABLEOPEN);
  c->BackupIndex();
  c->EmptyTable();
  c->RestoreIndex(false, true);
  EXPECT_EQ(c->GetStopWords().count(), DefaultStopWords().size());
  c->Close();
  EXPECT_EQ(table_test::filesOf(dir, "moved"), "DAT IDX BLB");
  c->RenameToBackup();
  EXPECT_EQ(table_test::filesOf(dir, "moved"), "DBK IBK BBK");
  create(everyKind(), "moved");
  c->DeleteTable();
  EXPECT_EQ(table_test::filesOf(dir, "moved"), "DBK IBK BBK");
}

// Stop words of random lengths and counts are stored over a chain of pages and read back alike;
// a chain cut short or a page that is not a parameter page is refused as index corruption.
TEST_F(CursorTest, TextIndexParametersRoundTripOverPageChains) {
  const uint32_t seed = storage_test::testSeed();
  std::mt19937 random(seed);
  create();
  for (int round = 0; round < 6; ++round) {
    std::vector<std::string> words(random() % 900);
    for (std::string& w : words) {
      w.resize(1 + random() % 40);
      for (char& ch : w) ch = char('A' + random() % 26);
    }
    TCharSet space, include;
    for (int i = 0; i < 40; ++i) space.set(random() % 256), include.set(random() % 256);
    {
      auto writer = cursor("every", round % 2 == 0);
      writer->Open();
      writer->SetTextIndexParams(round == 5 ? nullptr : &words, space, include);
    }
    auto reader = cursor();
    reader->Open();
    TLanguageStringList expected(0, 0);
    expected.setSorted(true);
    if (round != 5)
      for (const auto& w : words) expected.add(w);
    ASSERT_EQ(reader->GetStopWords().count(), expected.count()) << "round " << round;
    for (size_t i = 0; i < expected.count(); ++i) EXPECT_EQ(reader->GetStopWords()[i], expected[i]);
    EXPECT_EQ(reader->GetSpaceChars(), space);
    EXPECT_EQ(reader->GetIncludeChars(), include);
  }
  const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file("every"));
  EXPECT_TRUE(report.ok()) << report.text();
  // Damage: the first parameter page's count promises more words than the chain holds.
  auto idx = datafile_test::readFileBytes(dir.file("every.IDX"));
  const uint32_t page = platform::get4(idx.data() + kIndexDescriptorsOffset + kSysTextSlot * 120 + 96);
  ASSERT_NE(page, 0u);
  platform::put4(idx.data() + page * 4096 + 13, 0xFFFFFFF);
  platform::put4(idx.data() + page * 4096 + 7, 0);
  datafile_test::writeFileBytes(dir.file("every.IDX"), idx);
  auto reader = cursor();
  reader->Open();
  EXPECT_EQ(errorOf([&] { reader->GetStopWords(); }), VELDOR_INDEXCORRUPT);
}

TEST_F(CursorTest, IndexOfAnotherCollationVersionIsMarkedForRebuild) {
  TCreateTableArgs a = everyKind();
  a.LanguageId = 0x0409;
  create(a);
  auto idx = datafile_test::readFileBytes(dir.file("every.IDX"));
  EXPECT_EQ(platform::get4(idx.data() + kIndexCollationVersionOffset), GetCollationVersion(0x0409, 0));
  platform::put4(idx.data() + kIndexCollationVersionOffset, GetCollationVersion(0x0409, 0) ^ 0x5A5A);
  datafile_test::writeFileBytes(dir.file("every.IDX"), idx);
  auto c = cursor("every", true);
  c->Open();
  EXPECT_TRUE(c->IndexRebuildNeeded());
  EXPECT_EQ(c->CurrentIndex(), kPrimarySlot);  // an integer key keeps its order
  EXPECT_EQ(errorOf([&] { c->SetIndexName("BYNAME"); }), VELDOR_INDEXCORRUPT);
  c->EmptyTable();
  EXPECT_FALSE(c->IndexRebuildNeeded());
  c->SetIndexName("BYNAME");
}

// CompareKeys under a locale: case counts, marks do not, descending turns the order round, NULL
// sorts first, and the appended unique id decides last.
TEST_F(CursorTest, KeysCompareInTheIndexOrder) {
  TCreateTableArgs a = everyKind();
  a.LanguageId = 0x0409;
  a.Indexes[1].caseInsensitive = 0;
  a.Indexes[1].unique = 0;
  create(a);
  auto c = cursor();
  c->Open();
  c->SetIndexName("BYNAME");
  auto key = [](const char* text, bool has, uint8_t last) {
    std::vector<uint8_t> k(22 + 9 + 4, 0);
    k[0] = has;
    std::memcpy(k.data() + 1, text, std::strlen(text));
    k[22] = 1;
    k[k.size() - 1] = last;
    return k;
  };
  auto cmp = [&](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
    return c->CompareKeys(x.data(), y.data(), uint16_t(x.size()));
  };
  EXPECT_NE(cmp(key("abc", true, 0), key("ABC", true, 0)), 0);
  EXPECT_EQ(cmp(key("cafe\xCC\x81", true, 0), key("cafe", true, 0)), 0);
  EXPECT_EQ(cmp(key("b", true, 0), key("a", true, 0)), -1);  // descending index
  EXPECT_EQ(cmp(key("a", true, 2), key("a", true, 1)), -1);
  EXPECT_EQ(cmp(key("", false, 0), key("a", true, 0)), 1);
}

}  // namespace
