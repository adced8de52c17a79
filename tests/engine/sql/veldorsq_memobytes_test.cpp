// A memo that an expression makes (a concatenation, CAST to a memo, IF with memo branches, the
// text functions on a memo) is stored as exactly its text's bytes, whatever size the expression
// declares for it; a memo's own bytes, zero bytes included, go from one row to another unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/veldortypes.h"
#include "engine/sql/veldorsq.h"
#include "engine/storage/veldorfielddesc.h"
#include "sql_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using namespace std::string_literals;
using sql_test::SqlDatabase;

class MemoBytes : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.run("CREATE TABLE t (id INTEGER, s CHAR(20), m BLOB(1, 1), m2 BLOB(1, 1))");
    db_.run("INSERT INTO t (id, s, m) VALUES (1, 'ab', 'm')");
    db_.run("INSERT INTO t (id, s, m) VALUES (2, 'text', 'a longer memo')");
  }
  // The memo m of row `id`, every byte the table holds for it.
  std::string memo(int id, const char* column = "m") {
    return db_.run(std::string("SELECT ") + column + " FROM t WHERE id = " + std::to_string(id));
  }
  // Inserts row `id` with the memo `bytes` given as a parameter.
  void insertMemo(int id, const std::string& bytes) {
    TFieldDescriptor d;
    d.SetType(uint8_t(TEngineFieldType::Blob));
    d.SetSubType(uint8_t(TEngineFieldSubType::Memo));
    d.SetStoredSize(8);
    d.SetOffset(0);
    std::vector<uint8_t> values{1};
    for (int shift = 0; shift < 32; shift += 8) values.push_back(uint8_t(bytes.size() >> shift));
    values.insert(values.end(), bytes.begin(), bytes.end());
    sql::TQueryStatement s(db_.directory());
    s.Prepare("INSERT INTO t (id, m) VALUES (" + std::to_string(id) + ", ?)");
    s.SetParams(1, std::span(&d, 1), values);
    s.Execute();
  }

  platform::testing::TempFolder folder_;
  SqlDatabase db_{folder_.path()};
};

TEST_F(MemoBytes, AConcatenationIsStoredAsItsBytesAlone) {
  db_.run("INSERT INTO t (id, m) SELECT id + 10, s || m FROM t");
  db_.run("INSERT INTO t (id, m) SELECT id + 20, m + s FROM t WHERE id < 10");
  db_.run("INSERT INTO t (id, m) SELECT id + 30, s || m || s FROM t WHERE id < 10");
  EXPECT_EQ(memo(11), "abm\n");
  EXPECT_EQ(memo(12), "texta longer memo\n");
  EXPECT_EQ(memo(21), "mab\n");
  EXPECT_EQ(memo(22), "a longer memotext\n");
  EXPECT_EQ(memo(31), "abmab\n");

  db_.run("UPDATE t SET m = m || 'x', m2 = 'y' || m WHERE id < 10");
  EXPECT_EQ(memo(1), "mx\n");
  EXPECT_EQ(memo(1, "m2"), "ym\n");
  EXPECT_EQ(memo(2), "a longer memox\n");

  // In a result table, and as a text that a condition measures.
  EXPECT_EQ(db_.run("SELECT id, s || m FROM t WHERE id < 10 ORDER BY id"), "1|abmx\n2|texta longer memox\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE LENGTH(s || m) = 4"), "1\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE LENGTH(m) = 3"), "11\n21\n");
}

