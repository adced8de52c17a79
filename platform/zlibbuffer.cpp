#include "platform/zlibbuffer.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace platform {

namespace {
// zlib counts in uInt; feed and drain it in pieces that fit.
constexpr size_t kMaxPiece = std::numeric_limits<uInt>::max() / 2;
constexpr size_t kGrowStep = 64 * 1024;
}  // namespace

bool deflateBuffer(const uint8_t* input, size_t size, std::vector<uint8_t>& output) {
  output.clear();
  z_stream z{};
  if (deflateInit(&z, 9) != Z_OK) return false;
  output.resize(std::max<size_t>(deflateBound(&z, uLong(std::min(size, kMaxPiece))), 64));
  size_t consumed = 0;
  size_t produced = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (produced == output.size()) output.resize(output.size() + kGrowStep);
    const size_t inPiece = std::min(size - consumed, kMaxPiece);
    const size_t outPiece = std::min(output.size() - produced, kMaxPiece);
    z.next_in = const_cast<Bytef*>(input + consumed);
    z.avail_in = uInt(inPiece);
    z.next_out = output.data() + produced;
    z.avail_out = uInt(outPiece);
    const bool last = consumed + inPiece == size;
    rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
    consumed += inPiece - z.avail_in;
    produced += outPiece - z.avail_out;
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      deflateEnd(&z);
      output.clear();
      return false;
    }
  }
  deflateEnd(&z);
  output.resize(produced);
  output.shrink_to_fit();
  return true;
}

InflateStatus inflateBuffer(const uint8_t* input, size_t size, size_t maxOutput,
                            std::vector<uint8_t>& output) {
  output.clear();
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return InflateStatus::Failed;
  size_t consumed = 0;
  size_t produced = 0;
  InflateStatus status = InflateStatus::Ok;
  for (;;) {
    if (produced == output.size()) {
      if (produced == maxOutput) {
        // The limit is reached; the stream is acceptable only if it ends right here.
        uint8_t probe;
        z.next_in = const_cast<Bytef*>(input + consumed);
        z.avail_in = uInt(std::min(size - consumed, kMaxPiece));
        z.next_out = &probe;
        z.avail_out = 1;
        const int rc = inflate(&z, Z_NO_FLUSH);
        consumed += size_t(z.next_in - (input + consumed));
        if (rc == Z_STREAM_END && z.avail_out == 1) break;
        status = (rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR) && z.avail_out == 0
                     ? InflateStatus::TooLarge
                     : InflateStatus::Damaged;
        if (rc == Z_MEM_ERROR) status = InflateStatus::Failed;
        break;
      }
      output.resize(std::min(maxOutput, std::max(output.size() * 2, kGrowStep)));
    }
    const size_t inPiece = std::min(size - consumed, kMaxPiece);
    const size_t outPiece = std::min(output.size() - produced, kMaxPiece);
    z.next_in = const_cast<Bytef*>(input + consumed);
    z.avail_in = uInt(inPiece);
    z.next_out = output.data() + produced;
    z.avail_out = uInt(outPiece);
    const int rc = inflate(&z, Z_NO_FLUSH);
    consumed += inPiece - z.avail_in;
    produced += outPiece - z.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_MEM_ERROR) {
      status = InflateStatus::Failed;
      break;
    }
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR) {
      status = InflateStatus::Damaged;
      break;
    }
    // Z_OK or Z_BUF_ERROR: no progress possible without more input means the stream is cut short.
    if (consumed == size && z.avail_out != 0) {
      status = InflateStatus::Damaged;
      break;
    }
  }
  inflateEnd(&z);
  if (status == InflateStatus::Ok && consumed != size) status = InflateStatus::Damaged;
  if (status != InflateStatus::Ok) {
    output.clear();
    return status;
  }
  output.resize(produced);
  output.shrink_to_fit();
  return status;
}

uint32_t crc32(const uint8_t* data, size_t size) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // The library takes lengths of 32 bits.
  constexpr size_t kMostAtOnce = size_t(1) << 30;
  while (size > 0) {
    const size_t n = size < kMostAtOnce ? size : kMostAtOnce;
    crc = ::crc32(crc, data, uInt(n));
    data += n;
    size -= n;
  }
  return uint32_t(crc);
}

}  // namespace platform
