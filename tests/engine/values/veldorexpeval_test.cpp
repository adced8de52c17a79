#include "engine/values/veldorexpeval.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/engine/values/exp_test_util.h"

namespace engine {
namespace {

using T = TEngineFieldType;

// A record of a small table: its fields by number, each NULL or a value.
struct Field {
  const char* name;
  T type;
  uint32_t size;
};
const Field kFields[] = {{"I", T::Integer, 4},
                         {"J", T::Integer, 4},
                         {"S", T::String, 21},
                         {"T", T::String, 21},
                         {"D", T::Date, 4},
                         {"E", T::Date, 4},
                         {"F", T::Float, 8},
                         {"B", T::Boolean, 2},
                         {"N", T::Boolean, 2},
                         {"SMITH", T::Integer, 4},
                         // Tested in place only.
                         {"K", T::SmallInt, 2},
                         {"W", T::Word, 2},
                         {"L", T::LargeInt, 8},
                         {"M", T::BCD, 34},
                         {"H", T::Time, 4},
                         {"P", T::Timestamp, 8},
                         {"U", T::String, 9}};
struct Value {
  bool null = true;
  int64_t i = 0;
  double f = 0;
  std::string s;
};
struct Record {
  std::vector<Value> values = std::vector<Value>(std::size(kFields));
  int reads = 0;
};

bool resolve(void*, TExpToken& node) {
  for (size_t k = 0; k < std::size(kFields); ++k)
    if (strcasecmp(kFields[k].name, node.columnName.c_str()) == 0) {
      node.fieldNo = uint16_t(k + 1);
      node.type = kFields[k].type;
      node.SetValueSize(kFields[k].size);
      return true;
    }
  return false;
}

void readColumn(void*, void* data1, TExpToken& result) {
  auto& record = *static_cast<Record*>(data1);
  ++record.reads;
  const Value& v = record.values[result.fieldNo - 1];
  std::fill(result.Value(), result.Value() + result.ValueCapacity(), uint8_t(0));
  result.isNull = v.null;
  if (v.null) return;
  if (result.type == T::String) return result.SetText(v.s);
  if (result.type == T::Float) return PutFloatValue(result.Value(), v.f);
  if (result.type == T::Boolean) return PutWordValue(result.Value(), uint16_t(v.i));
  PutIntegerValue(result.Value(), int32_t(v.i));
}

std::string render(const TExpToken& r) {
  if (r.isNull) return "NULL";
  switch (r.type) {
    case T::String:
      return std::string(r.Text());
    case T::Boolean:
      return GetWordValue(r.Value()) ? "True" : "False";
    case T::Float:
      return FloatToText(GetFloatValue(r.Value()));
    case T::Date:
      return DateToText(GetIntegerValue(r.Value()));
    default:
      return std::to_string(GetIntegerValue(r.Value()));
  }
}

// Parsed, checked (quoted texts may name columns), prepared; evaluated on each record as text.
// An error gives "!" and its message.
std::vector<std::string> evaluate(const std::string& text, std::vector<Record>& records,
                                  bool quotedColumns = true) {
  std::string error;
  auto tree = exp_test::parseAll(text, 0x1F, nullptr, error);
  if (!tree) return {"!" + error};
  std::vector<std::string> results;
  try {
    TypeCheckExpTree(VELDOR_SQLPARSE, "", "", quotedColumns, true, resolve, nullptr, nullptr, *tree, "test");
    TExpTreePtr prepared(PrepareExpTree(tree.get(), nullptr, nullptr, false, false, 0, 0));
    for (auto& record : records)
      results.push_back(
          render(*TExpTreePtr(EvaluateExpTree(prepared.get(), &record, &record, 0, 0, readColumn))));
  } catch (const EVELDOREngineError& e) {
    return {"!" + e.Item(kItemText)};
  }
  return results;
}

TEST(ExpressionEvaluationTest, FunctionsPredicatesAndCheckMessages) {
  Record r;
  auto set = [&](int k, int64_t i, std::string s = "") { r.values[k] = Value{false, i, double(i) / 2, s}; };
  set(0, 5), set(2, 0, "Smith"), set(4, 730486), set(5, 730485), set(6, 0), set(7, 1), set(9, 7);
  r.values[6].f = 2.5;
  std::vector<Record> one{r};
  const std::pair<std::string, const char*> rows[] = {
      {"SUBSTRING('abcdef' FROM 0 FOR 2) || SUBSTRING('abc' FROM 2) || SUBSTRING('abc' FROM 2 FOR 10)",
       "abbcbc"},
      {"SUBSTRING('abc' FROM 5)", "NULL"},
      {"POS('c' IN 'abcabc') * 10 + OCCURS('aa' IN 'aaaa')", "32"},
      {"TRIM(BOTH 'x' FROM 'xxaxx') || TRIM(LEADING 'x' FROM 'xxx')", "a"},
      {"CAST('abc' AS INTEGER) + CAST('12' AS SMALLINT)", "12"},
      {"EXTRACT(DAYOFWEEK FROM D) * 10 + EXTRACT(HOUR FROM D)", "10"},
      {"EXTRACT(YEAR FROM D) + EXTRACT(WEEK FROM D) + EXTRACT(DAY FROM D)", "2003"},
      {"NOT N", "True"},
      {"ROUND(F TO 0) + ROUND(-F TO 0) * 10", "-27"},
      {"T NOT LIKE 'a%' AND NOT (T LIKE '%') AND J IN (1, NULL)", "True"},
      {"S = 'Smi*' AND S LIKE 'Smi%' AND S = 'Smith' AND S LIKE 'S_i%h' AND NOT (S LIKE 'mi%')", "True"},
      {"B AND NOT (S = 'smith') AND UPPER(S) = 'SMITH' AND LOWER(S) = 'smith'", "True"},
      {"IF(B THEN 'yes' ELSE NULL) || REPLACE('m' WITH 'M' IN S) || CAST(LENGTH(S) AS CHAR(2))", "yesSMith5"},
      {"(D - E) + (D - 1 - E) + I / 0", "NULL"},
      {"CAST(D - E AS CHAR(3)) || CAST(CAST(7 AS DECIMAL(5, 2)) / 2 AS CHAR(9))", "13.5"},
      {"D > '2000-12-31' AND D BETWEEN '2001-01-01' AND E + 1 AND CURRENT_DATE > D", "True"},
      {"CAST(REPLACE('m' WITH '" + std::string(300, 'x') + "' IN S) AS CHAR(4)) || CAST(D AS CHAR(3))",
       "Sxxx"},
      {"D = '2001-02-30'",
       "!Date, time, or timestamp expression expected, instead found '2001-02-30' in test"},
      {"ROUND(F TO 33)",
       "!Decimal places argument of ROUND function must be an integer constant between 0 and 32 in test"},
      {"TRIM(LEADING 'ab' FROM S)",
       "!Trim character argument of TRIM function must be a single character constant in test"},
      {"I + S", "!Type mismatch between column 'I' and column 'S' in test"},
      {"NOT I", "!Type mismatch between 'NOT' operator and 'I' in test"},
      {"X = 1", "!Invalid column name 'X' or table correlation name '' specified in test"},
      {"SUM(S)",
       "!SUM aggregate function must contain a numeric, date, time, or timestamp expression in test"},
      {"IF(B THEN NULL ELSE NULL)",
       "!At least one of the second and third IF expression arguments in test must be a non-NULL value"},
      {"CAST(D AS TIME)", "!Type mismatch between column 'D' and AS argument in test"},
      {"CAST(I AS DECIMAL(5, 6))",
       "!Scale argument must be an integer less than or equal to 4 for the BCD data type test"},
      {"CAST(I AS CHAR(251))",
       "!Length argument must be an integer greater than 0 and less than or equal to 250 in test"},
      {"CAST(S AS BLOB(1, 4))",
       "!BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in test"},
      {"S LIKE 1", "!Type mismatch between LIKE operator and expression '1' in test"},
      {"I IN (1, 'a')", "!Type mismatch between IN operator and expression 'a' in test"},
      {"EXTRACT(DAY FROM I)",
       "!FROM argument of EXTRACT function must be a date, time, or timestamp in test"},
      {"TEXTSEARCH(S IN S)", "!TEXTSEARCH search text function argument must be a string constant in test"},
  };
  for (auto [text, expected] : rows) EXPECT_EQ(evaluate(text, one)[0], expected) << text;

  // The right operand of AND decides alone when it is false; BETWEEN skips its high bound.
  one[0].reads = 0;
  EXPECT_EQ(evaluate("I = 5 AND FALSE", one)[0], "False");
  EXPECT_EQ(evaluate("1 BETWEEN 2 AND I", one)[0], "False");
  EXPECT_EQ(one[0].reads, 0);
  EXPECT_EQ(AggregateCodeFromName("avg"), fnAvg);
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// Checked before its value is given, a parameter passes wherever some value could stand: on
// either side of an operator, inside functions, IF and predicates, and so does what is built on
// it. A place no value could fill is refused with the message it has once the value is there.
// Checked again with its value, it computes with that value.
TEST(ExpressionEvaluationTest, AParameterWithoutItsValuePassesWhereSomeValueCould) {
  const auto checked = [](const std::string& text) {
    std::string error;
    TExpTreePtr tree = exp_test::parseAll(text, 0x1F, nullptr, error);
    if (!tree) return "!" + error;
    try {
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, true, resolve, nullptr, nullptr, *tree, "test");
    } catch (const EVELDOREngineError& e) {
      return "!" + e.Item(kItemText);
    }
    return std::string();
  };
  for (const char* text : {"? + I > 0",
                           "? * 2 - I < 0",
                           "-? < I",
                           "? < I",
                           "NOT ?",
                           "? = ?",
                           "? AND B",
                           "? || S = 'x'",
                           "UPPER(?) = S",
                           "LOWER(? || ?) = S",
                           "SUBSTRING(? FROM ? FOR 2) = S",
                           "POS(? IN ?) > 0",
                           "REPLACE(? WITH 'a' IN S) = ?",
                           "TRIM(BOTH 'x' FROM ?) = S",
                           "LENGTH(?) > I",
                           "ABS(?) > I",
                           "ROUND(? TO 2) > F",
                           "EXTRACT(DAY FROM ?) = 1",
                           "IF(? THEN I ELSE J) > 0",
                           "IF(B THEN ? ELSE J) > 0",
                           "IF(B THEN ? ELSE ?) > 0",
                           "? IN (1, I)",
                           "I IN (? + 1, ?)",
                           "? BETWEEN 1 AND I",
                           "S LIKE ? || '%'",
                           "? LIKE 'a%'",
                           "D - ? > E",
                           "? - D > 0",
                           "TEXTSEARCH(? IN S)",
                           "CAST(? AS INTEGER) > 0"})
    EXPECT_EQ(checked(text), "") << text;
  const std::pair<const char*, const char*> refused[] = {
      {"? - 'a' > 0", "!Type mismatch between constant '?' and constant 'a' in test"},
      {"? * TRUE > 0", "!Type mismatch between constant '?' and constant 'TRUE' in test"},
      {"NULL + ? > 0", "!Type mismatch between constant 'NULL' and constant '?' in test"},
      {"ROUND(F TO ?) > 0", "!Decimal places argument of ROUND function must be an integer constant in test"},
      {"TRIM(LEADING ? FROM S) = S",
       "!Trim character argument of TRIM function must be a single character constant in test"},
  };
  for (const auto& [text, message] : refused) EXPECT_EQ(checked(text), message) << text;

  // With its value the parameter has a type, and the check and the result are that value's.
  Record r;
  r.values[0] = Value{false, 5, 0, ""};
  r.values[2] = Value{false, 0, 0, "AB"};
  std::vector<Record> one{r};
  const auto withValue = [&](const std::string& text, T type, const std::function<void(TExpToken&)>& put) {
    exp_test::FakeStatement statement;
    std::string error;
    TExpTreePtr tree = exp_test::parseAll(text, 0x1F, &statement, error);
    if (!tree) return "!" + error;
    for (TExpToken* p : statement.parameters) {
      p->type = type;
      p->SetValueSize(type == T::String ? 4 : uint32_t(FixedValueSize(type)));
      put(*p);
    }
    try {
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, true, resolve, nullptr, nullptr, *tree, "test");
      TExpTreePtr prepared(PrepareExpTree(tree.get(), nullptr, nullptr, false, false, 0, 0));
      return render(*TExpTreePtr(EvaluateExpTree(prepared.get(), &one[0], &one[0], 0, 0, readColumn)));
    } catch (const EVELDOREngineError& e) {
      return "!" + e.Item(kItemText);
    }
  };
  const auto integer = [](TExpToken& p) { PutIntegerValue(p.Value(), 3); };
  const auto real = [](TExpToken& p) { PutFloatValue(p.Value(), 2.5); };
  const auto text = [](TExpToken& p) { p.SetText("ab"); };
  EXPECT_EQ(withValue("? + I", T::Integer, integer), "8");
  EXPECT_EQ(withValue("? * I", T::Float, real), "12.5");
  EXPECT_EQ(withValue("UPPER(?) = S", T::String, text), "True");
  EXPECT_EQ(withValue("? || S", T::String, text), "abAB");
  EXPECT_EQ(withValue("IF(? > 2 THEN I ELSE 0)", T::Float, real), "5");
  EXPECT_EQ(withValue("? + I", T::String, text),
            "!Type mismatch between constant '?' and column 'I' in test");
  EXPECT_EQ(withValue("UPPER(?)", T::Integer, integer),
            "!Type mismatch between UPPER function and function argument in test");
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// A constant is prepared in the type of the column it is compared with only where that type
// holds it: a fraction, a number beyond a SMALLINT or WORD, a time of day beside a DATE keep
// their own type and compare as what they are.
TEST(ExpressionEvaluationTest, ConstantsTheColumnsTypeCannotHoldCompareAsThemselves) {
  Record r;
  const auto set = [&](const char* name, int64_t v) {
    for (size_t k = 0; k < std::size(kFields); ++k)
      if (std::strcmp(kFields[k].name, name) == 0) r.values[k] = Value{false, v, 0, ""};
  };
  set("I", 1), set("K", 4464), set("W", 65535), set("D", ParseDateText("2024-01-02"));
  std::vector<Record> one{r};
  const std::string noon = "CAST('2024-01-02 01:05:07 PM' AS TIMESTAMP)";
  for (const std::string& holds : std::vector<std::string>{
           "NOT (I = 1.5) AND I <> 1.5 AND I < 1.5 AND I <= 1.5 AND NOT (I > 1.5) AND NOT (I >= 1.5)",
           "I > 0.5 AND I >= 0.5 AND NOT (I < 0.5) AND 1.5 > I AND NOT (0.5 > I) AND I > -1.5",
           "NOT (I IN (1.5, 2)) AND I NOT IN (0.5, 1.5) AND I BETWEEN 0.5 AND 1.5 AND NOT (I BETWEEN 1.5 AND "
           "2)",
           "I = 1.0 AND I IN (1.0) AND I = 3.0 / 3 AND NOT (I = 4294967297) AND I < 4294967297",
           "NOT (K = 70000) AND K < 70000 AND K = 4464 AND NOT (W = -1) AND W > -1 AND W = 65535",
           "NOT (D = " + noon + ") AND D < " + noon + " AND D = CAST('2024-01-02' AS TIMESTAMP)",
       })
    EXPECT_EQ(evaluate(holds, one)[0], "True") << holds;
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// ---- Against SQLite ----

// A generated expression: its class ('i' integer, 's' text, 'b' boolean), the engine's text and
// SQLite's text with the engine's rules spelled out, and its operands for shrinking.
struct Gen {
  char cls;
  std::string eng, sql;
  std::vector<Gen> kids;
};

int veldorCollation(void*, int n1, const void* a, int n2, const void* b) {
  return OSCompareStrings(0, 0, std::string(static_cast<const char*>(a), n1), false, 0,
                          std::string(static_cast<const char*>(b), n2));
}

struct Differential {
  std::mt19937 rng;
  sqlite3* db = nullptr;
  std::vector<Record> records;

  int pick(int n) { return int(rng() % unsigned(n)); }
  std::string word(const char* alphabet, int maxLength) {
    std::string w;
    for (int n = 1 + pick(maxLength); n > 0; --n) w += alphabet[pick(int(strlen(alphabet)))];
    return w;
  }
  Gen leaf(std::string eng, std::string sql, char cls) {
    return Gen{cls, std::move(eng), std::move(sql), {}};
  }

  // The engine's comparison: two-valued, NULL = NULL true, a NULL text read as ''.
  Gen compare(Gen a, Gen b) {
    static const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
    std::string op = ops[pick(6)];
    std::string e = "($0 " + op + " $1)";
    std::string s;
    if (op == "=" || op == "<>")
      s = std::string("(($0) IS ") + (op == "<>" ? "NOT " : "") + "($1) COLLATE VELDOR)";
    else if (a.cls == 's')
      s = "(COALESCE($0,'') " + op + " COALESCE($1,'') COLLATE VELDOR)";
    else
      s = std::string("(CASE WHEN ($0) IS NULL AND ($1) IS NULL THEN ") + (op.size() == 2 ? "1" : "0") +
          " WHEN ($0) IS NULL OR ($1" + ") IS NULL THEN 0 ELSE ($0) " + op + " ($1) END)";
    return Gen{'b', e, s, {std::move(a), std::move(b)}};
  }

  Gen make(char cls, int depth) {
    bool stop = depth <= 0 || pick(3) == 0;
    if (cls == 'i') {
      int k = pick(19) - 9;
      if (stop) {
        switch (pick(3)) {
          case 0:
            return leaf(std::to_string(k), std::to_string(k), 'i');
          case 1:
            return pick(2) ? leaf("I", "i", 'i') : leaf("J", "j", 'i');
          default:
            return leaf("(D - E)", "CAST(julianday(d) - julianday(e) AS INTEGER)", 'i');
        }
      }
      Gen a = make('i', depth - 1), s = make('s', depth - 1);
      switch (pick(5)) {
        case 0:
        case 1: {
          Gen b = make('i', depth - 1);
          std::string op = pick(2) ? "+" : "-";
          return Gen{'i', "($0 " + op + " $1)", "($0 " + op + " $1)", {a, b}};
        }
        case 2:
          return Gen{'i', "($0 * " + std::to_string(k) + ")", "($0 * " + std::to_string(k) + ")", {a}};
        case 3:
          return Gen{'i', "LENGTH($0)", "length($0)", {s}};
        default: {
          std::string w = word("ac", 2);
          return Gen{'i',
                     "(POS('" + w + "' IN $0) + OCCURS('" + w + "' IN $0))",
                     "(instr($0,'" + w + "') + (length($0) - length(replace($0" + ",'" + w + "','')))/" +
                         std::to_string(w.size()) + ")",
                     {s}};
        }
      }
    }
    if (cls == 's') {
      if (stop) {
        if (pick(2)) return pick(2) ? leaf("S", "s", 's') : leaf("T", "t", 's');
        std::string w = word("aAcC x", 4);
        return leaf("'" + w + "'", "'" + w + "'", 's');
      }
      Gen a = make('s', depth - 1);
      auto wrap = [&](std::string e, std::string s) { return Gen{'s', e, "NULLIF(" + s + ",'')", {a}}; };
      switch (pick(6)) {
        case 0:
          // Case mapping keeps an empty text a text.
          return pick(2) ? Gen{'s', "UPPER($0)", "upper($0)", {a}} : Gen{'s', "LOWER($0)", "lower($0)", {a}};
        case 1: {
          int from = pick(6) - 1, count = pick(6) - 1;
          std::string start = std::to_string(std::max(from, 1));
          if (pick(2))
            return wrap("SUBSTRING($0 FROM " + std::to_string(from) + ")", "substr($0," + start + ")");
          return wrap("SUBSTRING($0 FROM " + std::to_string(from) + " FOR " + std::to_string(count) + ")",
                      count <= 0 ? "NULL" : "substr($0," + start + "," + std::to_string(count) + ")");
        }
        case 2: {
          std::string from = word("aAc", 2), to = word("xy", 2);
          return wrap("REPLACE('" + from + "' WITH '" + to + "' IN $0)",
                      "replace($0,'" + from + "','" + to + "')");
        }
        case 3: {
          static const char* kinds[][2] = {{"BOTH", "trim"}, {"LEADING", "ltrim"}, {"TRAILING", "rtrim"}};
          auto* kind = kinds[pick(3)];
          std::string c(1, "aA x"[pick(4)]);
          return wrap(std::string("TRIM(") + kind[0] + " '" + c + "' FROM $0)",
                      std::string(kind[1]) + "($0,'" + c + "')");
        }
        default: {
          Gen b = make('s', depth - 1);
          // NULL texts join as empty ones into a text that is never NULL.
          return Gen{'s', "($0 || $1)", "(COALESCE($0,'') || COALESCE($1,''))", {a, b}};
        }
      }
    }
    switch (stop ? pick(3) : pick(7)) {
      case 0:
        return compare(make('i', depth - 1), make('i', depth - 1));
      case 1:
        return compare(make('s', depth - 1), make('s', depth - 1));
      case 2: {
        Gen a = make('s', depth - 1);
        std::string p = word("aA%_", 4);
        bool neg = pick(2);
        return Gen{'b',
                   std::string("($0") + (neg ? " NOT" : "") + " LIKE '" + p + "')",
                   std::string("(") + (neg ? "NOT " : "") + "COALESCE($0 LIKE '" + p + "', 0))",
                   {a}};
      }
      case 3: {
        Gen x = make('i', depth - 1);
        int lo = pick(40) - 20, hi = lo + pick(30);
        std::string bounds = std::to_string(lo) + " AND " + std::to_string(hi);
        return Gen{'b', "($0 BETWEEN " + bounds + ")", "COALESCE(($0) BETWEEN " + bounds + ", 0)", {x}};
      }
      case 4: {
        Gen x = make('i', depth - 1);
        int k = pick(10);
        return Gen{'b',
                   "($0 IN (" + std::to_string(k) + ", NULL))",
                   "(($0) IS " + std::to_string(k) + " OR ($0) IS NULL)",
                   {x}};
      }
      case 5: {
        Gen a = make('b', depth - 1), b = make('b', depth - 1);
        std::string op = pick(2) ? "AND" : "OR";
        return Gen{'b', "($0 " + op + " $1)", "($0 " + op + " $1)", {a, b}};
      }
      default: {
        Gen a = make('b', depth - 1);
        return Gen{'b', "(NOT $0)", "(NOT $0)", {a}};
      }
    }
  }

  std::vector<std::string> reference(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string query = "SELECT " + sql + " FROM t ORDER BY rowid";
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr) != SQLITE_OK) return {"!" + query};
    std::vector<std::string> out;
    while (sqlite3_step(st) == SQLITE_ROW) {
      auto text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      out.push_back(text ? text : "NULL");
    }
    sqlite3_finalize(st);
    return out;
  }
  // The engine's or SQLite's text of an expression, its operands filled in.
  static std::string text(const Gen& g, bool sql) {
    std::string t = sql ? g.sql : g.eng;
    for (size_t k = 0; k < g.kids.size(); ++k) {
      std::string mark = "$" + std::to_string(k), kid = text(g.kids[k], sql);
      for (size_t at = t.find(mark); at != std::string::npos; at = t.find(mark, at + kid.size()))
        t.replace(at, mark.size(), kid);
    }
    return t;
  }
  std::vector<std::string> engine(const Gen& g) {
    auto out = evaluate(text(g, false), records, false);
    for (auto& v : out) v = v == "True" ? "1" : v == "False" ? "0" : v;
    return out;
  }
  bool differs(const Gen& g) { return engine(g) != reference(text(g, true)); }

