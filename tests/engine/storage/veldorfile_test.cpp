// The file layer in one process: shared file objects, handles, in-memory files, locks, copies.
#include "engine/storage/veldorfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "engine/storage/veldorerr.h"
#include "engine/storage/veldoros.h"
#include "platform/oserror.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using storage_test::TempDir;

using storage_test::errorOf;

std::vector<uint8_t> pattern(size_t size, uint8_t seed = 1) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = uint8_t(i * 13 + seed + i / 251);
  return v;
}

// A handler on the test's own list, named and flagged in one go.
std::unique_ptr<TFileHandler> handler(TFileList& list, const std::string& name, bool inMemory = false,
                                      bool exclusive = false, bool temporary = false) {
  auto h = std::make_unique<TFileHandler>(&list);
  h->SetName(name);
  h->SetInMemory(inMemory);
  h->SetExclusive(exclusive);
  h->SetTemporary(temporary);
  return h;
}

class FileLayer : public ::testing::TestWithParam<bool> {
 protected:
  bool inMemory() const { return GetParam(); }
  std::string name(const std::string& base) const { return inMemory() ? "mem/" + base : dir.file(base); }
  TempDir dir;
  TFileList list;
};

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, FileLayer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InMemory" : "OnDisk"; });

TEST_P(FileLayer, OpeningAFileThatDoesNotExistRaisesNotFoundWithItsName) {
  auto h = handler(list, name("missing.dat"), inMemory());
  std::string table;
  EXPECT_EQ(errorOf([&] { h->Open(); }, &table), VELDOR_OSENOENT);
  EXPECT_EQ(table, name("missing.dat"));
  EXPECT_FALSE(h->IsOpen());
}

TEST_P(FileLayer, TwoSharedHandlersShareOneObjectAndAnExclusiveOneIsRefused) {
  handler(list, name("t.dat"), inMemory())->CreateFile();
  auto a = handler(list, name("t.dat"), inMemory());
  auto b = handler(list, name("T.DAT "), inMemory());
  a->Open();
  b->Open();
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_NE(a->GetHandleId(), b->GetHandleId());
  auto c = handler(list, name("t.dat"), inMemory(), true);
  EXPECT_EQ(errorOf([&] { c->Open(); }), VELDOR_OSEACCES);
  a->Close();
  b->Close();
  c->Open();
  auto d = handler(list, name("t.dat"), inMemory());
  EXPECT_EQ(errorOf([&] { d->Open(); }), VELDOR_OSEACCES) << "nothing joins an exclusive open";
}

TEST_P(FileLayer, EachHandleKeepsItsOwnPosition) {
  auto a = handler(list, name("t.dat"), inMemory());
  a->CreateFile();
  const auto data = pattern(100);
  a->Write(data.data(), 100);
  auto b = handler(list, name("t.dat"), inMemory());
  a->Close();
  a->Open();
  b->Open();
  uint8_t x[10], y[10];
  b->Seek(kSeekBegin, 50);
  a->Read(x, 10);
  b->Read(y, 10);
  EXPECT_TRUE(std::equal(x, x + 10, data.begin()));
  EXPECT_TRUE(std::equal(y, y + 10, data.begin() + 50));
  EXPECT_EQ(a->Seek(kSeekCurrent, 0), 10);
  EXPECT_EQ(b->Seek(kSeekCurrent, 0), 60);
  EXPECT_EQ(a->GetFileSize(), 100);
  EXPECT_EQ(a->Seek(kSeekCurrent, 0), 10) << "measuring keeps the position";
}

TEST_P(FileLayer, WritingZeroBytesWritesNothingAndTruncateEndsTheFile) {
  auto h = handler(list, name("t.dat"), inMemory());
  h->CreateFile();
  const auto data = pattern(4096);
  h->Write(data.data(), 4096);
  h->Seek(kSeekBegin, 512);
  h->Write(data.data(), 0);
  EXPECT_EQ(h->GetFileSize(), 4096);
  h->Truncate();
  EXPECT_EQ(h->GetFileSize(), 512);
  // Growing again reads zeros where the cut bytes were.
  h->Seek(kSeekBegin, 1000);
  h->Write(data.data(), 1);
  std::vector<uint8_t> back(1001);
  h->Seek(kSeekBegin, 0);
  h->Read(back.data(), 1001);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 512, data.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 512, back.begin() + 1000, [](uint8_t b) { return b == 0; }));
}

