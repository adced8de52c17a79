#include "dumpfile/u_parsedumpfile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "dumpfile/dumpyacc.h"
#include "tests/dumpfile/dumpfile_test_util.h"

namespace dumpfile {
namespace {

using testing::RecordingProgress;
using testing::TempFolderTest;
using testing::testSeed;
namespace fs = std::filesystem;

// --- line cutting

struct CutLine {
  std::string text;
  int64_t end;
  bool operator==(const CutLine&) const = default;
};

// Every line with its text (a cutter that does not summarise).
class LineList : public DumpLineCutter::Sink {
 public:
  bool onLine(const DumpLineCutter::Line& line, int64_t endOffset) override {
    std::string scratch;
    lines.push_back({std::string(line.text(scratch)), endOffset});
    EXPECT_EQ(int(lines.back().text.size()), line.length);
    return true;
  }
  bool onPlainLines(int64_t, int64_t, int64_t) override {
    ADD_FAILURE() << "a cutter that does not summarise reported plain lines";
    return true;
  }
  std::vector<CutLine> lines;
};

// The cutting rules written out byte by byte, as the test's own account of them: printable bytes
// (0x20 to 0x7D) make lines of at most 201, CR and LF end a non-empty line, all else is dropped.
std::vector<CutLine> referenceLines(const std::string& bytes) {
  std::vector<CutLine> out;
  std::string line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = uint8_t(bytes[i]);
    if (b >= 0x20 && b <= 0x7D) {
      line += char(b);
      if (line.size() == 201) {
        out.push_back({line, int64_t(i + 1)});
        line.clear();
      }
    } else if ((b == 0x0D || b == 0x0A) && !line.empty()) {
      out.push_back({line, int64_t(i + 1)});
      line.clear();
    }
  }
  if (!line.empty()) out.push_back({line, int64_t(bytes.size())});
  return out;
}

std::vector<CutLine> cut(const std::string& bytes, const std::vector<size_t>& pieces = {}) {
  DumpLineCutter cutter;
  LineList sink;
  size_t at = 0;
  for (size_t piece : pieces) {
    piece = std::min(piece, bytes.size() - at);
    EXPECT_TRUE(cutter.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at, piece, int64_t(at), sink));
    at += piece;
  }
  EXPECT_TRUE(
      cutter.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at, bytes.size() - at, int64_t(at), sink));
  EXPECT_TRUE(cutter.finish(int64_t(bytes.size()), sink));
  return sink.lines;
}

std::string randomBytes(std::mt19937_64& rng, size_t n, int breakPercent, int printablePercent) {
  std::string s(n, '\0');
  for (auto& c : s) {
    const int r = int(rng() % 100);
    if (r < breakPercent)
      c = rng() % 2 ? '\r' : '\n';
    else if (r < breakPercent + printablePercent)
      c = char(0x20 + rng() % 0x5E);
    else
      c = char(rng() % 256);
  }
  return s;
}

TEST(LineCutterTest, AnySplitOfTheInputGivesTheLinesOfTheRules) {
  const uint64_t seed = testSeed(20240601);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 60; ++round) {
    const std::string bytes = randomBytes(rng, 1 + rng() % 3000, int(rng() % 5), int(rng() % 101));
    std::vector<size_t> pieces;
    for (size_t left = bytes.size(); left > 0;) {
      const size_t p = std::min<size_t>(left, rng() % 3 == 0 ? 1 + rng() % 5 : 1 + rng() % 300);
      pieces.push_back(p);
      left -= p;
    }
    ASSERT_EQ(cut(bytes, pieces), referenceLines(bytes)) << "round " << round;
  }
}

