#include "platform/zlibbuffer.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <limits>

namespace platform {

namespace {

#if defined(__x86_64__)
// The CRC register (no inversion in or out) run over `size` bytes, a multiple of 16 of at least
// 64, by folding 128-bit lanes with carry-less multiplication and a Barrett reduction at the end;
// the constants are powers of x modulo the polynomial (as the processor makers publish them).
__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// `x` carried past 128 bits more of the message (k: x^(n+64) and x^n mod P), then `next` added.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                       next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t foldCrc(uint32_t crc, const uint8_t* p, size_t size) {
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  size -= 64;
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  for (; size >= 64; p += 64, size -= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
  }
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  for (; size >= 16; p += 16, size -= 16) x1 = fold(x1, k3k4, load(p));
  // 128 bits to 64, then to 32 more, then the reduction.
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00));
  const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
  return uint32_t(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool canFold() {
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return supported;
}
#endif

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

uint32_t crc32(const uint8_t* data, size_t size, uint32_t previous) {
  uLong crc = previous;
#if defined(__x86_64__)
  // A journal's checksum runs over every old byte it keeps: folded, a page costs a few hundred
  // nanoseconds instead of microseconds. The last bytes, fewer than 16, go through the library.
  if (size >= 64 && canFold()) {
    const size_t bulk = size & ~size_t(15);
    crc = ~foldCrc(~uint32_t(crc), data, bulk) & 0xFFFFFFFFu;
    data += bulk;
    size -= bulk;
  }
#endif
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