TEST_P(FileLayer, ShortReadsRaiseUnlessAllowed) {
  auto h = handler(list, name("t.dat"), inMemory());
  h->CreateFile();
  const auto data = pattern(1000);
  h->Write(data.data(), 1000);
  uint8_t buf[100];
  h->Seek(kSeekBegin, 950);
  EXPECT_EQ(h->Read(buf, 100, true), 50);
  EXPECT_EQ(h->Seek(kSeekCurrent, 0), 1000);
  h->Seek(kSeekBegin, 950);
  EXPECT_EQ(errorOf([&] { h->Read(buf, 100); }), VELDOR_READERR);
  EXPECT_EQ(h->ReadAt(990, buf, 100, true), 10);
  EXPECT_EQ(h->ReadAt(2000, buf, 100, true), 0);
}

TEST_P(FileLayer, LocksRefuseOverlapAndUnlockOnlyExactRanges) {
  auto a = handler(list, name("t.dat"), inMemory());
  a->CreateFile();
  auto b = handler(list, name("t.dat"), inMemory());
  a->Close();
  a->Open();
  b->Open();
  EXPECT_TRUE(a->LockRegion(true, 10, 10));
  EXPECT_FALSE(a->LockRegion(true, 15, 10));
  EXPECT_FALSE(b->LockRegion(true, 15, 10)) << "another session of this process";
  EXPECT_FALSE(b->LockRegion(true, 5, 6));
  EXPECT_FALSE(a->LockRegion(false, 10, 5));
  EXPECT_FALSE(b->LockRegion(true, 12, 1)) << "a failed partial unlock leaves the range locked";
  EXPECT_TRUE(a->LockRegion(false, 10, 10));
  EXPECT_TRUE(b->LockRegion(true, 15, 10));
  // The data file's write byte lies just past the index write range; a read slot lies inside it.
  EXPECT_TRUE(b->LockRegion(true, INT64_C(0xFFFFFFFF), 1));
  EXPECT_TRUE(a->LockRegion(true, INT64_C(0xFFFEFFFF), 65536));
  EXPECT_FALSE(b->LockRegion(true, INT64_C(0xFFFFFFFF) - 77, 1));
}

TEST_P(FileLayer, DeletingOrRenamingAFileWithOpenHandlesIsRefused) {
  auto h = handler(list, name("t.dat"), inMemory());
  h->CreateFile();
  auto other = handler(list, name("t.dat"), inMemory());
  EXPECT_EQ(errorOf([&] { other->DeleteFile(); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { other->RenameFile(name("u.dat")); }), VELDOR_OSEACCES);
  h->Close();
  other->RenameFile(name("u.dat"));
  EXPECT_EQ(other->GetName(), name("u.dat"));
  EXPECT_FALSE(handler(list, name("t.dat"), inMemory())->FileExists());
  EXPECT_TRUE(other->FileExists());
  other->DeleteFile();
  EXPECT_FALSE(other->FileExists());
  EXPECT_EQ(errorOf([&] { other->DeleteFile(); }), inMemory() ? VELDOR_OSENOENT : VELDOR_OSENOENT);
}

TEST_P(FileLayer, RenameNeverReplacesAnExistingFile) {
  handler(list, name("a.dat"), inMemory())->CreateFile();
  handler(list, name("b.dat"), inMemory())->CreateFile();
  auto a = handler(list, name("a.dat"), inMemory());
  EXPECT_EQ(errorOf([&] { a->RenameFile(name("B.dat")); }), VELDOR_OSUNKNOWN);
  EXPECT_TRUE(a->FileExists());
  EXPECT_EQ(a->GetName(), name("a.dat"));
}

TEST_P(FileLayer, TemporaryFilesAreGoneAfterTheirLastClose) {
  auto a = handler(list, name("tmp.dat"), inMemory(), false, true);
  a->CreateFile();
  a->Write("abc", 3);
  auto b = handler(list, name("tmp.dat"), inMemory(), false, true);
  EXPECT_EQ(errorOf([&] { b->Open(); }), VELDOR_OSEACCES) << "a created file is exclusive";
  a->Close();
  EXPECT_FALSE(a->FileExists());
  EXPECT_EQ(errorOf([&] { a->Open(); }), VELDOR_OSENOENT);
  EXPECT_EQ(list.Count(), 0u);
}

TEST_P(FileLayer, CopyReadsChunksOf64KiBAndReportsProgressInSteps) {
  auto h = handler(list, name("src.dat"), inMemory());
  h->CreateFile();
  const auto data = pattern(200000);
  h->Write(data.data(), int64_t(data.size()));
  std::vector<int> seen;
  h->CopyToNewFile(name("copy.dat"), false, [&](int p) { seen.push_back(p); }, 10);
  ASSERT_FALSE(seen.empty());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i], seen[i - 1] + 10);
  // Four chunks (65,536 x 3 and 3,392); the last one's 100 is within 10 of 98.
  EXPECT_EQ(seen, (std::vector<int>{33, 66, 98}));
  auto copy = handler(list, name("copy.dat"), inMemory());
  copy->Open();
  std::vector<uint8_t> back(200000);
  copy->Read(back.data(), 200000);
  EXPECT_EQ(back, data);
  EXPECT_EQ(copy->GetFileSize(), 200000);
}