// Words that start, nearly start or hide statements and heads, with quotes, comments, line
// breaks and stray bytes between them, and runs of random bytes.
std::string statementishBytes(std::mt19937_64& rng, size_t n) {
  static const char* words[] = {
      // statement words, heads and their parts, and words that nearly are,
      "CREATE", "create", "Table", "TABLE", "USER", "CREATE USER U1", "CONNECT U", "CONNECTX", "GRANT",
      "exit", "EXITS", "  ALTER", "SQLVERSION", "SQLVERSIONS", "INSERT(", "ANALYZE", "XCREATE", "T_ABLE",
      "OR", "REPLACE", "PUBLIC", "SHARED", "DATABASE", "LINK", "SNAPSHOT", "LOG", "SYNONYM", "PACKAGE",
      "BODY", "UNIQUE", "INDEX", "TRIGGER", "ENDTABLE", "FORMAT71TRIG", "ON", "CREATE TABLE \"T\"",
      // quotes (some ending in a backslash), names, comments and punctuation
      "\"TABLE\"", "\"Q\"", "'CREATE\\", "\"x\\", "'GRANT", "'CREATE TABLE Q\\", "\"create user V\\", ".",
      "(", ");", "'s'", "--", "-3.5", "_", "b.c", "\\'"};
  std::string s;
  while (s.size() < n) {
    std::string word = words[rng() % std::size(words)];
    if (rng() % 8 == 0) word.insert(rng() % (word.size() + 1), 1, char(rng() % 8));  // a zero or control byte
    s += word;
    s += std::string(1, " ;(\"\r\n\x05"[rng() % 8]);
    if (rng() % 4 == 0) s += randomBytes(rng, rng() % 40, 3, 50);
  }
  return s;
}

// --- the reader against the builder's bookkeeping

class ReaderRangesTest : public TempFolderTest {
 protected:
  dumpbuilder::Expected build(dumpbuilder::Options o, const std::string& name = "d.dmp") {
    return dumpbuilder::buildDump(path(name), o);
  }
  std::vector<std::string> read(const std::string& name, int64_t chunk, int helpers = 0,
                                size_t minSegment = 1 << 20) {
    TExpFileRoot root;
    testing::readDump(root, path(name), chunk, helpers, minSegment);
    std::string tail(6, '\0');
    std::ifstream(path(name), std::ios::binary).seekg(-6, std::ios::end).read(tail.data(), 6);
    const bool closed = tail.find("EXIT") != std::string::npos;  // the builder leaves it out at times
    EXPECT_EQ(root.Message(), closed ? "" : kDumpEndsEarly);
    EXPECT_EQ(root.Incomplete(), !closed);
    EXPECT_EQ(root.ProcessedBytes(), int64_t(fs::file_size(path(name))));
    return dumpbuilder::treeLines(root);
  }
};

// Chunks cut lines anywhere, down to single bytes; helper threads cut the chunks in segments of
// their own.
TEST_F(ReaderRangesTest, EveryModeShapeLineEndingAndChunkingGivesTheBuildersTree) {
  const uint64_t seed = testSeed(13);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  const int64_t chunks[] = {200, 201, 202, 4096, 65537, TParseDumpfile::kDefaultChunkSize},
                tinyChunks[] = {1, 2, 7};
  const size_t segments[] = {1, 333, 4096};
  int round = 0;
  for (auto mode : {dumpbuilder::Mode::Entire, dumpbuilder::Mode::Users, dumpbuilder::Mode::Tables})
    for (auto shape : {dumpbuilder::Shape::Mixed, dumpbuilder::Shape::Text, dumpbuilder::Shape::Statements,
                       dumpbuilder::Shape::Binary})
      for (auto endings : {dumpbuilder::Endings::Lf, dumpbuilder::Endings::CrLf, dumpbuilder::Endings::Cr}) {
        dumpbuilder::Options o;
        o.mode = mode;
        o.shape = shape;
        o.endings = endings;
        o.user = "SCOTT";
        o.seed = seed + uint64_t(++round);
        // A read for every byte or two is slow: on the smaller statement-dense dumps only.
        const bool tiny = shape == dumpbuilder::Shape::Statements;
        const int64_t chunk = tiny ? tinyChunks[round % 3] : chunks[round % std::size(chunks)];
        o.targetSize = tiny ? 6 << 10 : 24 << 10;
        const auto expected = dumpbuilder::nodeLines(build(o));
        const size_t segment = segments[round / 6 % 3];
        EXPECT_EQ(read("d.dmp", chunk, tiny ? 0 : round % 4, segment), expected)
            << "round " << round << ", chunks of " << chunk << ", segments of " << segment;
      }
}

