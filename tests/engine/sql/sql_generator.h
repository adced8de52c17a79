// The statements of the SQL differential runs, in the engine's dialect and, beside it, in
// SQLite's: seeded tables, SELECTs over one to four tables (joins, WHERE, GROUP BY, ORDER BY,
// TOP, UNION and UNION ALL chains with DISTINCT parts, IN (sub-select), a memo through the final
// passes) and INSERT, UPDATE and DELETE. Conditions take LIKE and NOT LIKE, BETWEEN, IN lists
// with NULL, NOT IN (sub-select) and NULL constants; outer joins test either table in ON and the
// inner one in WHERE; groups test aggregates (of expressions too) in HAVING or group by an
// expression; orders run descending; UPDATE and DELETE select rows through sub-selects over the
// changed table; integers stand at their types' ends. Select lists and conditions take string
// functions (SUBSTRING at and past the ends, TRIM, UPPER and LOWER of non-ASCII letters, REPLACE,
// POS, OCCURS, LENGTH), concatenation with NULL texts, IF, CAST between types, ABS, ROUND, dates
// with days added or taken, days between dates and EXTRACT; texts longer than their column are
// inserted and set; indexes are made before the rows or after them.
// One seed gives one sequence of statements, whichever run draws them.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/values/veldorvaluetext.h"