TEST_F(MemoBytes, OtherMemoResultsAreStoredAsTheirBytesAlone) {
  db_.run("INSERT INTO t (id, m) SELECT id + 10, CAST(s AS BLOB(1, 1)) FROM t WHERE id = 1");
  db_.run("INSERT INTO t (id, m) SELECT id + 20, CAST(m AS BLOB(1, 1)) FROM t WHERE id = 1");
  db_.run("INSERT INTO t (id, m) SELECT id + 30, IF(id = 1 THEN m ELSE 'other') FROM t WHERE id < 10");
  db_.run(
      "INSERT INTO t (id, m) SELECT id + 80, IF(id = 1 THEN m ELSE 'a text longer than m') FROM t WHERE id = "
      "2");
  db_.run("INSERT INTO t (id, m) SELECT id + 40, UPPER(m) FROM t WHERE id < 10");
  db_.run("INSERT INTO t (id, m) SELECT id + 50, SUBSTRING(m FROM 3) FROM t WHERE id = 2");
  db_.run("INSERT INTO t (id, m) SELECT id + 60, TRIM(BOTH 'a' FROM m) FROM t WHERE id = 2");
  db_.run("INSERT INTO t (id, m) SELECT id + 70, REPLACE('longer' WITH 'short' IN m) FROM t WHERE id = 2");
  EXPECT_EQ(memo(11), "ab\n");
  EXPECT_EQ(memo(21), "m\n");
  EXPECT_EQ(memo(31), "m\n");
  EXPECT_EQ(memo(32), "other\n");
  EXPECT_EQ(memo(41), "M\n");
  EXPECT_EQ(memo(42), "A LONGER MEMO\n");
  EXPECT_EQ(memo(52), "longer memo\n");
  EXPECT_EQ(memo(62), " longer memo\n");
  EXPECT_EQ(memo(72), "a short memo\n");
  EXPECT_EQ(memo(82), "a text longer than m\n");
}

TEST_F(MemoBytes, AMemoKeepsItsZeroBytesFromRowToRow) {
  const std::string bytes = "a\0b\0\0c"s;
  insertMemo(5, bytes);
  EXPECT_EQ(memo(5), bytes + "\n");
  db_.run("INSERT INTO t (id, m) SELECT id + 1, m FROM t WHERE id = 5");
  db_.run("UPDATE t SET m2 = m WHERE id = 5");
  db_.run("INSERT INTO t (id, m) SELECT id + 2, IF(id = 5 THEN m ELSE 'other') FROM t WHERE id = 5");
  EXPECT_EQ(memo(6), bytes + "\n");
  EXPECT_EQ(memo(5, "m2"), bytes + "\n");
  EXPECT_EQ(memo(7), bytes + "\n");
  EXPECT_EQ(db_.run("SELECT id, m FROM t WHERE id = 5 OR id = 6 ORDER BY id"),
            "5|" + bytes + "\n6|" + bytes + "\n");
}

// Every expression whose result is a memo carries the memo by its length: zero bytes at its start,
// inside and at its end come through concatenation, the case mappings, SUBSTRING, TRIM and REPLACE,
// and LENGTH counts them. A comparison and LIKE read a memo as a text (up to its first zero).
class MemoZeroBytes : public MemoBytes {
 protected:
  // The memo of row 5: zero bytes first, inside (one and two) and last.
  const std::string bytes_ = "\0a\0b\0\0cx\0"s;
  void SetUp() override {
    MemoBytes::SetUp();
    // A memo parameter's last zero byte is its terminator.
    insertMemo(5, bytes_ + '\0');
    ASSERT_EQ(memo(5), bytes_ + "\n");
  }
};

TEST_F(MemoZeroBytes, AnUpdateThatAppendsKeepsEveryByte) {
  db_.run("UPDATE t SET m2 = 'z' + m WHERE id = 5");
  db_.run("UPDATE t SET m = m || 'y' WHERE id = 5");
  EXPECT_EQ(memo(5), bytes_ + "y\n");
  EXPECT_EQ(memo(5, "m2"), "z" + bytes_ + "\n");
  db_.run("UPDATE t SET m = m2 || m WHERE id = 5");
  EXPECT_EQ(memo(5), "z" + bytes_ + bytes_ + "y\n");
  db_.run("UPDATE t SET m2 = s || m WHERE id = 1");
  EXPECT_EQ(memo(1, "m2"), "abm\n");

  // A memo of zero bytes only, and one that a NULL text is joined to.
  insertMemo(6, "\0\0"s);
  db_.run("UPDATE t SET m = m || s, m2 = s || m WHERE id = 6");
  EXPECT_EQ(memo(6), "\0\n"s);
  EXPECT_EQ(memo(6, "m2"), "\0\n"s);
  EXPECT_EQ(db_.run("SELECT id, m || '!' FROM t WHERE id = 5 OR id = 6 ORDER BY id"),
            "5|z" + bytes_ + bytes_ + "y!\n6|\0!\n"s);
}

