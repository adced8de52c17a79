// The data file: its exact format, the structure checks of creation and open, the counters, the
// free-record chain, the header protocol and the loaders of remote tables.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "datafile_test_util.h"
#include "engine/storage/veldorcompress.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using namespace datafile_test;
using platform::testing::TempFolder;

class DataFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataFile> make(bool inMemory = false) {
    auto f = std::make_unique<TDataFile>(&table, false, &list);
    f->SetName(path);
    f->SetInMemory(inMemory);
    return f;
  }
  // A new table with `fields` (laid out here), written out and closed.
  void create(std::vector<TFieldDescriptor> fields, uint32_t records = 0) {
    layOut(fields);
    auto f = make();
    f->DefineStructure(0, 0, 1, 0, false, "", "test", 0, fields);
    appendRecords(*f, records);
    flushAll(*f);
    f->Close();
  }
  std::unique_ptr<TDataFile> openVerified() {
    auto f = make();
    f->Open();
    f->VerifyHeader();
    return f;
  }
  void freeRecords(TDataFile& f, std::initializer_list<uint32_t> numbers) {
    for (uint32_t n : numbers) {
      TRecord* r = nullptr;
      ASSERT_TRUE(f.GetRecord(nullptr, n, r));
      f.FreeRecord(r);
      f.ReleaseRecord(r);
    }
  }
  uint16_t openError() {
    return errorOf([&] {
      auto f = make();
      f->Open();
      f->VerifyHeader();
    });
  }

  TempFolder dir;
  TFileList list;
  TestTable table;
  const std::string path = dir.path("TASK.DAT");
};

// ---- Exact format ----

using DataFileFormat = DataFileTest;

std::vector<uint8_t> expectedDescriptor(uint16_t number, const std::string& name, uint8_t type,
                                        uint8_t subType, uint8_t size, uint8_t scale, uint8_t stored,
                                        uint16_t offset, const std::string& defaultText) {
  std::vector<uint8_t> d(768, 0);
  d[0] = uint8_t(number);
  d[1] = uint8_t(number >> 8);
  d[2] = uint8_t(name.size());
  std::memcpy(&d[3], name.data(), name.size());
  d[84] = type;
  d[85] = subType;
  d[86] = size;
  d[87] = scale;
  d[88] = stored;
  d[89] = scale;
  d[90] = uint8_t(offset);
  d[91] = uint8_t(offset >> 8);
  d[196] = uint8_t(defaultText.size());
  std::memcpy(&d[197], defaultText.data(), defaultText.size());
  return d;
}

TEST_F(DataFileFormat, CreatedTableMatchesHeaderAndDescriptorLayoutByteForByte) {
  std::vector<TFieldDescriptor> fields = {
      field(1, "ID", 6, 0, 29),   field(2, "NAME", 1, 20), field(3, "AMOUNT", 8, 0, 0, 2),
      field(4, "NOTE", 3, 0, 22), field(5, "DONE", 4),
  };
  fields[4].SetDefaultText("FALSE");
  layOut(fields);
  auto f = make();
  f->DefineStructure(0, 0, 3, 7, false, "ignored", "Tasks", 1024, fields);
  flushAll(*f);
  f->Close();

  const std::vector<uint8_t> bytes = readFileBytes(path);
  ASSERT_EQ(bytes.size(), 127u + 5 * 768);
  std::vector<uint8_t> header(127, 0);
  header[0] = 1;                           // counter: one header write
  header[4] = 0x00, header[5] = 0x04;      // block size 1024
  header[8] = 5;                           // version
  header[13] = 1;                          // next record number
  const uint16_t r = 9 + 22 + 35 + 9 + 3;  // NAME 21+1, AMOUNT 34+1, NOTE 8+1, DONE 2+1
  header[21] = uint8_t(r), header[22] = uint8_t(r >> 8);
  header[23] = 5;  // fields
  header[25] = 1;  // blob fields
  header[35] = 5;
  std::memcpy(&header[36], "Tasks", 5);
  header[107] = 3;
  header[109] = 7;
  header[111] = 1;                         // dirty as it stood when written
  header[116] = 0x18, header[117] = 0x79;  // 31000
  std::vector<uint8_t> got(bytes.begin(), bytes.begin() + 127);
  std::vector<uint8_t> stamp(got.begin() + 27, got.begin() + 35);
  std::fill(got.begin() + 27, got.begin() + 35, 0);
  EXPECT_EQ(got, header);

  // The stamp is today's local day count since 1899-12-30, less 693594.
  const double value = std::bit_cast<double>(platform::get8(stamp.data())) + 693594.0;
  const double today = double(std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())
                                  .time_since_epoch()
                                  .count()) +
                       25569.0;
  EXPECT_NEAR(value, today, 1.5);

  const std::vector<std::vector<uint8_t>> descriptors = {
      expectedDescriptor(1, "ID", 6, 29, 0, 0, 4, 5, ""),
      expectedDescriptor(2, "NAME", 1, 0, 20, 0, 21, 9, ""),
      expectedDescriptor(3, "AMOUNT", 8, 0, 0, 2, 34, 31, ""),
      expectedDescriptor(4, "NOTE", 3, 22, 0, 0, 8, 66, ""),
      expectedDescriptor(5, "DONE", 4, 0, 0, 0, 2, 75, "FALSE"),
  };
  for (size_t i = 0; i < descriptors.size(); ++i) {
    std::vector<uint8_t> d(bytes.begin() + 127 + i * 768, bytes.begin() + 127 + (i + 1) * 768);
    EXPECT_EQ(d, descriptors[i]) << "descriptor " << i + 1;
  }
}

