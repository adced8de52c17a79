#include "tools/tablecheck/blobcheck.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "engine/storage/veldorcompress.h"
#include "platform/bytes.h"
#include "platform/textrules.h"
#include "tools/tablecheck/tablecheck.h"

namespace tablecheck {

namespace {

using platform::get2;
using platform::get4;

constexpr size_t kDataHeader = 127;
constexpr size_t kDescriptor = 768;
constexpr size_t kBlobHeader = 512;
constexpr size_t kBlockHeader = 18;
constexpr size_t kMaxProblems = 200;

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    const std::string ext = platform::asciiUpperCased(path.substr(dot));
    if (ext == ".DAT" || ext == ".IDX" || ext == ".BLB") return path.substr(0, dot);
  }
  return path;
}

struct Block {
  uint32_t prev = 0, next = 0, used = 0, owner = 0, total = 0;
};

class Checker {
 public:
  explicit Checker(BlobReport& report) : report_(report) {}

  void problem(const std::string& text) {
    if (report_.problems.size() < kMaxProblems) report_.problems.push_back(text);
  }

  void run(const std::vector<uint8_t>& data, const std::vector<uint8_t>* blob) {
    if (data.size() < kDataHeader) return problem("data file: shorter than its header");
    const bool encrypted = data[86] != 0;
    const uint32_t nextRecord = get4(data.data() + 13);
    const uint32_t recordSize = get2(data.data() + 21);
    const uint32_t fields = get2(data.data() + 23);
    const uint32_t blockSize = get4(data.data() + 4) == 0 ? 512 : get4(data.data() + 4);
    const uint64_t start = kDataHeader + uint64_t(fields) * kDescriptor;
    if (recordSize < 9 || nextRecord == 0 || start > data.size()) {
      return problem("data file: header does not add up");
    }
    std::vector<uint8_t> descriptors(data.begin() + kDataHeader, data.begin() + std::ptrdiff_t(start));
    if (encrypted) engine::UnscrambleBuffer(descriptors.data(), descriptors.size(), engine::kStructureSeed);
    std::vector<uint32_t> blobOffsets;
    for (uint32_t f = 0; f < fields; ++f) {
      const uint8_t* d = descriptors.data() + f * kDescriptor;
      if (d[84] != 3) continue;
      const uint32_t offset = get2(d + 90);
      if (offset + 9 > recordSize)
        return problem("field " + std::to_string(f + 1) + ": blob past the record's end");
      blobOffsets.push_back(offset);
    }
    const uint64_t recordBytes = data.size() - start;
    const uint64_t slots = recordBytes / recordSize;
    if (recordBytes % recordSize != 0 || slots + 1 != nextRecord) {
      problem("data file: " + std::to_string(recordBytes) + " bytes of records, but the header counts " +
              std::to_string(nextRecord - 1) + " records of " + std::to_string(recordSize) + " bytes");
    }
    if (blobOffsets.empty()) return;
    if (!blob) return problem("blob file: missing, but the table has blob fields");
    if (blockSize < 64 || blockSize > 65535)
      return problem("data file: blob block size " + std::to_string(blockSize));
    if (!readBlobHeader(*blob, encrypted, blockSize)) return;

    const uint64_t usableSlots = std::min<uint64_t>(slots, nextRecord - 1);
    std::vector<uint8_t> record(recordSize);
    for (uint64_t r = 0; r < usableSlots; ++r) {
      std::memcpy(record.data(), data.data() + start + r * recordSize, recordSize);
      if (encrypted) engine::UnscrambleBuffer(record.data(), record.size(), engine::kStructureSeed);
      if (record[0] != 0) continue;
      const uint32_t number = uint32_t(r + 1);
      const uint32_t uniqueId = get4(record.data() + 5);
      for (uint32_t offset : blobOffsets) {
        if (record[offset] == 0) continue;
        const uint32_t first = get4(record.data() + offset + 1);
        if (first != 0) walkValue(number, uniqueId, first);
      }
    }
    walkFreeList();
    uint32_t unaccounted = 0;
    std::string some;
    for (uint32_t n = 1; n <= count_; ++n) {
      if (state_[n] != 0) continue;
      if (++unaccounted <= 8) some += " " + std::to_string(n);
    }
    if (unaccounted > 0) {
      problem("blob file: " + std::to_string(unaccounted) + " blocks neither in a value nor free:" + some +
              (unaccounted > 8 ? " ..." : ""));
    }
  }

 private:
  bool readBlobHeader(const std::vector<uint8_t>& blob, bool encrypted, uint32_t blockSize) {
    blob_ = &blob;
    encrypted_ = encrypted;
    blockSize_ = blockSize;
    if (blob.size() < kBlobHeader) {
      problem("blob file: shorter than its header");
      return false;
    }
    uint8_t header[kBlobHeader];
    std::memcpy(header, blob.data(), kBlobHeader);
    if (encrypted) engine::UnscrambleBuffer(header, kBlobHeader, engine::kStructureSeed);
    if (header[8] != 5) {
      problem("blob file: version " + std::to_string(header[8]));
      return false;
    }
    const uint32_t next = get4(header + 13);
    freeHead_ = get4(header + 9);
    if (next == 0 || next - 1 > 2000000000u) {
      problem("blob file: next block number " + std::to_string(next));
      return false;
    }
    count_ = next - 1;
    report_.blockCount = count_;
    const uint64_t expected = kBlobHeader + uint64_t(count_) * blockSize;
    if (blob.size() < expected) {
      problem("blob file: " + std::to_string(blob.size()) + " bytes, shorter than the " +
              std::to_string(count_) + " blocks its header counts");
    } else if (blob.size() > expected) {
      problem("blob file: " + std::to_string(blob.size() - expected) +
              " bytes past the blocks its header counts");
    }
    available_ = uint32_t(std::min<uint64_t>(count_, (blob.size() - kBlobHeader) / blockSize));
    if (freeHead_ > count_)
      problem("blob file: free-list head " + std::to_string(freeHead_) + " outside the file");
    state_.assign(size_t(count_) + 1, 0);
    return true;
  }

