#include "engine/storage/veldorcompress.h"

#include "engine/base/veldorerr.h"
#include "platform/zlibbuffer.h"

namespace engine {

void CompressBuffer(const uint8_t* input, size_t inputLength, std::vector<uint8_t>& output) {
  if (!platform::deflateBuffer(input, inputLength, output)) SignalEngineError(VELDOR_COMPRESS);
}

void DecompressBuffer(const uint8_t* input, size_t inputLength, std::vector<uint8_t>& output,
                      size_t maxOutput) {
  if (platform::inflateBuffer(input, inputLength, maxOutput, output) != platform::InflateStatus::Ok)
    SignalEngineError(VELDOR_UNCOMPRESS);
}

void ScrambleBuffer(uint8_t* buffer, size_t count, uint8_t seedLow, uint8_t seedHigh) {
  uint8_t low = seedLow;
  uint8_t high = seedHigh;
  for (size_t i = 0; i < count; ++i) {
    buffer[i] = uint8_t(buffer[i] ^ low ^ high);
    ++low;
    --high;
  }
}

void UnscrambleBuffer(uint8_t* buffer, size_t count, uint8_t seedLow, uint8_t seedHigh) {
  ScrambleBuffer(buffer, count, seedLow, seedHigh);
}

}  // namespace engine
