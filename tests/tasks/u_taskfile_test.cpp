#include "tasks/u_taskfile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/bytes.h"
#include "tests/platform/temp_folder.h"

namespace tasks {
namespace {

using platform::testing::readFile;
using platform::testing::TempFolder;

std::unique_ptr<TUniTask> sampleTask(int32_t type, const std::string& name) {
  auto t = MakeTaskOfType(type, type < 2 ? "file=/d/a.dmp full=y" : "file=/d/raw.dmp owner=(", nullptr);
  t->SetId(4711);
  t->SetName(name);
  t->SetUName("scott");
  t->SetScheduleTable("300207");
  t->SetIsPostExec(false);
  t->SetTransferMode(kTransferFtp);
  t->SetFtpAnonymous(1);
  t->SetDeleteFileAfter(1);
  t->SetCopyFileDir("/copy");
  t->SetFtpServer("host:2121");
  return t;
}

std::string field(const std::string& rec, size_t off, size_t size) {
  return platform::getFixedText(reinterpret_cast<const uint8_t*>(rec.data()) + off, size);
}
int32_t number(const std::string& rec, size_t off) {
  return platform::get4s(reinterpret_cast<const uint8_t*>(rec.data()) + off);
}

TEST(TaskFileTest, RecordsSitAtTheirOffsetsAndReadBackByteForByte) {
  TempFolder dir;
  auto exp = sampleTask(0, "exp task");
  auto raw = sampleTask(3, std::string(101, 'n'));
  const TUniTask* list[] = {exp.get(), raw.get()};
  std::vector<std::string> cuts;
  std::string error;
  ASSERT_TRUE(WriteTaskFile(dir.file("t.etf"), list, cuts, error)) << error;
  ASSERT_EQ(cuts, std::vector<std::string>{"Task \"" + std::string(101, 'n') +
                                           "\" (id 4711): name cut to 100 bytes"});

  const std::string bytes = readFile(dir.file("t.etf"));
  ASSERT_EQ(bytes.size(), 3 * kTaskRecordSize);
  EXPECT_EQ(std::filesystem::status(dir.file("t.etf")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string header = bytes.substr(0, kTaskRecordSize),
                    rec = bytes.substr(kTaskRecordSize, kTaskRecordSize);
  EXPECT_EQ(header, TaskFileHeaderRecord());
  EXPECT_EQ(field(header, 4, 100), "Velmaron for Oracle");
  EXPECT_EQ(field(header, 1824, 100), " ");
  EXPECT_EQ(number(rec, 0), 4711);
  EXPECT_EQ(field(rec, 368, 20), "scott");
  EXPECT_EQ(field(rec, 428, 8), "300207");
  EXPECT_EQ(field(rec, 436, 256), exp->command());
  EXPECT_EQ(number(rec, 1208), 0);
  EXPECT_EQ(number(rec, 1212), 1);
  EXPECT_EQ(number(rec, 1216), 1);
  EXPECT_EQ(number(rec, 1220), 1);
  EXPECT_EQ(field(rec, 1474, 250), "/copy");
  EXPECT_EQ(field(rec, 1824, 100), "host:2121");
  EXPECT_EQ(bytes.substr(2 * kTaskRecordSize + 4, 100), std::string(100, 'n'));

  std::vector<std::unique_ptr<TUniTask>> back;
  std::vector<std::string> notes;
  ASSERT_TRUE(ReadTaskFile(dir.file("t.etf"), nullptr, back, notes, error)) << error;
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(notes.size(), 1u);  // the full name field may have been cut
  EXPECT_TRUE(back[0]->scheduled());
  EXPECT_FALSE(back[1]->parsedok());
  for (auto& t : back) t->SetId(4711);
  std::vector<std::string> none;
  EXPECT_EQ(TaskRecord(*back[0], none), rec);
  EXPECT_EQ(TaskRecord(*back[1], none), bytes.substr(2 * kTaskRecordSize));
}

TEST(TaskFileTest, CutNeverSplitsACharacter) {
  auto t = sampleTask(0, "x");
  t->SetUName(std::string(19, 'u') + "\xC3\xA9");
  std::vector<std::string> cuts;
  EXPECT_EQ(field(TaskRecord(*t, cuts), 368, 20), std::string(19, 'u'));
  EXPECT_EQ(cuts.size(), 1u);
}

TEST(TaskFileTest, DamagedShortOrForeignFilesAreRefusedWhole) {
  TempFolder dir;
  const std::string good = TaskFileHeaderRecord() + std::string(kTaskRecordSize, '\0');
  std::string foreign = good;
  foreign[4] = 'v';  // differs in case only
  std::string nonzeroId = good;
  nonzeroId[0] = 1;
  std::vector<std::unique_ptr<TUniTask>> back;
  std::vector<std::string> notes;
  std::string error;
  for (const std::string& content : {good.substr(0, good.size() - 1), std::string(), foreign, nonzeroId}) {
    std::ofstream(dir.file("bad.etf"), std::ios::binary | std::ios::trunc) << content;
    EXPECT_FALSE(ReadTaskFile(dir.file("bad.etf"), nullptr, back, notes, error));
    EXPECT_TRUE(back.empty() && !error.empty());
  }
  std::ofstream(dir.file("bad.etf"), std::ios::binary | std::ios::trunc) << TaskFileHeaderRecord();
  EXPECT_TRUE(ReadTaskFile(dir.file("bad.etf"), nullptr, back, notes, error) && back.empty());
}

}  // namespace
}  // namespace tasks
