#include "dumpfile/dumpyacc.h"

#include "dumpfile/u_parsedumpfile.h"
#include "tests/dumpfile/dumpfile_test_util.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace dumpfile {
namespace {

// A reading of dump text as the reader thread hands it over: the reader's own line cutter and
// ProcessDumpLine, with the read position just past the last byte fed.
class Reading : private DumpLineCutter::Sink {
 public:
  explicit Reading(int exportMode = 2, const std::string& exportUser = "SYSTEM") {
    testing::startReading(root, exportMode, exportUser);
  }

  // Feeds text; returns the recogniser's result for each line handed over.
  std::vector<int> feed(std::string_view text) {
    results_.clear();
    cutter_.feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), fed_, *this);
    fed_ += int64_t(text.size());
    root.SetReadPosition(fed_);
    return results_;
  }
  // One line followed by a line feed; its result.
  int line(std::string_view text) {
    const auto r = feed(std::string(text) + "\n");
    return r.empty() ? -1 : r.back();
  }

  TExpFileUser* owner(std::string_view name) const {
    const int i = root.FindUser(name);
    TExpFileUser* u = nullptr;
    if (i >= 0) root.GetUser(i, u);
    return u;
  }
  TExpFileUser* defaultOwner() const { return owner(root.ExportUser()); }
  TExpFileNode* publicObject(int i) const {
    TExpFileNode* n = nullptr;
    return root.GetPublicObject(i, n) ? n : nullptr;
  }
  static TExpFileNode* nodeOf(const TExpFileUser* u, int i) {
    TExpFileNode* n = nullptr;
    return u != nullptr && u->GetNode(i, n) ? n : nullptr;
  }
  // Names of an owner's objects, or of the public objects for nullptr, blank-separated.
  std::string names(const TExpFileUser* u) const {
    std::string out;
    for (int i = 0; TExpFileNode* n = u != nullptr ? nodeOf(u, i) : publicObject(i); ++i)
      out += (i ? " " : "") + std::string(n->Name());
    return out;
  }
  // Total object nodes in the tree (owners' objects and public objects), owners not counted.
  int objectCount() const {
    int n = 0;
    ForEachNode(root, [&](const TExpFileNode& node, const TExpFileUser* owner) { n += &node != owner; });
    return n;
  }

  TExpFileRoot root;
  TDumpRecogniser recogniser{root};

 private:
  bool onLine(const DumpLineCutter::Line& line, int64_t endOffset) override {
    root.SetReadPosition(endOffset);
    std::string scratch;
    results_.push_back(ProcessDumpLine(recogniser, root, line.text(scratch)));
    return true;
  }
  bool onPlainLines(int64_t, int64_t, int64_t) override { return false; }  // never summarised

  DumpLineCutter cutter_;
  int64_t fed_ = 0;
  std::vector<int> results_;
};

// ---------------------------------------------------------------------------------------------
// Kind, placement and user mode of every head the dump builder writes are checked against its
// expected trees; these are the spellings it never writes.

TEST(CreateHeads, SpellingsTheBuilderNeverWritesMakeTheirNodeWhereTheyBelong) {
  Reading r;
  for (const char* line : {"create public database link pl", "CREATE RW_PROCEDURE \"PR\"",
                           "CREATE SHARED SYNONYM \"SSY\"", "CREATE SHARED PUBLIC SYNONYM \"SPSY\""})
    r.line(line);
  EXPECT_EQ(r.names(nullptr), "pl");
  EXPECT_EQ(r.names(r.defaultOwner()), "PR SSY SPSY");
  EXPECT_EQ(r.defaultOwner()->Counter(kKindProcedures), 1);
  EXPECT_EQ(r.defaultOwner()->Counter(kKindSynonyms), 2);
  EXPECT_TRUE(r.root.UserMode());
  r.line("CONNECT SCOTT");
  r.line("CREATE PUBLIC SHARED DATABASE LINK \"PSL\"");
  EXPECT_EQ(r.names(r.owner("SCOTT")), "PSL") << "by user mode";
}

// ---------------------------------------------------------------------------------------------
// CONNECT in each export mode. Every CONNECT line ends the open object. Known owners, and unknown
// ones of user and table exports, are in the builder's dumps; these are the cases it never writes.

