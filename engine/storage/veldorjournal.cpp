#include "engine/storage/veldorjournal.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <type_traits>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldoros.h"
#include "platform/bytes.h"
#include "platform/debugassert.h"
#include "platform/oserror.h"
#include "platform/processinfo.h"
#include "platform/scopeguard.h"
#include "platform/zlibbuffer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace engine {

using platform::UndoOnFailure;

namespace {

constexpr char kMagic[8] = {'V', 'L', 'D', 'R', 'J', 'N', 'L', '1'};
constexpr size_t kMaxMarkerName = 255;
// A marker named by its full path, by a journal in another folder than the marker's.
constexpr size_t kMaxMarkerPath = 4096;
constexpr size_t kFileKinds = 3;

// A marker name is a plain file name made by this engine: nothing that could reach elsewhere.
bool plainName(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-';
  });
}

bool endsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

// A marker's full path as this engine writes it: absolute, every part a name (no "." or "..",
// none empty), and the marker's own name plain. Recovery deletes the marker a journal names, so
// nothing else is taken.
bool markerPathName(std::string_view path) {
  if (path.size() > kMaxMarkerPath || path.empty() || path.front() != '/') return false;
  if (path.find('\0') != std::string_view::npos) return false;
  const std::string_view base = path.substr(path.rfind('/') + 1);
  if (base.size() <= kJournalMarkerExt.size() || !endsWith(base, kJournalMarkerExt) || !plainName(base))
    return false;
  for (size_t at = 1; at <= path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    const std::string_view part = path.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

// What a journal may name its marker by: a plain name in its own folder (as ever), or a full path.
bool markerNameAccepted(std::string_view name) {
  return plainName(name) ? name.size() <= kMaxMarkerName : markerPathName(name);
}

class Writer {
 public:
  void bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) {
    uint8_t b[2];
    platform::put2(b, v);
    bytes(b, 2);
  }
  void u32(uint32_t v) {
    uint8_t b[4];
    platform::put4(b, v);
    bytes(b, 4);
  }
  void u64(uint64_t v) {
    uint8_t b[8];
    platform::put8(b, v);
    bytes(b, 8);
  }
  std::vector<uint8_t>& out() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

// Reads field by field; every read is checked against what is left.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  bool take(size_t n, const uint8_t*& p) {
    if (in_.size() - at_ < n) return false;
    p = in_.data() + at_;
    at_ += n;
    return true;
  }
  bool u8(uint8_t& v) {
    const uint8_t* p;
    if (!take(1, p)) return false;
    v = *p;
    return true;
  }
  bool u16(uint16_t& v) {
    const uint8_t* p;
    if (!take(2, p)) return false;
    v = platform::get2(p);
    return true;
  }
  bool u32(uint32_t& v) {
    const uint8_t* p;
    if (!take(4, p)) return false;
    v = platform::get4(p);
    return true;
  }
  bool u64(uint64_t& v) {
    const uint8_t* p;
    if (!take(8, p)) return false;
    v = platform::get8(p);
    return true;
  }
  size_t left() const { return in_.size() - at_; }

 private:
  std::span<const uint8_t> in_;
  size_t at_ = 0;
};

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The marker a journal at `journalPath` names, or a journal a marker at `markerPath` lists.
std::string pathNamed(const std::string& beside, const std::string& name) {
  return !name.empty() && name.front() == '/' ? name : folderOf(beside) + name;
}

// `folder` (as folderOf gives it) from the root, without "." or ".." parts, ending in '/'.
std::string canonicalFolder(platform::FileSystem& fs, const std::string& folder) {
  const bool root = folder == "/";
  std::string canonical = fs.canonicalPath(folder.empty() ? "."
                                           : root         ? folder
                                                          : folder.substr(0, folder.size() - 1));
  while (!canonical.empty() && canonical.back() == '/') canonical.pop_back();
  return canonical + "/";
}

// `path` from the root: as it is when it is so already, else with its folder made so.
std::string absolutePath(platform::FileSystem& fs, const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  return canonicalFolder(fs, folderOf(path)) + baseName(path);
}

[[noreturn]] void failOn(const std::string& path, uint16_t fallback) {
  const uint16_t code = OSErrorToEngineError();
  SignalTableError(code != 0 ? code : fallback, path);
}

void writeWholeFile(platform::FileSystem& fs, const std::string& path, const std::vector<uint8_t>& bytes,
                    bool durable) {
  // Markers are found by their exact names (existsAsSpelt), so they are made so.
  std::unique_ptr<platform::OsFile> file = fs.createFileAsSpelt(path);
  if (!file) failOn(path, VELDOR_WRITEERR);
  if (file->writeAt(0, bytes.data(), int64_t(bytes.size())) != int64_t(bytes.size()))
    SignalTableError(VELDOR_WRITEERR, path);
  if (durable && !file->sync()) SignalTableError(VELDOR_WRITEERR, path);
}