TEST_F(MemoZeroBytes, LengthCountsEveryCharacter) {
  EXPECT_EQ(db_.run("SELECT LENGTH(m), LENGTH(m || 'yz'), LENGTH(s || m) FROM t WHERE id = 5"), "9|11|9\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE LENGTH(m) = 9"), "5\n");
}

TEST_F(MemoZeroBytes, SubstringCountsPositionsOverEveryByte) {
  EXPECT_EQ(db_.run("SELECT SUBSTRING(m FROM 2 FOR 3) FROM t WHERE id = 5"), "a\0b\n"s);
  EXPECT_EQ(db_.run("SELECT SUBSTRING(m FROM 4) FROM t WHERE id = 5"), "b\0\0cx\0\n"s);
  EXPECT_EQ(db_.run("SELECT SUBSTRING(m FROM 0 FOR 1) FROM t WHERE id = 5"), "\0\n"s);
  EXPECT_EQ(db_.run("SELECT SUBSTRING(m FROM 9) FROM t WHERE id = 5"), "\0\n"s);
  EXPECT_EQ(db_.run("SELECT SUBSTRING(m FROM 10) FROM t WHERE id = 5"), "NULL\n");
  db_.run("UPDATE t SET m2 = SUBSTRING(m FROM 1) WHERE id = 5");
  EXPECT_EQ(memo(5, "m2"), bytes_ + "\n");
}

TEST_F(MemoZeroBytes, CaseMappingsTrimAndReplaceMapEveryByte) {
  EXPECT_EQ(db_.run("SELECT UPPER(m) FROM t WHERE id = 5"), "\0A\0B\0\0CX\0\n"s);
  db_.run("UPDATE t SET m2 = UPPER(m) WHERE id = 5");
  EXPECT_EQ(db_.run("SELECT LOWER(m2) FROM t WHERE id = 5"), bytes_ + "\n");
  EXPECT_EQ(db_.run("SELECT UPPER(s || m) FROM t WHERE id = 5"), "\0A\0B\0\0CX\0\n"s);

  // TRIM removes its character around the zero bytes, never through them.
  insertMemo(7, "x\0xax\0x"s);
  EXPECT_EQ(db_.run("SELECT TRIM(BOTH 'x' FROM m) FROM t WHERE id = 7"), "\0xax\0\n"s);
  EXPECT_EQ(db_.run("SELECT TRIM(LEADING 'x' FROM m) FROM t WHERE id = 7"), "\0xax\0x\n"s);
  EXPECT_EQ(db_.run("SELECT TRIM(TRAILING 'x' FROM m) FROM t WHERE id = 7"), "x\0xax\0\n"s);
  EXPECT_EQ(db_.run("SELECT TRIM(BOTH 'a' FROM m) FROM t WHERE id = 5"), bytes_ + "\n");

  EXPECT_EQ(db_.run("SELECT REPLACE('x' WITH 'yy' IN m) FROM t WHERE id = 7"), "yy\0yyayy\0yy\n"s);
  db_.run("UPDATE t SET m = REPLACE('cx' WITH 'q' IN m) WHERE id = 5");
  EXPECT_EQ(memo(5), "\0a\0b\0\0q\0\n"s);

  // Another blob made of a memo takes its bytes too; a string ends at its first zero byte.
  EXPECT_EQ(db_.run("SELECT CAST(m AS BLOB(1, 2)) FROM t WHERE id = 7"), "x\0xax\0x\n"s);
  EXPECT_EQ(db_.run("SELECT CAST(m AS CHAR(10)) FROM t WHERE id = 7"), "x\n");
}

// Letters beyond ASCII go through the locale's case map, one stretch between zero bytes at a time.
TEST_F(MemoZeroBytes, CaseMappingsOfLettersBeyondAsciiKeepTheZeroBytesInPlace) {
  const std::string accented = "\0\xC3\xA9t\xC3\xA9\0\0\xC3\xBC\0"s;
  insertMemo(8, accented + '\0');
  EXPECT_EQ(db_.run("SELECT UPPER(m) FROM t WHERE id = 8"), "\0\xC3\x89T\xC3\x89\0\0\xC3\x9C\0\n"s);
  db_.run("UPDATE t SET m2 = UPPER(m) WHERE id = 8");
  EXPECT_EQ(db_.run("SELECT LOWER(m2) FROM t WHERE id = 8"), accented + "\n");
  EXPECT_EQ(db_.run("SELECT LENGTH(UPPER(m)) FROM t WHERE id = 8"), "8\n");
}