TEST_F(DataFileFormat, RecordSlotsFollowTheDescriptorsAndHoldStatusNumberAndId) {
  std::vector<TFieldDescriptor> fields = {field(1, "CODE", 6), field(2, "TAG", 1, 3)};
  layOut(fields);
  auto f = make();
  f->DefineStructure(0, 0, 0, 0, false, "", "", 0, fields);
  for (int i = 0; i < 2; ++i) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f->AllocateRecord(nullptr, r));
    r->Initialize(true);
    uint8_t* p = r->GetBuffer();
    p[9] = 1;
    platform::put4(p + 10, uint32_t(100 + i));
    p[14] = 1;
    std::memcpy(p + 15, i == 0 ? "abc" : "xy", i == 0 ? 4 : 3);
    r->SetDirty(true);
    f->ReleaseRecord(r);
  }
  TRecord* first = nullptr;
  ASSERT_TRUE(f->GetRecord(nullptr, 1, first));
  f->FreeRecord(first);
  f->ReleaseRecord(first);
  flushAll(*f);
  f->Close();

  const std::vector<uint8_t> bytes = readFileBytes(path);
  const size_t start = 127 + 2 * 768, r = 19;
  ASSERT_EQ(bytes.size(), start + 2 * r);
  const std::vector<uint8_t> slot1(bytes.begin() + start, bytes.begin() + start + r);
  const std::vector<uint8_t> slot2(bytes.begin() + start + r, bytes.end());
  EXPECT_EQ(slot1, (std::vector<uint8_t>{1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 100, 0, 0, 0, 1, 'a', 'b', 'c', 0}));
  EXPECT_EQ(slot2, (std::vector<uint8_t>{0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 101, 0, 0, 0, 1, 'x', 'y', 0, 0}));
  EXPECT_EQ(platform::get4(&bytes[9]), 1u);   // free-chain head
  EXPECT_EQ(platform::get4(&bytes[13]), 3u);  // next record number
  EXPECT_EQ(platform::get4(&bytes[17]), 2u);  // last unique id
}