bool readWholeFile(platform::FileSystem& fs, const std::string& path, std::vector<uint8_t>& bytes) {
  platform::OpenOptions options;
  std::unique_ptr<platform::OsFile> file = fs.openFile(path, options);
  if (!file) return false;
  const int64_t size = file->size();
  if (size < 0) return false;
  bytes.resize(size_t(size));
  return file->readAt(0, bytes.data(), size) == size;
}

void syncFolder(platform::FileSystem& fs, const std::string& path) {
  if (!fs.syncFolder(folderOf(path))) failOn(path, VELDOR_WRITEERR);
}

// A journal is deleted only where no write-out can be using it (see TJournalHandle): whoever else
// holds it open finds it gone at its next write-out.
void deleteJournalFile(platform::FileSystem& fs, const std::string& path) {
  if (!fs.deleteFileAsSpelt(path)) failOn(path, VELDOR_FILEDELETEFAIL);
}

std::string newMarkerName() {
  std::random_device device;
  const uint64_t salt = (uint64_t(device()) << 32) ^ device() ^
                        uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  char name[48];
  std::snprintf(name, sizeof name, "%d-%016llx", int(platform::currentProcessId()),
                static_cast<unsigned long long>(salt));
  return name + std::string(kJournalMarkerExt);
}

// A region costs its 12-byte header in the journal (and a buffer of its own here): differing runs
// closer than this are kept as one.
constexpr int64_t kJoinGap = 32;

// Bit i set where old[i] and fresh[i] differ, for the n (at most 64) bytes given. Most of a bulk
// change's bytes are written back as they were (a record's untouched fields), and a freed
// record differs in a few bytes at its start: a block of bits finds the runs at a few
// instructions each, where a look byte by byte or word by word costs one per step.
uint64_t differingBits(const uint8_t* old, const uint8_t* fresh, int64_t n) {
#if defined(__SSE2__)
  if (n == 64) {
    uint64_t same = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + 16 * k));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(fresh + 16 * k));
      same |= uint64_t(uint16_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)))) << (16 * k);
    }
    return ~same;
  }
#endif
  uint64_t differing = 0;
  for (int64_t i = 0; i < n; ++i) differing |= uint64_t(old[i] != fresh[i]) << i;
  return differing;
}

// The old bytes of one file as a journal read back keeps them, for its rollback.
struct OldBytes {
  uint8_t kind = 0;
  int64_t length = 0;
  struct Region {
    int64_t offset;
    const uint8_t* bytes;
    uint32_t size;
  };
  std::vector<Region> regions;
};

struct OldImage {
  std::string marker;
  std::vector<OldBytes> files;
};

OldImage compactOf(const TJournalImage& image) {
  OldImage compact{image.marker, {}};
  for (const TJournalFile& f : image.files) {
    OldBytes& o = compact.files.emplace_back();
    o.kind = f.kind;
    o.length = f.length;
    for (const TJournalRegion& r : f.regions)
      o.regions.push_back({r.offset, r.bytes.data(), uint32_t(r.bytes.size())});
  }
  return compact;
}

// The journal as the format lays it out, one field after another: the reference the write-out's
// own layout (JournalBuild) is held to.
std::vector<uint8_t> encode(const OldImage& image) {
  size_t size = sizeof kMagic + 2 + image.marker.size() + 1 + 4;
  for (const OldBytes& f : image.files) {
    size += 1 + 8 + 4 + f.regions.size() * (8 + 4);
    for (const OldBytes::Region& r : f.regions) size += r.size;
  }
  Writer w;
  w.out().reserve(size);
  w.bytes(kMagic, sizeof kMagic);
  w.u16(uint16_t(image.marker.size()));
  w.bytes(image.marker.data(), image.marker.size());
  w.u8(uint8_t(image.files.size()));
  for (const OldBytes& f : image.files) {
    w.u8(f.kind);
    w.u64(uint64_t(f.length));
    w.u32(uint32_t(f.regions.size()));
    for (const OldBytes::Region& r : f.regions) {
      w.u64(uint64_t(r.offset));
      w.u32(r.size);
      w.bytes(r.bytes, r.size);
    }
  }
  w.u32(JournalChecksum(w.out()));
  return std::move(w.out());
}