// A file read in chunks of several mebibytes has each chunk read in pieces by several threads;
// the pieces join up into the chunk the sequential read would give.
TEST_F(ReaderRangesTest, ChunksReadInPiecesAtOnceGiveTheBuildersTree) {
  const uint64_t seed = testSeed(15);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  dumpbuilder::Options o;
  o.shape = dumpbuilder::Shape::Mixed;
  o.targetSize = 7 << 20;
  o.seed = seed;
  const auto expected = dumpbuilder::nodeLines(build(o));
  for (int64_t chunk : {int64_t(2) << 20, int64_t(3 << 20) + 4097, TParseDumpfile::kDefaultChunkSize})
    EXPECT_EQ(read("d.dmp", chunk, 3, 256 << 10), expected) << "chunks of " << chunk;
}

// The tree of a reading with its statement marks and open node.
std::vector<std::string> readingState(const TExpFileRoot& root) {
  std::vector<std::string> lines = dumpbuilder::treeLines(root);
  lines.push_back("marks " + std::to_string(root.StatementStart()) + " " +
                  std::to_string(root.NextStatementStart()) + " open " +
                  std::string(root.OpenNode() != nullptr ? root.OpenNode()->Name() : "-"));
  return lines;
}

// The same of a reading that hands every line, in full, to the recogniser without its shortcut.
std::vector<std::string> fullParseTree(const std::string& bytes, int mode, const std::string& user) {
  TExpFileRoot root;
  testing::startReading(root, mode, user);
  TDumpRecogniser recogniser(root);
  recogniser.SetShortcut(false);
  for (const auto& line : referenceLines(bytes)) {
    root.SetReadPosition(line.end);
    ProcessDumpLine(recogniser, root, line.text);
  }
  return readingState(root);
}

TEST_F(ReaderRangesTest, SkippedLinesAndHelperThreadsLeaveTheTreeAsTheFullParseDoes) {
  // The reader passes over lines that cannot start a statement and cuts chunks with helpers; a
  // reading that parses every line in full must come to the same tree.
  const uint64_t seed = testSeed(14);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  dumpbuilder::Options o;
  o.targetSize = 80 << 10;
  o.seed = seed;
  build(o);
  TExpFileRoot dump;
  testing::readDump(dump, path("d.dmp"), 777, 2, 1000);
  EXPECT_EQ(readingState(dump), fullParseTree(readFile(path("d.dmp")), 1, "SYSTEM"));
  for (int round = 0; round < 40; ++round) {
    // From text with many lines to binary without a single line break.
    const int breaks = round % 5 == 4 ? 0 : int(rng() % 6);
    std::string bytes = round % 2 ? statementishBytes(rng, 2000 + rng() % 20000)
                                  : randomBytes(rng, 2000 + rng() % 20000, breaks, int(rng() % 101));
    if (breaks == 0 && round % 2 == 0)
      for (auto& c : bytes)
        if (c == '\r' || c == '\n') c = 'x';
    writeFile(path("r.dmp"), bytes);
    const int mode = 1 + round % 3;
    const int64_t chunk = 1 + int64_t(rng() % 9000);
    const int helpers = int(rng() % 4);
    const size_t segment = 1 + rng() % 700;
    TExpFileRoot root;
    root.SetExportMode(mode);
    root.SetExportUser("SYSTEM");
    root.SetDumpFileName(path("r.dmp"));
    TParseDumpfile reader(root, nullptr, nullptr, chunk);
    reader.SetParallelism(helpers, segment);
    reader.Execute();
    ASSERT_EQ(readingState(root), fullParseTree(bytes, mode, "SYSTEM"))
        << "round " << round << ", chunks of " << chunk << ", " << helpers << " helpers, segments of "
        << segment;
  }
}

// The real dumps are smaller than two of the reader's default segments, so that read whole they
// never reach the helpers: read here in small chunks and segments, each with one, two and three
// helpers, every reading must give the independent reading beside the dump, node by node, and
// end as the reading of the whole file ends.
TEST_F(ReaderRangesTest, RealDumpsCutBySeveralThreadsGiveTheirIndependentReadings) {
  const fs::path dumps = fs::path(VELMARON_TEST_DATA) / "dumps";
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dumps)) {
    if (entry.path().extension() != ".dmp") continue;
    ++count;
    const std::string dump = entry.path().string();
    std::vector<std::string> want;
    std::istringstream tree(readFile(fs::path(entry.path()).replace_extension(".tree").string()));
    for (std::string line; std::getline(tree, line);) want.push_back(line);
    ASSERT_FALSE(want.empty()) << dump;
    const int64_t size = int64_t(fs::file_size(entry.path()));
    TExpFileRoot whole;
    testing::readDump(whole, dump);
    for (const auto& [chunk, helpers, segment] :
         {std::tuple<int64_t, int, size_t>{size / 3 + 1, 1, 4096}, {65536, 2, 1000}, {201 * 7, 3, 200}}) {
      TExpFileRoot root;
      testing::readDump(root, dump, chunk, helpers, segment);
      EXPECT_EQ(dumpbuilder::treeLines(root), want)
          << entry.path().filename() << ": chunks of " << chunk << ", " << helpers << " helpers";
      EXPECT_EQ(root.ProcessedBytes(), size);
      EXPECT_EQ(root.Message(), whole.Message()) << entry.path().filename();
      EXPECT_EQ(root.Incomplete(), whole.Incomplete()) << entry.path().filename();
    }
  }
  EXPECT_GE(count, 13);
}

