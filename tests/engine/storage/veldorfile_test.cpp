// The file layer in one process: shared file objects, handles, in-memory files, locks, copies.
#include "engine/storage/veldorfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "engine/base/veldorerr.h"
#include "platform/oserror.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using platform::testing::TempFolder;
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
  std::string name(const std::string& base) const { return inMemory() ? "mem/" + base : dir.path(base); }
  std::unique_ptr<TFileHandler> h(const std::string& base, bool exclusive = false, bool temporary = false) {
    return handler(list, name(base), inMemory(), exclusive, temporary);
  }
  // A new file holding `data`, left open.
  std::unique_ptr<TFileHandler> created(const std::string& base, const std::vector<uint8_t>& data) {
    auto f = h(base);
    f->CreateFile();
    f->Write(data.data(), int64_t(data.size()));
    return f;
  }
  TempFolder dir;
  TFileList list;
};

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, FileLayer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InMemory" : "OnDisk"; });

TEST_P(FileLayer, OpeningAFileThatDoesNotExistRaisesNotFoundWithItsName) {
  auto f = h("missing.dat");
  std::string table;
  EXPECT_EQ(errorOf([&] { f->Open(); }, &table), VELDOR_OSENOENT);
  EXPECT_EQ(table, name("missing.dat"));
  EXPECT_FALSE(f->IsOpen());
}

TEST_P(FileLayer, TwoSharedHandlersShareOneObjectAndAnExclusiveOneIsRefused) {
  h("t.dat")->CreateFile();
  auto a = h("t.dat");
  auto b = h("T.DAT ");
  a->Open();
  b->Open();
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_NE(a->GetHandleId(), b->GetHandleId());
  auto c = h("t.dat", true);
  EXPECT_EQ(errorOf([&] { c->Open(); }), VELDOR_OSEACCES);
  a->Close();
  b->Close();
  c->Open();
  EXPECT_EQ(errorOf([&] { h("t.dat")->Open(); }), VELDOR_OSEACCES) << "nothing joins an exclusive open";
}

TEST_P(FileLayer, EachHandleKeepsItsOwnPosition) {
  const auto data = pattern(100);
  auto a = created("t.dat", data);
  auto b = h("t.dat");
  a->Close();
  a->Open();
  b->Open();
  uint8_t x[10], y[10];
  b->Seek(kSeekBegin, 50);
  a->Read(x, 10);
  b->Read(y, 10);
  EXPECT_TRUE(std::equal(x, x + 10, data.begin()));
  EXPECT_TRUE(std::equal(y, y + 10, data.begin() + 50));
  EXPECT_EQ(b->Seek(kSeekCurrent, 0), 60);
  EXPECT_EQ(a->GetFileSize(), 100);
  EXPECT_EQ(a->Seek(kSeekCurrent, 0), 10) << "measuring keeps the position";
}

TEST_P(FileLayer, WritingZeroBytesWritesNothingAndTruncateEndsTheFile) {
  const auto data = pattern(4096);
  auto f = created("t.dat", data);
  f->Seek(kSeekBegin, 512);
  f->Write(data.data(), 0);
  EXPECT_EQ(f->GetFileSize(), 4096);
  f->Truncate();
  EXPECT_EQ(f->GetFileSize(), 512);
  // Growing again reads zeros where the cut bytes were.
  f->Seek(kSeekBegin, 1000);
  f->Write(data.data(), 1);
  std::vector<uint8_t> back(1001);
  f->ReadAt(0, back.data(), 1001);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 512, data.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 512, back.begin() + 1000, [](uint8_t b) { return b == 0; }));
}

