#include "dumpfile/u_analysisfile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "platform/bytes.h"
#include "tests/dumpfile/dumpfile_test_util.h"

namespace dumpfile {
namespace {

using testing::node;
using testing::owner;
using testing::TempFolderTest;
using testing::testSeed;
namespace fs = std::filesystem;

class AnalysisFileTest : public TempFolderTest {
 protected:
  // Saves `root` to `target` on the calling thread and returns the message.
  std::string save(TExpFileRoot& root, const std::string& target, ProgressSink* progress = nullptr) {
    TSavedfp saver(target, root, progress, nullptr);
    saver.SetSaveTimeText("2024-05-17 09:30:00");
    saver.Execute();
    return root.Message();
  }
  std::string load(TExpFileRoot& root, const std::string& file) {
    root.SetDumpFileName(file);
    root.SetSourceKind(kSourceAnalysisFile);
    TReaddfp reader(root, nullptr, nullptr);
    reader.Execute();
    return root.Message();
  }
  // Each node's bytes in `file`, in tree order.
  static std::vector<std::string> objectBytes(const TExpFileRoot& root, const std::string& file) {
    const std::string all = readFile(file);
    std::vector<std::string> out;
    ForEachNode(root, [&](const TExpFileNode& n, const TExpFileUser*) {
      out.push_back(n.Length() > 0 ? all.substr(size_t(n.StartOffset()), size_t(n.Length())) : "");
    });
    return out;
  }
  // Saves `root` over the dump `bytes` to `name`.adf and loads it back.
  std::unique_ptr<TExpFileRoot> roundTrip(TExpFileRoot& root, const std::string& name,
                                          const std::string& bytes) {
    writeFile(path(name + ".dmp"), bytes);
    root.SetDumpFileName(path(name + ".dmp"));
    EXPECT_EQ(save(root, path(name + ".adf")), "");
    auto back = std::make_unique<TExpFileRoot>();
    EXPECT_EQ(load(*back, path(name + ".adf")), "");
    return back;
  }
  static int nodeCount(const TExpFileRoot& root) {
    int n = root.PublicObjectCount();
    TExpFileUser* o = nullptr;
    for (int i = 0; root.GetUser(i, o); ++i) n += 1 + o->NodeCount();
    return n;
  }
  // A small analysis file: one public object, one owner with two objects.
  std::string smallAnalysisFile() {
    writeFile(path("s.dmp"), "TABLESPACE-TEXT|USER-TEXT|TABLE-ONE|TABLE-TWO");
    TExpFileRoot root;
    root.SetDumpFileName(path("s.dmp"));
    root.SetExportModeText("ENTIRE");
    root.AddPublicObject(node("TS", kKindTablespaces, 0, 15));
    TExpFileUser* o = root.AddUser(owner("SCOTT", 16, 9));
    o->AddNode(node("ONE", kKindTables, 26, 9));
    o->AddNode(node("TWO", kKindTables, 36, 9));
    EXPECT_EQ(save(root, path("s.adf")), "");
    return path("s.adf");
  }
  // Overwrites bytes of `file` at `at`.
  void patch(const std::string& file, int64_t at, const std::string& bytes) {
    std::string all = readFile(file);
    all.replace(size_t(at), bytes.size(), bytes);
    writeFile(file, all);
  }
  std::string int32Bytes(int32_t v) {
    uint8_t b[4];
    platform::put4(b, uint32_t(v));
    return std::string(reinterpret_cast<char*>(b), 4);
  }
};

TEST_F(AnalysisFileTest, SavedTreeReadsBackWithEachObjectsExactBytes) {
  dumpbuilder::Options o;
  o.targetSize = 120 << 10;
  o.seed = testSeed(31);
  dumpbuilder::buildDump(path("d.dmp"), o);
  TExpFileRoot dump;
  testing::readDump(dump, path("d.dmp"));
  ASSERT_EQ(dump.Message(), "");
  ASSERT_EQ(save(dump, path("d.adf")), "");
  ASSERT_TRUE(IsAnalysisFile(path("d.adf")));

  TExpFileRoot back;
  ASSERT_EQ(load(back, path("d.adf")), "");
  EXPECT_EQ(back.NlsLang(), dump.NlsLang());
  EXPECT_EQ(back.ExportUser(), dump.ExportUser());
  EXPECT_EQ(back.ExportModeText(), dump.ExportModeText());
  EXPECT_EQ(back.ExportVersion(), dump.ExportVersion());
  // The same tree apart from the offsets, which now lie in the analysis file, with the same bytes.
  auto shape = [](const TExpFileRoot& root) {
    std::vector<std::string> lines = dumpbuilder::treeLines(root);
    for (auto& line : lines) {
      const size_t lengthAt = line.rfind('\t');
      const size_t startAt = line.rfind('\t', lengthAt - 1);
      line.erase(startAt, lengthAt - startAt);
    }
    return lines;
  };
  ASSERT_EQ(shape(back), shape(dump));
  EXPECT_EQ(objectBytes(back, path("d.adf")), objectBytes(dump, path("d.dmp")));

  // Saving the tree read from the analysis file copies from the analysis file: same data area.
  ASSERT_EQ(save(back, path("again.adf")), "");
  TExpFileRoot twice;
  ASSERT_EQ(load(twice, path("again.adf")), "");
  const std::string first = readFile(path("d.adf")), second = readFile(path("again.adf"));
  const size_t dataStart = size_t(1024 + std::stoll(first.substr(190, 10)));
  ASSERT_EQ(first.size(), second.size());
  EXPECT_TRUE(first.compare(dataStart, std::string::npos, second, dataStart) == 0);
}

// Also: a name of 128 characters is stored without terminator and a longer one cut; the export
// mode text is its own ten-byte field.
TEST_F(AnalysisFileTest, HeaderAndEntriesLieExactlyWhereTheFormatPutsThem) {
  TExpFileRoot root;
  root.SetNlsLang("WE8ISO8859P1 (ISO 8859-1 West European)");
  root.SetExportUser("SYSTEM");
  root.SetExportModeText("ENTIRE-DATABASE");
  root.SetExportVersion("EXPORT:V09.02.00");
  TExpFileUser* o = root.AddUser(owner("SCOTT", 10, 7));
  const std::string name128(128, 'N');
  o->AddNode(node(name128 + "TAIL", kKindViews, 17, 10));
  const auto back = roundTrip(root, "g", "0123456789USERDDLOBJECT-ONE");

  std::string want(1024, '\0');
  auto put = [&](size_t at, const std::string& text) { want.replace(at, text.size(), text); };
  put(0, "1.2.0");
  for (int i = 0; i < 10; ++i) want[size_t(10 + i)] = char(i);
  put(20, "WE8ISO8859P1 (ISO 8859-1 West European)");
  put(140, "SYSTEM");
  put(160, "ENTIRE-DAT");
  put(170, "2024-05-17 09:30:00");
  put(190, "282");
  put(200, "EXPORT:V09.02.00");
  std::string entry1(141, '\0'), entry2(141, '\0');
  entry1.replace(0, 5, "SCOTT");
  entry1.replace(128, 12, int32Bytes(1306) + int32Bytes(7) + int32Bytes(10));
  entry1[140] = 1;
  entry2.replace(0, 128, name128);
  entry2.replace(128, 12, int32Bytes(1313) + int32Bytes(10) + int32Bytes(17));
  entry2[140] = 3;
  EXPECT_EQ(readFile(path("g.adf")), want + entry1 + entry2 + "USERDDLOBJECT-ONE");
  EXPECT_EQ(back->ExportModeText(), "ENTIRE-DAT");
  TExpFileUser* scott = nullptr;
  TExpFileNode* n = nullptr;
  ASSERT_TRUE(back->GetUser(0, scott) && scott->GetNode(0, n));
  EXPECT_EQ(n->Name(), name128);
}

TEST_F(AnalysisFileTest, ObjectsLongerThanTheDisplayLimitAreCopiedWhole) {
  std::string bytes;
  for (int i = 0; i < 30000; ++i) bytes += char(i * 7 % 256);
  TExpFileRoot root;
  TExpFileUser* o = root.AddUser(owner("U"));
  o->AddNode(node("BIG", kKindPackageBodies, 4, int64_t(bytes.size())));
  o->AddNode(node("TAIL", kKindTables, 4 + int64_t(bytes.size()), 4));
  const auto back = roundTrip(root, "b", "head" + bytes + "tail");
  EXPECT_EQ(objectBytes(*back, path("b.adf")), (std::vector<std::string>{"", bytes, "tail"}));
}

TEST_F(AnalysisFileTest, UnreadableRangeFailsTheSaveAndKeepsTheOldFile) {
  writeFile(path("u.dmp"), "short");
  writeFile(path("u.adf"), "old analysis");
  TExpFileRoot root;
  root.SetDumpFileName(path("u.dmp"));
  root.AddPublicObject(node("FINE", kKindRoles, 0, 2));
  root.AddPublicObject(node("GONE", kKindRoles, 3, 50));
  EXPECT_EQ(save(root, path("u.adf")), "Read GONE from " + path("u.dmp") + " error!");
  EXPECT_EQ(readFile(path("u.adf")), "old analysis");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);
}

TEST_F(AnalysisFileTest, OffsetsThatDoNotFitThirtyTwoBitsAreRefusedBeforeAnythingIsWritten) {
  writeFile(path("x.dmp"), "x");
  TExpFileRoot root;
  root.SetDumpFileName(path("x.dmp"));
  root.AddPublicObject(node("FAR", kKindRoles, int64_t(3) << 30, 10));
  const std::string message = save(root, path("x.adf"));
  EXPECT_EQ(message, "Save " + path("x.adf") + " error: offsets beyond 2 GB do not fit an analysis file!");
  EXPECT_FALSE(fs::exists(path("x.adf")));

  TExpFileRoot longer;
  longer.SetDumpFileName(path("x.dmp"));
  longer.AddPublicObject(node("A", kKindRoles, 0, int64_t(1) << 30));
  longer.AddPublicObject(node("B", kKindRoles, 0, int64_t(1) << 30));
  EXPECT_EQ(save(longer, path("x.adf")), message);
  EXPECT_FALSE(fs::exists(path("x.adf")));
}

TEST_F(AnalysisFileTest, CancelledSaveLeavesTheOldFileAndNoTemporaryFile) {
  dumpbuilder::Options o;
  o.targetSize = 30 << 10;
  dumpbuilder::buildDump(path("d.dmp"), o);
  TExpFileRoot root;
  testing::readDump(root, path("d.dmp"));
  writeFile(path("d.adf"), "old");
  testing::CancellingProgress progress;
  std::atomic<int> done{0};
  TSavedfp saver(path("d.adf"), root, &progress, [&] { ++done; });
  progress.cancel(root, saver);
  saver.Start();
  saver.WaitFor();
  EXPECT_EQ(done.load(), 1);
  EXPECT_EQ(root.Message(), "Terminated by user!");
  EXPECT_EQ(readFile(path("d.adf")), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);
}

// A save that the disk cuts short (the file-size limit of the process here, a full disk alike)
// fails with its message and leaves the old file as it was and no temporary file: nothing that
// looks like an analysis file and lacks part of its objects.
TEST_F(AnalysisFileTest, SaveCutShortByTheFileSizeLimitLeavesTheOldFileAndNoPartOfTheNewOne) {
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += char('A' + i % 26);
  writeFile(path("l.dmp"), bytes);
  writeFile(path("l.adf"), "old analysis");
  TExpFileRoot root;
  root.SetDumpFileName(path("l.dmp"));
  TExpFileUser* o = root.AddUser(owner("U"));
  for (int i = 0; i < 10; ++i) o->AddNode(node("T" + std::to_string(i), kKindTables, i * 2000, 2000));
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit full = limit;
  limit.rlim_cur = 8192;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const std::string message = save(root, path("l.adf"));
  ::setrlimit(RLIMIT_FSIZE, &full);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(message, "Write to " + path("l.adf") + " error!");
  EXPECT_EQ(readFile(path("l.adf")), "old analysis");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);
}