TEST_F(ReaderRangesTest, QuotedHeadEndingInABackslashIsFoundAsTheFullParseFindsIt) {
  // The scanner drops an unterminated quote that ends in a backslash and reads the rest again, so
  // such a line is a head although its first character is a quote.
  writeFile(path("q.dmp"), "CONNECT SCOTT\n'CREATE TABLE X\\\nSTORAGE(INITIAL 1)\nGRANT ALL\n");
  TExpFileRoot root;
  root.SetExportMode(2);
  root.SetDumpFileName(path("q.dmp"));
  TParseDumpfile(root, nullptr, nullptr).Execute();
  EXPECT_EQ(dumpbuilder::treeLines(root),
            (std::vector<std::string>{"\t1\t\t-1\t0", "SCOTT\t1\tSCOTT\t-1\t0", "SCOTT\t2\tX\t14\t36"}));
}

TEST_F(ReaderRangesTest, OffsetsBeyondTwoGibibytesComeOutExactly) {
  dumpbuilder::Options o;
  o.targetSize = 40 << 10;
  o.holeSize = int64_t(5) << 29;  // 2.5 GiB of zero bytes, left as a hole where the disk allows
  o.seed = testSeed(15);
  const auto expected = build(o, "big.dmp");
  ASSERT_GT(expected.size, int64_t(1) << 32 >> 1);
  const auto& last = expected.nodes.back();
  EXPECT_GT(last.start, int64_t(1) << 31);
  EXPECT_EQ(read("big.dmp", TParseDumpfile::kDefaultChunkSize), dumpbuilder::nodeLines(expected));

  std::string text;
  int64_t beyond = -1, length = 0;
  for (const auto& n : expected.nodes)
    if (n.start > (int64_t(1) << 31) && n.length > 0) beyond = n.start, length = n.length;
  ASSERT_GT(beyond, 0);
  ASSERT_TRUE(ReadDumpText(path("big.dmp"), beyond, text, length));
  EXPECT_EQ(text.rfind("CREATE ", 0), 0u);
}

// --- failures, progress, cancel, completion

class ReaderFailureTest : public TempFolderTest {
 protected:
  // Builds a small d.dmp; returns the builder's tree of it.
  std::vector<std::string> smallDump() {
    dumpbuilder::Options o;
    o.targetSize = 30 << 10;
    return dumpbuilder::nodeLines(dumpbuilder::buildDump(path("d.dmp"), o));
  }
};

TEST_F(ReaderFailureTest, FileThatCannotBeOpenedLeavesOnlyTheDefaultOwnerAndSaysSo) {
  TExpFileRoot root;
  testing::readDump(root, path("missing.dmp"));
  EXPECT_EQ(root.Message(), "open file: " + path("missing.dmp") + " error");
  EXPECT_EQ(root.UserCount(), 1);
  EXPECT_EQ(root.PublicObjectCount(), 0);

  TExpFileRoot folder;
  testing::readDump(folder, dir_.string());
  EXPECT_EQ(folder.Message(), "open file: " + dir_.string() + " error");
}

