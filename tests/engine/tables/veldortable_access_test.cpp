// A table that several users share stays theirs when one of them writes its files anew: the
// files a restructure and an index backup make keep the permission bits and the group of the
// files they replace (through a record sort, a full copy, an index rebuild in place and an
// empty), and, run as root, another user in the table's group restructures it in a child process
// and a third user of that group still writes to it afterwards.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/tables/veldorcursor.h"
#include "tests/engine/tables/table_test_util.h"

namespace {

using namespace engine;
using datafile_test::field;
using storage_test::Helper;
using table_test::Database;
using table_test::TempDir;

// Users and a group no account of the machine needs to have: root may take any of them.
constexpr uid_t kRestructurer = 47011;
constexpr uid_t kLaterWriter = 47012;
constexpr gid_t kSharedGroup = 47010;

struct Access {
  mode_t mode;
  uid_t owner;
  gid_t group;
};

Access accessOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {st.st_mode & 07777, st.st_uid, st.st_gid};
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", unsigned(mode));
  return text;
}

const char* const kFileExts[] = {".DAT", ".IDX", ".BLB"};

TRestructureArgs baseStructure() {
  TRestructureArgs a;
  a.BlobBlockSize = 512;
  a.NoPrimaryIndex = true;
  a.Fields = {field(1, "K", 6), field(2, "NAME", 1, 12), field(3, "BODY", kFieldTypeBlob)};
  a.Indexes.resize(1);
  return a;
}