struct ConnectCase {
  int mode;
  std::vector<std::string> before;
  std::string line;
  int result;
  std::string current;  // the current owner afterwards
  int owners;
  std::string why;
};

void PrintTo(const ConnectCase& c, std::ostream* os) {
  *os << c.line << " in mode " << c.mode;
}

class ConnectLines : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectLines, SwitchOrCreateTheCurrentOwner) {
  const ConnectCase& c = GetParam();
  Reading r(c.mode);
  for (const auto& line : c.before) r.line(line);
  EXPECT_EQ(r.line(c.line), c.result) << c.why;
  EXPECT_EQ(r.root.OpenNode(), nullptr) << c.why;
  ASSERT_NE(r.owner(c.current), nullptr) << c.why;
  EXPECT_EQ(r.root.CurrentOwner(), r.owner(c.current)) << c.why;
  EXPECT_EQ(r.root.UserCount(), c.owners) << c.why;
  EXPECT_TRUE(c.result != 0 || r.root.UserMode()) << c.why;
  // An owner met only through CONNECT gets no range of its own.
  r.line("GRANT SELECT ON \"X\" TO PUBLIC");
  if (c.before.empty()) {
    EXPECT_EQ(r.root.CurrentOwner()->StartOffset(), -1) << c.why;
  }
}

const std::vector<std::string> kScottsTable = {"CREATE USER SCOTT", "CONNECT SCOTT", "CREATE TABLE \"EMP\""};

const ConnectCase kConnects[] = {
    {1, kScottsTable, "CONNECT GHOST", 1, "SCOTT", 2, "an unknown owner of an entire export changes nothing"},
    {2, {"CREATE USER SCOTT"}, "CONNECT scott", 0, "scott", 3, "owner names compare with case"},
    {2, {}, "CONNECT A.B", 0, "B", 2, "a qualified name keeps the part after the dot"},
    {2, {}, "CONNECT C extra", 1, "C", 2, "the head acts, then the trailing word fails the line"},
    {2, {"CREATE TABLE \"EMP\""}, "CONNECT", 1, "SYSTEM", 1, "a missing name changes no owner"},
    {2, {"CREATE TABLE \"EMP\""}, "CONNECT (", 1, "SYSTEM", 1, "a token where the name belongs"},
    {2, {"CREATE TABLE \"EMP\""}, "CONNECT USER", 1, "SYSTEM", 1, "a keyword where the name belongs"},
};

INSTANTIATE_TEST_SUITE_P(Lines, ConnectLines, ::testing::ValuesIn(kConnects));

// ---------------------------------------------------------------------------------------------
// Names: quoted, qualified, keywords, missing.

TEST(HeadNames, ObjectNamedLikeItsKeywordIsMade) {
  Reading r(2);
  EXPECT_EQ(r.line("CREATE TABLE \"TABLE\" (A NUMBER)"), 1);
  EXPECT_EQ(r.line("CREATE USER \"USER\""), 0);
  EXPECT_EQ(r.line("CONNECT \"CONNECT\""), 0);
  EXPECT_EQ(r.line("CREATE PACKAGE BODY \"BODY\""), 0);
  EXPECT_EQ(r.line("CREATE ROLE \"ROLE\""), 0);
  EXPECT_EQ(Reading::nodeOf(r.defaultOwner(), 0)->Name(), "TABLE");
  EXPECT_NE(r.owner("USER"), nullptr);
  EXPECT_EQ(r.root.CurrentOwner(), r.owner("CONNECT"));
  EXPECT_EQ(r.names(r.owner("CONNECT")), "BODY ROLE");
}

// A snapshot log closing the object before it is in the builder's dumps.
TEST(HeadNames, SnapshotLogMakesNoSnapshot) {
  Reading r;
  EXPECT_EQ(r.line("CREATE SNAPSHOT \"LOG\""), 1);
  EXPECT_EQ(r.objectCount(), 0);
  EXPECT_EQ(r.line("CREATE SNAPSHOT \"LOGS\" AS SELECT"), 1);
  EXPECT_EQ(r.line("CREATE SNAPSHOT log"), 0);  // only the exact word
  EXPECT_EQ(r.defaultOwner()->Counter(kKindSnapshots), 2);
}

