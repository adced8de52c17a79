// Whole-buffer zlib streams (RFC 1950): deflate a buffer in one go, inflate one back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Deflates `size` bytes at `input` into one complete zlib stream at compression level 9,
// replacing `output`. An empty input gives a short valid stream. False when the library fails.
bool deflateBuffer(const uint8_t* input, size_t size, std::vector<uint8_t>& output);

enum class InflateStatus {
  Ok,        // the stream was complete and `output` holds all of it
  Damaged,   // not a zlib stream, a bad checksum, a truncated stream or bytes after its end
  TooLarge,  // the stream would produce more than the given limit
  Failed,    // the library failed otherwise (out of memory)
};

// Inflates the single zlib stream that makes up the `size` bytes at `input`, replacing `output`.
// Never produces more than `maxOutput` bytes: a stream that would is refused as TooLarge.
// The CRC-32 of ISO 3309 (reflected polynomial 0xEDB88320, all ones in and out) of `size` bytes.
// With `previous`, the CRC of the bytes that `previous` is the CRC of followed by these: a
// buffer's CRC is that of its pieces taken in turn.
uint32_t crc32(const uint8_t* data, size_t size, uint32_t previous = 0);

InflateStatus inflateBuffer(const uint8_t* input, size_t size, size_t maxOutput,
                            std::vector<uint8_t>& output);

}  // namespace platform