TEST_F(AnalysisFileTest, SaveNamesAMissingDumpAndATargetThatCannotBeCreated) {
  TExpFileRoot root;
  root.SetDumpFileName(path("none.dmp"));
  EXPECT_EQ(save(root, path("a.adf")), path("none.dmp") + " not exists!");
  writeFile(path("d.dmp"), "abc");
  TExpFileRoot other;
  other.SetDumpFileName(path("d.dmp"));
  other.AddPublicObject(node("A", kKindRoles, 0, 3));
  EXPECT_EQ(save(other, path("no/folder.adf")), "Create " + path("no/folder.adf") + " error!");
}

TEST_F(AnalysisFileTest, OnlyFilesWithTheMarkerAreAnalysisFiles) {
  EXPECT_TRUE(IsAnalysisFile(smallAnalysisFile()));
  writeFile(path("dump"), std::string("\x03\x00\x1f"
                                      "EXPORT:V09.02.00\n",
                                      20));
  EXPECT_FALSE(IsAnalysisFile(path("dump")));
  std::string marker(20, '\0');
  for (int i = 0; i < 10; ++i) marker[size_t(10 + i)] = char(i);
  writeFile(path("bare"), marker);
  EXPECT_TRUE(IsAnalysisFile(path("bare")));
  writeFile(path("cut"), marker.substr(0, 19));
  EXPECT_FALSE(IsAnalysisFile(path("cut")));
  EXPECT_FALSE(IsAnalysisFile(path("missing")));
  EXPECT_FALSE(IsAnalysisFile(dir_.string()));
}