// A journal as a write-out builds it: its bytes in the order the file takes them, in chunks that
// never move, so that each old byte is copied once, from the piece read to where the journal's
// write takes it, and the rollback from memory reads the same bytes. A file's head and a region
// with its bytes never span two chunks.
//
// Chunks are kept per thread for the next write-out, up to kKeptBytes: a bulk change's journal
// runs to megabytes, which fresh storage would fault in page by page at every commit. Storage
// grows with what the journal holds, never with what it could hold (a rebuilt index holds whole
// files of which few bytes differ).
class JournalBuild {
 public:
  // The first chunk opens with room for the longest head, which takes the marker's name once the
  // write-out knows it.
  static constexpr size_t kHeadRoom = sizeof kMagic + 2 + kMaxMarkerPath + 1;
  static constexpr size_t kFirstChunk = size_t(64) << 10;
  static constexpr size_t kChunk = size_t(1) << 20;
  static constexpr size_t kKeptBytes = size_t(8) << 20;

  JournalBuild() = default;
  JournalBuild(JournalBuild&&) = default;
  JournalBuild& operator=(JournalBuild&&) = default;
  ~JournalBuild() {
    std::vector<Chunk>& kept = keptChunks();
    size_t keptBytes = 0;
    for (const Chunk& c : kept) keptBytes += c.capacity;
    for (Chunk& c : chunks_) {
      if (keptBytes + c.capacity > kKeptBytes || c.capacity > kChunk) continue;
      keptBytes += c.capacity;
      c.used = 0;
      kept.push_back(std::move(c));
    }
  }

  // Room for `n` bytes side by side, in the chunk in use or a new one.
  uint8_t* take(size_t n) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < n) newChunk(n);
    Chunk& c = chunks_.back();
    uint8_t* at = c.data.get() + c.used;
    c.used += n;
    return at;
  }
  // A file's head; its region count is set by endFile.
  void beginFile(uint8_t kind, int64_t length) {
    uint8_t* head = take(1 + 8 + 4);
    head[0] = kind;
    platform::put8(head + 1, uint64_t(length));
    count_ = head + 9;
    regions_ = 0;
    ++files_;
  }
  // Room for the old bytes of a region of `size` bytes at `offset`.
  uint8_t* region(int64_t offset, uint32_t size) {
    uint8_t* at = take(8 + 4 + size_t(size));
    platform::put8(at, uint64_t(offset));
    platform::put4(at + 8, size);
    ++regions_;
    return at + 12;
  }
  // `count` regions of `width` bytes, one every `stride` bytes from `offset`, whose old bytes lie
  // one after another at `old`: written a chunk's worth at a time.
  void spacedRegions(int64_t offset, uint32_t stride, uint32_t width, const uint8_t* old, size_t count) {
    const size_t each = 8 + 4 + size_t(width);
    for (size_t done = 0; done < count;) {
      if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < each) newChunk(each);
      Chunk& c = chunks_.back();
      const size_t fit = std::min(count - done, (c.capacity - c.used) / each);
      uint8_t* at = c.data.get() + c.used;
      const auto put = [&](auto fixedWidth) {
        for (size_t i = done; i < done + fit; ++i, at += each) {
          platform::put8(at, uint64_t(offset + int64_t(i) * stride));
          platform::put4(at + 8, width);
          std::memcpy(at + 12, old + i * width, fixedWidth ? size_t(fixedWidth) : size_t(width));
        }
      };
      // A freed record's status and link: a copy of constant size is a move or two.
      if (width == 5)
        put(std::integral_constant<uint32_t, 5>{});
      else
        put(std::integral_constant<uint32_t, 0>{});
      c.used += fit * each;
      regions_ += uint32_t(fit);
      done += fit;
    }
  }
  void endFile() { platform::put4(count_, regions_); }
  uint8_t files() const { return files_; }

  // The journal as the pieces to write one after another: the head, naming `marker`, the body and
  // the checksum. Valid until the build goes or changes.
  std::vector<std::span<const uint8_t>> seal(const std::string& marker) {
    VELMARON_DEBUG_ASSERT(!chunks_.empty() && marker.size() <= kMaxMarkerPath, "a journal has a head");
    const size_t headSize = sizeof kMagic + 2 + marker.size() + 1;
    uint8_t* head = chunks_.front().data.get() + kHeadRoom - headSize;
    std::memcpy(head, kMagic, sizeof kMagic);
    platform::put2(head + sizeof kMagic, uint16_t(marker.size()));
    std::memcpy(head + sizeof kMagic + 2, marker.data(), marker.size());
    head[headSize - 1] = files_;
    std::vector<std::span<const uint8_t>> pieces;
    uint32_t crc = 0;
    for (size_t i = 0; i < chunks_.size(); ++i) {
      const uint8_t* from = i == 0 ? head : chunks_[i].data.get();
      const size_t n = chunks_[i].data.get() + chunks_[i].used - from;
      crc = platform::crc32(from, n, crc);
      pieces.emplace_back(from, n);
    }
    // The checksum goes after the last chunk's bytes where it has room: one write for a journal of
    // one chunk.
    Chunk& last = chunks_.back();
    if (last.capacity - last.used >= 4) {
      platform::put4(last.data.get() + last.used, crc);
      pieces.back() = {pieces.back().data(), pieces.back().size() + 4};
    } else {
      platform::put4(checksum_.data(), crc);
      pieces.emplace_back(checksum_.data(), checksum_.size());
    }
    return pieces;
  }

  // Each file's head, then its regions, in the order they were added.
  template <class File, class Region>
  void visit(const File& file, const Region& region) const {
    uint32_t left = 0;
    for (size_t i = 0; i < chunks_.size(); ++i) {
      const Chunk& c = chunks_[i];
      for (size_t at = i == 0 ? kHeadRoom : 0; at < c.used;) {
        const uint8_t* p = c.data.get() + at;
        if (left == 0) {
          file(p[0], int64_t(platform::get8(p + 1)));
          left = platform::get4(p + 9);
          at += 13;
          continue;
        }
        const uint32_t size = platform::get4(p + 8);
        region(int64_t(platform::get8(p)), p + 12, size);
        at += 12 + size_t(size);
        --left;
      }
    }
  }

 private:
  struct Chunk {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
    size_t used = 0;
  };
  static std::vector<Chunk>& keptChunks() {
    thread_local std::vector<Chunk> kept;
    return kept;
  }
  void newChunk(size_t n) {
    const size_t head = chunks_.empty() ? kHeadRoom : 0;
    const size_t wanted = std::max(head + n, chunks_.empty() ? kFirstChunk : kChunk);
    std::vector<Chunk>& kept = keptChunks();
    // The smallest kept chunk that serves.
    auto best = kept.end();
    for (auto it = kept.begin(); it != kept.end(); ++it)
      if (it->capacity >= head + n && (best == kept.end() || it->capacity < best->capacity)) best = it;
    if (best != kept.end()) {
      chunks_.push_back(std::move(*best));
      kept.erase(best);
    } else {
      chunks_.push_back({std::make_unique_for_overwrite<uint8_t[]>(wanted), wanted, 0});
    }
    chunks_.back().used = head;
  }

  std::vector<Chunk> chunks_;
  uint8_t* count_ = nullptr;
  uint32_t regions_ = 0;
  uint8_t files_ = 0;
  std::array<uint8_t, 4> checksum_{};
};