TEST(HeadNames, LongNamesAreCutTo255AndLongLinesStillWork) {
  Reading r;
  const std::string name(180, 'N');
  EXPECT_EQ(r.line("CREATE TABLE \"" + name + "\""), 0);
  EXPECT_EQ(Reading::nodeOf(r.defaultOwner(), 0)->Name(), name);
  // Directly, past the reader's 201 characters: the line is cut to 255, the name then too.
  TExpFileRoot root;
  TDumpRecogniser rec(root);
  EXPECT_EQ(rec.ParseLine("CREATE TABLE " + std::string(300, 'x')), 0);
  EXPECT_EQ(root.OpenNode()->Name(), std::string(242, 'x'));
  EXPECT_THROW(rec.ParseLine(std::string(255, 'x')), lexyacc::LexYaccError);
}

// ---------------------------------------------------------------------------------------------
// Line results and where lines belong.

TEST(LineResults, ClosersAndHeadsWithoutANameEndTheOpenObjectAndBelongToNothing) {
  const char* closers[] = {
      // Other statements close too; the builder's dumps hold them. These are the CREATE lines that
      // make nothing: heads with nothing, a keyword or another token where the name belongs,
      "CREATE TABLE", "CREATE TABLE (A NUMBER)", "CREATE TABLE USER", "CREATE USER 12", "CREATE DIRECTORY",
      "CREATE DIRECTORY (", "CREATE DATABASE LINK ;", "CREATE PACKAGE BODY", "CREATE INDEX ON",
      "CREATE FORMAT71TRIG CREATE TRIGGER",
      // and CREATE lines that are no head, which must not be taken into the object before them.
      "CREATE TYPE \"T\" AS OBJECT (A NUMBER)", "CREATE GLOBAL TEMPORARY TABLE \"G\"", "CREATE",
      "CREATE OR REPLACE TYPE \"T\"", "CREATE UNIQUE TABLE \"X\"", "CREATE SHARED X",
      "CREATE FORMAT71TRIG CREATE OR REPLACE TRIGGER \"T\"", "CREATE 'x'"};
  for (const char* closer : closers) {
    Reading r;
    r.feed("CREATE TABLE \"EMP\" (A NUMBER)\n");
    EXPECT_EQ(r.line(closer), 1) << closer;
    EXPECT_EQ(r.root.OpenNode(), nullptr) << closer;
    EXPECT_EQ(r.objectCount(), 1) << closer;
    EXPECT_EQ(r.root.UserCount(), 1) << closer;
    TExpFileNode* emp = Reading::nodeOf(r.defaultOwner(), 0);
    EXPECT_EQ(emp->StartOffset(), 0) << closer;
    EXPECT_EQ(emp->Length(), 30) << closer;  // the head line only
    EXPECT_EQ(r.root.StatementStart(), r.root.ReadPosition()) << closer;
    EXPECT_EQ(r.root.NextStatementStart(), r.root.ReadPosition()) << closer;
  }
}

// ---------------------------------------------------------------------------------------------
// What the table-driven parser with default reductions and error recovery does on the lines that
// are easy to get wrong (the closers' list above has the lines that make nothing and close; the
// builder's dumps have the well-formed heads). Each row starts from an open table "OPEN" under the
// default owner.

struct Outcome {
  std::string line;
  int result;
  bool openClosed;   // OPEN got its range and is no longer open
  std::string made;  // name of the node or owner the line made, "" for none
  std::string why;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << o.line;
}

class ParserOutcomes : public ::testing::TestWithParam<Outcome> {};