// Held writes a few bytes apart go out together with the disk's bytes between them: the file
// must end as the writes one by one would leave it, wherever a gap lies against the old end,
// a cut and the new end. Checked against a plain model of the bytes, through a fresh handler.
TEST_P(FileLayer, HeldWritesCloseTogetherGoOutAsTheyWouldOneByOne) {
  const auto old = pattern(20000, 3);
  auto f = created("held.dat", old);
  std::vector<uint8_t> model = old;
  const auto fresh = pattern(40000, 77);
  f->SetHoldWrites(true);
  const auto put = [&](int64_t at, int64_t n) {
    f->WriteAt(at, fresh.data() + at, n);
    if (model.size() < size_t(at + n)) model.resize(size_t(at + n), 0);
    std::copy(fresh.begin() + at, fresh.begin() + at + n, model.begin() + at);
  };
  // Records of 70 bytes, gaps from none to past the merge distance, written out of order.
  for (int64_t at : {700, 140, 0, 350, 1500, 1571, 3000, 4100, 4200, 9000, 9080}) put(at, 70);
  // A run of 1 MiB does not fit one write: many close records over a long stretch.
  for (int64_t at = 10000; at < 19000; at += 300) put(at, 40);
  // Cut below the old end, then records past the cut, past the old end and past both.
  f->Seek(kSeekBegin, 15000);
  f->Truncate();
  model.resize(15000);
  for (int64_t at : {15500, 19950, 20600, 21000, 30000}) put(at, 70);
  std::vector<uint8_t> seen(model.size());
  f->ReadAt(0, seen.data(), int64_t(seen.size()));
  EXPECT_EQ(seen, model);
  f->WriteOutHeld(false);
  f->Close();
  auto g = h("held.dat");
  g->Open();
  ASSERT_EQ(g->GetFileSize(), int64_t(model.size()));
  std::vector<uint8_t> back(model.size());
  g->ReadAt(0, back.data(), int64_t(back.size()));
  EXPECT_EQ(back, model);
}

// A held write may hand its buffer over instead of having it copied; where it meets or overlaps
// bytes already held it is merged as a copy would be. Over three write-outs, the later ones
// filling the storage the earlier ones left behind, the file is what copies alone make of it.
TEST_P(FileLayer, HeldWritesHandedOverGiveTheFileThatCopiedOnesGive) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  auto f = created("given.dat", pattern(5000, 9));
  std::vector<uint8_t> model = pattern(5000, 9);
  f->SetHoldWrites(true);
  // A file that never asked for a buffer keeps none of what it wrote out (a data file's bulk
  // write stays out of memory once written).
  f->WriteAt(6000, model.data(), 4000);
  f->WriteOutHeld(false);
  f->DropHeldWrites();
  EXPECT_EQ(f->TakeSpareBuffer().capacity(), 0u);
  model.resize(10000);
  std::copy(model.begin(), model.begin() + 4000, model.begin() + 6000);
  std::fill(model.begin() + 5000, model.begin() + 6000, 0);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 40; ++i) {
      const int64_t at = int64_t(rng() % 12000);
      const size_t n = 1 + rng() % (i % 8 == 0 ? 3000 : 200);
      std::vector<uint8_t> bytes = i % 2 == 0 ? f->TakeSpareBuffer() : std::vector<uint8_t>();
      bytes.clear();
      for (size_t k = 0; k < n; ++k) bytes.push_back(uint8_t(rng()));
      if (model.size() < at + n) model.resize(at + n, 0);
      std::copy(bytes.begin(), bytes.end(), model.begin() + at);
      if (i % 4 == 3) {
        f->WriteAt(at, bytes.data(), int64_t(n));
      } else {
        f->WriteAt(at, std::move(bytes));
        EXPECT_TRUE(bytes.empty());
      }
      EXPECT_EQ(f->Seek(kSeekCurrent, 0), at + int64_t(n));
    }
    std::vector<uint8_t> seen(model.size());
    f->ReadAt(0, seen.data(), int64_t(seen.size()));
    ASSERT_EQ(seen, model) << "round " << round;
    f->WriteOutHeld(false);
    f->DropHeldWrites();
  }
  f->Close();
  auto g = h("given.dat");
  g->Open();
  std::vector<uint8_t> back(model.size());
  ASSERT_EQ(g->GetFileSize(), int64_t(model.size()));
  g->ReadAt(0, back.data(), int64_t(back.size()));
  EXPECT_EQ(back, model);
}

TEST_P(FileLayer, ShortReadsRaiseUnlessAllowed) {
  auto f = created("t.dat", pattern(1000));
  uint8_t buf[100];
  f->Seek(kSeekBegin, 950);
  EXPECT_EQ(f->Read(buf, 100, true), 50);
  EXPECT_EQ(f->Seek(kSeekCurrent, 0), 1000);
  f->Seek(kSeekBegin, 950);
  EXPECT_EQ(errorOf([&] { f->Read(buf, 100); }), VELDOR_READERR);
  EXPECT_EQ(f->ReadAt(990, buf, 100, true), 10);
  EXPECT_EQ(f->ReadAt(2000, buf, 100, true), 0);
}