// An empty file, or a text file read on the user's word, holds nothing: the reading says so
// instead of the success text it began with.
TEST_F(ReaderFailureTest, EmptyOrTextFileGivesOnlyTheDefaultOwnerAndSaysNothingWasFound) {
  writeFile(path("notes.txt"), "hello\nline two\n");
  TExpFileRoot text;
  text.SetMessage("Read successfully!");
  testing::readDump(text, path("notes.txt"));
  EXPECT_EQ(text.Message(), kNothingFound);

  writeFile(path("empty.dmp"), "");
  TExpFileRoot root;
  root.SetExportUser("SYSTEM");
  root.SetDumpFileName(path("empty.dmp"));
  root.SetMessage("Read successfully!");
  RecordingProgress progress;
  TParseDumpfile reader(root, &progress, nullptr);
  reader.Execute();
  EXPECT_EQ(root.Message(), kNothingFound);
  ASSERT_EQ(root.UserCount(), 1);
  TExpFileUser* owner = nullptr;
  ASSERT_TRUE(root.GetUser(0, owner));
  EXPECT_EQ(owner->Name(), "SYSTEM");
  EXPECT_EQ(owner->NodeCount(), 0);
  EXPECT_EQ(progress.steps(), 0);
}

// A header file (the first 2048 bytes of a dump, zero-padded) opened as a dump is no whole
// reading: it says so and marks the tree incomplete, whose ranges all lie inside the file.
TEST_F(ReaderFailureTest, HeaderFileReadAsADumpIsIncompleteAndStaysInsideItsBytes) {
  smallDump();
  const std::string all = readFile(path("d.dmp"));
  for (const std::string& header : {all.substr(0, 2048), all.substr(0, 700) + std::string(1348, '\0')}) {
    writeFile(path("d.hed"), header);
    TExpFileRoot root;
    root.SetMessage("Read successfully!");
    testing::readDump(root, path("d.hed"));
    EXPECT_EQ(root.Message(), kDumpEndsEarly);
    EXPECT_TRUE(root.Incomplete());
    ForEachNode(root, [&](const TExpFileNode& n, const TExpFileUser*) {
      EXPECT_LE(n.StartOffset() + n.Length(), 2048) << n.Name();
    });
  }
}

// Row data may hold the word EXIT on a line of its own (a value between two length bytes that are
// line breaks); a dump cut short after it has not reached its closing records, which are the last
// lines of a dump.
TEST_F(ReaderFailureTest, ExitInRowDataBeforeTheCutIsNoClosingRecord) {
  smallDump();
  const std::string all = readFile(path("d.dmp"));
  const std::string row =
      std::string("\x02\x00\xc1\x02\x0a\x04\x00", 7) + "EXIT" + std::string("\x0a\x00", 2);
  for (const std::string& bytes : {all.substr(0, all.size() / 2) + row + "more row data\x01\x02",
                                   all.substr(0, all.size() / 2) + row + "EXIT\n\x05 EXIT\nEXIT"}) {
    writeFile(path("cut.dmp"), bytes);
    const bool endsWithClosingRecords = bytes.ends_with("EXIT\nEXIT");
    for (const int helpers : {0, 2}) {
      TExpFileRoot root;
      testing::readDump(root, path("cut.dmp"), 1000, helpers, 300);
      EXPECT_EQ(root.Message(), endsWithClosingRecords ? "" : kDumpEndsEarly) << helpers << " helpers";
      EXPECT_EQ(root.Incomplete(), !endsWithClosingRecords) << helpers << " helpers";
    }
  }
}

// A whole dump may have bytes after its closing records: the zero bytes that fill its last block
// (up to a tape-sized one), a line break more, blanks. It stays whole, however the reading is cut
// into chunks and segments.
TEST_F(ReaderFailureTest, BytesAfterTheClosingRecordsLeaveTheDumpWhole) {
  smallDump();
  std::string all = readFile(path("d.dmp"));
  ASSERT_NE(all.find("EXIT\nEXIT\n"), std::string::npos);
  all.resize(all.find("EXIT\nEXIT\n") + 10);
  for (const std::string& tail : {std::string(), std::string(65536, '\0'), std::string("\n"),
                                  std::string("\r\n"), std::string("\n\r\n\x1a"), std::string("   \n"),
                                  std::string(" \0\0 \r\n\0", 7), std::string("\t\n")}) {
    writeFile(path("t.dmp"), all + tail);
    for (const auto& [chunk, helpers, segment] :
         {std::tuple<int64_t, int, size_t>{TParseDumpfile::kDefaultChunkSize, 0, 1 << 20},
          {1000, 2, 300},
          {4096, 3, 200}}) {
      TExpFileRoot root;
      testing::readDump(root, path("t.dmp"), chunk, helpers, segment);
      EXPECT_EQ(root.Message(), "") << tail.size() << " bytes after, " << helpers << " helpers";
      EXPECT_FALSE(root.Incomplete()) << tail.size() << " bytes after, " << helpers << " helpers";
    }
  }
  // A character of a line after them, however far behind the blanks, is row data of a dump cut short.
  writeFile(path("t.dmp"), all + "  \n" + std::string(70000, '\0') + " \n" + std::string(70000, '\0') + "x");
  for (const int helpers : {0, 2}) {
    TExpFileRoot root;
    testing::readDump(root, path("t.dmp"), 4096, helpers, 300);
    EXPECT_EQ(root.Message(), kDumpEndsEarly) << helpers << " helpers";
    EXPECT_TRUE(root.Incomplete()) << helpers << " helpers";
  }
}