TEST_P(ParserOutcomes, AsTheDriverWouldDecide) {
  const Outcome& o = GetParam();
  Reading r(2);
  r.line("CREATE TABLE \"OPEN\" (A NUMBER)");
  TExpFileNode* open = r.root.OpenNode();
  const int before = r.objectCount() + r.root.UserCount();
  EXPECT_EQ(r.line(o.line), o.result) << o.why;
  EXPECT_EQ(open->StartOffset() == 0, o.openClosed) << o.why;
  if (!o.openClosed) {  // the line joins OPEN: its statement goes on, the next one starts after it
    EXPECT_EQ(r.root.OpenNode(), open) << o.why;
    EXPECT_EQ(r.root.StatementStart(), 0) << o.why;
    EXPECT_EQ(r.root.NextStatementStart(), r.root.ReadPosition()) << o.why;
  }
  const int made = r.objectCount() + r.root.UserCount() - before;
  if (o.made.empty()) {
    EXPECT_EQ(made, 0) << o.why;
  } else {
    ASSERT_EQ(made, 1) << o.why;
    ASSERT_NE(r.root.OpenNode(), nullptr) << o.why;
    EXPECT_EQ(r.root.OpenNode()->Name(), o.made) << o.why;
  }
}

const Outcome kOutcomes[] = {
    {"   ", 1, false, "", "blanks only: end of input in the start state, statement: error, abort"},
    {"CREATE TABLE X Y", 1, true, "X", "NAME reduces by default, the head acts, then Y fails the statement"},
    {"CREATE TABLE \"X\" (", 1, true, "X", "the head acts before the rest of the line fails it"},
    {"CREATE TABLE X.Y.Z", 1, true, "Y", "owner.name is complete at Y; the rest fails after the action"},
    {"CREATE TABLE A.", 1, true, "", "end of input after the dot: qualified_name: error closes and aborts"},
    {"CREATE TABLE A.(", 1, true, "A", "a token after the dot: recovery keeps the owner part as the name"},
    {"CREATE UNIQUE INDEX a.b", 0, true, "b", "index_kind UNIQUE, qualified name keeps b, nothing follows"},
    {"CREATE TABLE \"S\".\"T\"", 1, true, "S",
     "a STRING is a simple name at once: the dot comes after the head"},
    {"CREATE TABLE TABLE", 1, true, "", "a keyword cannot be a name: recovered right after the keyword"},
    {"CREATE TABLE \"TABLE\"", 0, true, "TABLE", "a quoted name equal to the keyword is a real name"},
    {"COMMENT", 1, false, "", "COMMENT without ON: statement: error, the line joins OPEN"},
    {"COMMENT X", 1, false, "", "lines that start no statement join OPEN"},
    {"\"EMP\"", 1, false, "", ""},
    {"-- note", 1, false, "", ""},
    {"CONNECTX", 1, false, "", ""},
    // '_' has text, so recovery keeps the owner part; as token 0 it is the end of input: accepted.
    {"CREATE TABLE A._", 0, true, "A", "the name after the dot is missing"},
};

INSTANTIATE_TEST_SUITE_P(Lines, ParserOutcomes, ::testing::ValuesIn(kOutcomes));

// ---------------------------------------------------------------------------------------------
// Byte ranges over whole readings.

// Each node's name, range and whether it is open, in tree order; owners only once they have a range.
std::string ranges(const Reading& r) {
  std::string out;
  ForEachNode(r.root, [&](const TExpFileNode& n, const TExpFileUser* owner) {
    if (&n == owner && n.StartOffset() < 0) return;
    out += (out.empty() ? "" : " ") + std::string(n.Name()) + "@" + std::to_string(n.StartOffset()) + "+" +
           std::to_string(n.Length()) + (&n == r.root.OpenNode() ? " open" : "");
  });
  return out;
}