// --- damaged and hostile files

using DamagedAnalysisFileTest = AnalysisFileTest;

TEST_F(DamagedAnalysisFileTest, MissingUnopenableAndForeignFilesAreNamed) {
  TExpFileRoot a, b, c;
  EXPECT_EQ(load(a, path("missing.adf")), "File: " + path("missing.adf"));
  EXPECT_EQ(load(b, dir_.string()), "open file " + dir_.string());
  writeFile(path("foreign"), std::string(2000, 'x'));
  EXPECT_EQ(load(c, path("foreign")), path("foreign") + " is not a valid file");
  EXPECT_EQ(nodeCount(a) + nodeCount(b) + nodeCount(c), 0);
}

// Other damage to the index size is the random damage test's.
TEST_F(DamagedAnalysisFileTest, IndexSizeThatIsNoNumberOrNoMultipleOfTheEntrySizeIsRefused) {
  const std::string adf = smallAnalysisFile();
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {std::string("56x\0\0\0\0\0\0\0", 10), "Read file Error: (Code:001)"},
           {std::string("142\0\0\0\0\0\0\0", 10), "Read file Error: (Code:002)"},
           {std::string("141000\0\0\0\0", 10),
            "Read file Error: (Code:003) the index runs past the end of the file"}}) {
    patch(adf, 190, text);
    TExpFileRoot root;
    EXPECT_EQ(load(root, adf), message) << text;
    EXPECT_EQ(nodeCount(root), 0);
  }
}