// What reads a memo as a text keeps doing so: it ends at the memo's first zero byte.
TEST_F(MemoZeroBytes, ComparisonsReadAMemoUpToItsFirstZeroByte) {
  insertMemo(6, "ab\0cd"s);
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE m = 'ab'"), "6\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE m || 'x' = 'ab' ORDER BY id"), "6\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE m LIKE 'ab%' ORDER BY id"), "6\n");
  EXPECT_EQ(db_.run("SELECT id FROM t WHERE id > 4 AND m < 'a' ORDER BY id"), "5\n");
}

// One statement over many rows reuses its values from row to row: a long memo's bytes never reach
// the shorter one after it, whether the memo comes from a column or from a parameter given anew.
TEST_F(MemoZeroBytes, ALongerMemoLeavesNothingInTheNextRow) {
  insertMemo(6, "q"s);
  insertMemo(7, "LONG\0LONGER\0LONGEST"s);
  insertMemo(8, "z"s);
  db_.run("UPDATE t SET m2 = UPPER(m) || m WHERE id >= 5");
  EXPECT_EQ(db_.run("SELECT id, LENGTH(m2), m2 FROM t WHERE id >= 5 ORDER BY id"),
            "5|18|\0A\0B\0\0CX\0"s + bytes_ +
                "\n6|2|Qq\n7|38|LONG\0LONGER\0LONGESTLONG\0LONGER\0LONGEST\n8|2|Zz\n"s);
  db_.run("UPDATE t SET m2 = SUBSTRING(m FROM 2) || TRIM(BOTH 'L' FROM m) WHERE id >= 5");
  EXPECT_EQ(db_.run("SELECT id, LENGTH(m2), m2 FROM t WHERE id >= 5 ORDER BY id"),
            "5|17|" + bytes_.substr(1) + bytes_ +
                "\n6|1|q\n7|36|ONG\0LONGER\0LONGESTONG\0LONGER\0LONGEST\n8|1|z\n"s);

  TFieldDescriptor d[2];
  for (auto& one : d) {
    one.SetType(uint8_t(TEngineFieldType::Blob));
    one.SetSubType(uint8_t(TEngineFieldSubType::Memo));
    one.SetStoredSize(8);
  }
  // Two memo parameters, each its has-value byte, its 4-byte length and its bytes.
  auto give = [&](sql::TQueryStatement& s, const std::string& first, const std::string& second) {
    std::vector<uint8_t> values;
    for (const std::string* bytes : {&first, &second}) {
      if (bytes == &second) d[1].SetOffset(uint32_t(values.size()));
      values.push_back(1);
      for (int shift = 0; shift < 32; shift += 8) values.push_back(uint8_t(bytes->size() >> shift));
      values.insert(values.end(), bytes->begin(), bytes->end());
    }
    s.SetParams(2, std::span(d, 2), values);
    s.Execute();
  };
  sql::TQueryStatement s(db_.directory());
  s.Prepare("UPDATE t SET m2 = UPPER(?) || m || ? WHERE id = 5 OR id = 6");
  give(s, "longparam\0\0xyz"s, "end\0"s + '\0');
  EXPECT_EQ(db_.run("SELECT id, LENGTH(m2), m2 FROM t WHERE id = 5 OR id = 6 ORDER BY id"),
            "5|27|LONGPARAM\0\0XYZ"s + bytes_ + "end\0\n6|19|LONGPARAM\0\0XYZqend\0\n"s);
  give(s, "p"s, "r"s);
  EXPECT_EQ(db_.run("SELECT id, LENGTH(m2), m2 FROM t WHERE id = 5 OR id = 6 ORDER BY id"),
            "5|11|P" + bytes_ + "r\n6|3|Pqr\n"s);
}

}  // namespace