TEST(ByteRanges, ObjectsSpanFromAfterThePreviousLineToTheirLastTerminator) {
  struct Case {
    std::string text, ranges, why;
  };
  const Case cases[] = {
      {"CONNECT SCOTT\nCREATE TABLE \"EMP\" (\"EMPNO\" NUMBER)\nPCTFREE 10\n"
       "INSERT INTO \"EMP\" (\"EMPNO\") VALUES (:1)\nAB\x01\x02 rows\x03\n"
       "CREATE UNIQUE INDEX \"PK\" ON \"EMP\" (\"EMPNO\")\nENDTABLE\nCREATE SEQUENCE \"S\"\n",
       "EMP@14+47 PK@112+44 S@-1+0 open", "head and PCTFREE; INSERT closes; the last object has no end yet"},
      {"CREATE TABLE \"A\" (X NUMBER)\nCREATE TYPE \"T\" AS OBJECT\njunk\nCREATE TABLE \"B\"\nGRANT\n",
       "A@0+28 B@59+17", "a CREATE line that is no head is left out of the object before it"},
      {"CREATE TABLE \"A\"\nCREATE TABLE \"B\" (X NUMBER)\nSTORAGE(INITIAL 1)\n", "A@0+17 B@-1+0 open",
       "trailing tokens keep the new object open"},
      {std::string(201, ' ') + "CREATE TABLE \"B\"\n", "B@-1+0 open", "a later piece is parsed too"},
  };
  for (const Case& c : cases) {
    Reading r(2);
    r.feed(c.text);
    EXPECT_EQ(ranges(r), c.ranges) << c.why;
  }
  Reading r(2);
  EXPECT_EQ(r.feed(cases[0].text), (std::vector<int>{0, 1, 1, 1, 1, 1, 1, 0}));  // "AB rows" is one line
}

// ---------------------------------------------------------------------------------------------
// That the first-word shortcut changes nothing and that arbitrary bytes never break the parse is
// held over whole readings, by the reader's property test and its fuzz target.

TEST(RecogniserThreads, TwoReadingsRunAtTheSameTime) {
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += "CONNECT U" + std::to_string(i % 7) + "\n";
    text += "CREATE TABLE \"T" + std::to_string(i) + "\" (A NUMBER)\nrow data\x01\x02\n";
    text += "CREATE OR REPLACE VIEW V" + std::to_string(i) + " AS SELECT\nGRANT SELECT\n";
  }
  Reading single(2);
  single.feed(text);
  const auto expected = dumpbuilder::treeLines(single.root);
  std::vector<std::string> got[2];
  {
    auto read = [&](std::vector<std::string>& out) {
      Reading r(2);
      r.feed(text);
      out = dumpbuilder::treeLines(r.root);
    };
    std::jthread ta(read, std::ref(got[0])), tb(read, std::ref(got[1]));
  }
  EXPECT_EQ(got[0], expected);
  EXPECT_EQ(got[1], expected);
}

// ---------------------------------------------------------------------------------------------
// Recognising a line apart from the tree and applying the outcome later, on another recogniser,
// gives the answers, the failures and the tree of parsing the lines one by one.

TEST(RecogniserOutcomes, AppliedInOrderTheyMakeTheTreeOfTheLinesParsedOneByOne) {
  const uint64_t seed = testing::testSeed(4949);
  SCOPED_TRACE("VELMARON_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  static const char* const kWords[] = {
      "CREATE", "TABLE", "USER", "CONNECT", "OR", "REPLACE", "VIEW", "PACKAGE", "BODY", "PUBLIC", "SHARED",
      "DATABASE", "LINK", "SYNONYM", "ROLLBACK", "SEGMENT", "UNIQUE", "INDEX", "SNAPSHOT", "LOG", "ALTER",
      "GRANT", "EXIT", "INSERT", "INTO", "ANALYZE", "COMMENT", "ON", "FORMAT71", "FORMAT71TRIG", "TRIGGER",
      "ENDTABLE", "\"Q N\"", "A.B", "U1", "U2", "X.", ".", "'s'", "(", "--", "\\", "T1", "\"\"", "tablespace",
      "sequence", "role",
      // The shapes the recogniser takes without its scanner, and what makes it give them up.
      "DIRECTORY", "FUNCTION", "PROCEDURE", "BITMAP", "CLUSTER", "profile", "\"A\\\"", "\"", "'", ";", "@",
      "1", "-", ".5", "\t", "Q.\"R\"", "\"S\".", "2147483648", "'t\\'", "\"\\\"\"", "CREATE SNAPSHOT",
      "CREATE TABLE", "CREATE OR REPLACE", "CREATE PACKAGE", "CREATE UNIQUE", "CREATE USER"};
  for (int mode : {1, 2}) {
    TExpFileRoot direct, applied;
    testing::startReading(direct, mode, "SYSTEM");
    testing::startReading(applied, mode, "SYSTEM");
    TDumpRecogniser parser(direct), applier(applied), recogniser;
    TDumpRecogniser::Outcome outcome;
    for (int i = 0; i < 20000; ++i) {
      std::string line;
      for (int w = int(rng() % 6); w >= 0; --w) {
        if (!line.empty() && rng() % 4 != 0) line += ' ';
        line += kWords[rng() % std::size(kWords)];
      }
      if (rng() % 50 == 0) line = std::string(250 + rng() % 10, 'x');
      SCOPED_TRACE(line);
      int want = -1, got = -1;
      bool wantThrow = false, gotThrow = false;
      const int64_t at = int64_t(i + 1) * 10;
      direct.SetReadPosition(at);
      applied.SetReadPosition(at);
      try {
        want = ProcessDumpLine(parser, direct, line);
      } catch (const lexyacc::LexYaccError&) {
        wantThrow = true;
      }
      recogniser.Recognise(line, outcome);
      // The reader looks for the closing record only among the lines that close.
      if (IsClosingRecord(line)) {
        ASSERT_EQ(outcome.action, TDumpRecogniser::Outcome::kClose);
      }
      try {
        got = ApplyDumpLine(applier, applied, outcome);
      } catch (const lexyacc::LexYaccError&) {
        gotThrow = true;
      }
      ASSERT_EQ(gotThrow, wantThrow);
      ASSERT_EQ(got, want);
    }
    EXPECT_EQ(dumpbuilder::treeLines(applied), dumpbuilder::treeLines(direct));
  }
}