TEST_F(DamagedAnalysisFileTest, EntryWithAnUnknownKindIsRefused) {
  const std::string adf = smallAnalysisFile();
  patch(adf, 1024 + 2 * 141 + 140, std::string(1, char(25)));
  TExpFileRoot root;
  EXPECT_EQ(load(root, adf), "Read file Error: (Code:004) entry 3 has an unknown kind");
  EXPECT_EQ(nodeCount(root), 0);
}

TEST_F(DamagedAnalysisFileTest, DataRangesOutsideTheDataAreaAreRefused) {
  const std::string adf = smallAnalysisFile();
  const std::string good = readFile(adf);
  const int64_t size = int64_t(good.size());
  const std::vector<std::pair<int32_t, int32_t>> ranges = {
      {int32_t(size - 5), 6}, {-1, 5}, {1200, -3}, {0x7FFFFFF0, 0x7FFFFFF0}};
  for (const auto& [offset, length] : ranges) {
    writeFile(adf, good);
    patch(adf, 1024 + 141 + 128, int32Bytes(offset) + int32Bytes(length));
    TExpFileRoot root;
    EXPECT_EQ(load(root, adf), "Read file Error: (Code:005) the data of entry 2 lies outside the file")
        << offset << " " << length;
    EXPECT_EQ(nodeCount(root), 0);
  }
}