TEST_F(DataFileFormat, EncryptedTableScramblesTextsDescriptorsAndRecords) {
  std::vector<TFieldDescriptor> fields = {field(1, "NAME", 1, 10)};
  layOut(fields);
  auto f = make();
  f->DefineStructure(0, 0, 0, 0, true, "secret", "Private", 0, fields);
  appendRecords(*f, 1);
  TRecord* r = nullptr;
  ASSERT_TRUE(f->GetRecord(nullptr, 1, r));
  std::vector<uint8_t> plain(r->GetBuffer(), r->GetBuffer() + f->GetRecordSize());
  f->ReleaseRecord(r);
  flushAll(*f);
  f->Close();

  const std::vector<uint8_t> bytes = readFileBytes(path);
  EXPECT_EQ(bytes[86], 1);
  std::string description(bytes.begin() + 36, bytes.begin() + 36 + bytes[35]);
  ScrambleBuffer(reinterpret_cast<uint8_t*>(description.data()), description.size(), kTextSeed);
  EXPECT_EQ(description, "Private");
  std::string password(bytes.begin() + 88, bytes.begin() + 88 + bytes[87]);
  ScrambleBuffer(reinterpret_cast<uint8_t*>(password.data()), password.size(), kTextSeed);
  EXPECT_EQ(password, "secret");
  std::vector<uint8_t> descriptor(bytes.begin() + 127, bytes.begin() + 127 + 768);
  UnscrambleBuffer(descriptor.data(), descriptor.size(), kStructureSeed);
  EXPECT_TRUE(std::equal(descriptor.begin(), descriptor.end(), fields[0].Bytes()));
  std::vector<uint8_t> slot(bytes.begin() + 127 + 768, bytes.end());
  UnscrambleBuffer(slot.data(), slot.size(), kStructureSeed);
  EXPECT_EQ(slot, plain);

  auto again = openVerified();
  EXPECT_TRUE(again->IsEncrypted());
  EXPECT_EQ(again->GetPassword(), "secret");
  EXPECT_EQ(again->GetDescription(), "Private");  // records read back in the model run
}

TEST_F(DataFileFormat, HeaderInfoOfAPlainTableKeepsNoPassword) {
  create({});
  auto f = openVerified();
  EXPECT_EQ(f->GetBlobBlockSize(), 512u);  // 0 in the header
  f->SetHeaderInfo("pw", "A description longer than fifty characters is cut at fifty", 42, 9, 8);
  EXPECT_EQ(f->GetPassword(), "");
  EXPECT_EQ(f->GetDescription(), "A description longer than fifty characters is cut ");
}

// ---- Structure checks ----

using DataFileStructure = DataFileTest;

TEST_F(DataFileStructure, TableWithoutFieldsHasNineByteRecords) {
  create({}, 3);
  auto f = openVerified();
  EXPECT_EQ(f->GetRecordSize(), 9u);
  EXPECT_EQ(f->GetLastRecordNumber(), 3u);
  EXPECT_EQ(readFileBytes(path).size(), 127u + 27);
}

TEST_F(DataFileStructure, HundredTwentyEightBlobFieldsAreAcceptedAndTheNextIsRefused) {
  std::vector<TFieldDescriptor> fields;
  for (int i = 1; i <= 129; ++i) fields.push_back(field(uint16_t(i), "B" + std::to_string(i), 3));
  layOut(fields);
  EXPECT_EQ(errorOf([&] { make()->DefineStructure(0, 0, 0, 0, false, "", "", 0, fields); }),
            VELDOR_BLOBLIMIT);
  EXPECT_FALSE(std::filesystem::exists(path));
  fields.pop_back();
  create(fields);
  EXPECT_EQ(openVerified()->GetBlobFieldCount(), 128);
}

