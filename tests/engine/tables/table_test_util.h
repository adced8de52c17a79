// Helpers of the table and directory tests: a table of two byte fields and a blob field, records
// written and read through the table's files, raw reads of the files, and a file system that
// counts the pauses between lock attempts.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/storage/veldorblob.h"
#include "engine/storage/veldorbtree.h"
#include "engine/storage/veldorkeys.h"
#include "engine/tables/veldorcursor.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "platform/bytes.h"
#include "platform/faultfs.h"
#include "tests/engine/storage/datafile_test_util.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"
#include "tools/tablecheck/blobcheck.h"
#include "tools/tablecheck/tablecheck.h"

namespace table_test {

using namespace engine;
using storage_test::Helper;
using TempDir = platform::testing::TempFolder;

// The integrity checker over table `name`'s files, record keys included, keys ordered as `c`
// orders them; `c` keeps its current index.
inline void expectIntact(const TempDir& dir, const std::string& name, TDataCursor& c) {
  tablecheck::Options options;
  options.checkRecordKeys = true;
  options.compare = [&](uint8_t slot, const uint8_t* a, const uint8_t* b, uint16_t n) {
    c.SelectIndex(slot);
    return c.CompareKeys(a, b, n);
  };
  const uint8_t saved = c.CurrentIndex();
  const tablecheck::Report report = tablecheck::CheckTableFiles(dir.file(name), options);
  c.SelectIndex(saved);
  EXPECT_TRUE(report.ok()) << report.text();
}

// Fields: 1 "CODE" bytes(8), 2 "BODY" blob, 3 "NOTE" bytes(20). No primary index.
inline TTableDefinition itemsDefinition(bool encrypted = false, uint32_t blockSize = 0) {
  std::vector<TFieldDescriptor> fields{datafile_test::field(1, "CODE", kFieldTypeBytes, 8),
                                       datafile_test::field(2, "BODY", kFieldTypeBlob),
                                       datafile_test::field(3, "NOTE", kFieldTypeBytes, 20)};
  datafile_test::layOut(fields);
  TTableDefinition d;
  d.fields = fields;
  d.encrypted = encrypted;
  d.password = encrypted ? "secret" : "";
  d.blobBlockSize = blockSize;
  d.description = "items";
  return d;
}

// The contents record `seed` is given.
inline std::vector<uint8_t> codeFor(uint32_t seed) {
  std::vector<uint8_t> v(8);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(seed * 13 + i);
  return v;
}
inline std::vector<uint8_t> bodyFor(uint32_t seed) {
  std::vector<uint8_t> v(seed * 211 % 3000 + 1);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(seed + i * 7);
  return v;
}

struct Item {
  std::vector<uint8_t> code;
  std::vector<uint8_t> body;
};

inline const TFieldDescriptor& fieldOf(TDataTable& t, uint16_t position) {
  return *t.DataFile().GetFieldDescriptor(position);
}

// Writes code and body of `seed` into record `record` (pinned), saving the blob.
inline void fillItem(TDataTable& t, TRecord& record, uint32_t seed) {
  uint8_t* image = record.GetBuffer();
  const TFieldDescriptor& code = fieldOf(t, 1);
  const TFieldDescriptor& body = fieldOf(t, 2);
  image[code.Offset()] = 1;
  const auto c = codeFor(seed);
  std::memcpy(image + code.Offset() + 1, c.data(), c.size());
  const uint32_t oldFirst = platform::get4(image + body.Offset() + 1);
  TBlobBuffer blob(t.BlobFile(), nullptr);
  blob.SetOwnerId(record.GetRecordNumber());
  blob.SetFirstBlock(image[body.Offset()] ? oldFirst : 0);
  const auto b = bodyFor(seed);
  blob.SetSize(uint32_t(b.size()));
  std::memcpy(blob.GetData(), b.data(), b.size());
  blob.Save();
  image[body.Offset()] = 1;
  platform::put4(image + body.Offset() + 1, blob.GetFirstBlock());
  record.SetDirty(true);
}

// Appends a record for `seed` (the table has no primary index: records are appended), with its
// entry in the record-id index as a cursor keeps it: status byte, then the unique id's key.
inline uint32_t appendItem(TDataTable& t, uint32_t seed) {
  TRecord* r = nullptr;
  EXPECT_TRUE(t.DataFile().AllocateRecord(nullptr, r));
  r->Initialize(true);
  fillItem(t, *r, seed);
  const uint32_t number = r->GetRecordNumber();
  uint8_t key[kSysDeletedKeySize] = {kRecordInUse};
  EncodeIntegerKey(int32_t(r->GetUniqueId()), key + 1);
  t.DataFile().ReleaseRecord(r);
  TIndexCursor cursor;
  TIndexTree(t.IndexFile(), cursor, kSysDeletedSlot).InsertKey(key, number);
  t.IndexFile().IncRecordCount();
  return number;
}

// Rewrites record `number` with the contents of `seed`.
inline void changeItem(TDataTable& t, uint32_t number, uint32_t seed) {
  TRecord* r = nullptr;
  EXPECT_TRUE(t.DataFile().GetRecord(nullptr, number, r));
  fillItem(t, *r, seed);
  t.DataFile().ReleaseRecord(r);
}

inline Item readItem(TDataTable& t, uint32_t number) {
  TRecord* r = nullptr;
  EXPECT_TRUE(t.DataFile().GetRecord(nullptr, number, r));
  const uint8_t* image = r->GetBuffer();
  const TFieldDescriptor& code = fieldOf(t, 1);
  const TFieldDescriptor& body = fieldOf(t, 2);
  Item item;
  item.code.assign(image + code.Offset() + 1, image + code.Offset() + 9);
  TBlobBuffer blob(t.BlobFile(), nullptr);
  blob.SetOwnerId(number);
  blob.SetFirstBlock(platform::get4(image + body.Offset() + 1));
  t.DataFile().ReleaseRecord(r);
  blob.Load();
  item.body.assign(blob.GetData(), blob.GetData() + blob.GetSize());
  return item;
}

inline void expectItem(TDataTable& t, uint32_t number, uint32_t seed) {
  const Item item = readItem(t, number);
  EXPECT_EQ(item.code, codeFor(seed)) << "record " << number;
  EXPECT_EQ(item.body, bodyFor(seed)) << "record " << number;
}

using datafile_test::errorOf;

// The bytes of the table's data, index and blob files, and writing them back.
inline std::vector<std::vector<uint8_t>> tableImages(const TempDir& dir, const std::string& name = "items") {
  std::vector<std::vector<uint8_t>> images;
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    images.push_back(datafile_test::readFileBytes(dir.file(name + ext)));
  return images;
}
inline void writeTableImages(const TempDir& dir, const std::vector<std::vector<uint8_t>>& images,
                             const std::string& name = "items") {
  const char* exts[] = {".DAT", ".IDX", ".BLB"};
  for (size_t i = 0; i < 3; ++i) datafile_test::writeFileBytes(dir.file(name + exts[i]), images[i]);
}

// Which of the table's files and backups exist, e.g. "DAT IDX BLB".
inline std::string filesOf(const TempDir& dir, const std::string& name) {
  std::string found;
  for (const char* ext : {"DAT", "IDX", "BLB", "DBK", "IBK", "BBK"})
    if (std::filesystem::exists(dir.file(name + "." + ext)))
      found += (found.empty() ? "" : " ") + std::string(ext);
  return found;
}

// A file system that passes every call to the local one, for test file systems to derive from
// and hook the calls they watch.
class LocalFileSystem : public platform::FileSystem {
 public:
  std::unique_ptr<platform::OsFile> openFile(const std::string& path,
                                             const platform::OpenOptions& o) override {
    return base().openFile(path, o);
  }
  std::unique_ptr<platform::OsFile> createFile(const std::string& path, bool deleteOnClose) override {
    return base().createFile(path, deleteOnClose);
  }
  platform::CreateNewResult createNewFile(const std::string& path) override {
    return base().createNewFile(path);
  }
  bool fileInfo(const std::string& path, platform::FileInfo& info) override {
    return base().fileInfo(path, info);
  }
  bool deleteFile(const std::string& path) override { return base().deleteFile(path); }
  bool deleteFileAsSpelt(const std::string& path) override { return base().deleteFileAsSpelt(path); }
  bool renameFile(const std::string& from, const std::string& to) override {
    return base().renameFile(from, to);
  }
  std::string resolvePath(const std::string& path) override { return base().resolvePath(path); }
  std::string tempPath() override { return base().tempPath(); }
  std::string computerName() override { return base().computerName(); }
  void sleepFor(std::chrono::milliseconds duration) override { base().sleepFor(duration); }