TEST_F(DamagedAnalysisFileTest, TruncatedFileIsRefusedWhereverItIsCut) {
  const std::string adf = smallAnalysisFile();
  const std::string good = readFile(adf);
  for (size_t keep : {size_t(0), size_t(15), size_t(25), size_t(195), size_t(1023), size_t(1024),
                      size_t(1100), size_t(1024 + 564), good.size() - 1}) {
    writeFile(adf, good.substr(0, keep));
    TExpFileRoot root;
    EXPECT_NE(load(root, adf), "") << "cut at " << keep;
    EXPECT_EQ(nodeCount(root), 0) << "cut at " << keep;
  }
}

// A reading cancelled while the tree is being filled must not pass for a whole one: the window
// shows what was read, and saving it asks first.
TEST_F(DamagedAnalysisFileTest, CancelledReadingIsMarkedIncomplete) {
  const std::string adf = smallAnalysisFile();
  TExpFileRoot root;
  root.SetDumpFileName(adf);
  root.SetSourceKind(kSourceAnalysisFile);
  testing::CancellingProgress progress;
  TReaddfp reader(root, &progress, nullptr);
  progress.cancel(root, reader);
  reader.Execute();
  ASSERT_LT(nodeCount(root), 4);
  EXPECT_TRUE(root.Incomplete());
  EXPECT_EQ(root.Message(), std::string(kTerminatedByUser) + " " + std::string(kReadingIncomplete));

  TExpFileRoot whole;
  EXPECT_EQ(load(whole, adf), "");
  EXPECT_EQ(nodeCount(whole), 4);
  EXPECT_FALSE(whole.Incomplete());
}

TEST_F(DamagedAnalysisFileTest, RandomDamageGivesAMessageAndNoTreeOrATreeInsideTheFile) {
  const uint64_t seed = testSeed(41);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  dumpbuilder::Options o;
  o.targetSize = 20 << 10;
  dumpbuilder::buildDump(path("d.dmp"), o);
  TExpFileRoot dump;
  testing::readDump(dump, path("d.dmp"));
  ASSERT_EQ(save(dump, path("d.adf")), "");
  const std::string good = readFile(path("d.adf"));
  const int64_t entries = std::stoll(good.substr(190, 10)) / 141;
  for (int round = 0; round < 150; ++round) {
    std::string bad = good;
    const int changes = 1 + int(rng() % 6);
    for (int c = 0; c < changes; ++c) {
      // Mostly where it hurts: the index size and the entries' numbers.
      size_t at;
      switch (rng() % 3) {
        case 0:
          at = 190 + rng() % 10;
          break;
        case 1:
          at = size_t(1024 + int64_t(rng() % uint64_t(entries)) * 141 + 128 + int64_t(rng() % 13));
          break;
        default:
          at = rng() % bad.size();
          break;
      }
      bad[at] = char(rng() % 4 == 0 ? 0xFF : rng() % 256);
    }
    if (rng() % 5 == 0) bad.resize(rng() % bad.size());
    writeFile(path("bad.adf"), bad);
    TExpFileRoot root;
    const std::string message = load(root, path("bad.adf"));
    if (!message.empty()) {
      EXPECT_EQ(nodeCount(root), 0) << "round " << round << ": " << message;
      continue;
    }
    auto inside = [&](const TExpFileNode& n) {
      EXPECT_LE(n.StartOffset() + n.Length(), int64_t(bad.size())) << "round " << round;
      EXPECT_GE(n.Length(), 0);
      EXPECT_LT(n.Kind(), kKindCount);
    };
    TExpFileNode* n = nullptr;
    for (int i = 0; root.GetPublicObject(i, n); ++i) inside(*n);
    TExpFileUser* u = nullptr;
    for (int i = 0; root.GetUser(i, u); ++i) {
      inside(*u);
      for (int j = 0; u->GetNode(j, n); ++j) inside(*n);
    }
  }
}

}  // namespace
}  // namespace dumpfile
