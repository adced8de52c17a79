#include "engine/storage/veldorrecord.h"

#include <gtest/gtest.h>

#include "engine/storage/veldorcompress.h"
#include "platform/bytes.h"

namespace engine {
namespace {

class FakeDataFile : public TRecordOwner {
 public:
  uint32_t size = 20;
  bool scrambled = false;
  uint32_t lastId = 0;
  uint32_t recordSize() const override { return size; }
  bool recordsScrambled() const override { return scrambled; }
  uint32_t nextUniqueId() override { return ++lastId; }
};

std::vector<uint8_t> image(uint32_t size, uint8_t status, uint32_t link, uint32_t id) {
  std::vector<uint8_t> img(size);
  img[0] = status;
  platform::put4(&img[1], link);
  platform::put4(&img[5], id);
  for (uint32_t i = 9; i < size; ++i) img[i] = uint8_t(i);
  return img;
}

class RecordImages : public ::testing::Test {
 protected:
  FakeDataFile file;
};

TEST_F(RecordImages, InitializeWithNewIdTakesTheFilesNextIdAndWritesTheNumber) {
  TRecord r(file);
  r.SetRecordNumber(7);
  r.SetStatus(kRecordDeleted);
  r.Initialize(true);
  EXPECT_EQ(r.GetStatus(), kRecordInUse);
  EXPECT_EQ(r.GetUniqueId(), 1u);
  EXPECT_EQ(platform::get4(r.GetBuffer() + 1), 7u);
  EXPECT_FALSE(r.IsDirty());
  r.Initialize(false);
  EXPECT_EQ(r.GetUniqueId(), 0u);
  EXPECT_EQ(file.lastId, 1u);
}

TEST_F(RecordImages, LoadingKeepsADeletedRecordsLinkGivesOneInUseItsOwnNumberAndComparesTheWholeImage) {
  TRecord r(file);
  r.SetRecordNumber(3);
  const auto deleted = image(20, kRecordDeleted, 42, 9);
  r.LoadFromBuffer(deleted.data());
  EXPECT_EQ(r.GetNextFree(), 42u);
  EXPECT_TRUE(r.SameData(deleted.data()));
  r.LoadFromBuffer(image(20, kRecordInUse, 42, 9).data());
  EXPECT_EQ(platform::get4(r.GetBuffer() + 1), 3u);
  EXPECT_EQ(r.GetNextFree(), 0u) << "a record in use has no free-chain link whatever byte 1 holds";
  EXPECT_EQ(r.GetUniqueId(), 9u);
  const auto img = image(20, kRecordInUse, 3, 9);
  EXPECT_TRUE(r.SameData(img.data()));
  for (size_t at : {size_t(0), size_t(1), size_t(5), size_t(19)}) {
    auto other = img;
    other[at] ^= 1;
    EXPECT_FALSE(r.SameData(other.data())) << at;
  }
}

TEST_F(RecordImages, ScrambledSaveLeavesTheRecordPlainAndLoadUndoesIt) {
  file.scrambled = true;
  TRecord r(file);
  r.SetRecordNumber(2);
  const auto plain = image(20, kRecordInUse, 2, 5);
  auto onDisk = plain;
  ScrambleBuffer(onDisk.data(), onDisk.size(), kStructureSeed);
  const auto diskCopy = onDisk;
  r.LoadFromBuffer(onDisk.data());
  EXPECT_EQ(onDisk, diskCopy) << "the caller's image is not touched";
  EXPECT_TRUE(r.SameData(plain.data()));
  r.SetUniqueId(5);
  std::vector<uint8_t> out(20);
  r.SaveToBuffer(out.data());
  EXPECT_FALSE(r.IsDirty());
  EXPECT_EQ(out, diskCopy);
  EXPECT_TRUE(r.SameData(plain.data()));
}

class RecordPool : public ::testing::Test {
 protected:
  FakeDataFile file;
  TRecordStack stack{file};
};

TEST_F(RecordPool, PopGivesANewRecordWhenEmptyAndAnInitialisedSpareOtherwise) {
  std::unique_ptr<TRecord> r = stack.Pop();
  ASSERT_TRUE(r);
  r->SetRecordNumber(4);
  r->SetUniqueId(99);
  r->Pin();
  TRecord* raw = r.get();
  stack.Push(r);
  EXPECT_FALSE(r);
  EXPECT_EQ(stack.Count(), 1u);
  file.size = 30;
  std::unique_ptr<TRecord> again = stack.Pop();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(again->PinCount(), 0);
  EXPECT_EQ(again->GetUniqueId(), 0u);
  EXPECT_FALSE(again->IsDirty());
  EXPECT_EQ(again->GetBufferSize(), 30u);
  EXPECT_EQ(file.lastId, 0u) << "a popped spare gets no new id";
}

// A record whose image lies in its own allocation (the pool's) and a plain one go through the same
// changes of record size, growing past the room the first came with at several steps: both keep
// every byte they held, read the new ones as zero, and never shrink.
TEST_F(RecordPool, ARecordOutgrowingItsOwnRoomKeepsItsBytesAsAPlainOneDoes) {
  file.size = 60;
  std::unique_ptr<TRecord> pooled = stack.Pop();
  TRecord plain(file);
  for (TRecord* r : {pooled.get(), &plain}) {
    r->SetRecordNumber(6);
    r->LoadFromBuffer(image(60, kRecordInUse, 6, 11).data());
  }
  const uint8_t* before = pooled->GetBuffer();
  for (uint32_t size : {64u, 65u, 30u, 200u, 129u, 1000u}) {
    for (TRecord* r : {pooled.get(), &plain}) r->SetBufferSize(size);
    ASSERT_EQ(pooled->GetBufferSize(), size);
    const auto expected = image(60, kRecordInUse, 6, 11);
    for (uint32_t i = 0; i < size; ++i) {
      const uint8_t want = i < 60 ? expected[i] : 0;
      ASSERT_EQ(pooled->GetBuffer()[i], want) << "size " << size << " byte " << i;
      ASSERT_EQ(plain.GetBuffer()[i], want) << "size " << size << " byte " << i;
    }
  }
  EXPECT_NE(pooled->GetBuffer(), before) << "the image moved out of the room it outgrew";
  pooled->Initialize(false);
  for (uint32_t i = 9; i < 1000; ++i) ASSERT_EQ(pooled->GetBuffer()[i], 0) << i;
  // Back in the pool and out again: the same record, sized for the file once more.
  TRecord* raw = pooled.get();
  stack.Push(pooled);
  file.size = 20;
  std::unique_ptr<TRecord> again = stack.Pop();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(again->GetBufferSize(), 20u);
}

}  // namespace
}  // namespace engine