TEST_F(DataFileStructure, RecordSizeStopsAt65535BecauseTheHeaderHoldsSixteenBits) {
  // 261 fields of 250 bytes (+1) and one of 14 (+1): 9 + 65511 + 15 = 65535.
  std::vector<TFieldDescriptor> fields = byteFields(261, 250);
  fields.push_back(field(262, "LAST", 9, 14));
  layOut(fields);
  create(fields);
  EXPECT_EQ(openVerified()->GetRecordSize(), 65535u);

  fields.back().SetSize(15);
  layOut(fields);
  std::filesystem::remove(path);
  EXPECT_EQ(errorOf([&] { make()->DefineStructure(0, 0, 0, 0, false, "", "", 0, fields); }),
            VELDOR_RECTOOBIG);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(DataFileStructure, ComputedFieldsTakeNoRoomAndPassTheOpenCheck) {
  std::vector<TFieldDescriptor> fields = {field(1, "A", 6), field(2, "TOTAL", 7), field(3, "B", 5)};
  fields[1].SetComputed(true);
  const uint32_t r = layOut(fields);
  create(fields, 2);
  EXPECT_EQ(openVerified()->GetRecordSize(), r);
}

TEST_F(DataFileStructure, DefinitionThatWouldNotOpenAgainIsRefused) {
  std::vector<TFieldDescriptor> fields = {field(1, "A", 6), field(2, "B", 6)};
  layOut(fields);
  fields[1].SetOffset(20);
  EXPECT_EQ(errorOf([&] { make()->DefineStructure(0, 0, 0, 0, false, "", "", 0, fields); }),
            VELDOR_HEADERCORRUPT);
  layOut(fields);
  fields[1].SetName("a");
  EXPECT_EQ(errorOf([&] { make()->DefineStructure(0, 0, 0, 0, false, "", "", 0, fields); }),
            VELDOR_HEADERCORRUPT);
  EXPECT_FALSE(std::filesystem::exists(path));
  try {  // a blob block size just below the least
    make()->DefineStructure(0, 0, 0, 0, false, "", "", 63, {});
    FAIL();
  } catch (const EVELDOREngineError& e) {
    EXPECT_EQ(e.ErrorCode(), VELDOR_BLOBLIMIT);
    EXPECT_EQ(e.Item(kItemTable), "task") << "errors name the table and its folder";
    EXPECT_EQ(e.Item(kItemDatabase), "/db");
  }
}

// A damaged file gives its engine error from Open or VerifyHeader, never a crash.
struct Damage {
  const char* what;
  std::function<void(std::vector<uint8_t>&)> edit;
  uint16_t code;
};

void PrintTo(const Damage& damage, std::ostream* out) {
  *out << damage.what;
}

class DataFileDamage : public DataFileTest, public ::testing::WithParamInterface<Damage> {};

constexpr size_t kDesc = 127;         // first descriptor
constexpr size_t kDesc2 = 127 + 768;  // second descriptor
constexpr size_t kSlots = 127 + 3 * 768;

TEST_P(DataFileDamage, GivesItsEngineError) {
  std::vector<TFieldDescriptor> fields = {field(1, "ID", 6, 0, 29), field(2, "NAME", 1, 10),
                                          field(3, "QTY", 6)};
  fields[2].SetDefaultText("7");
  layOut(fields);
  create(fields, 4);
  patchFile(path, GetParam().edit);
  EXPECT_EQ(openError(), GetParam().code) << GetParam().what;
}

const Damage kDamages[] = {
    {"version", [](auto& b) { b[8] = 4; }, VELDOR_OLDVERSION},
    {"locale not installed", [](auto& b) { b[103] = 0x09, b[104] = 0x04, b[105] = 7; },
     VELDOR_CANNOTLOADLDDRV},
    {"block size below 64", [](auto& b) { b[4] = 10; }, VELDOR_HEADERCORRUPT},
    {"block size beyond 16 bits", [](auto& b) { b[6] = 1; }, VELDOR_HEADERCORRUPT},
    {"header cut short", [](auto& b) { b.resize(100); }, VELDOR_HEADERCORRUPT},
    {"too many fields", [](auto& b) { b[23] = 0x01, b[24] = 0x04; }, VELDOR_HEADERCORRUPT},
    {"descriptors cut short", [](auto& b) { b.resize(kDesc2 + 10); }, VELDOR_HEADERCORRUPT},
    {"record size", [](auto& b) { b[21] += 1; }, VELDOR_HEADERCORRUPT},
    {"record size below the slot header", [](auto& b) { b[21] = 3, b[22] = 0; }, VELDOR_HEADERCORRUPT},
    {"blob count", [](auto& b) { b[25] = 1; }, VELDOR_HEADERCORRUPT},
    {"field number", [](auto& b) { b[kDesc2] = 3; }, VELDOR_HEADERCORRUPT},
    {"field offset", [](auto& b) { b[kDesc2 + 90] = 10; }, VELDOR_HEADERCORRUPT},
    {"auto-increment offset", [](auto& b) { b[kDesc + 90] = 9; }, VELDOR_HEADERCORRUPT},
    {"same name", [](auto& b) { b[kDesc2 + 2] = 2, b[kDesc2 + 3] = 'i', b[kDesc2 + 4] = 'd'; },
     VELDOR_HEADERCORRUPT},
    {"empty name", [](auto& b) { b[kDesc2 + 2] = 0; }, VELDOR_HEADERCORRUPT},
    {"name starting with a digit", [](auto& b) { b[kDesc2 + 3] = '9'; }, VELDOR_HEADERCORRUPT},
    {"name length byte past 30", [](auto& b) { b[kDesc2 + 2] = 200; }, VELDOR_HEADERCORRUPT},
    {"type 0", [](auto& b) { b[kDesc2 + 84] = 0; }, VELDOR_HEADERCORRUPT},
    {"string size past 250", [](auto& b) { b[kDesc2 + 86] = 251; }, VELDOR_HEADERCORRUPT},
    {"size on an integer", [](auto& b) { b[kDesc2 + 768 + 86] = 4; }, VELDOR_HEADERCORRUPT},
    {"scale on an integer", [](auto& b) { b[kDesc2 + 768 + 87] = 2; }, VELDOR_HEADERCORRUPT},
    {"default text not an integer", [](auto& b) { b[kDesc2 + 768 + 197] = 'x'; }, VELDOR_HEADERCORRUPT},
    {"slots not whole", [](auto& b) { b.pop_back(); }, VELDOR_HEADERCORRUPT},
    {"a slot more than counted", [](auto& b) { b.insert(b.end(), 9 + 12 + 5, 0); }, VELDOR_HEADERCORRUPT},
    {"next record number", [](auto& b) { b[13] = 9; }, VELDOR_HEADERCORRUPT},
    {"slots missing though counted", [](auto& b) { b.resize(kSlots); }, VELDOR_HEADERCORRUPT},
    {"file shorter than its descriptors", [](auto& b) { b.resize(kSlots - 1); }, VELDOR_HEADERCORRUPT},
    {"free-chain head past the last slot", [](auto& b) { b[9] = 5; }, VELDOR_HEADERCORRUPT},
    {"free-chain head on the last slot", [](auto& b) { b[9] = 4; }, 0},
};

INSTANTIATE_TEST_SUITE_P(Headers, DataFileDamage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             if (std::isalnum(uint8_t(*p))) name += *p;
                           return name;
                         });