 protected:
  static platform::FileSystem& base() { return platform::FileSystem::local(); }
};

// An open file that passes its reads, writes and range locks to `file_`, for test file systems
// that hook some of them.
class WrappedFile : public platform::OsFile {
 public:
  explicit WrappedFile(std::unique_ptr<platform::OsFile> file) : file_(std::move(file)) {}
  const std::string& path() const override { return file_->path(); }
  platform::FileIdentity identity() const override { return file_->identity(); }
  bool writable() const override { return file_->writable(); }
  int64_t readAt(int64_t offset, void* buffer, int64_t count) override {
    return file_->readAt(offset, buffer, count);
  }
  int64_t writeAt(int64_t offset, const void* buffer, int64_t count) override {
    return file_->writeAt(offset, buffer, count);
  }
  bool truncate(int64_t size) override { return file_->truncate(size); }
  bool sync() override { return file_->sync(); }
  int64_t size() override { return file_->size(); }
  bool lockRange(int64_t offset, int64_t length) override { return file_->lockRange(offset, length); }
  bool unlockRange(int64_t offset, int64_t length) override { return file_->unlockRange(offset, length); }

 protected:
  std::unique_ptr<platform::OsFile> file_;
};

// A file system that counts the pauses taken between lock attempts.
class CountingFileSystem final : public LocalFileSystem {
 public:
  void sleepFor(std::chrono::milliseconds duration) override {
    ++sleeps;
    base().sleepFor(duration);
  }
  std::atomic<int> sleeps{0};
};

// File-wide locks that give up quickly, for tests that expect a lock to stay taken.
inline const LockRetryRules kImpatient{3, std::chrono::milliseconds(1)};

// A session with a directory on `path`, and helpers to open and create the items table in it.
class Database {
 public:
  explicit Database(const std::string& path, TFileList* list = nullptr) {
    directory = session.OpenDataDirectory("db", path);
    if (list) directory->SetFileList(*list);
  }
  ~Database() {
    if (directory) session.CloseDataDirectory(directory);
  }
  TDataTable& open(const std::string& name = "items", bool exclusive = false) {
    TDataTable* t = nullptr;
    const int32_t r = directory->OpenTable(name, t, false, false, false, false, false, exclusive);
    if (r != 0) throw std::runtime_error("open: " + std::to_string(r));
    t->SetFileLockRetryRules(kImpatient);
    return *t;
  }
  void close(TDataTable& t) { directory->CloseTable(&t, false, false, false); }
  // Creates the items table with `records` records and closes it again.
  void create(uint32_t records, const std::string& name = "items",
              const TTableDefinition& d = itemsDefinition()) {
    TDataTable* t = nullptr;
    if (directory->CreateTable(name, d, false, false, t) != 0) throw std::runtime_error("create");
    for (uint32_t i = 1; i <= records; ++i) appendItem(*t, i);
    directory->CloseTable(t, false, false, false);
  }