// Appends to `journal` the runs of [from, from + n) where `old` and `fresh` differ, those closer
// than kJoinGap joined, each with its old bytes. A byte the write-out writes back unchanged needs
// no old copy: whatever becomes of that write, the byte holds its old value.
void appendDifferingRuns(int64_t from, const uint8_t* old, const uint8_t* fresh, int64_t n,
                         JournalBuild& journal) {
  // The region open: [start, end), ending past a differing byte; none while start < 0.
  int64_t start = -1, end = 0;
  const auto close = [&] {
    std::memcpy(journal.region(from + start, uint32_t(end - start)), old + start, size_t(end - start));
  };
  for (int64_t block = 0; block < n; block += 64) {
    uint64_t differing = differingBits(old + block, fresh + block, std::min<int64_t>(64, n - block));
    while (differing != 0) {
      const int first = std::countr_zero(differing);
      // The differing bytes from `first` on, up to the first alike (or the block's end).
      const int length = std::countr_zero(~(differing >> first));
      const int64_t runStart = block + first, runEnd = runStart + length;
      if (start >= 0 && runStart - end < kJoinGap) {
        end = runEnd;
      } else {
        if (start >= 0) close();
        start = runStart;
        end = runEnd;
      }
      differing = first + length >= 64 ? 0 : differing & (~uint64_t(0) << (first + length));
    }
  }
  if (start >= 0) close();
}

#ifndef NDEBUG
// What a writer said it knew of an extent's old bytes holds: the disk has them, and every byte
// outside the windows is written back as it was.
void checkKnownOld(TFileHandler& file, int64_t from, const std::vector<uint8_t>& fresh,
                   const TKnownOldBytes& known) {
  std::vector<uint8_t> disk(fresh.size());
  file.ReadOld(from, disk.data(), int64_t(disk.size()));
  for (size_t at = 0; at < fresh.size(); ++at) {
    const size_t w = at / known.stride, inWindow = at % known.stride;
    if (inWindow < known.width)
      VELMARON_DEBUG_ASSERT(known.old[w * known.width + inWindow] == disk[at],
                            "known old bytes are the disk's");
    else
      VELMARON_DEBUG_ASSERT(fresh[at] == disk[at], "a byte outside the known windows stands as it was");
  }
}
#endif