TEST_F(DataFileStructure, StoredSizesAreRecomputedFromTypeAndSizeOnOpen) {
  std::vector<TFieldDescriptor> fields = {field(1, "NAME", 1, 10), field(2, "QTY", 6)};
  layOut(fields);
  create(fields, 1);
  patchFile(path, [](auto& b) { b[kDesc + 88] = 200; });
  auto f = openVerified();
  EXPECT_EQ(f->GetFieldDescriptor(1)->StoredSize(), 11);
}

// ---- Fields ----

using DataFileFields = DataFileTest;

TEST_F(DataFileFields, FieldsAreFoundByNumberAndByNameWithoutCase) {
  std::vector<TFieldDescriptor> fields = {field(1, "Id", 6), field(2, "Name", 1, 30)};
  layOut(fields);
  create(fields);
  auto f = openVerified();
  uint16_t position = 9;
  ASSERT_NE(f->FindFieldByName("NAME", position), nullptr);
  EXPECT_EQ(position, 2);
  EXPECT_EQ(f->IndexOfFieldName("nothing"), 0);
  EXPECT_EQ(f->FindFieldByNumber(3, position), nullptr);
  EXPECT_EQ(position, 0);
}

TEST_F(DataFileFields, UpdatedDescriptorKeepsTypeAndLayoutAndIsWrittenBack) {
  std::vector<TFieldDescriptor> fields = {field(1, "Id", 6), field(2, "Name", 1, 30)};
  layOut(fields);
  create(fields);
  {
    auto f = openVerified();
    TFieldDescriptor change = field(2, "Title", 7, 99, 3, 4);
    change.SetRequired(1);
    change.SetDefaultText("none");
    EXPECT_TRUE(f->UpdateFieldDescriptor(2, change));
    EXPECT_FALSE(f->UpdateFieldDescriptor(3, change));
    EXPECT_TRUE(f->WriteFieldDescriptors());
    EXPECT_FALSE(f->WriteFieldDescriptors());
  }
  auto f = openVerified();
  const TFieldDescriptor* d = f->GetFieldDescriptor(2);
  EXPECT_EQ(d->Name(), "Title");
  EXPECT_EQ(d->SubType(), 3);
  EXPECT_EQ(d->Required(), 1);
  EXPECT_EQ(d->DefaultText(), "none");
  EXPECT_EQ(d->Type(), 1);
  EXPECT_EQ(d->Size(), 30);
  EXPECT_EQ(d->Offset(), 14);
}