  TDataSession session;
  TDataDirectory* directory = nullptr;
};

// The exit code of another process that runs `change` on a session of `path` (which begins a
// transaction and returns 0, or another code to end there) and then commits, its files ending
// the process before counted write `at` of the commit: 0 once the commit completed, or
// platform::kFaultExitCode.
inline int commitEndingAtWrite(const std::string& path, uint64_t at,
                               const std::function<int(Database&)>& change) {
  Helper writer([&](Helper&) {
    platform::FaultyFileSystem faulty(platform::FileSystem::local());
    TFileList list(faulty);
    Database other(path, &list);
    if (const int code = change(other)) return code;
    faulty.setPlan({platform::Fault::Exit, at, true});
    other.directory->Commit(true, true);
    return 0;
  });
  return writer.wait();
}

// A table's live items as (code, body) pairs in order, to compare whole tables after a writer
// died part way.
using Contents = std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>>;

inline Contents contentsOf(const std::vector<uint32_t>& seeds) {
  Contents c;
  for (uint32_t s : seeds) c.emplace_back(codeFor(s), bodyFor(s));
  std::sort(c.begin(), c.end());
  return c;
}

// Every record in use as its item, in order, read under one read of the table.
inline Contents liveContents(TDataTable& t) {
  Contents c;
  t.BeginRead();
  for (uint32_t n = 1; n <= t.DataFile().GetLastRecordNumber(); ++n) {
    TRecord* r = nullptr;
    EXPECT_TRUE(t.DataFile().GetRecord(nullptr, n, r));
    const bool live = r->GetStatus() == kRecordInUse;
    t.DataFile().ReleaseRecord(r);
    if (!live) continue;
    const Item item = readItem(t, n);
    c.emplace_back(item.code, item.body);
  }
  t.EndRead();
  std::sort(c.begin(), c.end());
  return c;
}

// The integrity checkers pass over the table whose files are `base` with their extensions;
// `label` leads each failure.
inline void expectSoundTableFiles(const std::string& base, const std::string& label = "") {
  const tablecheck::Report report = tablecheck::CheckTableFiles(base);
  const tablecheck::BlobReport blobs = tablecheck::CheckTableBlobs(base);
  EXPECT_TRUE(report.ok()) << label << (report.problems.empty() ? "" : report.problems.front());
  EXPECT_TRUE(blobs.ok()) << label << (blobs.problems.empty() ? "" : blobs.problems.front());
}

inline std::vector<uint32_t> seedRange(uint32_t from, uint32_t count) {
  std::vector<uint32_t> seeds;
  for (uint32_t n = 0; n < count; ++n) seeds.push_back(from + n);
  return seeds;
}

}  // namespace table_test
