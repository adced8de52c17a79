// Byte-buffer transforms of the table engine: whole-buffer compression (copies of table files,
// payloads of remote requests) and the scrambling of encrypted tables on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

// Most bytes that DecompressBuffer produces unless the caller names its own limit. A stream that
// would unpack to more is refused, so a small damaged or hostile input cannot exhaust memory.
inline constexpr size_t kDefaultDecompressLimit = size_t(256) << 20;

// Compresses the whole input into one zlib stream (RFC 1950, level 9); `output` is replaced and
// holds exactly the stream. Raises VELDOR_COMPRESS when the library fails.
void CompressBuffer(const uint8_t* input, size_t inputLength, std::vector<uint8_t>& output);

// Unpacks one whole zlib stream; `output` is replaced. Raises VELDOR_UNCOMPRESS for damaged or
// truncated input, bytes after the stream's end, or output above `maxOutput`.
void DecompressBuffer(const uint8_t* input, size_t inputLength, std::vector<uint8_t>& output,
                      size_t maxOutput = kDefaultDecompressLimit);

// Seed pair of the scrambler: its 16 bits of state start from these two bytes.
struct ScrambleSeed {
  uint8_t low;
  uint8_t high;
};

// The pair for the records, field descriptors, index pages and blob blocks of an encrypted table.
inline constexpr ScrambleSeed kStructureSeed{0x5A, 0xC3};
// The pair for the characters of an encrypted table's description and password.
inline constexpr ScrambleSeed kTextSeed{0x3E, 0x91};

// Transforms `count` bytes in place: each byte is XORed with both state bytes, then low counts up
// and high counts down (both modulo 256). The transform is its own inverse, so the two names are
// the same operation; ScrambleBuffer goes before a write, UnscrambleBuffer after a read.
void ScrambleBuffer(uint8_t* buffer, size_t count, uint8_t seedLow, uint8_t seedHigh);
void UnscrambleBuffer(uint8_t* buffer, size_t count, uint8_t seedLow, uint8_t seedHigh);
inline void ScrambleBuffer(uint8_t* buffer, size_t count, ScrambleSeed seed) {
  ScrambleBuffer(buffer, count, seed.low, seed.high);
}
inline void UnscrambleBuffer(uint8_t* buffer, size_t count, ScrambleSeed seed) {
  UnscrambleBuffer(buffer, count, seed.low, seed.high);
}

}  // namespace engine