// A read at an offset is a seek and a read in one: the same count, bytes, failure and handle
// position after it, at any offset and count against the file's end; another handler's write
// shows in the next read, and a held write leaves the position after what it wrote.
TEST_P(FileLayer, AReadAtAnOffsetGivesWhatASeekAndAReadGive) {
  const auto data = pattern(5000);
  auto f = created("t.dat", data);
  auto g = h("t.dat");
  f->Close();
  f->Open();
  g->Open();
  const int64_t offsets[] = {0, 1, 127, 4095, 4096, 4990, 4999, 5000, 5001, 9000};
  const int64_t counts[] = {0, 1, 70, 4096, 6000};
  for (int64_t offset : offsets) {
    for (int64_t count : counts) {
      SCOPED_TRACE(::testing::Message() << "offset " << offset << ", count " << count);
      std::vector<uint8_t> byRead(size_t(count) + 1, 0xEE), byReadAt(size_t(count) + 1, 0xEE);
      g->Seek(kSeekBegin, offset);
      const int64_t expected = g->Read(byRead.data(), count, true);
      const int64_t got = f->ReadAt(offset, byReadAt.data(), count, true);
      EXPECT_EQ(got, expected);
      EXPECT_EQ(byReadAt, byRead);
      EXPECT_EQ(f->Seek(kSeekCurrent, 0), g->Seek(kSeekCurrent, 0));
      if (expected < count) {
        EXPECT_EQ(errorOf([&] { f->ReadAt(offset, byReadAt.data(), count); }), VELDOR_READERR);
      }
    }
  }
  uint8_t one = 0;
  // Before the start: a failure on disk, nothing read in memory; alike on both roads.
  const uint16_t failure = errorOf([&] { f->ReadAt(-5, &one, 1, true); });
  g->Seek(kSeekBegin, -5);
  EXPECT_EQ(failure, errorOf([&] { g->Read(&one, 1, true); }));
  EXPECT_EQ(failure, inMemory() ? 0 : VELDOR_READERR);
  EXPECT_EQ(f->Seek(kSeekCurrent, 0), g->Seek(kSeekCurrent, 0)) << "a failed read leaves the position alike";

  const uint8_t changed[3] = {7, 8, 9};
  g->WriteAt(2000, changed, 3);
  uint8_t seen[3] = {};
  f->ReadAt(2000, seen, 3);
  EXPECT_TRUE(std::equal(seen, seen + 3, changed)) << "another handler's write shows at once";

  f->SetHoldWrites(true);
  f->WriteAt(3000, changed, 3);
  EXPECT_EQ(f->Seek(kSeekCurrent, 0), 3003);
  f->WriteAt(3100, std::vector<uint8_t>(changed, changed + 3));
  EXPECT_EQ(f->Seek(kSeekCurrent, 0), 3103);
  f->ReadAt(3000, seen, 3);
  EXPECT_TRUE(std::equal(seen, seen + 3, changed)) << "a held write shows to its own reads";
  EXPECT_EQ(f->Seek(kSeekCurrent, 0), 3003);
  f->DropHeldWrites();
  f->SetHoldWrites(false);
}

