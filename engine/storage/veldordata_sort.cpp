// Record sort of the data file: sort keys, sorted runs in temporary files merged through a heap,
// the output step (distinct, grouping, limit), and the swap of the rewritten file into place.
#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <numeric>
#include <queue>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/base/veldorlocale.h"
#include "engine/storage/veldorcompress.h"
#include "engine/storage/veldordata.h"
#include "engine/storage/veldorhelpers_file.h"
#include "engine/storage/veldorkeys.h"
#include "platform/bytes.h"
#include "platform/osfile.h"
#include "platform/scopeguard.h"

namespace engine {

using platform::UndoOnFailure;

namespace {

constexpr size_t kRunBytes = 1'048'576;
constexpr uint32_t kMaxRunRecords = 8192;
constexpr size_t kMergeReadBytes = 65536;

// Records of one run: key and plain image side by side, `stride` bytes each, and their order.
struct SortArea {
  size_t stride = 0;
  uint32_t keyLength = 0;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> order;
  uint8_t* key(uint32_t i) { return bytes.data() + size_t(i) * stride; }
  uint8_t* image(uint32_t i) { return key(i) + keyLength; }
  uint32_t count() const { return stride ? uint32_t(bytes.size() / stride) : 0; }
};

// A sorted run in a temporary file, read back a chunk at a time.
struct RunFile {
  std::unique_ptr<platform::OsFile> file;
  uint32_t records = 0;
  uint32_t next = 0;
  std::vector<uint8_t> chunk;
  uint32_t chunkFirst = 0;
  uint32_t chunkCount = 0;
};

// The output of a sort: the output step over records in key order, and the buffered writes.
class SortOutput {
 public:
  using Sink = std::function<void(int64_t offset, const uint8_t* data, size_t count)>;

  SortOutput(const TDataFile& file, std::span<const TFieldDescriptor> fields, const TSortOptions& options,
             uint32_t recordSize, uint32_t keyLength, int64_t start, bool scrambled, Sink sink)
      : file_(file),
        fields_(fields),
        options_(options),
        r_(recordSize),
        keyLength_(keyLength),
        position_(start),
        scrambled_(scrambled),
        sink_(std::move(sink)),
        pending_(recordSize),
        pendingKey_(keyLength) {
    capacity_ = std::max<size_t>(1, std::min<size_t>(kRunBytes / r_, kMaxRunRecords));
    buffer_.resize(capacity_ * r_);
  }

  // Takes the next record in key order; false once the sort is to stop.
  bool Add(const uint8_t* key, const uint8_t* image) {
    if (stopped_) return false;
    const bool limited = options_.limit >= 0;
    if (options_.group) {
      if (hasPending_ && file_.CompareSortKeys(fields_, key, pendingKey_.data(), false) == 0) {
        incoming_.assign(image, image + r_);
        options_.aggregate(options_.context, false, incoming_.data(), pending_.data());
        return true;
      }
      if (hasPending_) closeGroup();
      if (limited && int64_t(written_) >= options_.limit) return stop();
      take(key, image);
      options_.aggregate(options_.context, true, pending_.data(), pending_.data());
      return true;
    }
    if (options_.distinct && hasPending_ &&
        file_.CompareSortKeys(fields_, key, pendingKey_.data(), false) == 0)
      return true;
    if (limited && int64_t(written_ + (hasPending_ ? 1 : 0)) >= options_.limit) return stop();
    if (hasPending_) commit();
    take(key, image);
    return true;
  }

  // Completes the last group and writes what is buffered; the number of records output.
  uint32_t Finish() {
    if (hasPending_) {
      if (options_.group)
        closeGroup();
      else
        commit();
    }
    flush();
    return written_;
  }

 private:
  bool stop() {
    // A group started or a record taken past the limit is not output.
    if (options_.group) hasPending_ = false;
    stopped_ = true;
    return false;
  }
  void take(const uint8_t* key, const uint8_t* image) {
    std::memcpy(pending_.data(), image, r_);
    std::memcpy(pendingKey_.data(), key, keyLength_);
    hasPending_ = true;
  }
  void closeGroup() {
    if (options_.finalize) options_.finalize(options_.context, false, pending_.data(), pending_.data());
    if (options_.filter && !options_.filter(options_.context, false, pending_.data(), pending_.data())) {
      hasPending_ = false;
      return;
    }
    commit();
  }
  void commit() {
    if (used_ == capacity_) flush();
    uint8_t* out = buffer_.data() + used_ * r_;
    std::memcpy(out, pending_.data(), r_);
    out[0] = kRecordInUse;
    platform::put4(out + 1, written_ + 1);
    if (scrambled_) ScrambleBuffer(out, r_, kStructureSeed);
    ++used_;
    ++written_;
    hasPending_ = false;
  }
  void flush() {
    if (used_ == 0) return;
    sink_(position_, buffer_.data(), used_ * r_);
    position_ += int64_t(used_ * r_);
    used_ = 0;
  }