// Export closes a dump with two "EXIT" records. A real dump cut anywhere in them, or in the lines
// before them, lacks its last one and is cut, however the reading is split into chunks and
// segments, with the zero bytes of a last block after the cut or without; the tree keeps
// everything read before the cut. Only the last record's line break may be missing.
TEST_F(ReaderFailureTest, RealDumpCutAtAnyByteOfItsClosingRecordsIsIncomplete) {
  const std::string dump =
      (fs::path(VELMARON_TEST_DATA) / "dumps" / "maurofrugiueleadv__adv_stage_hr__hr.dmp").string();
  const std::string all = readFile(dump);
  const size_t closing = all.rfind("EXIT\nEXIT\n");
  ASSERT_NE(closing, std::string::npos);
  const size_t whole = closing + 9;  // the second record, with or without its line break
  TExpFileRoot full;
  testing::readDump(full, dump);
  ASSERT_EQ(full.Message(), "");
  ASSERT_FALSE(full.Incomplete());
  const std::vector<std::string> tree = dumpbuilder::treeLines(full);

  for (size_t size = all.rfind("METRICEUG0", closing); size <= closing + 12; ++size)
    for (const std::string& tail : {std::string(), std::string(300, '\0')}) {
      writeFile(path("cut.dmp"), all.substr(0, size) + tail);
      const bool cut = size < whole;
      for (const auto& [chunk, helpers, segment] :
           {std::tuple<int64_t, int, size_t>{TParseDumpfile::kDefaultChunkSize, 0, 1 << 20},
            {7, 0, 1 << 20},
            {4096, 2, 300}}) {
        const std::string at = "cut at " + std::to_string(size) + " of " + std::to_string(all.size()) + ", " +
                               std::to_string(tail.size()) + " zero bytes after, chunks of " +
                               std::to_string(chunk) + ", " + std::to_string(helpers) + " helpers";
        TExpFileRoot root;
        testing::readDump(root, path("cut.dmp"), chunk, helpers, segment);
        EXPECT_EQ(root.Message(), cut ? kDumpEndsEarly : "") << at;
        EXPECT_EQ(root.Incomplete(), cut) << at;
        EXPECT_EQ(dumpbuilder::treeLines(root), tree) << at;
      }
    }
}

// The closing records are two "EXIT" lines in a row: two with a line between them (a statement's
// or another), the last of them last in the file, are a dump cut after one of them, however the
// reading is split.
TEST_F(ReaderFailureTest, ExitLinesWithALineBetweenThemAreNoClosingRecords) {
  const std::string all =
      readFile((fs::path(VELMARON_TEST_DATA) / "dumps" / "maurofrugiueleadv__adv_stage_hr__hr.dmp").string());
  const size_t closing = all.rfind("METRICEUG0\nEXIT\nEXIT\n");
  ASSERT_NE(closing, std::string::npos);
  const std::string before = all.substr(0, closing);
  for (const auto& [tail, whole] : {std::pair<std::string, bool>{"EXIT\nENDTABLE\nEXIT\n", false},
                                    {"EXIT\nENDTABLE\nEXIT", false},
                                    {"EXIT\nENDTABLE\nEXIT\n" + std::string(200, '\0'), false},
                                    {"EXIT\nMETRICEUG0\nEXIT\n", false},
                                    {"EXIT\nENDTABLE\nEXIT\nEXIT\n", true}})
    for (const auto& [chunk, helpers, segment] :
         {std::tuple<int64_t, int, size_t>{TParseDumpfile::kDefaultChunkSize, 0, 1 << 20},
          {7, 0, 1 << 20},
          {4096, 2, 300}}) {
      writeFile(path("x.dmp"), before + tail);
      TExpFileRoot root;
      testing::readDump(root, path("x.dmp"), chunk, helpers, segment);
      EXPECT_EQ(root.Message(), whole ? "" : kDumpEndsEarly) << tail.size() << ", " << helpers << " helpers";
      EXPECT_EQ(root.Incomplete(), !whole) << tail.size() << ", " << helpers << " helpers";
    }
}