// The journal of the held writes of `table`: the old bytes of every region they change. Empty
// (no file) when nothing is held.
JournalBuild journalOf(const TJournalTable& table) {
  JournalBuild journal;
  // The old bytes are read a piece at a time into one buffer that stays in the processor's cache:
  // a bulk change's extents run to megabytes, of which only the differing runs are kept. A run
  // that a piece's end cuts becomes two adjacent regions.
  constexpr int64_t kPiece = 256 * 1024;
  std::unique_ptr<uint8_t[]> old;
  for (size_t kind = 0; kind < kFileKinds; ++kind) {
    TFileHandler* file = table.files[kind];
    if (!file || !file->HasHeldWrites()) continue;
    const TWriteSet& held = file->HeldWrites();
    const int64_t length = held.DiskSize();
    journal.beginFile(uint8_t(kind), length);
    // Below the lowest cut the extents overwrite the disk's bytes; from there to the old length
    // every byte goes with the cut, so all of it is kept.
    const int64_t kept = std::min(held.LowestCut(), held.DiskSize());
    for (const auto& [from, fresh] : held.Extents()) {
      const int64_t to = std::min(kept, from + int64_t(fresh.size()));
      if (from >= to) continue;
      // The writer knew the old bytes of each window that may differ: they are kept as they are,
      // a window each, without a read of the extent or a look at its bytes. A window that came
      // out the same is put back as it was.
      const TKnownOldBytes* known = held.KnownOld(from);
      if (known && to == from + int64_t(fresh.size())) {
#ifndef NDEBUG
        checkKnownOld(*file, from, fresh, *known);
#endif
        journal.spacedRegions(from, known->stride, known->width, known->old.data(),
                              fresh.size() / known->stride);
        continue;
      }
      if (!old) old = std::make_unique_for_overwrite<uint8_t[]>(size_t(kPiece));
      for (int64_t at = from; at < to; at += kPiece) {
        const int64_t n = std::min(kPiece, to - at);
        file->ReadOld(at, old.get(), n);
        appendDifferingRuns(at, old.get(), fresh.data() + (at - from), n, journal);
      }
    }
    // A region's size has 32 bits: a longer tail (of a file longer than any this engine writes)
    // could not be put back whole.
    if (length - kept > int64_t(UINT32_MAX)) SignalTableError(VELDOR_WRITEERR, file->GetName());
    if (kept < length) file->ReadOld(kept, journal.region(kept, uint32_t(length - kept)), length - kept);
    journal.endFile();
  }
#ifndef NDEBUG
  int64_t length = 0, end = 0;
  journal.visit([&](uint8_t, int64_t l) { length = l, end = 0; },
                [&](int64_t offset, const uint8_t*, uint32_t size) {
                  VELMARON_DEBUG_ASSERT(
                      offset >= end && size > 0 && offset + int64_t(size) <= length,
                      "a journal keeps old bytes only, inside the old length, in order and apart");
                  end = offset + int64_t(size);
                });
#endif
  return journal;
}

// Puts back the old bytes of each file visited.
class Restorer {
 public:
  Restorer(const std::array<TFileHandler*, 3>& files, bool flush, const std::string& journalPath)
      : files_(files), flush_(flush), journalPath_(journalPath) {
    // A rollback that fails part way leaves its journal to the next writer, who puts back the old
    // bytes and may move the counters to where they stand now: no copy may outlive it.
    for (TFileHandler* file : files_)
      if (file) file->ForgetWritten();
  }
  void file(uint8_t kind, int64_t length) {
    end();
    file_ = kind < kFileKinds ? files_[kind] : nullptr;
    // A journal of a file the table does not have is not this table's.
    if (!file_) SignalTableError(VELDOR_FILECORRUPT, journalPath_);
    file_->CutDirect(length);
  }
  void region(int64_t offset, const uint8_t* bytes, uint32_t size) {
    file_->WriteDirect(offset, bytes, int64_t(size));
  }
  void end() {
    if (file_ && flush_) file_->FlushDirect();
    file_ = nullptr;
  }

 private:
  const std::array<TFileHandler*, 3>& files_;
  bool flush_;
  const std::string& journalPath_;
  TFileHandler* file_ = nullptr;
};

void rollBack(const JournalBuild& journal, const std::array<TFileHandler*, 3>& files, bool flush,
              const std::string& journalPath) {
  Restorer restore(files, flush, journalPath);
  journal.visit(
      [&](uint8_t kind, int64_t length) { restore.file(kind, length); },
      [&](int64_t offset, const uint8_t* bytes, uint32_t size) { restore.region(offset, bytes, size); });
  restore.end();
}

void rollBack(const OldImage& image, const std::array<TFileHandler*, 3>& files, bool flush,
              const std::string& journalPath) {
  Restorer restore(files, flush, journalPath);
  for (const OldBytes& entry : image.files) {
    restore.file(entry.kind, entry.length);
    for (const OldBytes::Region& r : entry.regions) restore.region(r.offset, r.bytes, r.size);
  }
  restore.end();
}