// ---- Counters ----

using DataFileCounters = DataFileTest;

TEST_F(DataFileCounters, UniqueIdsAndAutoIncrementValuesRunToTheLimitAndThenRaiseInsteadOfWrapping) {
  create({});
  patchFile(path, [](auto& b) { platform::put4(&b[112], 0x7FFFFFFE); });
  auto f = openVerified();
  f->SetLastUniqueId(0x7FFFFFFE);
  EXPECT_EQ(f->NextUniqueId(), 0x7FFFFFFFu);
  EXPECT_EQ(errorOf([&] { f->NextUniqueId(); }), VELDOR_TABLEFULL);
  EXPECT_EQ(f->GetLastUniqueId(), 0x7FFFFFFFu);
  EXPECT_EQ(errorOf([&] { appendRecords(*f, 1); }), VELDOR_TABLEFULL);
  EXPECT_EQ(f->NextAutoIncValue(), 0x7FFFFFFFu);
  EXPECT_EQ(errorOf([&] { f->NextAutoIncValue(); }), VELDOR_FLDLIMIT);
  EXPECT_EQ(f->GetLastAutoIncValue(), 0x7FFFFFFFu);
}

// ---- Free-record chain ----

using DataFileChain = DataFileTest;

TEST_F(DataFileChain, WithoutPrimaryIndexNewRecordsAreAppendedEvenWhenSlotsAreFree) {
  create({field(1, "A", 6)}, 3);
  table.noPrimaryIndex = true;
  auto f = openVerified();
  TRecord* r = nullptr;
  ASSERT_TRUE(f->GetRecord(nullptr, 2, r));
  f->FreeRecord(r);
  EXPECT_EQ(r->GetNextFree(), 0u);
  f->ReleaseRecord(r);
  EXPECT_EQ(f->GetFreeRecordNumber(), 4u);
  ASSERT_TRUE(f->AllocateRecord(nullptr, r));
  EXPECT_EQ(r->GetRecordNumber(), 4u);
  f->ReleaseRecord(r);
}