TEST_P(FileLayer, OpenFilesAreNeitherDeletedNorRenamedAndRenameNeverReplaces) {
  auto f = h("t.dat");
  f->CreateFile();
  h("b.dat")->CreateFile();
  auto other = h("t.dat");
  EXPECT_EQ(errorOf([&] { other->DeleteFile(); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { other->RenameFile(name("u.dat")); }), VELDOR_OSEACCES);
  f->Close();
  EXPECT_EQ(errorOf([&] { other->RenameFile(name("B.dat")); }), VELDOR_OSUNKNOWN);
  EXPECT_EQ(other->GetName(), name("t.dat"));
  other->RenameFile(name("u.dat"));
  EXPECT_EQ(other->GetName(), name("u.dat"));
  EXPECT_FALSE(h("t.dat")->FileExists());
  EXPECT_TRUE(other->FileExists());
  other->DeleteFile();
  EXPECT_FALSE(other->FileExists());
  EXPECT_EQ(errorOf([&] { other->DeleteFile(); }), VELDOR_OSENOENT);
}

TEST_P(FileLayer, TemporaryFilesAreGoneAfterTheirLastClose) {
  auto a = h("tmp.dat", false, true);
  a->CreateFile();
  a->Write("abc", 3);
  EXPECT_EQ(errorOf([&] { h("tmp.dat", false, true)->Open(); }), VELDOR_OSEACCES)
      << "a created file is exclusive";
  a->Close();
  EXPECT_FALSE(a->FileExists());
  EXPECT_EQ(errorOf([&] { a->Open(); }), VELDOR_OSENOENT);
  EXPECT_EQ(list.Count(), 0u);
}

TEST_P(FileLayer, CopyReadsChunksOf64KiBAndReportsProgressInSteps) {
  const auto data = pattern(200000);
  std::vector<int> seen;
  created("src.dat", data)
      ->CopyToNewFile(
          name("copy.dat"), false, [&](int p) { seen.push_back(p); }, 10);
  // Four chunks (65,536 x 3 and 3,392); the last one's 100 is within 10 of 98.
  EXPECT_EQ(seen, (std::vector<int>{33, 66, 98}));
  auto copy = h("copy.dat");
  copy->Open();
  EXPECT_EQ(copy->GetFileSize(), 200000);
  std::vector<uint8_t> back(200000);
  copy->Read(back.data(), 200000);
  EXPECT_EQ(back, data);

  seen.clear();
  created("empty.dat", {})
      ->CopyToNewFile(
          name("empty.bak"), false, [&](int p) { seen.push_back(p); }, 10);
  EXPECT_EQ(seen, std::vector<int>{100}) << "an empty file reports completion";
  EXPECT_TRUE(h("empty.bak")->FileExists());
}

TEST_P(FileLayer, CompressedCopyIsSmallerAndRestoresExactly) {
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t((i / 7) % 5);
  auto f = created("idx.dat", data);
  f->CopyToNewFile(name("idx.bak"), true, nullptr, 0);
  auto backup = h("idx.bak");
  backup->Open();
  EXPECT_LT(backup->GetFileSize(), 30000);
  backup->Close();
  // Scribble over the original and make it longer, then restore it from the backup.
  const auto junk = pattern(400000, 9);
  f->WriteAt(0, junk.data(), int64_t(junk.size()));
  f->Seek(kSeekBegin, 0);
  std::vector<int> seen;
  f->CopyToFile(
      name("idx.bak"), true, [&](int p) { seen.push_back(p); }, 0);
  EXPECT_EQ(seen.back(), 100);
  EXPECT_EQ(f->GetFileSize(), 300000) << "the restored file ends where the copy ends";
  std::vector<uint8_t> back(300000);
  f->ReadAt(0, back.data(), 300000);
  EXPECT_EQ(back, data);
}

TEST_P(FileLayer, RestoringFromAPlainOrDamagedBackupAsCompressedIsRefused) {
  auto f = created("idx.dat", pattern(100000));
  f->CopyToNewFile(name("plain.bak"), false, nullptr, 0);
  f->CopyToNewFile(name("idx.bak"), true, nullptr, 0);
  auto damaged = h("idx.bak");
  damaged->Open();
  const int64_t middle = damaged->GetFileSize() / 2;
  uint8_t b;
  damaged->ReadAt(middle, &b, 1);
  b ^= 0x55;
  damaged->WriteAt(middle, &b, 1);
  damaged->Close();
  std::string table;
  f->Seek(kSeekBegin, 0);
  EXPECT_EQ(errorOf([&] { f->CopyToFile(name("plain.bak"), true, nullptr, 0); }, &table), VELDOR_UNCOMPRESS);
  EXPECT_EQ(table, name("plain.bak"));
  h("plain.bak")->DeleteFile();  // the backup was closed again
  f->Seek(kSeekBegin, 0);
  EXPECT_EQ(errorOf([&] { f->CopyToFile(name("idx.bak"), true, nullptr, 0); }), VELDOR_UNCOMPRESS);
}

TEST_P(FileLayer, CopyOntoAFileInUseIsRefused) {
  auto f = created("a.dat", {});
  auto other = created("b.dat", {});
  EXPECT_EQ(errorOf([&] { f->CopyToNewFile(name("b.dat"), false, nullptr, 0); }), VELDOR_OSEACCES);
  EXPECT_EQ(errorOf([&] { f->CopyToFile(name("b.dat"), false, nullptr, 0); }), VELDOR_OSEACCES);
}

class MemoryFiles : public ::testing::Test {
 protected:
  TFileList list;
};

// Files on disk take their locks from the backend; in-memory files keep their own table, under
// the same rules.
TEST_F(MemoryFiles, LocksRefuseOverlapAndUnlockOnlyExactRanges) {
  handler(list, "t.dat", true)->CreateFile();
  auto a = handler(list, "t.dat", true);
  auto b = handler(list, "t.dat", true);
  a->Open();
  b->Open();
  EXPECT_TRUE(a->LockRegion(true, 10, 10));
  EXPECT_FALSE(b->LockRegion(true, 15, 10));
  EXPECT_FALSE(b->LockRegion(true, 5, 6));
  EXPECT_FALSE(a->LockRegion(false, 10, 5));
  EXPECT_FALSE(b->LockRegion(true, 12, 1)) << "a failed partial unlock leaves the range locked";
  EXPECT_TRUE(a->LockRegion(false, 10, 10));
  EXPECT_TRUE(b->LockRegion(true, 15, 10));
  EXPECT_TRUE(a->LockRegion(true, INT64_C(0xFFFFFFFF), 1));
}

TEST_F(MemoryFiles, AWriteOrCutFarPastWhatMemoryCanHoldFailsAndLeavesTheFileAsItWas) {
  auto f = handler(list, "far.dat", true);
  f->CreateFile();
  f->Write("abc", 3);
  for (int64_t far : {INT64_C(1) << 60, std::numeric_limits<int64_t>::max() - 1}) {
    f->Seek(kSeekBegin, far);
    EXPECT_EQ(errorOf([&] { f->Write("x", 2); }), VELDOR_WRITEERR) << far;
    EXPECT_EQ(errorOf([&] { f->Truncate(); }), VELDOR_WRITEERR) << far;
    EXPECT_EQ(f->GetFileSize(), 3) << far;
  }
  char buf[3];
  EXPECT_EQ(f->ReadAt(0, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

// An in-memory file's bytes are its view on disk: a peek shows what the file holds now, the
// writes of another handle included and those held back by this one not, as a disk file's view.
TEST_F(MemoryFiles, PeekShowsTheFilesBytesWithoutHeldWrites) {
  handler(list, "head.dat", true)->CreateFile();
  auto a = handler(list, "head.dat", true);
  auto b = handler(list, "head.dat", true);
  a->Open();
  b->Open();
  uint8_t head[4] = {};
  EXPECT_FALSE(a->PeekDiskHead(head, 1)) << "shorter than asked";
  EXPECT_TRUE(a->PeekDiskHead(head, 0));
  b->WriteAt(0, "abcdef", 6);
  ASSERT_TRUE(a->PeekDiskHead(head, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "abcd");
  a->SetHoldWrites(true);
  a->WriteAt(0, "XY", 2);
  ASSERT_TRUE(a->PeekDiskHead(head, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 4), "abcd");
  char read[4];
  a->ReadAt(0, read, 4);
  EXPECT_EQ(std::string(read, 4), "XYcd");
  EXPECT_FALSE(b->PeekDiskHead(head, 7));
}

TEST_F(MemoryFiles, ClearingTheListDropsEveryFileAndItsContents) {
  TempFolder dir;
  handler(list, "kept.dat", true)->CreateFile();
  auto tmp = handler(list, dir.path("work.tmp"), false, false, true);
  tmp->CreateFile();
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  tmp.reset();  // closing a handle on a freed file is refused, not carried out
  EXPECT_FALSE(handler(list, "kept.dat", true)->FileExists());
  EXPECT_FALSE(std::filesystem::exists(dir.path("work.tmp")));
  handler(list, dir.path("x.dat"), true)->CreateFile();
  EXPECT_FALSE(handler(list, dir.path("x.dat"), false)->FileExists())
      << "the same name on disk is another file";
}

class DiskFiles : public ::testing::Test {
 protected:
  TempFolder dir;
  TFileList list;
};

TEST_F(DiskFiles, ReadOnlyAttributeOpensReadOnlyAndReportsBothFlags) {
  std::ofstream(dir.path("ro.dat")) << "data";
  chmod(dir.path("ro.dat").c_str(), 0444);
  auto f = handler(list, dir.path("ro.dat"));
  f->Open();
  EXPECT_TRUE(f->IsReadOnly());
  EXPECT_TRUE(f->IsReadOnlyAttribute());
  EXPECT_EQ(errorOf([&] { f->Write("x", 1); }), VELDOR_WRITEERR);
}

TEST_F(DiskFiles, SpellingsOfOneFileShareOneObjectAndBackslashesDelimitFolders) {
  std::filesystem::create_directory(dir.path("db"));
  handler(list, dir.path() + "\\db\\task.dat")->CreateFile();
  EXPECT_TRUE(std::filesystem::exists(dir.path("db/task.dat")));
  auto a = handler(list, dir.path("db/task.dat"));
  auto b = handler(list, dir.path("db/../db/TASK.DAT"));
  a->Open();
  b->Open();
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_TRUE(a->LockRegion(true, 1, 1));
  EXPECT_FALSE(b->LockRegion(true, 1, 1));
}

TEST_F(DiskFiles, AFolderIsNotAFile) {
  std::filesystem::create_directory(dir.path("sub.dat"));
  auto f = handler(list, dir.path("sub.dat"));
  EXPECT_FALSE(f->FileExists());
  EXPECT_EQ(errorOf([&] { f->Open(); }), VELDOR_OSENOENT);
}

TEST_F(DiskFiles, ATemporaryFileOpenedFromDiskIsDeletedAtItsLastClose) {
  std::ofstream(dir.path("work.tmp")) << "x";
  auto a = handler(list, dir.path("work.tmp"), false, false, true);
  auto b = handler(list, dir.path("work.tmp"), false, false, true);
  a->Open();
  b->Open();
  a->Close();
  EXPECT_TRUE(std::filesystem::exists(dir.path("work.tmp")));
  b->Close();
  EXPECT_FALSE(std::filesystem::exists(dir.path("work.tmp")));
}

TEST_F(DiskFiles, ACopyWhoseDestinationCannotBeMadeNamesTheDestination) {
  auto f = handler(list, dir.path("a.dat"));
  f->CreateFile();
  std::string table;
  EXPECT_EQ(errorOf([&] { f->CopyToNewFile(dir.path("missing/b.dat"), false, nullptr, 0); }, &table),
            VELDOR_OSENOENT);
  EXPECT_EQ(table, dir.path("missing/b.dat"));
}

TEST_F(DiskFiles, AFailedOpenRecordsTheSystemErrorInTheContext) {
  std::ofstream(dir.path("t.dat")) << "x";
  auto exclusive = handler(list, dir.path("t.dat"), false, true);
  exclusive->Open();
  TFileList otherSession;
  EXPECT_EQ(errorOf([&] { handler(otherSession, dir.path("t.dat"))->Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(GetEngineErrorItem(kItemOSError), std::to_string(platform::kSharingViolation));
  EXPECT_EQ(GetEngineErrorMessage(VELDOR_OSEACCES), "Access denied to table '" + dir.path("t.dat") + "'");
}

// Attempts are counted in full: a byte count of retries, 255 included, cannot wrap.
TEST(LockRetries, GiveUpAfterTheLastAttempt) {
  platform::FileSystem& fs = platform::FileSystem::local();
  uint32_t calls = 0;
  EXPECT_FALSE(RetryLock([&](uint32_t) { return ++calls > 100; }, {5, std::chrono::milliseconds(0)}, fs));
  EXPECT_EQ(calls, 5u);
  calls = 0;
  EXPECT_TRUE(RetryLock([&](uint32_t a) { return ++calls, a == 3; }, kFileLockRetryRules, fs));
  EXPECT_EQ(calls, 3u);
  uint32_t last = 0;
  EXPECT_FALSE(RetryLock([&](uint32_t a) { return last = a, false; },
                         LockRetryRules::FromRetryCount(255, std::chrono::milliseconds(0)), fs));
  EXPECT_EQ(last, 256u);
}

}  // namespace
}  // namespace engine
