// Temporary disk files that start in memory (TSpillFile): the same bytes as a disk file through
// any spill, nothing on disk before it, the bounds per file and per process, and a spill that
// cannot be made failing the write with the bytes kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorfile.h"
#include "storage_test_util.h"

namespace engine {
namespace {

using platform::testing::TempFolder;
using storage_test::errorOf;

// Sets the process's bounds for one test and puts the defaults back.
class SpillBounds {
 public:
  SpillBounds(int64_t perFile, int64_t perProcess)
      : file_(TSpillFile::SpillBound()), process_(TSpillFile::SpillBudget()) {
    TSpillFile::SetSpillBounds(perFile, perProcess);
  }
  ~SpillBounds() { TSpillFile::SetSpillBounds(file_, process_); }

 private:
  int64_t file_, process_;
};

std::unique_ptr<TFileHandler> handler(TFileList& list, const std::string& name, bool memoryFirst) {
  auto h = std::make_unique<TFileHandler>(&list);
  h->SetName(name);
  h->SetExclusive(true);
  h->SetTemporary(true);
  h->SetMemoryFirst(memoryFirst);
  return h;
}

// A memory-first file is on disk only once it spilled.
bool onDisk(const std::string& name) {
  return std::filesystem::exists(name);
}

std::vector<uint8_t> readAll(TFileHandler& f) {
  std::vector<uint8_t> bytes(size_t(f.GetFileSize()));
  if (!bytes.empty()) f.ReadAt(0, bytes.data(), int64_t(bytes.size()));
  return bytes;
}

size_t filesIn(const TempFolder& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++n;
  return n;
}

// Random writes, cuts, extensions and reads through two handles of a memory-first file and of a
// plain temporary disk file: every read and size agrees, before, across and after the spill.
TEST(SpillFile, AgreesWithADiskFileThroughRandomWritesCutsAndReads) {
  const uint32_t seed = storage_test::testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  TempFolder dir;
  TFileList list;
  for (int round = 0; round < 6; ++round) {
    SpillBounds bounds(int64_t(4096) << (round % 3), int64_t(1) << 20);
    std::mt19937_64 random(seed + uint64_t(round));
    auto spill = handler(list, dir.path("s" + std::to_string(round) + ".dat"), true);
    auto disk = handler(list, dir.path("d" + std::to_string(round) + ".dat"), false);
    spill->CreateFile();
    disk->CreateFile();
    bool spilled = false;
    for (int step = 0; step < 300; ++step) {
      const int64_t size = disk->GetFileSize();
      ASSERT_EQ(spill->GetFileSize(), size) << "step " << step;
      const int op = int(random() % 10);
      // Half the places near the end, so that the file grows past its bound on the way.
      const int64_t at = random() % 2 ? std::max<int64_t>(0, size - int64_t(random() % 1000))
                                      : int64_t(random() % uint64_t(size + 2000));
      if (op < 6) {
        std::vector<uint8_t> bytes(size_t(random() % 3000 + 1));
        for (auto& x : bytes) x = uint8_t(random());
        spill->WriteAt(at, bytes.data(), int64_t(bytes.size()));
        disk->WriteAt(at, bytes.data(), int64_t(bytes.size()));
      } else if (op < 7) {
        const int64_t to = random() % 4 ? at : at / 3;
        spill->Seek(kSeekBegin, to);
        disk->Seek(kSeekBegin, to);
        spill->Truncate();
        disk->Truncate();
      } else {
        const int64_t count = int64_t(random() % 5000 + 1);
        std::vector<uint8_t> x(size_t(count), 0xAA), y(size_t(count), 0xAA);
        ASSERT_EQ(spill->ReadAt(at, x.data(), count, true), disk->ReadAt(at, y.data(), count, true));
        ASSERT_EQ(x, y) << "step " << step;
      }
      spilled = spilled || onDisk(spill->GetName());
    }
    ASSERT_EQ(readAll(*spill), readAll(*disk));
    EXPECT_TRUE(spilled) << "the file grew past its bound of " << TSpillFile::SpillBound();
    spill->Close();
    disk->Close();
  }
  EXPECT_EQ(filesIn(dir), 0u) << "both kinds are deleted at their last close";
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
}

TEST(SpillFile, StaysInMemoryUpToItsBoundAndSpillsAtTheNextByte) {
  SpillBounds bounds(8192, 1 << 20);
  TempFolder dir;
  TFileList list;
  const std::string name = dir.path("edge.dat");
  auto f = handler(list, name, true);
  f->CreateFile();
  std::vector<uint8_t> bytes(8192);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 3);
  f->WriteAt(0, bytes.data(), 8192);
  ASSERT_TRUE(f->FileExists()) << "listed, though not on disk";
  EXPECT_FALSE(onDisk(name));
  EXPECT_EQ(TSpillFile::BytesInMemory(), 8192);
  // A byte range held in memory is held on disk after the spill.
  ASSERT_TRUE(f->LockRegion(true, 100, 10));
  const uint8_t one = 0x5A;
  f->WriteAt(8192, &one, 1);
  ASSERT_TRUE(onDisk(name));
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
  EXPECT_FALSE(f->LockRegion(true, 105, 1)) << "the range moved to disk with the bytes";
  EXPECT_TRUE(f->LockRegion(false, 100, 10));
  bytes.push_back(one);
  EXPECT_EQ(readAll(*f), bytes);
  // So does a cut that extends the file past the bound.
  auto g = handler(list, dir.path("cut.dat"), true);
  g->CreateFile();
  g->WriteAt(0, bytes.data(), 100);
  g->Seek(kSeekBegin, 9000);
  g->Truncate();
  ASSERT_TRUE(onDisk(g->GetName()));
  std::vector<uint8_t> expected(9000, 0);
  std::copy(bytes.begin(), bytes.begin() + 100, expected.begin());
  EXPECT_EQ(readAll(*g), expected);
  f->Close();
  g->Close();
  EXPECT_EQ(filesIn(dir), 0u);
}

TEST(SpillFile, SpillsBesideAFileThatHoldsItsNameAndLeavesThatFileAlone) {
  SpillBounds bounds(0, 1 << 20);
  TempFolder dir;
  TFileList list;
  const std::string name = dir.path("123450.DAT");
  // Left by an earlier process under another case: names are found without regard to case.
  std::ofstream(dir.path("123450.dat")) << "someone else's";
  auto f = handler(list, name, true);
  f->CreateFile();
  const std::string text = "spilled at once";
  f->Write(text.data(), int64_t(text.size()));
  ASSERT_TRUE(onDisk(dir.path("123450~1.DAT")));
  EXPECT_TRUE(f->FileExists());
  std::vector<uint8_t> back = readAll(*f);
  EXPECT_EQ(std::string(back.begin(), back.end()), text);
  f->Close();
  std::ifstream other(dir.path("123450.dat"));
  std::string kept((std::istreambuf_iterator<char>(other)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, "someone else's");
  EXPECT_EQ(filesIn(dir), 1u);
}

TEST(SpillFile, ASpillThatCannotBeMadeFailsTheWriteAndKeepsTheBytes) {
  SpillBounds bounds(4096, 1 << 20);
  TempFolder dir;
  TFileList list;
  auto f = handler(list, dir.path("missing-folder/t.dat"), true);
  f->CreateFile();
  std::vector<uint8_t> bytes(4096, 0x11);
  f->WriteAt(0, bytes.data(), 4096);
  std::vector<uint8_t> more(10, 0x22);
  EXPECT_EQ(errorOf([&] { f->WriteAt(4096, more.data(), 10); }), VELDOR_WRITEERR);
  EXPECT_EQ(f->GetFileSize(), 4096);
  EXPECT_EQ(readAll(*f), bytes);
  // The process's budget is the other bound: past it a file that grows spills too.
  f->Close();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
}

// Many files open at once share the process's budget: those that come when it is spent go to
// disk, each keeps its bytes, and closing them all gives every byte back.
TEST(SpillFile, ManyFilesOpenAtOnceStayWithinTheProcessBudget) {
  SpillBounds bounds(16384, 65536);
  TempFolder dir;
  TFileList list;
  std::vector<std::unique_ptr<TFileHandler>> files;
  int spilled = 0;
  for (int i = 0; i < 40; ++i) {
    files.push_back(handler(list, dir.path(std::to_string(i) + ".dat"), true));
    files.back()->CreateFile();
    std::vector<uint8_t> bytes(size_t(5000 + i), uint8_t(i));
    files.back()->WriteAt(0, bytes.data(), int64_t(bytes.size()));
    EXPECT_LE(TSpillFile::BytesInMemory(), 65536);
  }
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(readAll(*files[size_t(i)]), std::vector<uint8_t>(size_t(5000 + i), uint8_t(i)));
    spilled += onDisk(files[size_t(i)]->GetName()) ? 1 : 0;
  }
  EXPECT_GE(spilled, 30);
  EXPECT_LT(spilled, 40);
  EXPECT_EQ(filesIn(dir), size_t(spilled));
  files.clear();
  EXPECT_EQ(TSpillFile::BytesInMemory(), 0);
  EXPECT_EQ(filesIn(dir), 0u);
  EXPECT_EQ(list.Count(), 0u);
}

// Names held by folders: a spill goes past them (the data file's name and the first names beside
// it) and leaves them as they were.
TEST(SpillFile, SpillsPastNamesHeldByFolders) {
  SpillBounds bounds(0, 1 << 20);
  TempFolder dir;
  TFileList list;
  std::filesystem::create_directory(dir.path("77.dat"));
  std::filesystem::create_directory(dir.path("77~1.dat"));
  auto f = handler(list, dir.path("77.dat"), true);
  f->CreateFile();
  const std::string text = "past two folders";
  f->Write(text.data(), int64_t(text.size()));
  ASSERT_TRUE(onDisk(dir.path("77~2.dat")));
  std::vector<uint8_t> back = readAll(*f);
  EXPECT_EQ(std::string(back.begin(), back.end()), text);
  f->Close();
  EXPECT_FALSE(onDisk(dir.path("77~2.dat")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path("77.dat")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path("77~1.dat")));
  EXPECT_EQ(filesIn(dir), 2u);
}

}  // namespace
}  // namespace engine
