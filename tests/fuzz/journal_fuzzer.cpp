// Fuzz target over the journal reader. The input is a journal without its checksum, which is
// added here so that the reader gets past it; with the first byte odd the input is read as it
// is. A journal that reads must write back to the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/storage/veldorjournal.h"
#include "platform/bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (size > 0 && data[0] % 2 == 0) {
    bytes.resize(size + 4);
    platform::put4(bytes.data() + size, engine::JournalChecksum({data, size}));
  }
  engine::TJournalImage image;
  if (engine::DecodeJournal(bytes, image) && engine::EncodeJournal(image) != bytes) std::abort();
  return 0;
}
