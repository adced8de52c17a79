// The statements of the SQL differential runs, in the engine's dialect and, beside it, in
// SQLite's: seeded tables, SELECTs over one to four tables (joins, WHERE, GROUP BY, ORDER BY,
// TOP, UNION and UNION ALL chains with DISTINCT parts, IN (sub-select), a memo through the final
// passes) and INSERT, UPDATE and DELETE.
// One seed gives one sequence of statements, whichever run draws them.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
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
const char* const kTexts[] = {"abc", "ABC", "Ábc", "éclair", "Zed", "zed", "a", "b b", "x", "Ñu"};

// One generated SELECT in pieces, so that a failure can be shrunk clause by clause.
struct Query {
  bool distinct = false, live = false, orderAll = false, memo = false;
  std::vector<Sql> select;
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
      for (size_t i = 1; i <= select.size(); ++i) order += (i > 1 ? ", " : "") + std::to_string(i);
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

// A seeded table: its statements in the order they run.
struct TableSeed {
  std::string name, drop, create;
  std::vector<std::string> inserts, indexes;
};

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}
  int pick(int n) { return int(rng_() % uint32_t(n)); }
  bool chance(int percent) { return pick(100) < percent; }

  std::string value(char column) {
    if (chance(15)) return "NULL";
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
  Sql number(const std::string& p, int depth = 0) {
    if (depth > 1 || chance(50)) return chance(75) ? Sql(p + numeric()) : Sql(std::to_string(pick(26) - 5));
    Sql l = number(p, depth + 1), r = number(p, depth + 1);
    switch (pick(4)) {
      case 0:
        return Sql("(") + l + Sql(" + ") + r + Sql(")");
      case 1:
        return Sql("(") + l + Sql(" - ") + r + Sql(")");
      case 2:
        return Sql("(") + l + Sql(" * ") + r + Sql(")");
      default:
        return {"(" + l.ours + " / " + r.ours + ")", "(CAST(" + l.lite + " AS REAL) / " + r.lite + ")"};
    }
  }
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
  // A condition; `p` is the correlation prefix ("x." or "").
  Sql condition(const std::string& p, int depth = 0) {
    int kind = depth > 2 ? pick(3) : pick(6);
    static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    std::string op = kOps[pick(6)];
    switch (kind) {
      case 0: {
        // A constant takes the other operand's type: two column-free sides would compare in
        // the left one's type, which SQLite does not model.
        Sql l = number(p), r = number(p);
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
      default: {
        if (!p.empty() && chance(40)) {
          // A sub-select over another table, its rows compared with the outer row's value.
          std::string t = "t" + std::to_string(pick(3) + 1), k = std::to_string(pick(15) - 3);
          std::string c = chance(50) ? "a" : "b";
          bool filtered = chance(50);
          return {
              p + "a IN (SELECT z." + c + " FROM " + t + " z" + (filtered ? " WHERE z.a > " + k : "") + ")",
              "EXISTS (SELECT 1 FROM " + t + " z WHERE z." + c + " IS " + p + "a" +
                  (filtered ? " AND z.a > " + k : "") + ")"};
        }
        Sql in(p + "a IN (" + std::to_string(pick(5)) + ", " + std::to_string(pick(9) - 2) + ")");
        return {in.ours, "COALESCE(" + in.lite + ", 0)"};
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
        if (chance(30)) q.select.push_back(number("x."));
        if (chance(30)) columns("x.", 1);
        q.live = chance(40);
        // An order that an index of the table gives keeps the result live, in the index's order.
        q.orderAll = q.live && chance(30);
      }
      q.distinct = q.select[0].ours != "*" && chance(15);
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
      int join = pick(4);
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
      for (int i = pick(3); i-- > 0;) {
        std::string f = kAggregates[pick(4)];
        std::string column = f == "SUM" ? n : std::string("x.") + kColumns[pick(6)];
        q.select.emplace_back(f + "(" + column + ")");
      }
      if (chance(50)) q.select.emplace_back("AVG(" + n + ")", "COALESCE(AVG(" + n + "), 0)");
      if (!all && chance(30)) q.having = Sql("COUNT(*) > " + std::to_string(pick(4)));
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
    // TOP orders by every column, so that the rows it keeps are the same on both sides.
    if (q.group.ours.empty() && q.having.ours.empty() && chance(15) && q.select[0].ours != "*" && !q.memo)
      q.top = pick(6);
    return q;
  }

  // An INSERT, an UPDATE or a DELETE on one of the tables.
  Change change() {
    Change c;
    c.table = "t" + std::to_string(pick(3) + 1);
    int kind = pick(3);
    if (kind == 0) {
      c.text = Sql("INSERT INTO " + c.table + " VALUES " + row());
    } else if (kind == 1) {
      static const char* const kSets[] = {"a = a + 1", "a = -a",   "s = 'zz'",
                                          "f = f / 2", "b = NULL", "c = c - a"};
      c.text = Sql("UPDATE " + c.table + " SET " + kSets[pick(6)] + " WHERE ") + condition("");
    } else {
      c.text = Sql("DELETE FROM " + c.table + " WHERE ") + condition("");
    }
    return c;
  }

  // Table `t1`..`t3` made anew: up to `most` rows (30 beyond the first table), inserted in one
  // transaction, and up to two single-column indexes.
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
    return s;
  }

 private:
  std::mt19937 rng_;
};

}  // namespace sql_gen