namespace sql_gen {

using engine::FloatToText;

// The same text for both sides, or one per side.
struct Sql {
  std::string ours, lite;
  Sql(std::string both = "") : ours(both), lite(std::move(both)) {}
  Sql(std::string o, std::string l) : ours(std::move(o)), lite(std::move(l)) {}
};
inline Sql operator+(const Sql& a, const Sql& b) {
  return {a.ours + b.ours, a.lite + b.lite};
}

// INTEGER SMALLINT LARGEINT FLOAT CHAR DATE, and a memo that no index, order or group takes.
const char* const kColumns[] = {"a", "b", "c", "f", "s", "d", "m"};
// The SQLite function that gives its integer argument back, or fails the statement with
// kOverflowError when the argument needs more than 32 bits; other values pass as they are.
constexpr const char* kChecked32 = "checked32";
constexpr const char* kOverflowError = "numeric overflow";
const char* const kTexts[] = {"abc", "ABC", "Ábc", "éclair", "Zed", "zed", "a", "b b", "x", "Ñu"};
// The same for SMALLINT's 16 bits.
constexpr const char* kChecked16 = "checked16";
// SQLite functions that map case as the engine's locale does for the texts drawn here: ASCII and
// the Latin-1 letters.
constexpr const char* kUpper = "velupper";
constexpr const char* kLower = "vellower";
// The SQLite function that cuts a text to the whole UTF-8 characters of its first n bytes.
constexpr const char* kCut = "velcut";

// One generated SELECT in pieces, so that a failure can be shrunk clause by clause.
struct Query {
  bool distinct = false, live = false, orderAll = false, memo = false;
  std::vector<Sql> select;
  // Items of the full ORDER BY that run descending (NULLs last there, first when ascending).
  std::vector<bool> descending;
  Sql from, where, group, having, tail;
  int top = -1;
  Sql text() const {
    Sql s("SELECT ");
    if (distinct) s = s + Sql("DISTINCT ");
    for (size_t i = 0; i < select.size(); ++i) s = s + Sql(i ? ", " : "") + select[i];
    s = s + Sql(" FROM ") + from;
    if (!where.ours.empty()) s = s + Sql(" WHERE ") + where;
    if (!group.ours.empty()) s = s + Sql(" GROUP BY ") + group;
    if (!having.ours.empty()) s = s + Sql(" HAVING ") + having;
    s = s + tail;
    if (memo) {
      s = s + Sql(" ORDER BY 1");
    } else if (orderAll || top >= 0) {
      std::string order;
      for (size_t i = 1; i <= select.size(); ++i)
        order += (i > 1 ? ", " : "") + std::to_string(i) +
                 (i <= descending.size() && descending[i - 1] ? " DESC" : "");
      s = s + Sql(" ORDER BY " + order);
    }
    if (top >= 0) s = s + Sql(" TOP " + std::to_string(top), " LIMIT " + std::to_string(top));
    return s;
  }
};

// A data change and the table it changes.
struct Change {
  std::string table;
  Sql text;
};

// A seeded table: its statements in the order they run, the indexes before the rows or after.
struct TableSeed {
  std::string name, drop, create;
  std::vector<std::string> inserts, indexes;
  bool indexesFirst = false;
};

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}
  int pick(int n) { return int(rng_() % uint32_t(n)); }
  bool chance(int percent) { return pick(100) < percent; }

  std::string value(char column) {
    if (chance(15)) return "NULL";
    // Now and then a number at or next to its type's ends.
    if (column == 'a' && chance(3))
      return std::vector<std::string>{"2147483647", "-2147483647", "-2147483648"}[size_t(pick(3))];
    if (column == 'b' && chance(3))
      return std::vector<std::string>{"32767", "-32767", "-32768"}[size_t(pick(3))];
    switch (column) {
      case 'a':
        return std::to_string(pick(26) - 5);
      case 'b':
        return std::to_string(pick(7) - 3);
      case 'c':
        return std::to_string((pick(2001) - 1000) * 1000);
      case 'f':
        return FloatToText((pick(41) - 20) / 4.0);
      case 's':
      case 'm':
        return "'" + std::string(kTexts[pick(std::size(kTexts))]) + "'";
      default:
        return "'2020-01-" + std::string(pick(9) + 1 < 10 ? "0" : "") + std::to_string(pick(9) + 1) + "'";
    }
  }
  std::string row() {
    std::string r;
    for (const char* c : kColumns) r += (r.empty() ? "" : ", ") + value(c[0]);
    return "(" + r + ")";
  }
  char numeric() { return "abf"[pick(3)]; }
  // A numeric expression over the row's INTEGER, SMALLINT and FLOAT columns and constants.
  Sql number(const std::string& p, int depth = 0) {
    bool integer = false;
    return number(p, depth, integer);
  }
  // The same, telling whether it is an integer. An integer + - * past 32 bits stops the
  // statement with the engine's numeric overflow; SQLite's side checks each such step alike
  // (checked32).
  //
  // `bounded`: for conditions, whose rows and operands the two sides do not test in one order
  // (an index, AND's order), so that where one side stops at an overflow the other might not
  // have reached it: the arithmetic cannot leave 32 bits. Inside it the INTEGER column is left
  // out, and there is at most one product, of two leaves.
  Sql number(const std::string& p, int depth, bool& integer, bool bounded = false) {
    int products = 0;
    bool leaf = false;
    return number(p, depth, integer, bounded, products, leaf);
  }
  Sql number(const std::string& p, int depth, bool& integer, bool bounded, int& products, bool& leaf) {
    if (depth > 1 || chance(50)) {
      integer = true;
      leaf = true;
      if (!chance(75)) return Sql(std::to_string(pick(26) - 5));
      const char c = bounded && depth > 0 ? "bf"[pick(2)] : numeric();
      integer = c != 'f';
      return Sql(p + c);
    }
    leaf = false;
    bool leftInteger = false, rightInteger = false, leftLeaf = false, rightLeaf = false;
    Sql l = number(p, depth + 1, leftInteger, bounded, products, leftLeaf),
        r = number(p, depth + 1, rightInteger, bounded, products, rightLeaf);
    int op = pick(4);
    if (op == 3) {
      integer = false;
      return {"(" + l.ours + " / " + r.ours + ")", "(CAST(" + l.lite + " AS REAL) / " + r.lite + ")"};
    }
    if (bounded && op == 2 && (!leftLeaf || !rightLeaf || products++ > 0)) op = 0;
    integer = leftInteger && rightInteger;
    Sql e = Sql("(") + l + Sql(op == 0 ? " + " : op == 1 ? " - " : " * ") + r + Sql(")");
    if (integer) e.lite = checked32(e.lite);
    return e;
  }
  // An integer of SQLite's 64 bits, or SQLite's error where it needs more than 32.
  static std::string checked32(const std::string& e) { return std::string(kChecked32) + "(" + e + ")"; }
  // The engine's comparison rules in SQLite: = and <> treat NULL as a value; an ordering with
  // one NULL is false, with two compares zeros; a NULL text is the empty text.
  static Sql compare(const Sql& l, const std::string& op, const Sql& r, bool text) {
    std::string a = "(" + l.lite + ")", b = "(" + r.lite + ")", lite;
    std::string collate = text ? " COLLATE VEL" : "";
    if (op == "=" || op == "<>") {
      lite = "(" + a + (op == "=" ? " IS " : " IS NOT ") + b + collate + ")";
    } else if (text) {
      lite = "(COALESCE(" + a + ", '') COLLATE VEL " + op + " COALESCE(" + b + ", ''))";
    } else {
      lite = "(CASE WHEN " + a + " IS NULL AND " + b + " IS NULL THEN " +
             (op.find('=') != std::string::npos ? "1" : "0") + " WHEN " + a + " IS NULL OR " + b +
             " IS NULL THEN 0 ELSE " + a + " " + op + " " + b + " END)";
    }
    return {l.ours + " " + op + " " + r.ours, lite};
  }
  // A LIKE pattern cut from one of the texts: characters become "_" or "%", ASCII letters may
  // change case (LIKE keeps case), a "%" may lead or trail. Whole UTF-8 characters only.
  std::string likePattern() {
    const std::string text = kTexts[pick(std::size(kTexts))];
    std::string pattern = chance(20) ? "%" : "";
    for (size_t i = 0; i < text.size();) {
      size_t n = 1;
      while (i + n < text.size() && (uint8_t(text[i + n]) & 0xC0) == 0x80) ++n;
      const int roll = pick(100);
      if (roll < 12) {
        pattern += "_";
      } else if (roll < 20) {
        if (pattern.empty() || pattern.back() != '%') pattern += "%";
      } else if (roll < 28 && n == 1 && std::isalpha(uint8_t(text[i]))) {
        pattern += char(std::isupper(uint8_t(text[i])) ? std::tolower(uint8_t(text[i]))
                                                       : std::toupper(uint8_t(text[i])));
      } else {
        pattern += text.substr(i, n);
      }
      i += n;
    }
    if (chance(20) && pattern.back() != '%') pattern += "%";
    return pattern;
  }
  // A FLOAT constant, written with a point even when whole (a whole number is an INTEGER).
  static std::string decimal(double v) {
    const std::string text = FloatToText(v);
    return text.find_first_of(".e") == std::string::npos ? text + ".0" : text;
  }
  // A number constant for a column of any numeric type: whole, with a fraction, or beyond the
  // smaller types' ends.
  std::string numberConstant() {
    if (chance(10))
      return std::vector<std::string>{
          "32767", "-32768", "2147483647", "-2147483648", "40000", "3000000000"}[size_t(pick(6))];
    if (chance(25)) return FloatToText((pick(41) - 20) / 4.0);
    return std::to_string(pick(26) - 5);
  }
  // A condition for IF. Over a join, a quoted text that names a column among the arguments of
  // a function refers to the table that holds the column: none is drawn.
  Sql ifCondition(const std::string& p) {
    for (;;) {
      Sql c = condition(p, 3);
      bool names = false;
      for (size_t at = c.ours.find('\''); at != std::string::npos && at + 2 < c.ours.size();
           at = c.ours.find('\'', at + 1))
        if (c.ours[at + 2] == '\'' && std::strchr("abcfsdmABCFSDM", c.ours[at + 1])) names = true;
      if (!names) return c;
    }
  }
  // The CHAR column through a string function, a concatenation, IF or CAST. A stored empty
  // text is NULL, and so is the empty result of SUBSTRING, TRIM and REPLACE: SQLite's side turns
  // those into NULL. A NULL text is the empty one to || and TRIM, and a concatenation's empty
  // text stays a text in a condition.
  // `stored`: for a select list, whose column holds what the column s holds (REPLACE keeps the
  // whole characters of its first ten bytes there, where a condition sees them all).
  Sql textFunction(const std::string& p, bool stored = false) {
    const std::string s = p + "s";
    auto nullIfEmpty = [](const std::string& e) { return "NULLIF(" + e + ", '')"; };
    auto quoted = [](const std::string& t) { return "'" + t + "'"; };
    // Texts that name no column (a quoted text may stand for one), the first seven a character.
    static const char* const kPieces[] = {"é", "x", " ", "Z", "u", "Ñ", "e", "bc", "ab"};
    const std::string piece = quoted(kPieces[pick(std::size(kPieces))]);
    switch (pick(7)) {
      case 0: {
        const bool upper = chance(50);
        return {std::string(upper ? "UPPER(" : "LOWER(") + s + ")",
                std::string(upper ? kUpper : kLower) + "(" + s + ")"};
      }
      case 1: {
        // SUBSTRING from before the start to past the end, for none, a zero or a negative count.
        const int from = pick(13) - 2;
        std::string ours = "SUBSTRING(" + s + " FROM " + std::to_string(from),
                    lite = "substr(" + s + ", " + std::to_string(std::max(from, 1));
        if (chance(60)) {
          const int count = pick(12) - 2;
          ours += " FOR " + std::to_string(count);
          if (count <= 0) return {ours + ")", "NULL"};
          lite += ", " + std::to_string(count);
        }
        return {ours + ")", nullIfEmpty(lite + ")")};
      }
      case 2: {
        static const char* const kWhere[] = {"LEADING", "TRAILING", "BOTH"};
        static const char* const kLite[] = {"ltrim", "rtrim", "trim"};
        const int where = pick(3);
        const std::string c = quoted(kPieces[pick(7)]);
        return {"TRIM(" + std::string(kWhere[where]) + " " + c + " FROM " + s + ")",
                nullIfEmpty(std::string(kLite[where]) + "(" + s + ", " + c + ")")};
      }
      case 3: {
        // A NULL text (not the NULL constant, which has no text type) is the empty text, and
        // two of them join into the empty text, which is not NULL until a field stores it.
        std::string l = chance(70) ? s : piece, r = chance(50) ? s : piece;
        if (l != s && r != s) r = s;
        const std::string op = chance(50) ? " || " : " + ";
        const std::string joined = "(COALESCE(" + l + ", '') || COALESCE(" + r + ", ''))";
        return {l + op + r, stored ? nullIfEmpty(joined) : joined};
      }
      case 4: {
        static const char* const kWith[] = {"xy", "Q", "éé"};
        const std::string with = quoted(kWith[pick(3)]);
        const std::string replaced = "replace(" + s + ", " + piece + ", " + with + ")";
        return {"REPLACE(" + piece + " WITH " + with + " IN " + s + ")",
                nullIfEmpty(stored ? std::string(kCut) + "(" + replaced + ", 10)" : replaced)};
      }
      case 5: {
        // IF takes the type of its first branch; the condition is never NULL here.
        const Sql c = ifCondition(p);
        const std::string other = chance(30) ? "NULL" : piece;
        const bool first = chance(50);
        return {"IF(" + c.ours + " THEN " + (first ? s : other) + " ELSE " + (first ? other : s) + ")",
                "(CASE WHEN " + c.lite + " THEN " + (first ? s : other) + " ELSE " + (first ? other : s) +
                    " END)"};
      }
      default: {
        const char column = "abcs"[pick(4)];
        if (column == 's') {
          // A shorter CHAR keeps the whole characters of its first bytes.
          const int size = 1 + pick(6);
          return {"CAST(" + s + " AS CHAR(" + std::to_string(size) + "))",
                  std::string(kCut) + "(" + s + ", " + std::to_string(size) + ")"};
        }
        return {"CAST(" + p + column + " AS CHAR(20))", "CAST(" + p + column + " AS TEXT)"};
      }
    }
  }
  // A DATE of the row: the column, or days added or taken.
  Sql dateValue(const std::string& p) {
    const std::string d = p + "d";
    if (chance(30)) return Sql(d);
    const int days = pick(81) - 40;
    const int form = pick(3);
    const std::string shift =
        "date(" + d + ", '" + (form == 2 ? std::to_string(-days) : std::to_string(days)) + " days')";
    if (form == 0) return {d + " + " + std::to_string(days), shift};
    if (form == 1) return {"(" + std::to_string(days) + ") + " + d, shift};
    return {d + " - " + std::to_string(days), shift};
  }
  // A number from a function of the row's values. `checked`: with the functions that stop at
  // an overflow (ABS of a type's smallest value, a narrowing CAST), which conditions leave out
  // (see number()).
  Sql numberFunction(const std::string& p, bool checked) {
    // No text that names a column: over a join, a condition would refer to another table.
    static const char* const kSearch[] = {"u", "e", "x", "é", "bc", " ", "Zed"};
    const std::string s = p + "s", search = std::string("'") + kSearch[pick(std::size(kSearch))] + "'";
    // The functions that may stop come often enough that every run meets their overflows: with
    // one in four of them, a run of some seeds met none.
    switch (checked && chance(50) ? 7 : pick(7)) {
      case 0:
        return {"LENGTH(" + s + ")", "length(" + s + ")"};
      case 1:
        return {"POS(" + search + " IN " + s + ")", "instr(" + s + ", " + search + ")"};
      case 2:
        return {"OCCURS(" + search + " IN " + s + ")", "((length(" + s + ") - length(replace(" + s + ", " +
                                                           search + ", ''))) / length(" + search + "))"};
      case 3: {
        const int places = pick(4);
        return {"ROUND(" + p + "f" + (places ? " TO " + std::to_string(places) : "") + ")",
                "round(" + p + "f, " + std::to_string(places) + ")"};
      }
      case 4: {
        static const char* const kParts[] = {"YEAR", "MONTH", "DAY", "DAYOFWEEK"};
        const int part = pick(4);
        const Sql d = dateValue(p);
        const std::string lite = part == 3 ? "((CAST(strftime('%w', " + d.lite + ") AS INTEGER) + 6) % 7 + 1)"
                                           : "CAST(strftime('" +
                                                 std::string(part == 0   ? "%Y"
                                                             : part == 1 ? "%m"
                                                                         : "%d") +
                                                 "', " + d.lite + ") AS INTEGER)";
        return {"EXTRACT(" + std::string(kParts[part]) + " FROM " + d.ours + ")", lite};
      }
      case 5: {
        // Days between two dates.
        const Sql d = dateValue(p);
        const std::string day = "2020-01-0" + std::to_string(1 + pick(9));
        return {d.ours + " - CAST('" + day + "' AS DATE)",
                "CAST(julianday(" + d.lite + ") - julianday('" + day + "') AS INTEGER)"};
      }
      case 6: {
        const Sql c = ifCondition(p);
        // Both branches of one type: IF converts the second to the first's.
        const char l = "abf"[pick(3)];
        const std::string other = chance(40) ? "NULL"
                                  : l == 'f' ? decimal((pick(41) - 20) / 4.0)
                                             : std::to_string(pick(26) - 5);
        const bool first = chance(50);
        const std::string a = std::string(p) + l, b = chance(50) ? std::string(p) + l : other;
        return {"IF(" + c.ours + " THEN " + (first ? a : b) + " ELSE " + (first ? b : a) + ")",
                "(CASE WHEN " + c.lite + " THEN " + (first ? a : b) + " ELSE " + (first ? b : a) + " END)"};
      }
      default: {
        // A narrowing CAST stops at nearly every row; ABS only at a type's smallest value.
        switch (checked && chance(50) ? 3 : pick(6)) {
          case 0:
            return {"ABS(" + p + "a)", checked32("abs(" + p + "a)")};
          case 1:
            return {"ABS(" + p + "b)", std::string(kChecked16) + "(abs(" + p + "b))"};
          case 2:
            return {"ABS(" + p + "f)", "abs(" + p + "f)"};
          case 3: {
            // LARGEINT c, in thousands, mostly lies beyond SMALLINT's ends.
            const std::string column = p + "ac"[pick(2)];
            return {"CAST(" + column + " AS SMALLINT)", std::string(kChecked16) + "(" + column + ")"};
          }
          case 4:
            return {"CAST(" + p + "f AS INTEGER)", "CAST(" + p + "f AS INTEGER)"};
          default:
            return {"CAST(" + p + "a AS FLOAT)", "CAST(" + p + "a AS REAL)"};
        }
      }
    }
  }
  // A select-list item of a function: a text, a number or a date. A text stored into the
  // result loses its trailing blanks, and only blanks are NULL.
  Sql function(const std::string& p) {
    const int kind = pick(5);
    if (kind < 2) {
      const Sql text = textFunction(p, true);
      return {text.ours, "NULLIF(rtrim(" + text.lite + ", ' '), '')"};
    }
    if (kind < 4) return numberFunction(p, true);
    return dateValue(p);
  }

  // `p` a IN (SELECT ...) over one of the tables (`table` when given), in the engine's rule:
  // a NULL meets a NULL. `lp` is the outer row's prefix on SQLite's side, where the sub-selects
  // do not refer to the outer row: SQLite reads them once, before an UPDATE or DELETE changes
  // their table, as the engine does (a correlated one would see the rows changed so far).
  Sql inSubSelect(const std::string& p, const std::string& lp, bool negated, const std::string& table = "") {
    std::string t = table.empty() ? "t" + std::to_string(pick(3) + 1) : table,
                k = std::to_string(pick(15) - 3);
    std::string c = chance(50) ? "a" : "b", o = chance(70) ? "a" : "b";
    std::string filter = chance(50) ? "z.a > " + k : "";
    if (filter.empty() && chance(30)) filter = "z.b IS NULL";
    const std::string lf = filter == "z.b IS NULL" ? filter
                           : filter.empty()        ? ""
                                                   : "COALESCE(" + filter + ", 0)";
    const std::string rows = " FROM " + t + " z" + (lf.empty() ? "" : " WHERE " + lf);
    return {p + o + (negated ? " NOT IN" : " IN") + " (SELECT z." + c + " FROM " + t + " z" +
                (filter.empty() ? "" : " WHERE " + filter) + ")",
            std::string(negated ? "NOT " : "") + "(COALESCE(" + lp + o + " IN (SELECT z." + c + rows +
                "), 0) OR (" + lp + o + " IS NULL AND EXISTS (SELECT 1" + rows +
                (lf.empty() ? " WHERE " : " AND ") + "z." + c + " IS NULL)))"};
  }
  // A condition; `p` is the correlation prefix ("x." or "").
  Sql condition(const std::string& p, int depth = 0) {
    // Leaves (0-2 and 6-10) at any depth, NOT, AND/OR and IN at the upper ones.
    static const int kLeaves[] = {0, 1, 2, 6, 7, 8, 9, 10};
    int kind = depth > 2 ? kLeaves[pick(8)] : pick(11);
    static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    std::string op = kOps[pick(6)];
    switch (kind) {
      case 0: {
        // A constant takes the other operand's type: two column-free sides would compare in
        // the left one's type, which SQLite does not model.
        bool integer = false;
        Sql l = number(p, 0, integer, true), r = number(p, 0, integer, true);
        auto columnFree = [](const Sql& e) {
          return std::none_of(e.ours.begin(), e.ours.end(), [](char c) { return std::isalpha(uint8_t(c)); });
        };
        if (columnFree(l) && columnFree(r)) l = Sql(p + numeric());
        // A column-free side that an integer side's type cannot hold keeps its fraction:
        // (-1 + (13 / 17)) >= a compares -0.23... with a, as SQLite does.
        return compare(l, op, r, false);
      }
      case 1: {
        char c = "sd"[pick(2)];
        std::string v = value(c);
        while (v == "NULL") v = value(c);
        return compare(Sql(p + c), op, Sql(v), c == 's');
      }
      case 2:
        return Sql(p + kColumns[pick(6)] + (chance(50) ? " IS NULL" : " IS NOT NULL"));
      case 3:
        return Sql("NOT (") + condition(p, depth + 1) + Sql(")");
      case 4:
        return Sql("(") + condition(p, depth + 1) + Sql(chance(50) ? " AND " : " OR ") +
               condition(p, depth + 1) + Sql(")");
      case 5: {
        // A sub-select over another table, its rows compared with the outer row's value.
        if (!p.empty() && chance(40)) return inSubSelect(p, p, chance(25));
        Sql in(p + "a IN (" + std::to_string(pick(5)) + ", " + std::to_string(pick(9) - 2) + ")");
        return {in.ours, "COALESCE(" + in.lite + ", 0)"};
      }
      case 6: {
        // LIKE keeps case and is false for a NULL text (NOT LIKE true): SQLite's GLOB keeps case.
        const std::string pattern = likePattern();
        std::string glob = pattern;
        std::replace(glob.begin(), glob.end(), '%', '*');
        std::replace(glob.begin(), glob.end(), '_', '?');
        const bool negated = chance(30);
        return {p + "s" + (negated ? " NOT LIKE '" : " LIKE '") + pattern + "'",
                std::string(negated ? "NOT " : "") + "COALESCE(" + p + "s GLOB '" + glob + "', 0)"};
      }
      case 7: {
        // BETWEEN is >= and <= by the engine's comparison rules.
        Sql l(p + numeric()), lo(numberConstant()), hi(numberConstant());
        if (chance(20)) lo = Sql(p + numeric());
        const bool negated = chance(30);
        Sql both = compare(l, ">=", lo, false);
        Sql upper = compare(l, "<=", hi, false);
        return {l.ours + (negated ? " NOT BETWEEN " : " BETWEEN ") + lo.ours + " AND " + hi.ours,
                std::string(negated ? "NOT " : "") + "(" + both.lite + " AND " + upper.lite + ")"};
      }
      case 8: {
        // An IN list of numbers, a NULL among them meeting a NULL value.
        const std::string c = p + numeric();
        std::vector<std::string> items;
        for (int i = 1 + pick(3); i-- > 0;) items.push_back(chance(15) ? "NULL" : numberConstant());
        std::string ours, lite;
        for (const std::string& item : items) {
          ours += (ours.empty() ? "" : ", ") + item;
          lite += (lite.empty() ? "" : " OR ") + c + " IS " + item;
        }
        const bool negated = chance(35);
        return {c + (negated ? " NOT IN (" : " IN (") + ours + ")",
                std::string(negated ? "NOT " : "") + "(" + lite + ")"};
      }
      case 10: {
        // A function's text, number or date against a constant, or a function's text LIKE a
        // pattern.
        const int form = pick(4);
        if (form == 0) {
          // Not the text 'a': compared with more than a column, it stands for the column a.
          std::string v = value('s');
          while (v == "NULL" || v == "'a'") v = value('s');
          return compare(textFunction(p), op, Sql(v), true);
        }
        if (form == 1) return compare(numberFunction(p, false), op, Sql(numberConstant()), false);
        if (form == 2) {
          const std::string day = "2020-01-0" + std::to_string(1 + pick(9));
          return compare(dateValue(p), op, Sql("CAST('" + day + "' AS DATE)", "'" + day + "'"), false);
        }
        const Sql text = textFunction(p);
        std::string glob = likePattern();
        const std::string pattern = glob;
        std::replace(glob.begin(), glob.end(), '%', '*');
        std::replace(glob.begin(), glob.end(), '_', '?');
        return {text.ours + " LIKE '" + pattern + "'",
                "COALESCE((" + text.lite + ") GLOB '" + glob + "', 0)"};
      }
      default: {
        // A column against a NULL constant or a number of any type.
        Sql r(chance(30) ? "NULL" : numberConstant());
        return compare(Sql(p + numeric()), op, r, false);
      }
    }
  }

  // A SELECT: one table, joins of two to four tables, grouping, or a UNION.
  Query select() {
    Query q;
    std::string t = "t" + std::to_string(pick(3) + 1);
    int kind = pick(10);
    auto columns = [&](const std::string& p, int n) {
      for (int i = 0; i < n; ++i) q.select.emplace_back(p + kColumns[pick(6)]);
    };
    if (kind < 4) {  // one table
      q.from = Sql(t + " x");
      if (chance(25)) {
        q.select.emplace_back("*");
        q.live = chance(50);
      } else {
        // Columns drawn with repeats, in any order, and expressions: a live result shows them
        // as its cursor's own field list.
        columns("x.", 1 + pick(3));
        if (chance(40)) q.select.push_back(number("x."));
        if (chance(30)) columns("x.", 1);
        if (chance(35)) q.select.push_back(function("x."));
        q.live = chance(40);
        // An order that an index of the table gives keeps the result live, in the index's order.
        q.orderAll = q.live && chance(30);
      }
      q.distinct = q.select[0].ours != "*" && chance(20);
      if (!q.live && q.select[0].ours != "*" && chance(25)) {
        // A memo rides through the final passes of ORDER BY and GROUP BY.
        q.select.emplace_back("x.m");
        q.distinct = false;
        q.memo = true;
      }
    } else if (kind < 7) {  // joins of two or three tables
      std::string u = "t" + std::to_string(pick(3) + 1);
      Sql on = compare(Sql(std::string("x.") + "abf"[pick(3)]), "=", Sql(std::string("y.") + "abc"[pick(3)]),
                       false);
      // An outer join's ON may test either table beside the link: a row that fails it still
      // comes, its other side NULL, where the same test in WHERE drops it.
      if (chance(35)) on = on + Sql(" AND ") + condition(chance(50) ? "x." : "y.", 3);
      int join = pick(4);
      if (join != 3 && chance(35)) q.where = condition("y.", 2);
      if (join == 0) {
        q.from = Sql(t + " x INNER JOIN " + u + " y ON ") + on;
      } else if (join == 1) {
        q.from = Sql(t + " x LEFT OUTER JOIN " + u + " y ON ") + on;
      } else if (join == 2) {
        q.from =
            Sql(u + " y RIGHT OUTER JOIN " + t + " x ON ", t + " x LEFT OUTER JOIN " + u + " y ON ") + on;
      } else {
        // Two to four tables (a table may come twice) in the comma form, linked in a chain
        // whose conditions may close a cycle, with an OR across tables or with a constant.
        static const char* const kAliases[] = {"x", "y", "z", "w"};
        int n = 2 + pick(3);
        std::vector<std::string> items;
        for (int i = 0; i < n; ++i)
          items.push_back((i == 0 ? t : "t" + std::to_string(pick(3) + 1)) + " " + kAliases[i]);
        std::string from;
        std::vector<int> order(size_t(n), 0);
        for (int i = 0; i < n; ++i) order[size_t(i)] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(uint32_t(pick(1000))));
        for (int i : order) from += (from.empty() ? "" : ", ") + items[size_t(i)];
        q.from = Sql(from);
        auto link = [&](int i, int j) {
          std::string l = std::string(kAliases[i]) + "." + "abc"[pick(3)];
          std::string r = std::string(kAliases[j]) + "." + "abc"[pick(3)];
          if (chance(50)) std::swap(l, r);
          return Sql(l + " = " + r, l + " IS " + r);
        };
        Sql where = link(0, 1);
        for (int i = 2; i < n; ++i) where = where + Sql(" AND ") + link(pick(i), i);
        if (n > 2 && chance(50)) where = where + Sql(" AND ") + link(n - 1, 0);
        if (chance(30))
          where = where + Sql(" AND (") + condition("x.", 3) + Sql(" OR ") + condition("y.", 3) + Sql(")");
        if (chance(20))
          where = where + Sql(chance(50) ? " AND (y.a = 2 OR 1 = 2)" : " AND (y.a = 2 OR 1 = 1)");
        q.where = where;
      }
      columns("x.", 1);
      columns("y.", 1 + pick(2));
      // A function of the inner table's row, NULL-extended in an outer join.
      if (chance(20)) q.select.push_back(function("y."));
      if (chance(30)) q.tail = Sql(" NOJOINOPTIMIZE", "");
    } else if (kind < 9) {  // grouping
      q.from = Sql(t + " x");
      bool all = chance(40);
      if (!all) {
        std::string g = std::string("x.") + kColumns[pick(6)];
        q.select.emplace_back(g);
        q.group = Sql(g);
      }
      q.select.emplace_back("COUNT(*)");
      std::string n = std::string("x.") + "abcf"[pick(4)];
      static const char* const kAggregates[] = {"SUM", "MIN", "MAX", "COUNT"};
      // Numeric aggregates that HAVING may test, with the type of what they sum.
      std::vector<Sql> numeric;
      for (int i = pick(3); i-- > 0;) {
        std::string f = kAggregates[pick(4)];
        std::string column = f == "SUM" ? n : std::string("x.") + kColumns[pick(6)];
        Sql item(f + "(" + column + ")");
        // An aggregate of an expression, NULL where any operand is.
        if (f != "COUNT" && chance(25)) {
          Sql e = number("x.");
          item = Sql(f + "(") + e + Sql(")");
          numeric.push_back(item);
        } else if (f == "SUM" || f == "COUNT" ||
                   std::string("abcf").find(column.back()) != std::string::npos) {
          numeric.push_back(item);
        }
        q.select.push_back(item);
      }
      if (chance(50)) q.select.emplace_back("AVG(" + n + ")", "COALESCE(AVG(" + n + "), 0)");
      if (!all && chance(30)) {
        q.having = Sql("COUNT(*) > " + std::to_string(pick(4)));
        // An aggregate of the list against a constant (a NULL sum orders by the engine's
        // rules), or two tests joined.
        if (!numeric.empty() && chance(60)) {
          static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
          Sql test = compare(numeric[size_t(pick(int(numeric.size())))], kOps[pick(6)], Sql(numberConstant()),
                             false);
          q.having =
              chance(50) ? test : Sql("(") + q.having + Sql(chance(50) ? " AND " : " OR ") + test + Sql(")");
        }
      }
      // Groups of an expression, named by its number in the list.
      if (!all && q.having.ours.empty() && chance(20)) {
        q.select[0] = chance(50) ? number("x.") : function("x.");
        q.group = Sql("1");
      }
    } else {  // UNION
      q.from = Sql(t + " x");
      q.select = {Sql("x.a"), Sql("x.s")};
      // One or two more parts, each joined with or without ALL and distinct or not, and the
      // first part distinct or not: DISTINCT holds for its part, a plain UNION for all before it.
      q.distinct = chance(25);
      for (int parts = 1 + pick(2); parts-- > 0;) {
        std::string u = "t" + std::to_string(pick(3) + 1);
        std::string head = chance(50) ? " UNION ALL SELECT " : " UNION SELECT ";
        if (chance(30)) head += "DISTINCT ";
        Sql other = condition("y.");
        q.tail = q.tail + Sql(head + "y.a, y.s FROM " + u + " y WHERE ") + other;
      }
      q.orderAll = chance(30);
    }
    if (q.where.ours.empty() && chance(80)) q.where = condition("x.");
    // TOP orders by every column, so that the rows it keeps are the same on both sides. SQLite
    // computes no row under LIMIT 0, where the engine computes them all: a list whose integer
    // arithmetic may overflow keeps at least one.
    if (q.group.ours.empty() && q.having.ours.empty() && chance(15) && q.select[0].ours != "*" && !q.memo) {
      q.top = pick(6);
      const bool checked = std::any_of(q.select.begin(), q.select.end(), [](const Sql& e) {
        return e.lite.find(kChecked32) != std::string::npos || e.lite.find(kChecked16) != std::string::npos;
      });
      if (q.top == 0 && checked) q.top = 1;
    }
    if ((q.top >= 0 || q.orderAll) && chance(40))
      for (size_t i = 0; i < q.select.size(); ++i) q.descending.push_back(chance(50));
    return q;
  }

  // The WHERE of an UPDATE or DELETE: a condition, or a sub-select over any table, the changed
  // one too, whose rows are those before the change. SQLite is given the rows to change as a
  // list made before the first change, since it reads a sub-select when a row first needs it.
  Sql changeCondition(const std::string& table) {
    Sql where;
    if (!chance(25)) {
      where = condition("");
    } else {
      Sql in = inSubSelect("", table + ".", chance(25), chance(60) ? table : "");
      where = chance(30) ? Sql("(") + in + Sql(" AND ") + condition("", 3) + Sql(")") : in;
    }
    return {where.ours, "rowid IN (SELECT rowid FROM " + table + " WHERE " + where.lite + ")"};
  }

  // A text constant longer than CHAR(10), which may end inside a character there.
  std::string longText() {
    static const char* const kLong[] = {"ÑuÑuÑuÑuÑuÑu", "abcdefghijkl", "ééééééé", "aaaaaaaaaé",
                                        "xxxxxxxxxxé"};
    return "'" + std::string(kLong[pick(std::size(kLong))]) + "'";
  }
  // SQLite's form of a text stored into CHAR(10).
  static std::string cut(const std::string& text) { return std::string(kCut) + "(" + text + ", 10)"; }
  // An INSERT, an UPDATE or a DELETE on one of the tables.
  Change change() {
    Change c;
    c.table = "t" + std::to_string(pick(3) + 1);
    int kind = pick(3);
    if (kind == 0) {
      c.text = Sql("INSERT INTO " + c.table + " VALUES " + row());
      if (chance(20)) {
        // A text longer than CHAR(10) keeps the whole characters of its first ten bytes.
        const std::string text = longText(), r = row();
        const size_t s = r.find(", ", r.find(", ", r.find(", ", r.find(", ") + 1) + 1) + 1) + 2,
                     e = r.find(", ", s);
        c.text = {"INSERT INTO " + c.table + " VALUES " + r.substr(0, s) + text + r.substr(e),
                  "INSERT INTO " + c.table + " VALUES " + r.substr(0, s) + cut(text) + r.substr(e)};
      }
    } else if (kind == 1) {
      // INTEGER a + 1 and -a stop the statement at the ends of 32 bits.
      const Sql kSets[] = {{"a = a + 1", "a = " + checked32("a + 1")},
                           {"a = -a", "a = " + checked32("-a")},
                           Sql("s = 'zz'"),
                           Sql("f = f / 2"),
                           Sql("b = NULL"),
                           Sql("c = c - a")};
      const std::string text = longText();
      const Sql set = chance(15) ? Sql("s = " + text, "s = " + cut(text)) : kSets[pick(6)];
      c.text = Sql("UPDATE " + c.table + " SET ") + set + Sql(" WHERE ") + changeCondition(c.table);
    } else {
      c.text = Sql("DELETE FROM " + c.table + " WHERE ") + changeCondition(c.table);
    }
    return c;
  }

  // Table `t1`..`t3` made anew: up to `most` rows (30 beyond the first table), inserted in one
  // transaction, and up to two single-column indexes, made before the rows or after them.
  TableSeed seedTable(int number, int most) {
    TableSeed s;
    s.name = "t" + std::to_string(number);
    s.drop = "DROP TABLE IF EXISTS " + s.name;
    // The first table always holds a memo; the others do half the time, since a join reads an
    // inner table without blobs through a lookup of its own.
    const bool memo = number == 1 || chance(50);
    s.create = "CREATE TABLE " + s.name +
               " (a INTEGER, b SMALLINT, c LARGEINT, f FLOAT, s CHAR(10), d DATE, m " +
               (memo ? "BLOB(1, 1))" : "CHAR(10))");
    int rows = std::min(most, std::vector<int>{0, 1, 5, 30, 200, 1000, 5000}[size_t(pick(7))]);
    if (number > 1) rows = std::min(rows, 30);
    for (int i = 0; i < rows; ++i) s.inserts.push_back("INSERT INTO " + s.name + " VALUES " + row());
    for (int i = pick(3), taken = 0; i-- > 0;) {
      int c = pick(6);
      if (taken & (1 << c)) continue;
      taken |= 1 << c;
      s.indexes.push_back("CREATE INDEX i" + std::string(kColumns[c]) + " ON " + s.name + " (" + kColumns[c] +
                          ")");
    }
    s.indexesFirst = chance(30);
    return s;
  }

 private:
  std::mt19937 rng_;
};

}  // namespace sql_gen