// The closing record, in any case and between any blanks, closes the open object with or without
// the shortcuts, so the reader needs to look for it only among the lines that close.
TEST(RecogniserOutcomes, ClosingRecordsAreLinesThatClose) {
  for (const bool shortcut : {true, false}) {
    TDumpRecogniser recogniser;
    recogniser.SetShortcut(shortcut);
    TDumpRecogniser::Outcome outcome;
    for (const char* line : {"EXIT", "exit", " Exit", "eXiT   ", "   EXIT   "}) {
      SCOPED_TRACE(line);
      ASSERT_TRUE(IsClosingRecord(line));
      recogniser.Recognise(line, outcome);
      EXPECT_EQ(outcome.action, TDumpRecogniser::Outcome::kClose);
      EXPECT_EQ(outcome.result, 1);
    }
    for (const char* line : {"EXIT;", "EXITS", "EX IT", "\tEXIT", "EXIT 1", ""})
      EXPECT_FALSE(IsClosingRecord(line));
  }
}

// Heads whose names hold what a dump may hold (bytes of other scripts, doubled quotes, dots, names
// of 30, 31 and 128 bytes, keywords in any case, a keyword's prefix), with what may follow them:
// the recogniser's outcome, applied, answers as parsing the line does and makes the same tree.
TEST(RecogniserOutcomes, HeadsWithUnusualNamesAnswerAsTheParse) {
  const std::string n30(30, 'N'), n31 = "Q" + std::string(30, '1'), n128(128, 'z');
  const std::vector<std::string> heads = {"CREATE TABLE",
                                          "create table",
                                          "Create Table",
                                          "CREATE TABLEX",
                                          "CREATE TABLE_",
                                          "CREATE UNIQUE INDEX",
                                          "CREATE OR REPLACE VIEW",
                                          "CREATE PACKAGE BODY",
                                          "CREATE PACKAGE",
                                          "CREATE USER",
                                          "CONNECT",
                                          "CREATE SNAPSHOT",
                                          "CREATE SYNONYM",
                                          "CREATE DATABASE LINK",
                                          "CREATE ROLLBACK SEGMENT",
                                          "ANALYZE TABLE",
                                          "INSERT INTO",
                                          "COMMENT ON",
                                          "CREATE  TABLE",
                                          "CREATE\tTABLE",
                                          "CREATE\rTABLE",
                                          "  CREATE TABLE",
                                          "\tCREATE TABLE",
                                          "CREATE TABLE\r\n",
                                          "CONNECT\r",
                                          "create or replace package body"};
  const std::vector<std::string> names = {"T",
                                          "\"T\"",
                                          "\"A\"\"B\"",
                                          "\"\"\"\"",
                                          "\"\"",
                                          "\"A.B\"",
                                          "A.B",
                                          "A.\"B.C\"",
                                          "\"A\".\"B\"",
                                          "\"A\".B",
                                          "A . B",
                                          "A.B.C",
                                          "A.",
                                          "A.1",
                                          "A.table",
                                          "\"T\xC3\x84\xC3\x96\"",
                                          "\"\xE2\x82\xAC\"",
                                          "T\xC3\x84",
                                          "\"\x80\xFF\"",
                                          "\"a\rb\"",
                                          "\"tab\there\"",
                                          "\"a\\\"",
                                          "\"a\\\"b\"",
                                          "\"" + n30 + "\"",
                                          n30,
                                          n31,
                                          "\"" + n31 + "\"",
                                          n128,
                                          "\"" + n128 + "\"",
                                          "A#$_1",
                                          "TABLE",
                                          "\"TABLE\"",
                                          "table",
                                          "LOG",
                                          "log",
                                          "\"LOG\"",
                                          "PUBLIC",
                                          "X.LOG",
                                          "_A",
                                          "$A",
                                          "1A",
                                          "\"A'B\"",
                                          "'A'",
                                          "A--B",
                                          "\"--\""};
  const std::vector<std::string> tails = {"",    " (",    "(",   " \"X\"", " \"X", "\r",   " \r",
                                          " --", " -- c", "\t",  " 'x'",   " 'x",  ";",    " @",
                                          " 1",  " .5",   " AS", " \"",    "\"",   " \x80"};
  for (int mode : {1, 2}) {
    TExpFileRoot direct, applied;
    testing::startReading(direct, mode, "SYSTEM");
    testing::startReading(applied, mode, "SYSTEM");
    TDumpRecogniser parser(direct), applier(applied), recogniser;
    TDumpRecogniser::Outcome outcome;
    int64_t at = 0;
    for (const std::string& head : heads) {
      for (const std::string& name : names)
        for (const std::string& tail : tails)
          for (const char* gap : {" "}) {
            const std::string line = head + gap + name + tail;
            SCOPED_TRACE(line);
            int want = -1, got = -1;
            bool wantThrow = false, gotThrow = false;
            at += 10;
            direct.SetReadPosition(at);
            applied.SetReadPosition(at);
            try {
              want = ProcessDumpLine(parser, direct, line);
            } catch (const lexyacc::LexYaccError&) {
              wantThrow = true;
            }
            recogniser.Recognise(line, outcome);
            try {
              got = ApplyDumpLine(applier, applied, outcome);
            } catch (const lexyacc::LexYaccError&) {
              gotThrow = true;
            }
            ASSERT_EQ(gotThrow, wantThrow);
            ASSERT_EQ(got, want);
          }
    }
    EXPECT_EQ(dumpbuilder::treeLines(applied), dumpbuilder::treeLines(direct));
  }
}