  Block block(uint32_t n) const {
    const uint8_t* p = blob_->data() + kBlobHeader + size_t(n - 1) * blockSize_;
    uint8_t h[kBlockHeader];
    std::memcpy(h, p, kBlockHeader);
    if (encrypted_) engine::UnscrambleBuffer(h, kBlockHeader, engine::kStructureSeed);
    return Block{get4(h), get4(h + 4), get2(h + 8), get4(h + 10), get4(h + 14)};
  }

  void walkValue(uint32_t record, uint32_t uniqueId, uint32_t first) {
    ++report_.values;
    const std::string what =
        "record " + std::to_string(record) + ": blob chain from block " + std::to_string(first);
    const uint32_t dataSize = blockSize_ - uint32_t(kBlockHeader);
    uint64_t remaining = 0;
    uint32_t previous = 0;
    uint32_t n = first;
    for (uint32_t step = 0; n != 0; ++step) {
      if (n > count_) return problem(what + ": link to block " + std::to_string(n) + " outside the file");
      if (n > available_) return problem(what + ": block " + std::to_string(n) + " was never written");
      if (state_[n] != 0) {
        return problem(what + ": block " + std::to_string(n) +
                       (state_[n] == 1 ? " already belongs to a value" : " is on the free list"));
      }
      state_[n] = 1;
      const Block b = block(n);
      if (b.owner != record && b.owner != uniqueId) {
        problem(what + ": block " + std::to_string(n) + " is owned by " + std::to_string(b.owner));
      }
      if (b.prev != previous)
        problem(what + ": block " + std::to_string(n) + " links back to " + std::to_string(b.prev));
      if (step == 0) {
        remaining = b.total;
      } else if (b.total != 0) {
        problem(what + ": block " + std::to_string(n) + " carries a length");
      }
      if (b.used > dataSize)
        return problem(what + ": block " + std::to_string(n) + " uses " + std::to_string(b.used));
      if (b.used > remaining) return problem(what + ": longer than its length");
      remaining -= b.used;
      if (b.next != 0 && b.used != dataSize) problem(what + ": block " + std::to_string(n) + " is not full");
      if (remaining == 0 && b.next != 0) problem(what + ": goes on past its length");
      previous = n;
      n = remaining == 0 ? 0 : b.next;
    }
    if (remaining != 0) problem(what + ": " + std::to_string(remaining) + " bytes short of its length");
  }

  void walkFreeList() {
    uint32_t n = freeHead_;
    while (n != 0) {
      if (n > count_)
        return problem("blob file: free list links to block " + std::to_string(n) + " outside the file");
      if (n > available_) return problem("blob file: free block " + std::to_string(n) + " was never written");
      if (state_[n] == 2)
        return problem("blob file: free list runs into itself at block " + std::to_string(n));
      if (state_[n] == 1)
        return problem("blob file: free block " + std::to_string(n) + " belongs to a value");
      state_[n] = 2;
      ++report_.freeBlocks;
      n = block(n).next;
    }
  }

  BlobReport& report_;
  const std::vector<uint8_t>* blob_ = nullptr;
  bool encrypted_ = false;
  uint32_t blockSize_ = 512;
  uint32_t count_ = 0;
  uint32_t available_ = 0;
  uint32_t freeHead_ = 0;
  // Per block: 0 unseen, 1 in a value, 2 free.
  std::vector<uint8_t> state_;
};

}  // namespace

BlobReport CheckBlobImages(const std::vector<uint8_t>& dataFile, const std::vector<uint8_t>& blobFile) {
  BlobReport report;
  Checker(report).run(dataFile, &blobFile);
  return report;
}

BlobReport CheckTableBlobs(const std::string& path) {
  BlobReport report;
  const std::string base = baseName(path);
  std::vector<uint8_t> data, blob;
  std::string why;
  if (const FileRead read = ReadWholeFile(base + ".DAT", data, why); read != FileRead::Read) {
    report.problems.push_back("data file " + base + ".DAT" +
                              (read == FileRead::Missing ? ": missing" : ": cannot be read (" + why + ")"));
    return report;
  }
  const FileRead blobRead = ReadWholeFile(base + ".BLB", blob, why);
  if (blobRead == FileRead::Unreadable) {
    report.problems.push_back("blob file " + base + ".BLB: cannot be read (" + why + ")");
    return report;
  }
  Checker(report).run(data, blobRead == FileRead::Read ? &blob : nullptr);
  return report;
}

}  // namespace tablecheck