TEST_P(FileLayer, CompressedCopyIsSmallerAndRestoresExactly) {
  auto h = handler(list, name("idx.dat"), inMemory());
  h->CreateFile();
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t((i / 7) % 5);
  h->Write(data.data(), int64_t(data.size()));
  h->CopyToNewFile(name("idx.bak"), true, nullptr, 0);
  auto backup = handler(list, name("idx.bak"), inMemory());
  backup->Open();
  EXPECT_LT(backup->GetFileSize(), 30000);
  backup->Close();
  // Scribble over the original and make it longer, then restore it from the backup.
  h->Seek(kSeekBegin, 0);
  const auto junk = pattern(400000, 9);
  h->Write(junk.data(), int64_t(junk.size()));
  h->Seek(kSeekBegin, 0);
  std::vector<int> seen;
  h->CopyToFile(name("idx.bak"), true, [&](int p) { seen.push_back(p); }, 0);
  EXPECT_EQ(seen.back(), 100);
  EXPECT_EQ(h->GetFileSize(), 300000) << "the restored file ends where the copy ends";
  std::vector<uint8_t> back(300000);
  h->ReadAt(0, back.data(), 300000);
  EXPECT_EQ(back, data);
}

TEST_P(FileLayer, RestoringAPlainFileAsCompressedIsRefused) {
  auto h = handler(list, name("idx.dat"), inMemory());
  h->CreateFile();
  const auto data = pattern(70000);
  h->Write(data.data(), int64_t(data.size()));
  h->CopyToNewFile(name("plain.bak"), false, nullptr, 0);
  h->Seek(kSeekBegin, 0);
  std::string table;
  EXPECT_EQ(errorOf([&] { h->CopyToFile(name("plain.bak"), true, nullptr, 0); }, &table), VELDOR_UNCOMPRESS);
  EXPECT_EQ(table, name("plain.bak"));
  // The backup is closed again: it can be deleted.
  handler(list, name("plain.bak"), inMemory())->DeleteFile();
}

TEST_P(FileLayer, ADamagedFrameOfACompressedCopyIsRefused) {
  auto h = handler(list, name("idx.dat"), inMemory());
  h->CreateFile();
  const auto data = pattern(100000);
  h->Write(data.data(), int64_t(data.size()));
  h->CopyToNewFile(name("idx.bak"), true, nullptr, 0);
  auto backup = handler(list, name("idx.bak"), inMemory());
  backup->Open();
  const int64_t size = backup->GetFileSize();
  uint8_t b;
  backup->ReadAt(size / 2, &b, 1);
  b ^= 0x55;
  backup->WriteAt(size / 2, &b, 1);
  backup->Close();
  h->Seek(kSeekBegin, 0);
  EXPECT_EQ(errorOf([&] { h->CopyToFile(name("idx.bak"), true, nullptr, 0); }), VELDOR_UNCOMPRESS);
}