TEST_F(ReaderFailureTest, ShortReadsAreAskedAgainAndLoseNothing) {
  const auto expected = smallDump();
  TExpFileRoot root;
  testing::readDump(root, path("d.dmp"), 4096, 0, 1 << 20, testing::unreliableOpener(13));
  EXPECT_EQ(root.Message(), "");
  EXPECT_EQ(dumpbuilder::treeLines(root), expected);
}

TEST_F(ReaderFailureTest, ReadErrorEndsTheRunWithAMessageNeverAsSuccess) {
  smallDump();
  TExpFileRoot root;
  root.SetMessage("Read successfully!");
  testing::readDump(root, path("d.dmp"), 4096, 0, 1 << 20, testing::unreliableOpener(1 << 20, 10000));
  EXPECT_EQ(root.Message(), "read file: " + path("d.dmp") + " error (" + platform::errorText(EIO) + ")");
  EXPECT_LE(root.ProcessedBytes(), 10000);
}

class ThrowingProgress : public RecordingProgress {
 public:
  void stepIt() override { throw std::runtime_error("window gone"); }
};

TEST_F(ReaderFailureTest, ExceptionDuringTheRunSaysAnalyzeFileError) {
  smallDump();
  TExpFileRoot root;
  ThrowingProgress progress;
  testing::readDump(root, path("d.dmp"), 4096, 0, 1 << 20, nullptr, &progress);
  EXPECT_EQ(root.Message(), "Analyze file error! (window gone)");
  EXPECT_GE(root.UserCount(), 1);
}

class ReaderControlTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    dumpbuilder::Options o;
    o.targetSize = 100 << 10;
    expected_ = dumpbuilder::buildDump(path("d.dmp"), o);
    dumpbuilder::readHeaderFacts(path("d.dmp"), facts_);
  }
  dumpbuilder::Expected expected_;
  dumpbuilder::HeaderFacts facts_;
};

TEST_F(ReaderControlTest, ProgressRunsFrom1To100OneStepPerHundredthOfTheFile) {
  TExpFileRoot root;
  dumpbuilder::prepareRoot(root, path("d.dmp"), facts_);
  RecordingProgress progress;
  TParseDumpfile reader(root, &progress, nullptr, 3000);
  reader.Execute();
  EXPECT_EQ(root.Message(), "");
  EXPECT_EQ(root.ProcessedBytes(), expected_.size);
  EXPECT_EQ(progress.calls(), (std::vector<std::string>{"min 1", "max 100", "step 1", "position 1"}));
  const int64_t step = expected_.size / 100 + 1;
  EXPECT_EQ(progress.steps(), std::min<int64_t>(99, expected_.size / step));
}

// Holds the worker inside its tenth progress step until the test has cancelled it.
class GateProgress : public RecordingProgress {
 public:
  void stepIt() override {
    RecordingProgress::stepIt();
    if (steps() != 10) return;
    std::unique_lock lock(mutex_);
    reached_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }
  void waitUntilReached() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return reached_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool reached_ = false, released_ = false;
};

TEST_F(ReaderControlTest, CancelMidFileStopsTheRunAndKeepsTheTerminatedMessage) {
  TExpFileRoot root;
  dumpbuilder::prepareRoot(root, path("d.dmp"), facts_);
  GateProgress progress;
  std::atomic<int> done{0};
  TParseDumpfile reader(
      root, &progress, [&] { ++done; }, 1000);
  reader.Start();
  progress.waitUntilReached();
  CancelDumpJob(root, reader);
  progress.release();
  reader.WaitFor();
  EXPECT_EQ(done.load(), 1);
  EXPECT_TRUE(root.Cancelled());
  EXPECT_EQ(root.Message(),
            "Terminated by user! The reading is incomplete: the tree holds only what was read.");
  EXPECT_TRUE(root.Incomplete());
  EXPECT_LT(root.ProcessedBytes(), expected_.size / 2);
  int nodes = root.PublicObjectCount();
  TExpFileUser* owner = nullptr;
  for (int i = 0; root.GetUser(i, owner); ++i) nodes += 1 + owner->NodeCount();
  EXPECT_LT(size_t(nodes), expected_.nodes.size());
}