// A chain that points at a slot it cannot hand out is corruption, found even without the open
// check, and the slot it pointed at is released again.
TEST_F(DataFileChain, ChainHeadsAndLinksThatCannotBeHandedOutAreCorruption) {
  struct Row {
    const char* what;
    uint32_t head;
    uint32_t link;  // of slot 2, marked free; 0: slot 2 stays in use
    bool verified;
  };
  const Row rows[] = {
      {"head on a record in use", 2, 0, true},
      {"link past the last slot", 2, 9, true},
      {"link onto itself", 2, 2, true},
      {"head past the last slot", 7, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(path);
    create({field(1, "A", 6)}, 3);
    patchFile(path, [&](auto& b) {
      b[9] = uint8_t(row.head);
      if (row.link == 0) return;
      b[127 + 768 + 14] = 1;
      platform::put4(&b[127 + 768 + 15], row.link);
    });
    auto f = make();
    f->Open();
    if (row.verified) f->VerifyHeader();
    TRecord* r = nullptr;
    EXPECT_EQ(errorOf([&] { f->AllocateRecord(nullptr, r); }), VELDOR_FILECORRUPT);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(f->GetFreeRecordHead(), row.head);
    if (row.head > 3) continue;
    ASSERT_TRUE(f->GetRecord(nullptr, row.head, r));
    EXPECT_EQ(r->PinCount(), 1) << "the refused record was released";
    f->ReleaseRecord(r);
  }
}

// Images appended in bulk take the next slots, each its own number whatever the image said, are
// scrambled like any record of an encrypted table, and read back as records appended one by one;
// a table with free slots refuses them, since the new slots would pass them by.
TEST_F(DataFileChain, RecordImagesAppendedInBulkReadBackAsAppendedOnesAndNeedAnEmptyChain) {
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    std::filesystem::remove(path);
    std::vector<TFieldDescriptor> fields = {field(1, "A", 6), field(2, "NAME", 1, 10)};
    layOut(fields);
    {
      auto f = make();
      f->DefineStructure(0, 0, 0, 0, encrypted, encrypted ? "secret" : "", "bulk", 0, fields);
      appendRecords(*f, 3);
      const uint32_t r = f->GetRecordSize();
      std::vector<uint8_t> images(5 * size_t(r));
      for (uint32_t i = 0; i < 5; ++i) {
        uint8_t* image = images.data() + size_t(i) * r;
        platform::put4(image + 1, 77);  // replaced by the slot's number
        platform::put4(image + 5, 100 + i);
        for (uint32_t b = kRecordHeaderSize; b < r; ++b) image[b] = uint8_t(i * 13 + b);
      }
      f->AppendRecordImages(images.data(), 5);
      EXPECT_EQ(f->GetNextRecordNumber(), 9u);
      flushAll(*f);
      f->Close();
    }
    auto f = make();
    f->Open();
    f->VerifyHeader();
    for (uint32_t n = 1; n <= 8; ++n) {
      TRecord* rec = nullptr;
      ASSERT_TRUE(f->GetRecord(nullptr, n, rec));
      const uint8_t* image = rec->GetBuffer();
      EXPECT_EQ(image[0], kRecordInUse);
      EXPECT_EQ(platform::get4(image + 1), n);
      if (n > 3) {
        EXPECT_EQ(platform::get4(image + 5), 100 + (n - 4));
        for (uint32_t b = kRecordHeaderSize; b < f->GetRecordSize(); ++b)
          ASSERT_EQ(image[b], uint8_t((n - 4) * 13 + b)) << "record " << n << " byte " << b;
      }
      f->ReleaseRecord(rec);
    }
    freeRecords(*f, {2});
    const std::vector<uint8_t> one(f->GetRecordSize(), 0);
    EXPECT_EQ(errorOf([&] { f->AppendRecordImages(one.data(), 1); }), VELDOR_FILECORRUPT);
    EXPECT_EQ(f->GetNextRecordNumber(), 9u);
    f->Close();
    if (encrypted) {
      // On disk the slots are scrambled, not the plain images.
      const std::vector<uint8_t> bytes = readFileBytes(path);
      const size_t slot4 = 127 + 2 * 768 + 3 * size_t(f->GetRecordSize());
      EXPECT_NE(bytes[slot4 + kRecordHeaderSize + 1], uint8_t(kRecordHeaderSize + 1));
    }
  }
}

TEST_F(DataFileChain, FreeingARecordTwiceIsRefused) {
  create({field(1, "A", 6)}, 3);
  auto f = openVerified();
  TRecord* r = nullptr;
  ASSERT_TRUE(f->GetRecord(nullptr, 2, r));
  f->FreeRecord(r);
  EXPECT_EQ(errorOf([&] { f->FreeRecord(r); }), VELDOR_FILECORRUPT);
  f->ReleaseRecord(r);
  EXPECT_EQ(f->GetFreeRecordHead(), 2u);
}

TEST_F(DataFileChain, EmptyCutsTheFileStartsTheSlotsAgainAndCountsUp) {
  create({field(1, "A", 6)}, 4);
  auto other = openVerified();
  auto f = openVerified();
  freeRecords(*f, {2});
  const uint32_t before = f->GetChangeCounter();
  f->Empty();
  EXPECT_EQ(f->GetFileSize(), 127 + 768);
  EXPECT_EQ(f->GetNextRecordNumber(), 1u);
  EXPECT_EQ(f->GetFreeRecordHead(), 0u);
  EXPECT_EQ(f->GetLastUniqueId(), 0u);
  EXPECT_EQ(f->GetCacheCount(), 0u);
  EXPECT_FALSE(f->FlushDirtyRecords()) << "no stale record is written after the cut";
  f->WriteHeader(false);
  EXPECT_GT(f->GetChangeCounter(), before);
  EXPECT_TRUE(other->HeaderChanged());
  EXPECT_EQ(other->GetNextRecordNumber(), 1u);
  other.reset();
  appendRecords(*f, 1);
  flushAll(*f);
  f->Close();
  EXPECT_EQ(openError(), 0);
}

