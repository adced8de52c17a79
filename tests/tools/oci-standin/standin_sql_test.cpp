#include <gtest/gtest.h>

#include "tools/oci-standin/standin_number.h"
#include "tools/oci-standin/standin_rewrite.h"
#include "tools/oci-standin/standin_types.h"
#include "tools/oci-standin/standin_values.h"

namespace ocistandin {
namespace {

const DateTime kSample{1987, 4, 9, 15, 5, 7};  // a Thursday afternoon

std::string wire(const char* text) {
  const NumberBytes b = toNumberBytes(*parseNumberText(text));
  std::string hex;
  char digits[4];
  for (size_t i = 0; i < b.length; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", b.bytes[i]);
    hex += digits;
  }
  return hex;
}

TEST(StandinNumberTest, WireBytesPairDigitsAroundThePoint) {
  EXPECT_EQ(wire("0"), "80");
  EXPECT_EQ(wire("1"), "C102");
  EXPECT_EQ(wire("100"), "C202");
  EXPECT_EQ(wire("0.5"), "C033");
  EXPECT_EQ(wire("123.45"), "C202182E");
  EXPECT_EQ(wire("-1"), "3E6466");
  EXPECT_EQ(wire("-123.45"), "3D644E3866");
}

TEST(StandinNumberTest, ColumnsRoundToTheirScaleAndRefuseWhatTheirPrecisionCannotHold) {
  const auto fit = [](const char* text, int precision, int scale) {
    const auto n = fitNumber(*parseNumberText(text), precision, scale, false);
    return n ? numberText(*n) : std::string("ORA-01438");
  };
  EXPECT_EQ(fit("0.1", 38, 0), "0");
  EXPECT_EQ(fit("0.5", 38, 0), "1");
  EXPECT_EQ(fit("-12.345", 7, 2), "-12.35");
  EXPECT_EQ(fit("99999.994", 7, 2), "99999.99");
  EXPECT_EQ(fit("99999.995", 7, 2), "ORA-01438");
  EXPECT_EQ(fit("12345", 4, 0), "ORA-01438");
  EXPECT_EQ(fit("1250", 4, -2), "1300");
  EXPECT_EQ(fit(".000123", 2, 5), ".00012");
  EXPECT_EQ(fit(".00123", 2, 5), "ORA-01438");
}

TEST(StandinNumberTest, ComparisonFollowsSignThenPlaceThenDigits) {
  const auto cmp = [](const char* a, const char* b) {
    return compareNumbers(*parseNumberText(a), *parseNumberText(b));
  };
  EXPECT_EQ(cmp("-2", "1"), -1);
  EXPECT_EQ(cmp("0", "-0.001"), 1);
  EXPECT_EQ(cmp("100", "99.999"), 1);
  EXPECT_EQ(cmp("-100", "-99.999"), -1);
  EXPECT_EQ(cmp("1.25", "1.250"), 0);
  EXPECT_EQ(cmp("1.25", "1.251"), -1);
}

TEST(StandinNumberTest, StorageKeepsWhatSqliteCannotAsText) {
  EXPECT_EQ(storedNumber(*parseNumberText("9007199254740993")).kind, StoredNumber::Kind::Integer);
  EXPECT_EQ(storedNumber(*parseNumberText("0.1")).kind, StoredNumber::Kind::Real);
  const StoredNumber wide = storedNumber(*parseNumberText("123456789012345678901234567890.5"));
  EXPECT_EQ(wide.text, "#123456789012345678901234567890.5");
  EXPECT_EQ(toInteger(*parseNumberText("9223372036854775807.4")), INT64_MAX);
  EXPECT_FALSE(toInteger(*parseNumberText("9223372036854775807.5")));
  EXPECT_FALSE(parseNumberText("1E+126"));
  EXPECT_EQ(numberText(*parseNumberText("-1.5E+45")), "-15" + std::string(44, '0'));
}

TEST(StandinNumberTest, TextIsFixedUpTo64CharactersAndScientificBeyond) {
  const std::string forty = "1234567890123456789012345678901234567891";
  // 64 characters fixed: sign, point, 22 zeros and 40 digits.
  const std::string longestFixed = "-." + std::string(22, '0') + forty;
  EXPECT_EQ(numberText(*parseNumberText(longestFixed)), longestFixed);
  EXPECT_EQ(numberText(*parseNumberText("-." + std::string(24, '0') + forty)),
            "-1." + forty.substr(1) + "E-25");
  EXPECT_EQ(numberText(*parseNumberText("1" + std::string(63, '0'))), "1" + std::string(63, '0'));
  EXPECT_EQ(numberText(*parseNumberText("1E+64")), "1E+64");
  // The longest text of all: 40 digits and a three-digit exponent.
  const std::string longest = "-1." + forty.substr(1) + "E-129";
  EXPECT_EQ(longest.size(), 47u);
  EXPECT_EQ(numberText(*parseNumberText(longest)), longest);
}

TEST(StandinDateTest, FormatModelsWriteWhatTheServerShows) {
  const struct {
    const char* model;
    const char* text;
  } cases[] = {
      {"DD-MON-RR", "09-APR-87"},
      {"YYYY-MM-DD HH24:MI:SS", "1987-04-09 15:05:07"},
      {"Month DD, YYYY", "April     09, 1987"},
      {"FMMonth DD, YYYY", "April 9, 1987"},
      {"fmmonth", "april"},
      {"DY Day", "THU Thursday "},
      {"HH:MI AM", "03:05 PM"},
      {"hh12 a.m.", "03 p.m."},
      {"SSSSS", "54307"},
      {"\"at\" HH24", "at 15"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(formatDate(kSample, c.model, out), 0) << c.model;
    EXPECT_EQ(out, c.text) << c.model;
  }
  std::string out;
  EXPECT_EQ(formatDate(kSample, "DD-QQ", out), 1821);
}

TEST(StandinDateTest, ParsingReadsEveryModelItWritesAndRefusesBadFields) {
  const struct {
    const char* text;
    const char* model;
    int error;
    DateTime expected;
  } cases[] = {
      {"09-APR-87", "DD-MON-RR", 0, {1987, 4, 9}},
      {"09-apr-07", "DD-MON-RR", 0, {2007, 4, 9}},
      {"1987/4/9 3:05:07 PM", "YYYY-MM-DD HH:MI:SS AM", 0, {1987, 4, 9, 15, 5, 7}},
      {"12 AM 2000.01.01", "HH AM YYYY.MM.DD", 0, {2000, 1, 1, 0, 0, 0}},
      {"April 9, 1987", "Month DD, YYYY", 0, {1987, 4, 9}},
      {"Thursday 09-04-1987", "Day DD-MM-YYYY", 0, {1987, 4, 9}},
      {"54307 1987-04-09", "SSSSS YYYY-MM-DD", 0, {1987, 4, 9, 15, 5, 7}},
      {"2001-13-01", "YYYY-MM-DD", 1843, {}},
      {"2001-02-29", "YYYY-MM-DD", 1847, {}},
      {"2001-02-28 24", "YYYY-MM-DD HH24", 1850, {}},
      {"2001-02-28 13", "YYYY-MM-DD HH", 1849, {}},
      {"2001-02-28 x", "YYYY-MM-DD", 1830, {}},
      {"2001-FOO-28", "YYYY-MON-DD", 1843, {}},
      {"abc", "YYYY", 1861, {}},
      {"2001", "YYYY-QQ", 1821, {}},
  };
  for (const auto& c : cases) {
    DateTime d;
    EXPECT_EQ(parseDate(c.text, c.model, d), c.error) << c.text;
    if (c.error == 0) {
      EXPECT_EQ(d, c.expected) << c.text;
    }
  }
}

TEST(StandinDateTest, StoredAndWireFormsRoundTripAndRefuseImpossibleDates) {
  for (const DateTime d :
       {kSample, DateTime{1, 1, 1}, DateTime{9999, 12, 31, 23, 59, 59}, DateTime{2000, 2, 29, 12}}) {
    DateTime back;
    ASSERT_TRUE(parseCanonicalDate(canonicalDate(d), back));
    EXPECT_EQ(back, d);
    const auto bytes = toOraDate(d);
    ASSERT_TRUE(fromOraDate(bytes.data(), back));
    EXPECT_EQ(back, d);
  }
  EXPECT_EQ(toOraDate(kSample), (std::array<uint8_t, 7>{119, 187, 4, 9, 16, 6, 8}));
  DateTime d;
  for (const char* bad : {"1900-02-29 00:00:00", "2001-04-31", "2001-4-01", "2001-04-01 24:00:00",
                          "0000-01-01", "2001-04-01T10:00:00"})
    EXPECT_FALSE(parseCanonicalDate(bad, d)) << bad;
  const uint8_t badBytes[][7] = {
      {119, 187, 2, 30, 1, 1, 1}, {119, 187, 4, 9, 25, 1, 1}, {99, 100, 1, 1, 1, 1, 1}};
  for (const auto& b : badBytes) EXPECT_FALSE(fromOraDate(b, d));
}

TEST(StandinDateTest, NumbersReadAsTheServerWritesThem) {
  EXPECT_EQ(numberText(800), "800");
  EXPECT_EQ(numberText(-3), "-3");
  EXPECT_EQ(numberText(0.5), ".5");
  EXPECT_EQ(numberText(-0.25), "-.25");
  EXPECT_EQ(numberText(1234.5), "1234.5");
  // As any NUMBER's text: fixed up to 64 characters, scientific beyond.
  EXPECT_EQ(numberText(1e20), "100000000000000000000");
  EXPECT_EQ(numberText(1e63), "1" + std::string(63, '0'));
  EXPECT_EQ(numberText(-1e-6), "-.000001");
  EXPECT_EQ(numberText(1e64), "1E+64");
}

TEST(StandinRewriteTest, OracleSpellingsBecomeSqlite) {
  const struct {
    const char* in;
    const char* out;
    const char* own;
  } cases[] = {
      {"select * from emp where empno = :empno", "select * from emp where empno = :EMPNO", ""},
      {"select :\"Mixed\" from dual", "select :Mixed from dual", ""},
      {"select * from emp for update nowait", "select * from emp ", ""},
      {"select * from emp for update of sal, ename wait 5", "select * from emp ", ""},
      {"select 'for update' from emp", "select 'for update' from emp", ""},
      {"insert into t values (emp_seq.NEXTVAL)", "insert into t values (ora_nextval('EMP_SEQ'))", ""},
      {"select scott.emp_seq.currval from dual", "select ora_currval('SCOTT', 'EMP_SEQ') from dual", ""},
      {"select rowid, e.ROWID from emp e",
       "select ora_rowid(_rowid_) AS \"ROWID\", ora_rowid(e._rowid_) AS \"ROWID\" from emp e", ""},
      {"select rowid r, length(rowid) from t where rowid = :r or t.rowid = 'x'",
       "select ora_rowid(_rowid_) r, length(ora_rowid(_rowid_)) from t where _rowid_ = ora_rowid_row(:R) or "
       "t._rowid_ = ora_rowid_row('x')",
       ""},
      {"create table t (a timestamp(3) with time zone, b interval day(2) to second, c varchar2(5 char))",
       "create table t (a TIMESTAMP_WITH_TIME_ZONE(3), b INTERVAL_DAY_TO_SECOND(2,6) , c varchar2(5 ))", ""},
      {"create table t (a char(2), b nchar, c char(3) collate binary)",
       "create table t (a char(2) COLLATE RTRIM, b nchar COLLATE RTRIM, c char(3) collate binary)", ""},
      {"create table u as select cast(a as char(2)) a from t",
       "create table u as select cast(a as char(2)) a from t", ""},
      {"select e.a || nvl(b, 'x') || :c || (1 + 2) from t e",
       "select ifnull(e.a, '') || ifnull(nvl(b, 'x'), '') || ifnull(:C, '') || ifnull((1 + 2), '') from t e",
       ""},
      {"select cursor(select x.a from t x where x.b = o.b and x.c = :c) from t o",
       "select ora_cursor('select x.a from t x where x.b = \x02"
       "1\x02 and x.c = \x02"
       "2\x02', o.b, :C) AS \"CURSOR\" from t o",
       ""},
      {"insert into t values (12345678901234567890, -0.1234567890123456789, 5)",
       "insert into t values ('#12345678901234567890', '#-.1234567890123456789', 5)", ""},
      {"(select a from t) union (select b from u) order by 1",
       "select a from t union select b from u order by 1", ""},
      {"select a from t union all (select b from u)", "select a from t union all select b from u", ""},
      {"select * from (select a from t) union select b from u",
       "select * from (select a from t) union select b from u", ""},
      {"select * from x where a in ((select a from t) union (select b from u))",
       "select * from x where a in (select a from t union select b from u)", ""},
      {"select * from scott.emp, other.dept", "select * from main.emp, other.dept", "SCOTT"},
      {"insert into t values (scott.s.nextval) -- :ignored",
       "insert into t values (ora_nextval('SCOTT', 'S')) -- :ignored", "SCOTT"},
      {"select 'it''s :x' from dual", "select 'it''s :x' from dual", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(rewriteSql(c.in, c.own).sql, c.out) << c.in;
}

TEST(StandinRewriteTest, KindsAndBindsComeFromTheTextAlone) {
  const RewrittenSql r = rewriteSql("begin :Res := :a || :RES || :\"b\"; end;");
  EXPECT_EQ(r.kind, StatementKind::Begin);
  EXPECT_EQ(r.binds, (std::vector<std::string>{"RES", "A", "b"}));
  const struct {
    const char* text;
    StatementKind kind;
  } kinds[] = {{" /* c */ SELECT 1", StatementKind::Select},
               {"with q as (select 1) select * from q", StatementKind::Select},
               {"(select 1)", StatementKind::Select},
               {"insert into t values (1)", StatementKind::Insert},
               {"Update t set a = 1", StatementKind::Update},
               {"delete t", StatementKind::Delete},
               {"declare x int; begin null; end;", StatementKind::Declare},
               {"ALTER SESSION SET NLS_DATE_FORMAT = 'YYYY'", StatementKind::Alter},
               {"commit", StatementKind::Commit},
               {"merge into t", StatementKind::Other},
               {"", StatementKind::Other}};
  for (const auto& k : kinds) EXPECT_EQ(rewriteSql(k.text).kind, k.kind) << k.text;
  EXPECT_EQ(normaliseBindName(":dept"), "DEPT");
  EXPECT_EQ(normaliseBindName("\"Dept\""), "Dept");
  EXPECT_EQ(scanSql("select 'open").back().kind, TokenKind::Unterminated);
}

TEST(StandinTypeTextTest, DeclarationsOfObjectsVarraysAndNestedTablesAreRead) {
  TypeSpec spec;
  std::string error;
  ASSERT_TRUE(
      parseTypeSpec("create or replace type scott.person_t force as object (name varchar2(20),"
                    " amount number(7, 2), boss ref scott.person_t) not final;",
                    spec, error))
      << error;
  EXPECT_EQ(spec.owner, "SCOTT");
  EXPECT_EQ(spec.name, "PERSON_T");
  EXPECT_TRUE(spec.orReplace);
  EXPECT_FALSE(spec.final);
  ASSERT_EQ(spec.attributes.size(), 3u);
  EXPECT_EQ(spec.attributes[0], (std::pair<std::string, std::string>{"NAME", "VARCHAR2(20)"}));
  EXPECT_EQ(spec.attributes[1].second, "NUMBER(7,2)");
  EXPECT_EQ(spec.attributes[2].second, "REF SCOTT.PERSON_T");
  ASSERT_TRUE(parseTypeSpec("create type phones_t as varying array(3) of varchar2(20)", spec, error));
  EXPECT_EQ(spec.kind, TypeKind::Varray);
  EXPECT_EQ(spec.limit, 3u);
  EXPECT_EQ(spec.element, "VARCHAR2(20)");
  ASSERT_TRUE(parseTypeSpec("create type lines_t is table of number\n/", spec, error));
  EXPECT_EQ(spec.kind, TypeKind::Table);

  for (const char* refused :
       {"create type t as object ()", "create type t as object (a number, a date)",
        "create type t as object (a number, member function f return number)",
        "create type t as varray(0) of number", "create type t as table of",
        "create type body t as begin null; end;", "create type t", "create table t (a number)",
        "create type t as object (a varchar2(10)) extra"}) {
    EXPECT_FALSE(parseTypeSpec(refused, spec, error)) << refused;
    EXPECT_FALSE(error.empty()) << refused;
  }
}

TEST(StandinTypeTextTest, ImagesRoundTripAndDamagedOnesAreRefused) {
  Image image;
  std::string error;
  const std::string text = "SCOTT.PERSON_T('Ann''s', SCOTT.ADDRESS_T(NULL, '12345'), SCOTT.PHONES_T())";
  ASSERT_TRUE(readImage(text, image, error)) << error;
  EXPECT_EQ(image.text, "SCOTT.PERSON_T");
  ASSERT_EQ(image.items.size(), 3u);
  EXPECT_EQ(image.items[0].text, "Ann's");
  EXPECT_EQ(image.items[1].items[0].kind, Image::Kind::Null);
  EXPECT_TRUE(image.items[2].items.empty());
  EXPECT_EQ(writeImage(image), text);

  std::string deep;
  for (int i = 0; i <= kMaxImageDepth + 1; ++i) deep += "T(";
  for (const std::string& damaged :
       {std::string("T('a'"), std::string("T('a' 'b')"), std::string("'a' T()"), std::string("T(1)"),
        std::string("T('unterminated)"), std::string(""), deep}) {
    EXPECT_FALSE(readImage(damaged, image, error)) << damaged;
    EXPECT_FALSE(error.empty()) << damaged;
  }
}

}  // namespace
}  // namespace ocistandin
