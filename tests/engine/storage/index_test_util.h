// Helpers of the index-file tests: an index file in a temporary folder with one index defined,
// key builders, raw access to the file's bytes, and the table checker over the file on disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorcompress.h"
#include "engine/storage/veldorindex.h"
#include "platform/bytes.h"
#include "tests/engine/storage/datafile_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tools/tablecheck/tablecheck.h"

namespace index_test {

using namespace engine;

using storage_test::testSeed;

// One index on a fresh file: slot 0 (primary) when unique, else secondary slot 1 of a table
// without primary index.
struct IndexSetup {
  uint16_t keySize = 8;
  uint8_t compression = kcNone;
  bool unique = true;
  bool encrypted = false;
};

class IndexFileFixture {
 public:
  explicit IndexFileFixture(const IndexSetup& setup) : setup_(setup) {
    owner.encrypted = setup.encrypted;
    owner.tableName = "tree";
    owner.tablePath = dir.path();
    // The key is the field's flag byte and bytes, and the unique id when not unique.
    owner.fields.push_back(
        {"KEY", 9, 0, uint16_t(setup.keySize - 1 - (setup.unique ? 0 : kUniqueIdKeySize))});
    path = dir.path("tree.IDX");
    file = std::make_unique<TIndexFile>(owner);
    file->SetName(path);
    file->CreateFile();
    TIndexDescriptor d;
    d.keySize = setup.keySize;
    d.compression = setup.compression;
    d.unique = setup.unique ? 1 : 0;
    d.fieldCount = 1;
    d.fields[0] = 1;
    if (setup.unique) {
      file->DefinePrimaryIndex(d);
      slot = 0;
    } else {
      file->SetNoPrimaryIndex(true);
      d.name = "ByKey";
      slot = file->AddSecondaryIndex(d);
    }
    file->WriteHeader(true);
  }

  TIndexTree tree() { return TIndexTree(*file, cursor, slot); }

  // Writes pages and header as a table flush does.
  void flush() {
    file->FlushDirtyPages();
    file->WriteHeader(false);
  }
  void reopen() {
    flush();
    file->Close();
    file = std::make_unique<TIndexFile>(owner);
    file->SetName(path);
    file->Open();
    file->VerifyHeader();
  }
  std::vector<uint8_t> bytes() const { return datafile_test::readFileBytes(path); }
  void writeBytes(const std::vector<uint8_t>& image) const { datafile_test::writeFileBytes(path, image); }
  // The checker's report over the file on disk (after a flush).
  tablecheck::Report check(bool keysPerRecord = true) {
    flush();
    tablecheck::Options options;
    options.encrypted = setup_.encrypted;
    options.checkKeysPerRecord = keysPerRecord;
    return tablecheck::CheckIndexImage(bytes(), options);
  }
  // The checker's verdict over the file on disk, with its report when it finds something.
  testing::AssertionResult sound(bool keysPerRecord = true) {
    const tablecheck::Report report = check(keysPerRecord);
    if (report.ok()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << report.text();
  }
  // The root page of `slot`, pinned (nullptr when there is none); release it with file->ReleasePage.
  TPage* pinRoot(uint8_t rootSlot) {
    TPage* root = nullptr;
    bool failed = false;
    cursor.SetCurrentIndex(rootSlot);
    return file->GetRootPage(cursor, root, failed) ? root : nullptr;
  }
  // Offers the plain image of every page on disk to `edit`, writes back those it changed (returns
  // true for), and drops the cache so that the pages are read again.
  void editPages(const std::function<bool(uint32_t n, std::vector<uint8_t>& page)>& edit) {
    for (uint32_t p = 1; p < file->GetNextPageNumber(); ++p) {
      std::vector<uint8_t> page = pageImage(p);
      if (edit(p, page)) putPageImage(p, page);
    }
    file->ClearPageCache();
  }
  // Plain page image (descrambled) of page n as it lies on disk.
  std::vector<uint8_t> pageImage(uint32_t n) const {
    std::vector<uint8_t> all = bytes();
    std::vector<uint8_t> page(all.begin() + n * kIndexPageSize, all.begin() + (n + 1) * kIndexPageSize);
    if (setup_.encrypted) UnscrambleBuffer(page.data(), page.size(), kStructureSeed);
    return page;
  }
  void putPageImage(uint32_t n, std::vector<uint8_t> page) const {
    if (setup_.encrypted) ScrambleBuffer(page.data(), page.size(), kStructureSeed);
    std::vector<uint8_t> all = bytes();
    std::copy(page.begin(), page.end(), all.begin() + n * kIndexPageSize);
    writeBytes(all);
  }

  platform::testing::TempFolder dir;
  TStandaloneTableOwner owner;
  std::string path;
  std::unique_ptr<TIndexFile> file;
  TIndexCursor cursor;
  uint8_t slot = 0;

 private:
  IndexSetup setup_;
};

// Key bytes of `size` for value v, in one of three shapes so that every compression mode has
// something to do: a long shared prefix, trailing zeros, or mixed bytes.
inline std::string MakeKey(uint32_t v, size_t size) {
  std::string key(size, '\0');
  uint8_t be[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  if (size <= 4) {
    for (size_t i = 0; i < size; ++i) key[i] = char(be[4 - size + i]);
    return key;
  }
  switch (v % 3) {
    case 0:  // shared prefix
      for (size_t i = 0; i + 4 < size; ++i) key[i] = 'P';
      for (size_t i = 0; i < 4; ++i) key[size - 4 + i] = char(be[i]);
      break;
    case 1:  // trailing zeros
      for (size_t i = 0; i < 4; ++i) key[i] = char(be[i]);
      break;
    default: {  // mixed
      uint32_t h = v * 2654435761u;
      for (size_t i = 0; i < size; ++i) {
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        key[i] = char(i < 4 ? be[i] : uint8_t(h));
      }
    }
  }
  return key;
}

inline const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

}  // namespace index_test