  // Replaces nodes by operands of their class while the difference remains.
  void shrink(Gen& root) {
    std::function<bool(Gen&)> visit = [&](Gen& n) {
      for (size_t i = 0; i < n.kids.size(); ++i) {
        if (n.kids[i].cls != n.cls) continue;
        Gen saved = n, kid = n.kids[i];
        n = std::move(kid);
        if (differs(root)) return true;
        n = std::move(saved);
      }
      for (size_t i = 0; i < n.kids.size(); ++i)
        if (visit(n.kids[i])) return true;
      return false;
    };
    while (visit(root)) {
    }
  }
};

TEST(ExpressionEvaluationTest, RandomExpressionsAgreeWithSqliteUnderTheEngineRules) {
  const uint32_t seed = storage_test::testSeed();
  Differential d;
  d.rng.seed(seed);
  ASSERT_EQ(sqlite3_open(":memory:", &d.db), SQLITE_OK);
  sqlite3_create_collation(d.db, "VELDOR", SQLITE_UTF8, nullptr, veldorCollation);
  sqlite3_exec(d.db, "PRAGMA case_sensitive_like = 1; CREATE TABLE t(i, j, s, t, d, e)", nullptr, nullptr,
               nullptr);
  for (int k = 0; k < 24; ++k) {
    Record r;
    std::string values;
    for (int f = 0; f < 6; ++f) {
      Value& v = r.values[f];
      v.null = d.pick(5) == 0;
      v.i = f < 2 ? d.pick(101) - 50 : 729000 + d.pick(3000);
      v.s = f < 2 || f > 3 ? "" : d.word("aAcC x", 6);
      std::string text = f < 2   ? std::to_string(v.i)
                         : f < 4 ? "'" + v.s + "'"
                                 : "'" + DateToText(int32_t(v.i)) + "'";
      values += (f ? "," : "") + (v.null ? std::string("NULL") : text);
    }
    d.records.push_back(r);
    sqlite3_exec(d.db, ("INSERT INTO t VALUES(" + values + ")").c_str(), nullptr, nullptr, nullptr);
  }
  // Regression cases found by this test, kept in their shrunk form.
  std::vector<Gen> cases = {Gen{'b', "(S < T)", "(COALESCE(s,'') < COALESCE(t,'') COLLATE VELDOR)", {}},
                            Gen{'s', "TRIM(BOTH 'a' FROM 'aa')", "NULLIF(trim('aa','a'),'')", {}}};
  for (int n = 0; n < 400; ++n) cases.push_back(d.make("isb"[d.pick(3)], 4));
  for (Gen& g : cases) {
    if (!d.differs(g)) continue;
    d.shrink(g);
    ADD_FAILURE() << "seed " << seed << "\n  engine: " << d.text(g, false)
                  << "\n  sqlite: " << d.text(g, true);
    break;
  }
  sqlite3_close(d.db);
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// ---- Conditions tested in place against the full evaluation ----

// The fields of kFields laid out in a record image as a table stores them: a has-value byte and
// the stored bytes; the first field is an auto-increment one (4 bytes, no has-value byte).
struct Image {
  std::vector<uint8_t> bytes;
  static uint32_t offset(uint16_t fieldNo) {
    uint32_t at = 0;
    for (uint16_t k = 1; k < fieldNo; ++k) at += kFields[k - 1].size + (k == 1 ? 0 : 1);
    return at;
  }
};

// Reads a column of an image. A NULL only sets the flag (as the SQL layer's reader does past the
// last row), so that the node's bytes are those it was handed.
void readImage(void* data2, void*, TExpToken& result) {
  const Image& image = *static_cast<const Image*>(data2);
  const uint32_t size = kFields[result.fieldNo - 1].size;
  const uint8_t* at = image.bytes.data() + Image::offset(result.fieldNo);
  result.isNull = result.fieldNo != 1 && at[0] == 0;
  if (result.isNull) return;
  result.SetValueSize(size);
  std::memcpy(result.Value(), result.fieldNo == 1 ? at : at + 1, size);
}

bool locateImage(const void*, const TExpToken& node, ExpFieldPlace& place) {
  if (node.fieldNo == 4) return false;  // T goes through the reader
  place.offset = Image::offset(node.fieldNo);
  place.size = kFields[node.fieldNo - 1].size;
  place.autoIncrement = node.fieldNo == 1;
  return true;
}

TEST(ExpressionEvaluationTest, ConditionsTestedInPlaceAgreeWithTheFullEvaluation) {
  const uint32_t seed = storage_test::testSeed();
  Differential d;
  d.rng.seed(seed);
  std::vector<Image> images(40);
  for (Image& image : images) {
    image.bytes.assign(Image::offset(uint16_t(std::size(kFields) + 1)), 0);
    for (uint16_t f = 1; f <= std::size(kFields); ++f) {
      uint8_t* at = image.bytes.data() + Image::offset(f);
      // A NULL field keeps the bytes of a value it held before.
      if (f > 1) *at++ = d.pick(4) == 0 ? 0 : 1;
      // The extremes of each integer type, and values about them.
      static const int64_t kLarge[] = {std::numeric_limits<int64_t>::max(),
                                       std::numeric_limits<int64_t>::min(),
                                       std::numeric_limits<int64_t>::max() - 1,
                                       int64_t(1) << 32,
                                       -(int64_t(1) << 31) - 1,
                                       std::numeric_limits<int32_t>::max(),
                                       std::numeric_limits<int32_t>::min(),
                                       65535,
                                       -32768,
                                       0,
                                       -1,
                                       1};
      switch (kFields[f - 1].type) {
        case T::String: {
          // Letters that some languages case or order apart, in UTF-8.
          std::string w = kFields[f - 1].size < 21 ? d.word(
                                                         "iI\xC4\xB1\xC3\x84"
                                                         "a",
                                                         4)
                                                   : d.word("aAcC x", 6);
          std::memcpy(at, w.data(), std::min<size_t>(w.size(), kFields[f - 1].size - 1));
          break;
        }
        case T::SmallInt:
        case T::Word:
          PutWordValue(at, uint16_t(d.pick(3) == 0 ? kLarge[d.pick(12)] : d.pick(11) - 5));
          break;
        case T::LargeInt:
          PutLargeIntValue(at, d.pick(2) ? kLarge[d.pick(12)] : d.pick(11) - 5);
          break;
        case T::BCD:
          EncodeBcdValue(int64_t(d.pick(21) - 10) * kScaledOne / 4, 2, at);
          break;
        case T::Time:
          PutIntegerValue(at, int32_t(d.pick(5)) * 3'600'000);
          break;
        case T::Timestamp:
          PutFloatValue(at, double(730000 + d.pick(5)) * double(kMsPerDay) + double(d.pick(3)) * 43'200'000);
          break;
        case T::Float:
          PutFloatValue(at, double(d.pick(21) - 10) / 4);
          break;
        case T::Boolean:
          PutWordValue(at, uint16_t(d.pick(2)));
          break;
        case T::Date:
          PutIntegerValue(at, 730000 + d.pick(5));
          break;
        default:
          PutIntegerValue(at, d.pick(11) - 5);
      }
    }
  }
  auto constant = [&](T type) -> std::string {
    if (d.pick(8) == 0) return "NULL";
    switch (type) {
      case T::String:
        return "'" + d.word("aAcC x*", 3) + "'";
      case T::Float:
        return std::to_string(d.pick(21) - 10) + ".25";
      case T::Boolean:
        return d.pick(2) ? "TRUE" : "FALSE";
      case T::Date:
        return "'" + DateToText(730000 + d.pick(5)) + "'";
      case T::SmallInt:
      case T::Word:
      case T::LargeInt: {
        static const char* const kBounds[] = {"9223372036854775807",
                                              "-9223372036854775807",
                                              "4294967296",
                                              "2147483647",
                                              "-2147483648",
                                              "2147483648",
                                              "65535",
                                              "-32768",
                                              "32767"};
        return d.pick(2) ? kBounds[d.pick(int(std::size(kBounds)))] : std::to_string(d.pick(11) - 5);
      }
      default:
        return std::to_string(d.pick(11) - 5);
    }
  };
  // Tests of the fields alone, and the generator's boolean expressions, under AND, OR and NOT.
  std::function<std::string(int)> make = [&](int depth) -> std::string {
    static const char* ops[] = {"=", "<>", "<", ">", "<=", ">="};
    switch (depth <= 0 ? d.pick(5) : d.pick(8)) {
      case 4: {
        const Field& f = kFields[d.pick(int(std::size(kFields)))];
        const std::string x = std::string(f.name) + (d.pick(2) ? " NOT" : "");
        switch (d.pick(3)) {
          case 0:
            return x + " BETWEEN " + constant(f.type) + " AND " + constant(f.type);
          case 1:
            return x + " IN (" + constant(f.type) + ", " + constant(f.type) + ")";
          default:
            return x + " LIKE '" + d.word("aAciI%_", 3) + "'";
        }
      }
      case 0: {
        const Field& f = kFields[d.pick(int(std::size(kFields)))];
        // Two columns, of one type or of two that compare (integers of each size, BCD, float,
        // dates and timestamps).
        if (d.pick(3) == 0)
          return std::string(f.name) + " " + ops[d.pick(6)] + " " +
                 kFields[d.pick(int(std::size(kFields)))].name;
        return std::string(f.name) + " " + ops[d.pick(6)] + " " + constant(f.type);
      }
      case 1:
        return std::string(kFields[d.pick(int(std::size(kFields)))].name) +
               (d.pick(2) ? " IS NULL" : " IS NOT NULL");
      case 2: {
        static const char* booleans[] = {"B", "N", "TRUE", "FALSE", "NULL = NULL", "S = T", "I < J"};
        return booleans[d.pick(int(std::size(booleans)))];
      }
      case 3:
        return Differential::text(d.make('b', 2), false);
      case 5:
        return "NOT (" + make(depth - 1) + ")";
      default:
        return "(" + make(depth - 1) + (d.pick(2) ? ") AND (" : ") OR (") + make(depth - 1) + ")";
    }
  };
  // A NULL read after a value: the node the reader fills holds nothing of the value before. Out of
  // a boolean context a boolean column stays a column, and NOT reads its value bytes.
  const char* const fixed[] = {"NOT (B)", "(T = 'a') OR NOT (N)"};
  int tested = 0;
  for (int n = 0; n < 600; ++n) {
    const std::string text = n < int(std::size(fixed)) ? fixed[n] : make(3);
    std::string error;
    auto tree = exp_test::parseAll(text, 0x1F, nullptr, error);
    if (!tree) continue;
    try {
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, n >= int(std::size(fixed)), resolve, nullptr, nullptr,
                       *tree, "test");
    } catch (const EVELDOREngineError&) {
      continue;
    }
    const bool caseInsensitive = d.pick(2);
    // US English, German, Turkish.
    static const uint16_t kLanguages[] = {0, 0x0407, 0x041F};
    const uint16_t language = kLanguages[d.pick(3)];
    TExpTreePtr prepared(
        PrepareExpTree(tree.get(), nullptr, nullptr, d.pick(2), caseInsensitive, 0, language));
    const ExpCondition placed(*prepared, 0, language, readImage, locateImage, nullptr);
    const ExpCondition read(*prepared, 0, language, readImage);
    // "1", "0", or the error's text.
    auto outcome = [](const std::function<bool()>& test) -> std::string {
      try {
        return test() ? "1" : "0";
      } catch (const EVELDOREngineError& e) {
        return "!" + e.Item(kItemText);
      }
    };
    for (Image& image : images) {
      const std::string expected = outcome([&] {
        TExpTreePtr full(EvaluateExpTree(prepared.get(), &image, &image, 0, language, readImage));
        return !full->isNull && full->type == T::Boolean && GetWordValue(full->Value()) != 0;
      });
      ASSERT_EQ(outcome([&] { return placed.Holds(image.bytes.data(), &image, &image); }), expected)
          << "seed " << seed << ": " << text;
      ASSERT_EQ(outcome([&] { return read.Holds(image.bytes.data(), &image, &image); }), expected)
          << "seed " << seed << ": " << text;
      ++tested;
    }
  }
  EXPECT_GT(tested, 400 * int(images.size()));
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// Records whose fields hold NULLs (keeping the bytes of a value before), the integer types'
// bounds, and texts of every width.
std::vector<Image> edgeImages(Differential& d, size_t count) {
  std::vector<Image> images(count);
  for (Image& image : images) {
    image.bytes.assign(Image::offset(uint16_t(std::size(kFields) + 1)), 0);
    for (uint16_t f = 1; f <= std::size(kFields); ++f) {
      uint8_t* at = image.bytes.data() + Image::offset(f);
      if (f > 1) *at++ = d.pick(4) == 0 ? 0 : 1;
      static const int64_t kEdges[] = {std::numeric_limits<int64_t>::max(),
                                       std::numeric_limits<int64_t>::min(),
                                       std::numeric_limits<int32_t>::max(),
                                       std::numeric_limits<int32_t>::min(),
                                       65535,
                                       -32768,
                                       32767,
                                       0,
                                       -1,
                                       1};
      const int64_t edge = d.pick(2) ? kEdges[d.pick(int(std::size(kEdges)))] : d.pick(11) - 5;
      switch (kFields[f - 1].type) {
        case T::String: {
          std::string w = d.word("aAx \xC3\xA4", int(kFields[f - 1].size) - 1);
          std::memcpy(at, w.data(), std::min<size_t>(w.size(), kFields[f - 1].size - 1));
          break;
        }
        case T::SmallInt:
        case T::Word:
          PutWordValue(at, uint16_t(edge));
          break;
        case T::LargeInt:
          PutLargeIntValue(at, edge);
          break;
        case T::BCD:
          EncodeBcdValue(int64_t(d.pick(21) - 10) * kScaledOne / 4, 2, at);
          break;
        case T::Time:
          PutIntegerValue(at, int32_t(d.pick(25)) * 3'600'000);
          break;
        case T::Timestamp:
          PutFloatValue(at, double(730000 + d.pick(5)) * double(kMsPerDay) + double(d.pick(3)) * 43'200'000);
          break;
        case T::Float:
          PutFloatValue(at, double(d.pick(21) - 10) / 4);
          break;
        case T::Boolean:
          PutWordValue(at, uint16_t(d.pick(2)));
          break;
        case T::Date:
          PutIntegerValue(at, d.pick(8) == 0 ? 1 : 730000 + d.pick(5));
          break;
        default:
          PutIntegerValue(at, int32_t(edge));
      }
    }
  }
  return images;
}

// A value of columns and constants under negation, arithmetic, concatenation, comparisons and
// calls (some evaluated whole).
std::string valueExpression(Differential& d, int depth) {
  auto column = [&] { return std::string(kFields[d.pick(int(std::size(kFields)))].name); };
  auto constant = [&]() -> std::string {
    static const char* const kConstants[] = {"NULL",
                                             "1",
                                             "-1",
                                             "0",
                                             "2147483647",
                                             "-2147483648",
                                             "32767",
                                             "9223372036854775807",
                                             "2.5",
                                             "'ab'",
                                             "'abcdefghijklmnopqrst'",
                                             "''",
                                             "'2001-02-03'",
                                             "TRUE"};
    return kConstants[d.pick(int(std::size(kConstants)))];
  };
  std::function<std::string(int)> make = [&](int depth) -> std::string {
    if (depth <= 0 || d.pick(4) == 0) return d.pick(3) ? column() : constant();
    static const char* const kBinary[] = {" + ", " - ", " * ", " / ", " || ", " = ", " < "};
    switch (d.pick(6)) {
      case 0:
        return "-(" + make(depth - 1) + ")";
      case 1: {
        static const char* const kCalls[] = {"UPPER(", "LENGTH(", "ABS(", "CAST(", "EXTRACT(YEAR FROM "};
        const int k = d.pick(int(std::size(kCalls)));
        return kCalls[k] + make(depth - 1) + (k == 3 ? (d.pick(2) ? " AS INTEGER)" : " AS CHAR(5))") : ")");
      }
      default:
        return "(" + make(depth - 1) + kBinary[d.pick(int(std::size(kBinary)))] + make(depth - 1) + ")";
    }
  };
  return make(depth);
}

// A value computed row after row into kept nodes is the full evaluation's node, bytes, size, type
// and NULL flag, or its error: at the integer types' bounds (overflow), with NULLs after values,
// texts of each width (a long one after a short one, concatenations past a field's size), dates,
// times and timestamps with numbers, and under functions that are evaluated whole; with columns
// read through the reader, and with those that fit read from the record image.
TEST(ExpressionEvaluationTest, ValuesKeptFromRowToRowAgreeWithTheFullEvaluation) {
  const uint32_t seed = storage_test::testSeed();
  Differential d;
  d.rng.seed(seed + 1);
  std::vector<Image> images = edgeImages(d, 24);
  // Everything the node holds that a reader of the result reads.
  auto render = [](const TExpToken& r) {
    std::string out = std::to_string(r.isNull) + "|" + std::to_string(int(r.type)) + "|" +
                      std::to_string(int(r.subType)) + "|" + std::to_string(r.scale) + "|" +
                      std::to_string(r.valueSize) + "|";
    const size_t used = std::min<size_t>(std::max<size_t>(r.valueSize, 8), r.ValueCapacity());
    for (size_t i = 0; i < used; ++i) out += std::to_string(r.Value()[i]) + ",";
    for (size_t i = used; i < r.ValueCapacity(); ++i)
      if (r.Value()[i] != 0) return out + "+";
    return out;
  };
  auto outcome = [](const std::function<std::string()>& evaluate) -> std::string {
    try {
      return evaluate();
    } catch (const EVELDOREngineError& e) {
      return "!" + e.Item(kItemText);
    }
  };
  int tested = 0;
  for (int n = 0; n < 1000; ++n) {
    const std::string text = valueExpression(d, 3);
    std::string error;
    auto tree = exp_test::parseAll(text, 0x1F, nullptr, error);
    if (!tree) continue;
    try {
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, false, resolve, nullptr, nullptr, *tree, "test");
    } catch (const EVELDOREngineError&) {
      continue;
    }
    // A constant part that overflows stops the preparation, as it stops every evaluation.
    const std::string unprepared = outcome([&] {
      TExpTreePtr(PrepareExpTree(tree.get(), nullptr, nullptr, false, false, 0, 0));
      return std::string();
    });
    if (!unprepared.empty()) {
      for (Image& image : images)
        ASSERT_EQ(outcome([&] {
                    return render(*TExpTreePtr(EvaluateExpTree(tree.get(), &image, &image, 0, 0, readImage)));
                  }),
                  unprepared)
            << "seed " << seed << ": " << text;
      continue;
    }
    TExpTreePtr prepared(PrepareExpTree(tree.get(), nullptr, nullptr, false, false, 0, 0));
    ExpValue kept(*prepared, 0, 0, readImage);
    // The same with the columns that fit read from the record image.
    ExpValue placed(*prepared, 0, 0, readImage, locateImage, nullptr);
    for (Image& image : images) {
      const std::string expected = outcome([&] {
        return render(*TExpTreePtr(EvaluateExpTree(prepared.get(), &image, &image, 0, 0, readImage)));
      });
      ASSERT_EQ(outcome([&] { return render(kept.Evaluate(&image, &image)); }), expected)
          << "seed " << seed << ": " << text;
      ASSERT_EQ(outcome([&] { return render(placed.Evaluate(&image, &image, image.bytes.data())); }),
                expected)
          << "seed " << seed << ": " << text;
      ++tested;
    }
  }
  EXPECT_GT(tested, 250 * int(images.size()));
  EXPECT_EQ(ExpTokensInUse(), 0) << "the kept nodes go back at the end";
}

// A condition whose comparisons, predicates and NULL tests read computed values (arithmetic,
// concatenation, UPPER and LOWER over columns) tests each record in turn as the full evaluation
// does, or raises its error: overflow at the integer types' bounds, a NULL after a value, a
// longer text after a shorter one; with its columns placed in the record and read through the
// reader.
TEST(ExpressionEvaluationTest, ConditionsOnComputedValuesAgreeWithTheFullEvaluation) {
  const uint32_t seed = storage_test::testSeed();
  Differential d;
  d.rng.seed(seed + 2);
  std::vector<Image> images = edgeImages(d, 24);
  auto value = [&] {
    const std::string x = valueExpression(d, 2);
    switch (d.pick(4)) {
      case 0:
        return "UPPER(" + x + ")";
      case 1:
        return "LOWER(" + x + " || T)";
      default:
        return x;
    }
  };
  auto test = [&]() -> std::string {
    static const char* const kOps[] = {" = ", " <> ", " < ", " > ", " <= ", " >= "};
    const std::string x = value();
    switch (d.pick(6)) {
      case 0:
        return "(" + x + ") IS NULL";
      case 1:
        return "(" + x + ") BETWEEN " + value() + " AND " + value();
      case 2:
        return "(" + x + ") IN (" + value() + ", 'A', 1)";
      case 3:
        return "(" + x + ") LIKE '%" + d.word("aAx", 2) + "%'";
      default:
        return "(" + x + ")" + kOps[d.pick(6)] + "(" + value() + ")";
    }
  };
  auto outcome = [](const std::function<bool()>& holds) -> std::string {
    try {
      return holds() ? "1" : "0";
    } catch (const EVELDOREngineError& e) {
      return "!" + e.Item(kItemText);
    }
  };
  // Most texts mix types that do not compare and fail the check: as many are made as it takes.
  int tested = 0, errors = 0;
  for (int n = 0; n < 40000 && tested < 300 * int(images.size()); ++n) {
    const std::string text = d.pick(3) ? test() : "(" + test() + ") OR NOT (" + test() + ")";
    std::string error;
    auto tree = exp_test::parseAll(text, 0x1F, nullptr, error);
    if (!tree) continue;
    TExpTreePtr prepared;
    try {
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, true, resolve, nullptr, nullptr, *tree, "test");
      prepared.reset(PrepareExpTree(tree.get(), nullptr, nullptr, false, d.pick(2), 0, 0));
    } catch (const EVELDOREngineError&) {
      continue;
    }
    const ExpCondition placed(*prepared, 0, 0, readImage, locateImage, nullptr);
    const ExpCondition read(*prepared, 0, 0, readImage);
    for (Image& image : images) {
      const std::string expected = outcome([&] {
        TExpTreePtr full(EvaluateExpTree(prepared.get(), &image, &image, 0, 0, readImage));
        return !full->isNull && full->type == T::Boolean && GetWordValue(full->Value()) != 0;
      });
      ASSERT_EQ(outcome([&] { return placed.Holds(image.bytes.data(), &image, &image); }), expected)
          << "seed " << seed << ": " << text;
      ASSERT_EQ(outcome([&] { return read.Holds(image.bytes.data(), &image, &image); }), expected)
          << "seed " << seed << ": " << text;
      errors += expected[0] == '!';
      ++tested;
    }
  }
  EXPECT_GE(tested, 300 * int(images.size()));
  EXPECT_GT(errors, 0) << "some records overflow";
  EXPECT_EQ(ExpTokensInUse(), 0);
}