TEST_P(FileLayer, CopyingAnEmptyFileReportsCompletion) {
  auto h = handler(list, name("empty.dat"), inMemory());
  h->CreateFile();
  std::vector<int> seen;
  h->CopyToNewFile(name("empty.bak"), false, [&](int p) { seen.push_back(p); }, 10);
  EXPECT_EQ(seen, std::vector<int>{100});
  EXPECT_TRUE(handler(list, name("empty.bak"), inMemory())->FileExists());
}

TEST_P(FileLayer, CopyOntoAFileInUseIsRefused) {
  auto h = handler(list, name("a.dat"), inMemory());
  h->CreateFile();
  auto other = handler(list, name("b.dat"), inMemory());
  other->CreateFile();
  EXPECT_EQ(errorOf([&] { h->CopyToNewFile(name("b.dat"), false, nullptr, 0); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { h->CopyToFile(name("b.dat"), false, nullptr, 0); }), VELDOR_OSEACCES);
}

class MemoryFiles : public ::testing::Test {
 protected:
  TFileList list;
};

TEST_F(MemoryFiles, ContentsSurviveACloseUntilDeleted) {
  auto h = handler(list, "Mem.dat", true);
  h->CreateFile();
  h->Write("abcdef", 6);
  h->Close();
  auto again = handler(list, "MEM.DAT", true);
  again->Open();
  char buf[6];
  again->Read(buf, 6);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
  again->Close();
  again->DeleteFile();
  EXPECT_EQ(errorOf([&] { again->Open(); }), VELDOR_OSENOENT);
}

TEST_F(MemoryFiles, CapacityGrowsIn4KiBStepsAndIsFreedWhenCutToNothing) {
  TAbstractFile* file = nullptr;
  const int32_t id = list.CreateFile("m", true, false, file);
  auto* memory = dynamic_cast<TMemoryFile*>(file);
  ASSERT_TRUE(memory);
  const auto data = pattern(5000);
  memory->Write(id, data.data(), 5000);
  EXPECT_EQ(memory->Capacity(), 8192u);
  memory->Seek(id, kSeekBegin, 100);
  memory->Truncate(id);
  EXPECT_EQ(memory->Capacity(), 8192u);
  memory->Seek(id, kSeekBegin, 0);
  memory->Truncate(id);
  EXPECT_EQ(memory->Capacity(), 0u);
  EXPECT_EQ(list.CloseFile(file, true, id), 0);
}

TEST_F(MemoryFiles, AWriteOrCutFarPastWhatMemoryCanHoldFailsAndLeavesTheFileAsItWas) {
  auto h = handler(list, "far.dat", true);
  h->CreateFile();
  h->Write("abc", 3);
  for (int64_t far : {INT64_C(1) << 60, std::numeric_limits<int64_t>::max() - 1}) {
    h->Seek(kSeekBegin, far);
    EXPECT_EQ(errorOf([&] { h->Write("x", 2); }), VELDOR_WRITEERR) << far;
    EXPECT_EQ(errorOf([&] { h->Truncate(); }), VELDOR_WRITEERR) << far;
    EXPECT_EQ(h->GetFileSize(), 3) << far;
  }
  char buf[3];
  EXPECT_EQ(h->ReadAt(0, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(MemoryFiles, ClearingTheListDropsEveryFileAndItsContents) {
  TempDir dir;
  handler(list, "kept.dat", true)->CreateFile();
  auto tmp = handler(list, dir.file("work.tmp"), false, false, true);
  tmp->CreateFile();
  EXPECT_EQ(list.Count(), 2u);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  tmp.reset();  // closing a handle on a freed file is refused, not carried out
  EXPECT_FALSE(handler(list, "kept.dat", true)->FileExists());
  EXPECT_FALSE(std::filesystem::exists(dir.file("work.tmp")));
}

TEST_F(MemoryFiles, SameNameOnDiskAndInMemoryAreTwoFiles) {
  TempDir dir;
  handler(list, dir.file("x.dat"), true)->CreateFile();
  EXPECT_FALSE(handler(list, dir.file("x.dat"), false)->FileExists());
}

class DiskFiles : public ::testing::Test {
 protected:
  TempDir dir;
  TFileList list;
};

TEST_F(DiskFiles, ReadOnlyAttributeOpensReadOnlyAndReportsBothFlags) {
  std::ofstream(dir.file("ro.dat")) << "data";
  chmod(dir.file("ro.dat").c_str(), 0444);
  auto h = handler(list, dir.file("ro.dat"));
  h->Open();
  EXPECT_TRUE(h->IsReadOnly());
  EXPECT_TRUE(h->IsReadOnlyAttribute());
  EXPECT_EQ(errorOf([&] { h->Write("x", 1); }), VELDOR_WRITEERR);
  EXPECT_EQ(OSGetFileAttributes(dir.file("ro.dat")) & kFileAttributeReadOnly, kFileAttributeReadOnly);
}

TEST_F(DiskFiles, TwoSpellingsOfOneFileShareOneObject) {
  std::filesystem::create_directory(dir.file("db"));
  handler(list, dir.file("db/task.dat"))->CreateFile();
  auto a = handler(list, dir.file("db/task.dat"));
  auto b = handler(list, dir.file("db/../db/TASK.DAT"));
  a->Open();
  b->Open();
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_TRUE(a->LockRegion(true, 1, 1));
  EXPECT_FALSE(b->LockRegion(true, 1, 1));
}

TEST_F(DiskFiles, BackslashesAreFolderDelimiters) {
  std::filesystem::create_directory(dir.file("db"));
  auto h = handler(list, dir.path() + "\\db\\t.dat");
  h->CreateFile();
  EXPECT_TRUE(std::filesystem::exists(dir.file("db/t.dat")));
}

TEST_F(DiskFiles, AFolderIsNotAFile) {
  std::filesystem::create_directory(dir.file("sub.dat"));
  auto h = handler(list, dir.file("sub.dat"));
  EXPECT_FALSE(h->FileExists());
  EXPECT_EQ(errorOf([&] { h->Open(); }), VELDOR_OSENOENT);
  EXPECT_EQ(OSGetFileDate(dir.file("sub.dat")), -1);
  EXPECT_FALSE(OSFileExists(dir.file("sub.dat")));
}

TEST_F(DiskFiles, ATemporaryFileOpenedFromDiskIsDeletedAtItsLastClose) {
  std::ofstream(dir.file("work.tmp")) << "x";
  auto a = handler(list, dir.file("work.tmp"), false, false, true);
  auto b = handler(list, dir.file("work.tmp"), false, false, true);
  a->Open();
  b->Open();
  a->Close();
  EXPECT_TRUE(std::filesystem::exists(dir.file("work.tmp")));
  b->Close();
  EXPECT_FALSE(std::filesystem::exists(dir.file("work.tmp")));
}

TEST_F(DiskFiles, ACopyWhoseDestinationCannotBeMadeNamesTheDestination) {
  auto h = handler(list, dir.file("a.dat"));
  h->CreateFile();
  std::string table;
  const uint16_t code =
      errorOf([&] { h->CopyToNewFile(dir.file("missing/b.dat"), false, nullptr, 0); }, &table);
  EXPECT_EQ(code, VELDOR_OSENOENT);
  EXPECT_EQ(table, dir.file("missing/b.dat"));
}

TEST_F(DiskFiles, OsRoutinesReportFilesAndErrors) {
  std::ofstream(dir.file("f.dat")) << "x";
  EXPECT_TRUE(OSFileExists(dir.file("F.DAT")));
  EXPECT_NE(OSGetFileDate(dir.file("f.dat")), -1);
  EXPECT_EQ(OSGetFileAttributes(dir.file("none")), -1);
  EXPECT_EQ(OSGetFileAttributes(dir.file("f.dat")), kFileAttributeNormal);
  EXPECT_EQ(OSGetFileAttributes(dir.path()), kFileAttributeDirectory);
  EXPECT_EQ(OSErrorToEngineError(ENOENT), VELDOR_OSENOENT);
  EXPECT_EQ(OSErrorToEngineError(ENOTDIR), VELDOR_OSENOENT);
  EXPECT_EQ(OSErrorToEngineError(EMFILE), VELDOR_OSEMFILE);
  EXPECT_EQ(OSErrorToEngineError(EACCES), VELDOR_OSEACCES);
  EXPECT_EQ(OSErrorToEngineError(platform::kSharingViolation), VELDOR_OSEACCES);
  EXPECT_EQ(OSErrorToEngineError(EBADF), VELDOR_OSEBADF);
  EXPECT_EQ(OSErrorToEngineError(ENOMEM), VELDOR_OSENOMEM);
  EXPECT_EQ(OSErrorToEngineError(ENODEV), VELDOR_OSENODEV);
  EXPECT_EQ(OSErrorToEngineError(EXDEV), VELDOR_OSENOTSAM);
  EXPECT_EQ(OSErrorToEngineError(EIO), VELDOR_OSUNKNOWN);
  EXPECT_EQ(OSErrorToEngineError(ENOSPC), VELDOR_OSUNKNOWN);
  EXPECT_EQ(OSGetTempPath().back(), '/');
  EXPECT_FALSE(OSGetComputerName().empty());
  EXPECT_EQ(OSGetPlatform(), 2);
}

TEST_F(DiskFiles, AFailedOpenRecordsTheSystemErrorInTheContext) {
  std::ofstream(dir.file("t.dat")) << "x";
  auto a = handler(list, dir.file("t.dat"), false, true);
  a->Open();
  TFileList otherSession;
  auto b = handler(otherSession, dir.file("t.dat"));
  EXPECT_EQ(errorOf([&] { b->Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(GetEngineErrorItem(kItemOSError), std::to_string(platform::kSharingViolation));
  EXPECT_EQ(GetEngineErrorMessage(VELDOR_OSEACCES), "Access denied to table '" + dir.file("t.dat") + "'");
}

TEST(LockRetries, GiveUpAfterTheLastAttemptWithAPauseBetweenTwo) {
  struct CountingSleeps : platform::FileSystem {
    platform::FileSystem& base = platform::FileSystem::local();
    int sleeps = 0;
    std::unique_ptr<platform::OsFile> openFile(const std::string& p, const platform::OpenOptions& o) override {
      return base.openFile(p, o);
    }
    std::unique_ptr<platform::OsFile> createFile(const std::string& p, bool d) override { return base.createFile(p, d); }
    bool fileInfo(const std::string& p, platform::FileInfo& i) override { return base.fileInfo(p, i); }
    bool deleteFile(const std::string& p) override { return base.deleteFile(p); }
    bool renameFile(const std::string& a, const std::string& b) override { return base.renameFile(a, b); }
    std::string resolvePath(const std::string& p) override { return base.resolvePath(p); }
    std::string tempPath() override { return base.tempPath(); }
    std::string computerName() override { return base.computerName(); }
    void sleepFor(std::chrono::milliseconds) override { ++sleeps; }
  } fs;
  int calls = 0;
  EXPECT_FALSE(RetryLock([&](uint32_t) { return ++calls > 100; }, {5, std::chrono::milliseconds(3)}, fs));
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(fs.sleeps, 4);
  calls = 0;
  EXPECT_TRUE(RetryLock([&](uint32_t a) { return ++calls, a == 3; }, kFileLockRetryRules, fs));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(kFileLockRetryRules.attempts, 16385u);
  EXPECT_EQ(kFileLockRetryRules.pause, std::chrono::milliseconds(3));
}

TEST(LockRetries, AByteCountOfRetriesCannotWrap) {
  const LockRetryRules rules = LockRetryRules::FromRetryCount(255, std::chrono::milliseconds(0));
  EXPECT_EQ(rules.attempts, 256u);
  EXPECT_EQ(LockRetryRules::FromRetryCount(15, std::chrono::milliseconds(100)).attempts, 16u);
  uint32_t last = 0;
  EXPECT_FALSE(RetryLock([&](uint32_t a) { return last = a, false; }, rules, platform::FileSystem::local()));
  EXPECT_EQ(last, 256u);
}

}  // namespace
}  // namespace engine
