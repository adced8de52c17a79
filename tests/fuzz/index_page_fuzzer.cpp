// Fuzz target over the index page loader. The first four bytes choose the page's index: key
// size (two bytes, taken modulo the largest key), compression mode and unique flag, and the
// slot (text index or not); the rest, padded with zeros to 4096 bytes, is the page image. A page
// that loads is searched, saved, loaded again and compared: the loader must either refuse the
// page with an engine error or produce entries that survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbitmap.h"
#include "engine/storage/veldorindex.h"

using namespace engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint16_t keySize = uint16_t(1 + (uint16_t(data[0] | (data[1] << 8)) % kMaxIndexKeySize));
  const uint8_t compression = data[2] & 3;
  const uint8_t unique = (data[2] >> 2) & 1;
  const uint8_t slot = (data[3] & 1) ? kSysTextSlot : 1;
  std::vector<uint8_t> image(kIndexPageSize, 0);
  std::memcpy(image.data(), data + 4, std::min<size_t>(size - 4, kIndexPageSize));

  TPage page;
  try {
    page.SetIndex(slot, keySize, 0, unique, compression);
    page.LoadFromBuffer(image.data(), false);
  } catch (const EVELDOREngineError&) {
    return 0;
  }
  // Searches over whatever order the keys are in.
  TIndexCursor cursor;
  std::vector<uint8_t> probe(keySize, 0x80);
  try {
    uint32_t position = 0;
    uint64_t recordPosition = 0;
    page.FindKey(cursor, probe.data(), position);
    page.FindKeyCounted(cursor, probe.data(), true, position, recordPosition);
    page.ScanKeyCounted(cursor, probe.data(), nullptr, position, recordPosition);
    page.SeekKeyBackward(cursor, probe.data(), position, recordPosition);
    TRecordsBitmap bitmap;
    bitmap.SetSize(1000);
    position = 1;
    page.AddRangeToBitmap(cursor, probe.data(), position, bitmap);
    page.CountSequentialRefs(50, true, 1);
    page.GetKeyTotal();
  } catch (const EVELDOREngineError&) {
  }
  if (page.GetPageType() == ptRaw) return 0;
  page.UpdateCompressedSize();
  std::vector<uint8_t> saved(kIndexPageSize);
  try {
    page.SaveToBuffer(saved.data());
  } catch (const EVELDOREngineError&) {
    return 0;  // entries that recompress past the page
  }
  TPage again;
  again.SetIndex(slot, keySize, 0, unique, compression);
  again.LoadFromBuffer(saved.data(), false);
  if (again.GetEntryCount() != page.GetEntryCount()) __builtin_trap();
  for (uint32_t i = 1; i <= page.GetEntryCount(); ++i) {
    if (std::memcmp(again.GetEntryKey(i), page.GetEntryKey(i), keySize) != 0) __builtin_trap();
    if (again.GetEntryRef(i) != page.GetEntryRef(i)) __builtin_trap();
  }
  return 0;
}