// Sums, differences and products of the integer columns of every size and integer constants (the
// types' bounds, NULL) in comparisons, BETWEEN, IN and IS NULL, where a condition works the value
// out without nodes: each record tests as the full evaluation tests it, or raises its error (an
// overflow in one operand with the other NULL too). Beside them the same with a float, decimal or
// text part, a division or a negation, which go the general way, and comparisons of two sums.
TEST(ExpressionEvaluationTest, IntegerSumsInConditionsAgreeWithTheFullEvaluation) {
  const uint32_t seed = storage_test::testSeed();
  Differential d;
  d.rng.seed(seed + 3);
  std::vector<Image> images = edgeImages(d, 32);
  std::function<std::string(int)> sum = [&](int depth) -> std::string {
    static const char* const kLeaves[] = {"I",
                                          "J",
                                          "SMITH",
                                          "K",
                                          "W",
                                          "L",
                                          "I",
                                          "K",
                                          "L",
                                          "0",
                                          "1",
                                          "-1",
                                          "2",
                                          "NULL",
                                          "32767",
                                          "2147483647",
                                          "-2147483648",
                                          "65535",
                                          "-2",
                                          "7",
                                          "CAST(NULL AS INTEGER)",
                                          "CAST(NULL AS LARGEINT)"};
    static const char* const kOthers[] = {"F", "M", "2.5", "LENGTH(S)", "-(I)", "I / 2"};
    if (depth <= 0 || d.pick(4) == 0)
      return d.pick(12) == 0 ? kOthers[d.pick(int(std::size(kOthers)))]
                             : kLeaves[d.pick(int(std::size(kLeaves)))];
    static const char* const kOps[] = {" + ", " - ", " * "};
    return "(" + sum(depth - 1) + kOps[d.pick(3)] + sum(depth - 1) + ")";
  };
  auto test = [&]() -> std::string {
    static const char* const kOps[] = {" = ", " <> ", " < ", " > ", " <= ", " >= "};
    const std::string x = sum(3);
    switch (d.pick(7)) {
      case 0:
        return x + " IS NULL";
      case 1:
        return x + " BETWEEN " + sum(1) + " AND " + sum(1);
      case 2:
        return x + " IN (" + sum(1) + ", 3, NULL)";
      case 3:
        return x + kOps[d.pick(6)] + sum(3);
      default:
        return x + kOps[d.pick(6)] + sum(0);
    }
  };
  auto outcome = [](const std::function<bool()>& holds) -> std::string {
    try {
      return holds() ? "1" : "0";
    } catch (const EVELDOREngineError& e) {
      return "!" + e.Item(kItemText);
    }
  };
  int tested = 0, errors = 0, holds = 0;
  for (int n = 0; n < 20000 && tested < 400 * int(images.size()); ++n) {
    const std::string text = d.pick(4) ? test() : "(" + test() + ") OR NOT (" + test() + ")";
    std::string error;
    auto tree = exp_test::parseAll(text, 0x1F, nullptr, error);
    if (!tree) continue;
    TExpTreePtr prepared;
    try {
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, true, resolve, nullptr, nullptr, *tree, "test");
      prepared.reset(PrepareExpTree(tree.get(), nullptr, nullptr, false, false, 0, 0));
    } catch (const EVELDOREngineError&) {
      continue;
    }
    const ExpCondition placed(*prepared, 0, 0, readImage, locateImage, nullptr);
    const ExpCondition read(*prepared, 0, 0, readImage);
    for (Image& image : images) {
      bool isNull = false;
      const std::string expected = outcome([&] {
        TExpTreePtr full(EvaluateExpTree(prepared.get(), &image, &image, 0, 0, readImage));
        isNull = full->isNull;
        return !full->isNull && full->type == T::Boolean && GetWordValue(full->Value()) != 0;
      });
      ASSERT_EQ(outcome([&] { return placed.Holds(image.bytes.data(), &image, &image); }), expected)
          << "seed " << seed << ": " << text;
      ASSERT_EQ(outcome([&] { return read.Holds(image.bytes.data(), &image, &image); }), expected)
          << "seed " << seed << ": " << text;
      if (expected[0] != '!') {
        const ExpCondition::Outcome full = placed.Evaluate(image.bytes.data(), &image, &image);
        ASSERT_EQ(full.isNull, isNull) << "seed " << seed << ": " << text;
      }
      errors += expected[0] == '!';
      holds += expected == "1";
      ++tested;
    }
  }
  EXPECT_GE(tested, 400 * int(images.size()));
  EXPECT_GT(errors, 0) << "some records overflow";
  EXPECT_GT(holds, tested / 20);
  EXPECT_EQ(ExpTokensInUse(), 0);
}

}  // namespace
}  // namespace engine