// Deletes a marker none of whose journals is left. It lists a journal of its own folder by its
// name, one of another folder by its full path.
void dropMarkerIfUnused(platform::FileSystem& fs, const std::string& markerPath) {
  std::vector<uint8_t> listing;
  if (!readWholeFile(fs, markerPath, listing)) return;
  std::string name;
  for (size_t i = 0; i <= listing.size(); ++i) {
    if (i < listing.size() && listing[i] != '\n') {
      name += char(listing[i]);
      continue;
    }
    if (!name.empty() && JournalHot(fs, pathNamed(markerPath, name))) return;
    name.clear();
  }
  fs.deleteFile(markerPath);
}

// The marker name at the front of a journal that may be cut off; empty when there is none that
// this engine could have written.
std::string markerNamedIn(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  const uint8_t* p;
  uint16_t length;
  if (!r.take(sizeof kMagic, p) || std::memcmp(p, kMagic, sizeof kMagic) != 0 || !r.u16(length) ||
      length > kMaxMarkerPath || !r.take(length, p))
    return {};
  const std::string name(reinterpret_cast<const char*>(p), length);
  const bool marker = name.size() > kJournalMarkerExt.size() && endsWith(name, kJournalMarkerExt);
  return marker && markerNameAccepted(name) ? name : std::string();
}

}  // namespace

uint32_t JournalChecksum(std::span<const uint8_t> bytes) {
  return platform::crc32(bytes.data(), bytes.size());
}

std::vector<uint8_t> EncodeJournal(const TJournalImage& image) {
  return encode(compactOf(image));
}

bool DecodeJournal(std::span<const uint8_t> bytes, TJournalImage& image) {
  image = {};
  if (bytes.size() < sizeof kMagic + 4) return false;
  const std::span<const uint8_t> body = bytes.first(bytes.size() - 4);
  if (JournalChecksum(body) != platform::get4(bytes.data() + body.size())) return false;
  Reader r(body);
  const uint8_t* p;
  if (!r.take(sizeof kMagic, p) || std::memcmp(p, kMagic, sizeof kMagic) != 0) return false;
  uint16_t markerLength;
  if (!r.u16(markerLength) || markerLength > kMaxMarkerPath || !r.take(markerLength, p)) return false;
  image.marker.assign(reinterpret_cast<const char*>(p), markerLength);
  if (!markerNameAccepted(image.marker)) return false;
  uint8_t count;
  if (!r.u8(count) || count > kFileKinds) return false;
  bool seen[kFileKinds] = {};
  for (uint8_t i = 0; i < count; ++i) {
    TJournalFile f;
    uint64_t length;
    uint32_t regions;
    if (!r.u8(f.kind) || f.kind >= kFileKinds || seen[f.kind] || !r.u64(length) || !r.u32(regions))
      return false;
    seen[f.kind] = true;
    if (length > uint64_t(INT64_MAX)) return false;
    f.length = int64_t(length);
    for (uint32_t k = 0; k < regions; ++k) {
      uint64_t offset;
      uint32_t size;
      if (!r.u64(offset) || !r.u32(size) || offset > length || size > length - offset || !r.take(size, p))
        return false;
      f.regions.push_back({int64_t(offset), std::vector<uint8_t>(p, p + size)});
    }
    image.files.push_back(std::move(f));
  }
  return r.left() == 0;
}

TJournalHandle::TJournalHandle(std::string path) : path_(std::move(path)) {}

TJournalHandle::~TJournalHandle() = default;

void TJournalHandle::Write(platform::FileSystem& fs, std::span<const std::span<const uint8_t>> journal,
                           bool durable) {
  // Whoever deletes or replaces a journal holds the data file's write lock, or has the table or
  // the journal to itself, which the lock held since it was seen keeps out; and only a write-out
  // writes into one, so it is still empty.
  const std::optional<platform::FileIdentity> seen = std::exchange(seen_, std::nullopt);
  bool held = file_ && seen && *seen == file_->identity();
  int64_t size = 0;
  if (!held) {
    platform::FileInfo info;
    held = file_ && fs.fileInfoAsSpelt(path_, info) && info.identity == file_->identity();
    size = info.size;
  }
  if (!held) {
    file_.reset();
    folderSynced_ = false;
    // A holder elsewhere that is deleting the file it let go holds it alone for that moment.
    RetryLock(
        [&](uint32_t) {
          file_ = fs.openAsSpelt(path_, platform::ShareMode::Shared, true);
          return file_ || platform::lastOsError() != platform::kSharingViolation;
        },
        kFileLockRetryRules, fs);
    if (!file_) failOn(path_, VELDOR_WRITEERR);
    size = file_->size();
  }
  // A longer file would keep bytes past the journal's end, where its checksum is looked for.
  if (size != 0 && !file_->truncate(0)) failOn(path_, VELDOR_WRITEERR);
  // Pieces side by side: a write that ends part way leaves a journal cut off, deleted unread.
  int64_t at = 0;
  for (std::span<const uint8_t> piece : journal) {
    if (file_->writeAt(at, piece.data(), int64_t(piece.size())) != int64_t(piece.size()))
      SignalTableError(VELDOR_WRITEERR, path_);
    at += int64_t(piece.size());
  }
  if (durable && !file_->sync()) SignalTableError(VELDOR_WRITEERR, path_);
  if (durable && !folderSynced_) {
    syncFolder(fs, path_);
    folderSynced_ = true;
  }
}