// ---------------------------------------------------------------------------------------------
// Scanner state after a line that went through the parse.

TEST(RecogniserScanner, TextAndColumnStandAtTheTokenThatFailedTheLine) {
  TExpFileRoot root;
  TDumpRecogniser rec(root);
  EXPECT_EQ(rec.ParseLine("CREATE TABLE X Y"), 1);
  EXPECT_EQ(rec.Lexer().yytext.view(), "Y");
  EXPECT_EQ(rec.Lexer().yycolno, 16);
  EXPECT_EQ(rec.ParseLine("CREATE TABLE"), 1);
  EXPECT_TRUE(rec.Lexer().yytext.empty());
  EXPECT_EQ(rec.Lexer().yycolno, 13);
}

TEST(RecogniserScanner, WithoutADefaultOwnerTheFirstOwnedObjectMakesOne) {
  TExpFileRoot root;
  root.SetExportUser("SYS");
  TDumpRecogniser rec(root);
  EXPECT_EQ(rec.ParseLine("CREATE TABLE T"), 0);
  ASSERT_EQ(root.UserCount(), 1);
  TExpFileUser* u = nullptr;
  root.GetUser(0, u);
  EXPECT_EQ(u->Name(), "SYS");
  EXPECT_EQ(u->NodeCount(), 1);
}

}  // namespace
}  // namespace dumpfile