void appendRow(TDataCursor& c, int32_t k, const std::string& name) {
  std::vector<uint8_t> buffer(c.RecordSize());
  c.ClearRecordBuffer(buffer.data());
  c.PutField(1, buffer.data(), reinterpret_cast<const uint8_t*>(&k));
  c.PutField(2, buffer.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
  c.AppendRecord(buffer.data());
}

uint32_t countRows(TDataCursor& c) {
  std::vector<uint8_t> buffer(c.RecordSize());
  uint32_t n = 0;
  c.SetToBegin();
  while (c.GetNextRecord(buffer.data()) == 0) ++n;
  return n;
}

class TableAccessTest : public ::testing::TestWithParam<mode_t> {
 protected:
  void SetUp() override { savedMask_ = ::umask(022); }
  void TearDown() override { ::umask(savedMask_); }

  // Every file of table `name` that is there (and each of `backups` that must be) has `mode`
  // and `group`.
  void expectAccess(const std::string& step, const std::string& name, mode_t mode, gid_t group,
                    std::vector<std::string> backups = {}) {
    int seen = 0;
    for (const char* ext : kFileExts) {
      const std::string path = dir_.file(name + ext);
      if (!std::filesystem::exists(path)) continue;
      ++seen;
      backups.erase(std::remove(backups.begin(), backups.end(), std::string(ext)), backups.end());
      const Access a = accessOf(path);
      EXPECT_EQ(octal(a.mode), octal(mode)) << step << ": " << path;
      EXPECT_EQ(a.group, group) << step << ": " << path;
    }
    EXPECT_EQ(seen, 3) << step;
    for (const std::string& ext : backups) {
      const std::string path = dir_.file(name + ext);
      ASSERT_TRUE(std::filesystem::exists(path)) << step << ": " << path;
      EXPECT_EQ(octal(accessOf(path).mode), octal(mode)) << step << ": " << path;
      EXPECT_EQ(accessOf(path).group, group) << step << ": " << path;
    }
  }

  void setAccess(const std::string& name, mode_t mode, gid_t group) {
    for (const char* ext : kFileExts) {
      const std::string path = dir_.file(name + ext);
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      if (group != getegid()) {
        ASSERT_EQ(::chown(path.c_str(), uid_t(-1), group), 0);
      }
    }
  }

  TempDir dir_;
  mode_t savedMask_ = 0;
};

TEST_P(TableAccessTest, FilesWrittenAnewKeepTheModeAndGroupOfTheFilesTheyReplace) {
  const mode_t mode = GetParam();
  // Only root may give a file a group it is no member of; anyone else shows the mode alone.
  const gid_t group = geteuid() == 0 ? kSharedGroup : getegid();
  Database db(dir_.path());
  TDataCursor c(*db.directory);
  c.SetTableName("shared");
  c.SetExclusive(true);
  TRestructureArgs args = baseStructure();
  c.CreateTable(args);
  c.Open();
  for (int32_t k = 5; k >= 1; --k) appendRow(c, k, "row" + std::to_string(k));
  c.Close();
  setAccess("shared", mode, group);

  // A record sort rewrites the data file under its journal.
  c.Open();
  const uint16_t byK[] = {1};
  EXPECT_EQ(c.SortRecords(byK, {}, TSortOptions{}), 5u);
  c.Close();
  expectAccess("sort", "shared", mode, group);

  // A full copy into a new table (a field added), the old files kept as backups.
  args.Fields.push_back(field(4, "EXTRA", 6));
  args.NoBackup = false;
  c.RestructureTable(args);
  expectAccess("restructure", "shared", mode, group, {".DBK", ".IBK", ".BBK"});
  for (const char* backup : {".DBK", ".IBK", ".BBK"})
    std::filesystem::remove(dir_.file(std::string("shared") + backup));

  // An index added: built in place, the old index file copied to its backup first.
  args.Indexes.resize(2);
  args.Indexes[1].name = "BYNAME";
  args.Indexes[1].fields[0] = 2;
  c.RestructureTable(args);
  expectAccess("index rebuild", "shared", mode, group, {".IBK"});

  c.Open();
  EXPECT_EQ(countRows(c), 5u);
  c.EmptyTable();
  EXPECT_EQ(countRows(c), 0u);
  c.Close();
  expectAccess("empty", "shared", mode, group);
}

INSTANTIATE_TEST_SUITE_P(SharedModes, TableAccessTest,
                         ::testing::Values(mode_t(0640), mode_t(0660), mode_t(0600)),
                         [](const auto& info) { return "Mode" + octal(info.param); });

// Runs `body` in a child process as user `uid` (with a group of its own, `uid` as number) who
// is a member of kSharedGroup; its exit code, 0 when the body returned true.
int runAs(uid_t uid, const std::function<bool()>& body) {
  Helper child([&](Helper&) {
    const gid_t groups[] = {kSharedGroup};
    if (::setgroups(1, groups) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
      return 97;
    ::umask(022);
    return body() ? 0 : 1;
  });
  return child.wait();
}

TEST(SharedFolderTable, AnotherUserRestructuresATableOfTheGroupAndAThirdStillWritesIt) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can run a child process as another user";
  TempDir dir;
  // The folder is the group's, as a shared folder is; its files are root's and the group's.
  ASSERT_EQ(::chown(dir.path().c_str(), 0, kSharedGroup), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0770), 0);
  {
    Database db(dir.path());
    TDataCursor c(*db.directory);
    c.SetTableName("shared");
    c.SetExclusive(true);
    TRestructureArgs args = baseStructure();
    c.CreateTable(args);
    c.Open();
    appendRow(c, 1, "root's");
    c.Close();
  }
  for (const char* ext : kFileExts) {
    const std::string path = dir.file(std::string("shared") + ext);
    ASSERT_EQ(::chown(path.c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
  }

  EXPECT_EQ(runAs(kRestructurer,
                  [&] {
                    Database db(dir.path());
                    TDataCursor c(*db.directory);
                    c.SetTableName("shared");
                    c.SetExclusive(true);
                    TRestructureArgs args = baseStructure();
                    args.Fields.push_back(field(4, "EXTRA", 6));
                    args.NoBackup = true;
                    c.RestructureTable(args);
                    return true;
                  }),
            0);
  for (const char* ext : kFileExts) {
    const Access a = accessOf(dir.file(std::string("shared") + ext));
    // The writer's own file, as a new file is; open to the group as the old one was.
    EXPECT_EQ(a.owner, kRestructurer) << ext;
    EXPECT_EQ(a.group, kSharedGroup) << ext;
    EXPECT_EQ(octal(a.mode), "0660") << ext;
  }

  EXPECT_EQ(runAs(kLaterWriter,
                  [&] {
                    Database db(dir.path());
                    TDataCursor c(*db.directory);
                    c.SetTableName("shared");
                    c.Open();
                    appendRow(c, 2, "a third's");
                    const bool both = countRows(c) == 2;
                    c.Close();
                    return both;
                  }),
            0);
}

}  // namespace