bool TJournalHandle::Cut(bool durable) {
  return file_ && file_->truncate(0) && (!durable || file_->sync());
}

void TJournalHandle::Release(platform::FileSystem& fs) noexcept {
  if (!file_) return;
  file_.reset();
  try {
    // Held alone, it is opened by no writer until it is gone; one that tries meanwhile waits and
    // then makes a new one.
    std::unique_ptr<platform::OsFile> alone = fs.openAsSpelt(path_, platform::ShareMode::Exclusive, false);
    if (!alone || alone->size() != 0) return;
    platform::FileInfo info;
    if (fs.fileInfoAsSpelt(path_, info) && info.identity == alone->identity()) fs.deleteFileAsSpelt(path_);
  } catch (...) {
    // Nothing to report: an empty journal left over holds no change.
  }
}

TJournalState JournalState(platform::FileSystem& fs, const std::string& path, platform::FileIdentity* found) {
  platform::FileInfo info;
  if (!fs.fileInfoAsSpelt(path, info)) return TJournalState::None;
  if (found) *found = info.identity;
  return info.size == 0 ? TJournalState::Empty : TJournalState::Hot;
}

void WriteOutTables(platform::FileSystem& fs, const std::vector<TJournalTable>& tables, bool durable) {
  struct Pending {
    const TJournalTable* table;
    JournalBuild journal;
  };
  std::vector<Pending> pending;
  // What a handle was told it would find holds for this write-out alone.
  const platform::ScopeExit forgetSeen([&] {
    for (const TJournalTable& t : tables)
      if (t.handle) t.handle->Unseen();
  });
  UndoOnFailure dropAll([&] {
    for (const TJournalTable& t : tables)
      for (TFileHandler* f : t.files)
        if (f) f->DropHeldWrites();
  });
  for (const TJournalTable& t : tables) {
    Pending p{&t, journalOf(t)};
    if (p.journal.files() != 0) pending.push_back(std::move(p));
  }
  if (pending.empty()) return;
  std::vector<Pending*> journaled;
  for (Pending& p : pending)
    if (p.table->journal) journaled.push_back(&p);
  const std::string marker = journaled.size() > 1 ? newMarkerName() : std::string();
  // The marker lies beside the first journal. A journal of that folder names it by its name and
  // is listed in it by its own; one of another folder (a table opened by its path) could not find
  // it so, and names it by its full path and is listed by its own. Where all lie in one folder,
  // journals and marker are what earlier builds wrote.
  const std::string markerFolder = marker.empty() ? marker : folderOf(journaled.front()->table->journalPath);
  std::string markerPath = marker.empty() ? marker : markerFolder + marker;
  std::vector<std::string> markerNames;
  std::string listing;
  if (!marker.empty()) {
    const bool spread = std::any_of(journaled.begin(), journaled.end(), [&](const Pending* p) {
      return folderOf(p->table->journalPath) != markerFolder;
    });
    if (spread && !markerPathName(markerPath)) markerPath = canonicalFolder(fs, markerFolder) + marker;
    // Refused before anything is written: a journal could not name it.
    if (spread && !markerPathName(markerPath)) SignalTableError(VELDOR_WRITEERR, markerPath);
    for (const Pending* p : journaled) {
      const std::string& path = p->table->journalPath;
      const bool beside = folderOf(path) == markerFolder;
      const std::string listed = beside ? baseName(path) : absolutePath(fs, path);
      // One a line: a name with a line break in it would list another file.
      if (listed.find('\n') != std::string::npos) SignalTableError(VELDOR_WRITEERR, path);
      markerNames.push_back(beside ? marker : markerPath);
      listing += listed + "\n";
    }
  }
  // A table without a journal file of its own gets one for this write-out, deleted at its end.
  std::vector<std::unique_ptr<TJournalHandle>> passing;
  std::vector<TJournalHandle*> handles;
  for (const Pending* p : journaled) {
    TJournalHandle* handle = p->table->handle;
    if (!handle) handle = passing.emplace_back(std::make_unique<TJournalHandle>(p->table->journalPath)).get();
    VELMARON_DEBUG_ASSERT(handle->Path() == p->table->journalPath, "a table's journal file is its own");
    handles.push_back(handle);
  }
  const auto dropPassing = [&] {
    for (const std::unique_ptr<TJournalHandle>& h : passing) {
      h->Forget();
      fs.deleteFileAsSpelt(h->Path());
    }
  };

  // The journals, then the marker: until the marker exists, a journal that names it is stale.
  size_t written = 0;
  bool markerWritten = false;
  const auto unwrite = [&] {
    // The one whose write failed too: cut off, it would only be deleted unread.
    for (size_t i = 0; i < std::min(written + 1, handles.size()); ++i) handles[i]->Cut(false);
    dropPassing();
    if (markerWritten) fs.deleteFile(markerPath);
  };
  UndoOnFailure unwriteOnFailure(unwrite);
  for (size_t i = 0; i < journaled.size(); ++i) {
    handles[i]->Write(fs, journaled[i]->journal.seal(marker.empty() ? marker : markerNames[i]), durable);
    ++written;
  }
  if (!marker.empty()) {
    // Made before its listing is written: a write that fails there leaves a marker to delete too.
    markerWritten = true;
    writeWholeFile(fs, markerPath, std::vector<uint8_t>(listing.begin(), listing.end()), durable);
    if (durable) syncFolder(fs, markerPath);
  }
  unwriteOnFailure.Dismiss();
  VELMARON_DEBUG_ASSERT(
      written == journaled.size() && markerWritten == !marker.empty(),
      "every journal, and the marker of several, is written before a table file is touched");

  // The files in place. A failure puts the old bytes back; the journals end only when that worked.
  UndoOnFailure restore([&] {
    for (const Pending& p : pending)
      for (TFileHandler* f : p.table->files)
        if (f) f->ForgetWritten();
    for (const Pending& p : pending) rollBack(p.journal, p.table->files, durable, p.table->journalPath);
    unwrite();
  });
  for (const Pending& p : pending)
    for (TFileHandler* f : p.table->files)
      if (f) f->WriteOutHeld(durable);
  // The end of the change. Another process reads a journal or a marker only under the write
  // locks of its tables, which this commit holds: nobody else can be reading it.
  if (!marker.empty()) {
    if (!fs.deleteFileAsSpelt(markerPath)) failOn(markerPath, VELDOR_FILEDELETEFAIL);
    markerWritten = false;
    if (durable) syncFolder(fs, markerPath);
  } else if (!handles.empty() && !handles.front()->Cut(durable)) {
    failOn(handles.front()->Path(), VELDOR_WRITEERR);
  }
  restore.Dismiss();
  // Journals whose marker is gone are stale; one that keeps its bytes is deleted by the next
  // opener.
  if (!marker.empty())
    for (TJournalHandle* h : handles) h->Cut(false);
  dropPassing();
  for (const TJournalTable& t : tables)
    for (TFileHandler* f : t.files)
      if (f) f->DropHeldWrites();
}