  const TDataFile& file_;
  std::span<const TFieldDescriptor> fields_;
  const TSortOptions& options_;
  uint32_t r_;
  uint32_t keyLength_;
  int64_t position_;
  bool scrambled_;
  Sink sink_;
  std::vector<uint8_t> buffer_;
  size_t capacity_ = 1;
  size_t used_ = 0;
  uint32_t written_ = 0;
  std::vector<uint8_t> pending_;
  std::vector<uint8_t> pendingKey_;
  std::vector<uint8_t> incoming_;
  bool hasPending_ = false;
  bool stopped_ = false;
};

}  // namespace

void TDataFile::SetReadBufferSize(size_t size) {
  if (readBuffer_.size() < size) readBuffer_.resize((size + 4095) / 4096 * 4096, 0);
}

void TDataFile::SetWriteBufferSize(size_t size) {
  if (writeBuffer_.size() < size) writeBuffer_.resize((size + 4095) / 4096 * 4096, 0);
}

uint32_t TDataFile::SortKeyLength(std::span<const TFieldDescriptor> fields) {
  uint32_t length = 4;
  for (const TFieldDescriptor& d : fields)
    length += uint32_t(GetFieldKeySize({d.Bytes(), kFieldDescriptorSize})) + 1;
  return length;
}

void TDataFile::BuildSortKey(std::span<const TFieldDescriptor> fields, bool caseInsensitive,
                             const uint8_t* image, uint8_t* key) const {
  const uint32_t r = GetRecordSize();
  for (const TFieldDescriptor& d : fields) {
    const std::span<const uint8_t> descriptor{d.Bytes(), kFieldDescriptorSize};
    const uint8_t size = GetFieldKeySize(descriptor);
    if (size_t(d.Offset()) + 1 + d.StoredSize() > r) fail(VELDOR_INVALIDFLDTYPE);
    key[0] = image[d.Offset()];
    BuildFieldKey(descriptor, {image + d.Offset() + 1, d.StoredSize()}, {key, size_t(size) + 1},
                  caseInsensitive, d.Descending(), GetLanguageId(), GetSortId());
    key += size_t(size) + 1;
  }
  EncodeIntegerKey(int32_t(platform::get4(image + 5)), key);
}

int TDataFile::CompareSortKeys(std::span<const TFieldDescriptor> fields, const uint8_t* a, const uint8_t* b,
                               bool withUniqueId) const {
  const uint16_t language = GetLanguageId();
  for (const TFieldDescriptor& d : fields) {
    const size_t size = GetFieldKeySize({d.Bytes(), kFieldDescriptorSize});
    int c;
    if (language != 0 && d.Type() == kFieldTypeString) {
      c = a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0;
      if (c == 0 && a[0] != 0) {
        const auto text = [size](const uint8_t* p) {
          return std::string_view(reinterpret_cast<const char*>(p + 1), size);
        };
        c = OSCompareStrings(language, GetSortId(), text(a), false, size, text(b));
      }
      if (d.Descending()) c = -c;
    } else {
      c = CompareBytes(a, b, uint16_t(size + 1), language != 0 && d.Descending());
    }
    if (c != 0) return c;
    a += size + 1;
    b += size + 1;
  }
  return withUniqueId ? CompareBytes(a, b, 4, false) : 0;
}

uint32_t TDataFile::SortRecords(std::span<const TFieldDescriptor> fields, const TSortOptions& options) {
  if (remote_ || !IsOpen() || !detached_.empty() || (owner_ && owner_->HoldsTransactionLock()))
    fail(VELDOR_NEEDEXCLACCESS);
  for (size_t i = 0; i < cache_.Count(); ++i)
    if (cache_.At(i)->PinCount() > 0) fail(VELDOR_NEEDEXCLACCESS);
  if (fields.empty() || (options.group && !options.aggregate)) fail(VELDOR_INVALIDFIELDNAME);
  // The sort owns copies: the caller's descriptors may be the table's own, which the reopen frees.
  const std::vector<TFieldDescriptor> sortFields(fields.begin(), fields.end());
  const std::span<const TFieldDescriptor> keyFields{sortFields};
  FlushDirtyRecords();

  const uint32_t r = GetRecordSize();
  const uint32_t last = GetLastRecordNumber();
  const bool scrambled = IsEncrypted();
  const int64_t start = dataStart();
  const uint32_t runRecords =
      std::max<uint32_t>(1, std::min<uint32_t>(uint32_t(kRunBytes / r), kMaxRunRecords));
  const bool allCached = cache_.Count() == last;
  SortArea area;
  area.keyLength = SortKeyLength(keyFields);
  area.stride = area.keyLength + r;
  const auto less = [&](uint32_t x, uint32_t y) {
    return CompareSortKeys(keyFields, area.key(x), area.key(y), true) < 0;
  };
  // Loads slots [first, first + count) into the area, live records only, and sorts them.
  const auto loadRun = [&](uint32_t first, uint32_t count) {
    area.bytes.clear();
    std::vector<uint8_t> plain(r);
    if (!allCached) {
      SetReadBufferSize(size_t(count) * r);
      if (ReadAt(slotOffset(first), readBuffer_.data(), int64_t(count) * r, true) != int64_t(count) * r)
        fail(VELDOR_READERR);
    }
    for (uint32_t k = 0; k < count; ++k) {
      if (allCached) {
        std::memcpy(plain.data(), cache_.At(first - 1 + k)->GetBuffer(), r);
      } else {
        std::memcpy(plain.data(), readBuffer_.data() + size_t(k) * r, r);
        if (scrambled) UnscrambleBuffer(plain.data(), r, kStructureSeed);
      }
      if (plain[0] != kRecordInUse) continue;
      const size_t at = area.bytes.size();
      area.bytes.resize(at + area.stride);
      std::memcpy(area.bytes.data() + at + area.keyLength, plain.data(), r);
      BuildSortKey(keyFields, options.caseInsensitive, plain.data(), area.bytes.data() + at);
    }
    area.order.resize(area.count());
    std::iota(area.order.begin(), area.order.end(), 0u);
    std::sort(area.order.begin(), area.order.end(), less);
  };

  platform::FileSystem& fs = List().FileSystem();
  // Held writes reach the file in one journaled commit of the table's files, so the table is
  // rewritten in place; a file on its own gets a new one renamed over it.
  const bool inMemory = IsInMemory() || HoldsWrites();
  if (!inMemory && HasHeldWrites()) fail(VELDOR_NEEDEXCLACCESS);
  const std::string target = inMemory ? GetName() : fs.resolvePath(GetName());
  const std::string fresh = target + ".new";
  std::unique_ptr<platform::OsFile> out;
  if (!inMemory) {
    out = fs.createFile(fresh, false);
    if (!out) fail(VELDOR_WRITEERR);
  }
  const auto writeOut = [&](int64_t offset, const uint8_t* data, size_t count) {
    if (inMemory)
      WriteAt(offset, data, int64_t(count));
    else if (out->writeAt(offset, data, int64_t(count)) != int64_t(count))
      fail(VELDOR_WRITEERR);
  };
  std::vector<RunFile> runs;
  uint32_t count = 0;
  UndoOnFailure discard([&] {
    runs.clear();
    if (out) {
      out.reset();
      fs.deleteFile(fresh);
    }
  });
  SortOutput output(*this, keyFields, options, r, area.keyLength, start, scrambled, writeOut);
  if (allCached || last <= runRecords) {
    loadRun(1, last);
    for (uint32_t i : area.order)
      if (!output.Add(area.key(i), area.image(i))) break;
  } else {
    const std::string folder = options.tempDirectory.empty() ? fs.tempPath() : options.tempDirectory;
    std::vector<uint8_t> images;
    for (uint32_t first = 1; first <= last; first += runRecords) {
      loadRun(first, std::min(runRecords, last - first + 1));
      RunFile run;
      const std::string name = MakeTempName(
          folder, ".TMP", false, [](const std::string&) { return false; },
          [](const std::string& claimed) { return claimed; }, fs);
      run.file = fs.createFile(name, true);
      if (!run.file) {
        fs.deleteFile(name);
        fail(VELDOR_WRITEERR);
      }
      run.records = uint32_t(area.order.size());
      images.resize(size_t(run.records) * r);
      for (uint32_t k = 0; k < run.records; ++k) {
        std::memcpy(images.data() + size_t(k) * r, area.image(area.order[k]), r);
        if (scrambled) ScrambleBuffer(images.data() + size_t(k) * r, r, kStructureSeed);
      }
      if (run.file->writeAt(0, images.data(), int64_t(images.size())) != int64_t(images.size()))
        fail(VELDOR_WRITEERR);
      if (run.records > 0) runs.push_back(std::move(run));
    }
    // Run heads: one key and image per run, in `area` slot = run index.
    area.bytes.assign(runs.size() * area.stride, 0);
    const uint32_t perChunk = std::max<uint32_t>(1, uint32_t(kMergeReadBytes / r));
    const auto readHead = [&](uint32_t index) {
      RunFile& run = runs[index];
      if (run.next >= run.chunkFirst + run.chunkCount) {
        run.chunkFirst = run.next;
        run.chunkCount = std::min(perChunk, run.records - run.next);
        run.chunk.resize(size_t(run.chunkCount) * r);
        const int64_t bytes = int64_t(run.chunk.size());
        if (run.file->readAt(int64_t(run.next) * r, run.chunk.data(), bytes) != bytes) fail(VELDOR_READERR);
      }
      uint8_t* image = area.image(index);
      std::memcpy(image, run.chunk.data() + size_t(run.next - run.chunkFirst) * r, r);
      if (scrambled) UnscrambleBuffer(image, r, kStructureSeed);
      BuildSortKey(keyFields, options.caseInsensitive, image, area.key(index));
      ++run.next;
    };
    const auto later = [&](uint32_t x, uint32_t y) { return less(y, x); };
    std::priority_queue<uint32_t, std::vector<uint32_t>, decltype(later)> heads(later);
    for (uint32_t i = 0; i < runs.size(); ++i) {
      readHead(i);
      heads.push(i);
    }
    while (!heads.empty()) {
      const uint32_t i = heads.top();
      heads.pop();
      if (!output.Add(area.key(i), area.image(i))) break;
      if (runs[i].next < runs[i].records) {
        readHead(i);
        heads.push(i);
      }
    }
  }
  count = output.Finish();
  runs.clear();

  // The header: the chain is empty and the slots are exactly the records written.
  uint8_t header[kDataHeaderSize];
  std::memcpy(header, header_, kDataHeaderSize);
  platform::put4(header + 0, GetChangeCounter() + 1);
  platform::put4(header + 9, 0);
  platform::put4(header + 13, count + 1);
  platform::put4(header + 116, 31000);
  platform::put4(header + 120, 0);
  header[111] = 0;
  const int64_t end = start + int64_t(count) * r;
  if (inMemory) {
    Seek(kSeekBegin, end);
    Truncate();
    std::memcpy(header_, header, kDataHeaderSize);
    ClearRecordCache();
    WriteHeader(true);
    return count;
  }
  std::vector<uint8_t> descriptors(size_t(GetFieldCount()) * kFieldDescriptorSize);
  for (size_t i = 0; i < descriptors_.size(); ++i)
    std::memcpy(descriptors.data() + i * kFieldDescriptorSize, descriptors_[i].Bytes(), kFieldDescriptorSize);
  if (scrambled) ScrambleBuffer(descriptors.data(), descriptors.size(), kStructureSeed);
  writeOut(0, header, kDataHeaderSize);
  writeOut(kDataHeaderSize, descriptors.data(), descriptors.size());
  if (!out->truncate(end) || !out->sync()) fail(VELDOR_WRITEERR);
  out.reset();
  discard.Dismiss();
  // The swap: the new file replaces the old in one rename, and the table is read anew from it.
  closeFile(true);
  const bool replaced = fs.replaceFile(fresh, target);
  if (replaced) {
    const size_t slash = target.find_last_of('/');
    fs.syncFolder(slash == std::string::npos ? std::string(".") : target.substr(0, slash));
  } else {
    fs.deleteFile(fresh);
  }
  Open();
  if (!replaced) fail(VELDOR_WRITEERR);
  if (owner_) owner_->MarkWritten();
  return count;
}

}  // namespace engine