TEST_F(ReaderControlTest, CompletionRunsExactlyOnceOnEveryPath) {
  std::atomic<int> done{0};
  {
    TExpFileRoot root;
    dumpbuilder::prepareRoot(root, path("d.dmp"), facts_);
    TParseDumpfile reader(root, nullptr, [&] { ++done; });
    reader.Start();
    reader.WaitFor();
    EXPECT_EQ(done.load(), 1);
    EXPECT_THROW(reader.Start(), std::logic_error);
    EXPECT_THROW(reader.Execute(), std::logic_error);
  }
  EXPECT_EQ(done.load(), 1);
  {
    TExpFileRoot root;
    TParseDumpfile neverStarted(root, nullptr, [&] { ++done; });
  }
  EXPECT_EQ(done.load(), 2);
  {
    TExpFileRoot root;
    root.SetDumpFileName(path("missing.dmp"));
    TParseDumpfile failing(root, nullptr, [&] { ++done; });
    failing.Execute();
    EXPECT_EQ(done.load(), 3);
  }
  EXPECT_EQ(done.load(), 3);
  {
    // Destroying a running worker stops it; the completion still comes once.
    TExpFileRoot root;
    dumpbuilder::prepareRoot(root, path("d.dmp"), facts_);
    TParseDumpfile reader(
        root, nullptr, [&] { ++done; }, 1);
    reader.Start();
  }
  EXPECT_EQ(done.load(), 4);
}

// --- object text

class ReadDumpTextTest : public TempFolderTest {};

TEST_F(ReadDumpTextTest, DisplayTextIsTheCappedScriptAndNoRangeOrStatementGivesNone) {
  std::string bytes = "CREATE X\x1f\r\nMETRICEU 1\nCREATE ";
  bytes += std::string(20000, 'z');
  writeFile(path("f"), bytes);
  std::string text;
  ASSERT_TRUE(ReadDumpText(path("f"), 0, text, 22));
  EXPECT_EQ(text, "CREATE X;\n");
  ASSERT_TRUE(ReadDumpText(path("f"), 22, text, 20007));
  EXPECT_EQ(text, "CREATE " + std::string(10240 - 7, 'z'));
  text = "kept";
  EXPECT_FALSE(ReadDumpText(path("f"), int64_t(bytes.size()) - 3, text, 100));  // "zzz": no statement
  EXPECT_FALSE(ReadDumpText(path("f"), -1, text, 3));
  EXPECT_FALSE(ReadDumpText(path("f"), 0, text, 0));
  EXPECT_FALSE(ReadDumpText(path("missing"), 0, text, 3));
  EXPECT_FALSE(ReadDumpText(path("f"), int64_t(bytes.size()), text, 3));
  EXPECT_EQ(text, "kept");
}

TEST_F(ReadDumpTextTest, RawBytesAreExactAndARangeOutsideTheFileIsRefused) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += char(i);
  writeFile(path("f"), bytes);
  platform::InputFile file;
  ASSERT_TRUE(file.open(path("f")));
  std::string got;
  int error = -1;
  ASSERT_TRUE(ReadDumpBytes(file, 10, 290, got, error));
  EXPECT_EQ(got, bytes.substr(10));
  EXPECT_FALSE(ReadDumpBytes(file, 10, 291, got, error));
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(ReadDumpBytes(file, -1, 1, got, error));
  EXPECT_TRUE(ReadDumpBytes(file, 300, 0, got, error));
  EXPECT_EQ(got, "");
  testing::UnreliableReader failing(path("f"), 5, 100);
  EXPECT_FALSE(ReadDumpBytes(failing, 50, 100, got, error));
  EXPECT_EQ(error, EIO);
  testing::UnreliableReader shortReads(path("f"), 3);
  ASSERT_TRUE(ReadDumpBytes(shortReads, 0, 300, got, error));
  EXPECT_EQ(got, bytes);
}

}  // namespace
}  // namespace dumpfile