void DeleteJournal(platform::FileSystem& fs, const std::string& path) {
  if (fs.existsAsSpelt(path)) deleteJournalFile(fs, path);
}

bool RecoverJournal(platform::FileSystem& fs, const std::string& path,
                    const std::array<TFileHandler*, 3>& files) {
  std::vector<uint8_t> bytes;
  if (!readWholeFile(fs, path, bytes)) {
    if (!fs.existsAsSpelt(path)) return false;
    failOn(path, VELDOR_READERR);
  }
  // Kept by a writer for its next write-out, or left by one that ended between two.
  if (bytes.empty()) return false;
  TJournalImage image;
  if (!DecodeJournal(bytes, image)) {
    // Cut off: the files were never touched. The marker it names, read from the front that was
    // written first, goes once none of its journals is left.
    deleteJournalFile(fs, path);
    const std::string marker = markerNamedIn(bytes);
    if (!marker.empty()) dropMarkerIfUnused(fs, pathNamed(path, marker));
    return false;
  }
  if (!image.marker.empty() && !fs.existsAsSpelt(pathNamed(path, image.marker))) {
    // Stale: its change ended.
    deleteJournalFile(fs, path);
    return false;
  }
  for (TFileHandler* f : files)
    if (f) f->DropHeldWrites();
  rollBack(compactOf(image), files, true, path);
  deleteJournalFile(fs, path);
  syncFolder(fs, path);
  if (!image.marker.empty()) dropMarkerIfUnused(fs, pathNamed(path, image.marker));
  return true;
}

}  // namespace engine