// ---- Header protocol ----

using DataFileHeader = DataFileTest;

TEST_F(DataFileHeader, EveryHeaderWriteCountsUpAndOnlyWhenDirtyOrForced) {
  create({});
  auto f = openVerified();
  const uint32_t start = f->GetChangeCounter();
  f->SetLastUniqueId(0);
  EXPECT_FALSE(f->WriteHeader(false)) << "setting the same last id leaves the header clean";
  EXPECT_TRUE(f->WriteHeader(true));
  EXPECT_EQ(f->GetChangeCounter(), start + 1);
  f->IncChangeCounter();
  EXPECT_TRUE(f->IsHeaderDirty());
  EXPECT_TRUE(f->WriteHeader(false));
  EXPECT_EQ(f->GetChangeCounter(), start + 3);
  EXPECT_EQ(platform::get4(readFileBytes(path).data()), start + 3);
  EXPECT_FALSE(f->HeaderChanged()) << "only this object wrote";
  f->SetLastUniqueId(77);
  EXPECT_TRUE(f->IsHeaderDirty());
  f->ReadHeader();
  EXPECT_EQ(f->GetLastUniqueId(), 0u);
  EXPECT_FALSE(f->IsHeaderDirty());
}

TEST_F(DataFileHeader, ForcedBufferFlushStillWritesDescriptors) {
  table.forceBufferFlush = true;
  create({field(1, "A", 6)}, 1);
  EXPECT_EQ(openError(), 0);
}

// ---- Remote tables ----

using DataFileRemote = DataFileTest;

TEST_F(DataFileRemote, HeaderAndDescriptorsComeFromTheReply) {
  std::vector<TFieldDescriptor> fields = {field(1, "A", 6), field(2, "B", 1, 5)};
  layOut(fields);
  create(fields, 2);
  const std::vector<uint8_t> bytes = readFileBytes(path);
  TDataFile remote(&table, true);
  size_t next = 0;
  remote.LoadHeaderFromReply(std::span(bytes.data(), 127), [&] {
    return std::span<const uint8_t>(bytes.data() + 127 + 768 * next++, 768);
  });
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(remote.GetFieldDescriptor(2)->Name(), "B");
  remote.VerifyHeader();
  remote.LoadCountersFromReply(10, 12, 693594.0 + 45000.5);
  EXPECT_EQ(remote.GetNextRecordNumber(), 11u);
  EXPECT_EQ(remote.GetLastUniqueId(), 12u);
  uint8_t header[127];
  remote.GetHeader(header);
  EXPECT_EQ(std::bit_cast<double>(platform::get8(header + 27)), 45000.5);
}

TEST_F(DataFileRemote, RepliesOfTheWrongLengthAreRefused) {
  std::vector<uint8_t> header(127, 0);
  header[23] = 1;
  std::vector<uint8_t> shortDescriptor(700, 0);
  TDataFile remote(&table, true);
  EXPECT_EQ(errorOf([&] {
              remote.LoadHeaderFromReply(std::span(header.data(), 126),
                                         [] { return std::span<const uint8_t>(); });
            }),
            VELDOR_HEADERCORRUPT);
  EXPECT_EQ(errorOf([&] {
              remote.LoadHeaderFromReply(header, [&] { return std::span<const uint8_t>(shortDescriptor); });
            }),
            VELDOR_HEADERCORRUPT);
  header[24] = 8;  // 2049 fields
  EXPECT_EQ(errorOf([&] { remote.LoadHeaderFromReply(header, [] { return std::span<const uint8_t>(); }); }),
            VELDOR_HEADERCORRUPT);
}

}  // namespace
}  // namespace engine
