// The engine's SQL against SQLite on the same seeded tables: generated statements in the
// engine's dialect, translated for SQLite (two-valued NULL logic, division in FLOAT, AVG of no
// values 0), results compared as bags of rows and data changes by rows affected and then the
// whole tables. Metamorphic checks ride along: random indexes, NOJOINOPTIMIZE, live results,
// permuted FROM lists, RIGHT JOIN as the mirrored LEFT JOIN, and WHERE p with WHERE NOT p. Joins
// of two to four tables, self-joins and conditions that close a cycle, ORs across tables and
// with constants, IN (sub-select), and a memo column through the final passes.
// VELMARON_SEED replays a run; VELMARON_LONG=1 runs 100,000 statements.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorlocale.h"
#include "engine/sql/veldorsq.h"
#include "engine/tables/veldordirectory.h"
#include "engine/tables/veldorsession.h"
#include "engine/values/veldorvaluetext.h"
#include "tests/engine/storage/storage_test_util.h"
#include "tests/platform/temp_folder.h"

namespace {

using namespace engine;
using Rows = std::vector<std::string>;

// The same text for both sides, or one per side.
struct Sql {
  std::string ours, lite;
  Sql(std::string both = "") : ours(both), lite(std::move(both)) {}
  Sql(std::string o, std::string l) : ours(std::move(o)), lite(std::move(l)) {}
};
Sql operator+(const Sql& a, const Sql& b) {
  return {a.ours + b.ours, a.lite + b.lite};
}

// INTEGER SMALLINT LARGEINT FLOAT CHAR DATE, and a memo that no index, order or group takes.
const char* const kColumns[] = {"a", "b", "c", "f", "s", "d", "m"};
const char* const kTexts[] = {"abc", "ABC", "Ábc", "éclair", "Zed", "zed", "a", "b b", "x", "Ñu"};

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
        // An integer side (no float column, no division) cuts a column-free side to an integer,
        // toward zero: (-1 + (13 / 17)) >= a compares 0 with a.
        auto integer = [](const Sql& e) { return e.ours.find_first_of("f/") == std::string::npos; };
        auto cut = [](const Sql& e) { return Sql{e.ours, "CAST(" + e.lite + " AS INTEGER)"}; };
        if (columnFree(l) && integer(r)) l = cut(l);
        if (columnFree(r) && integer(l)) r = cut(r);
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

 private:
  std::mt19937 rng_;
};

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

class Differential {
 public:
  explicit Differential(uint32_t seed) : gen_(seed), seed_(seed) {
    // Result tables go beside the tables, not into a shared temporary folder that every open
    // would list.
    session_.SetPrivateDirectory(folder_.path());
    directory_ = session_.OpenDataDirectory("db", folder_.path());
    EXPECT_EQ(sqlite3_open(":memory:", &lite_), SQLITE_OK);
    // Text comparisons in expressions follow the table's locale (language 0: US English);
    // orders and groups of index keys follow the bytes, as SQLite's own BINARY does.
    sqlite3_create_collation(
        lite_, "VEL", SQLITE_UTF8, nullptr, [](void*, int n, const void* a, int m, const void* b) {
          return OSCompareStrings(0, 0, std::string_view(static_cast<const char*>(a), size_t(n)), false, 0,
                                  std::string_view(static_cast<const char*>(b), size_t(m)));
        });
  }
  ~Differential() {
    session_.CloseDataDirectory(directory_);
    sqlite3_close(lite_);
  }

  // Engine rows (or "ERR code"), visible columns, and the rows affected.
  Rows ours(const std::string& sql, bool live, int32_t& affected) {
    Rows rows;
    try {
      sql::TQueryStatement s(*directory_);
      s.RequestLive = live;
      s.Prepare(sql);
      TDataCursor* c = s.Execute();
      affected = s.RowsAffected;
      if (!c) return rows;
      std::vector<uint8_t> record(c->RecordSize());
      std::string text;
      c->SetToBegin();
      while (c->GetNextRecord(record.data()) == 0) {
        std::string line;
        for (uint16_t p = 1; p <= c->FieldCount(); ++p)
          if (!c->GetFieldDesc(p).Bytes()[252])
            line += (sql::ColumnText(*c, p, record.data(), text) ? text : "NULL") + "|";
        rows.push_back(line);
      }
    } catch (const EVELDOREngineError& e) {
      rows = {"ERR " + std::string(e.what())};
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  Rows lite(const std::string& sql, int32_t& affected) {
    Rows rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(lite_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return {"ERR lite " + sql};
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string line;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        int type = sqlite3_column_type(st, i);
        line += (type == SQLITE_NULL ? "NULL"
                 : type == SQLITE_FLOAT
                     ? FloatToText(sqlite3_column_double(st, i))
                     : std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)))) +
                "|";
      }
      rows.push_back(line);
    }
    sqlite3_finalize(st);
    affected = sqlite3_changes(lite_);
    std::sort(rows.begin(), rows.end());
    return rows;
  }
  void both(const std::string& sql) {
    int32_t n = 0;
    Rows r = ours(sql, false, n);
    ASSERT_TRUE(r.empty() || r[0].rfind("ERR", 0) != 0) << sql << "\n" << r[0];
    lite(sql, n);
  }

  void seedTables(int most) {
    for (int t = 1; t <= 3; ++t) {
      std::string name = "t" + std::to_string(t);
      both("DROP TABLE IF EXISTS " + name);
      sqlite3_exec(lite_, ("DROP TABLE IF EXISTS " + name).c_str(), nullptr, nullptr, nullptr);
      both("CREATE TABLE " + name +
           " (a INTEGER, b SMALLINT, c LARGEINT, f FLOAT, s CHAR(10), d DATE, m BLOB(1, 1))");
      int rows = std::min(most, std::vector<int>{0, 1, 5, 30, 200, 1000, 5000}[size_t(gen_.pick(7))]);
      if (t > 1) rows = std::min(rows, 30);
      directory_->StartTransaction();
      sqlite3_exec(lite_, "BEGIN", nullptr, nullptr, nullptr);
      for (int i = 0; i < rows; ++i) both("INSERT INTO " + name + " VALUES " + gen_.row());
      directory_->Commit(true, false);
      sqlite3_exec(lite_, "COMMIT", nullptr, nullptr, nullptr);
      for (int i = gen_.pick(3), taken = 0; i-- > 0;) {
        int c = gen_.pick(6);
        if (taken & (1 << c)) continue;
        taken |= 1 << c;
        both("CREATE INDEX i" + std::string(kColumns[c]) + " ON " + name + " (" + kColumns[c] + ")");
      }
    }
  }

  Query select() {
    Query q;
    std::string t = "t" + std::to_string(gen_.pick(3) + 1);
    int kind = gen_.pick(10);
    auto columns = [&](const std::string& p, int n) {
      for (int i = 0; i < n; ++i) q.select.emplace_back(p + kColumns[gen_.pick(6)]);
    };
    if (kind < 4) {  // one table
      q.from = Sql(t + " x");
      if (gen_.chance(25)) {
        q.select.emplace_back("*");
        q.live = gen_.chance(50);
      } else {
        columns("x.", 1 + gen_.pick(3));
        if (gen_.chance(30)) q.select.push_back(gen_.number("x."));
      }
      q.distinct = q.select[0].ours != "*" && gen_.chance(15);
      if (!q.live && q.select[0].ours != "*" && gen_.chance(25)) {
        // A memo rides through the final passes of ORDER BY and GROUP BY.
        q.select.emplace_back("x.m");
        q.distinct = false;
        q.memo = true;
      }
    } else if (kind < 7) {  // joins of two or three tables
      std::string u = "t" + std::to_string(gen_.pick(3) + 1);
      Sql on = Generator::compare(Sql(std::string("x.") + "abf"[gen_.pick(3)]), "=",
                                  Sql(std::string("y.") + "abc"[gen_.pick(3)]), false);
      int join = gen_.pick(4);
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
        int n = 2 + gen_.pick(3);
        std::vector<std::string> items;
        for (int i = 0; i < n; ++i)
          items.push_back((i == 0 ? t : "t" + std::to_string(gen_.pick(3) + 1)) + " " + kAliases[i]);
        std::string from;
        std::vector<int> order(size_t(n), 0);
        for (int i = 0; i < n; ++i) order[size_t(i)] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(uint32_t(gen_.pick(1000))));
        for (int i : order) from += (from.empty() ? "" : ", ") + items[size_t(i)];
        q.from = Sql(from);
        auto link = [&](int i, int j) {
          std::string l = std::string(kAliases[i]) + "." + "abc"[gen_.pick(3)];
          std::string r = std::string(kAliases[j]) + "." + "abc"[gen_.pick(3)];
          if (gen_.chance(50)) std::swap(l, r);
          return Sql(l + " = " + r, l + " IS " + r);
        };
        Sql where = link(0, 1);
        for (int i = 2; i < n; ++i) where = where + Sql(" AND ") + link(gen_.pick(i), i);
        if (n > 2 && gen_.chance(50)) where = where + Sql(" AND ") + link(n - 1, 0);
        if (gen_.chance(30))
          where = where + Sql(" AND (") + gen_.condition("x.", 3) + Sql(" OR ") + gen_.condition("y.", 3) +
                  Sql(")");
        if (gen_.chance(20))
          where = where + Sql(gen_.chance(50) ? " AND (y.a = 2 OR 1 = 2)" : " AND (y.a = 2 OR 1 = 1)");
        q.where = where;
      }
      columns("x.", 1);
      columns("y.", 1 + gen_.pick(2));
      if (gen_.chance(30)) q.tail = Sql(" NOJOINOPTIMIZE", "");
    } else if (kind < 9) {  // grouping
      q.from = Sql(t + " x");
      bool all = gen_.chance(40);
      if (!all) {
        std::string g = std::string("x.") + kColumns[gen_.pick(6)];
        q.select.emplace_back(g);
        q.group = Sql(g);
      }
      q.select.emplace_back("COUNT(*)");
      std::string n = std::string("x.") + "abcf"[gen_.pick(4)];
      static const char* const kAggregates[] = {"SUM", "MIN", "MAX", "COUNT"};
      for (int i = gen_.pick(3); i-- > 0;) {
        std::string f = kAggregates[gen_.pick(4)];
        std::string column = f == "SUM" ? n : std::string("x.") + kColumns[gen_.pick(6)];
        q.select.emplace_back(f + "(" + column + ")");
      }
      if (gen_.chance(50)) q.select.emplace_back("AVG(" + n + ")", "COALESCE(AVG(" + n + "), 0)");
      if (!all && gen_.chance(30)) q.having = Sql("COUNT(*) > " + std::to_string(gen_.pick(4)));
    } else {  // UNION
      q.from = Sql(t + " x");
      q.select = {Sql("x.a"), Sql("x.s")};
      std::string u = "t" + std::to_string(gen_.pick(3) + 1);
      Sql other = gen_.condition("y.");
      q.tail = Sql(" UNION ") + Sql("SELECT y.a, y.s FROM " + u + " y WHERE ") + other;
    }
    if (q.where.ours.empty() && gen_.chance(80)) q.where = gen_.condition("x.");
    if (q.tail.ours.find("UNION") == std::string::npos && q.group.ours.empty() && q.having.ours.empty() &&
        gen_.chance(15) && q.select[0].ours != "*" && !q.memo)
      q.top = gen_.pick(6);
    return q;
  }

  // Rows of both; true when they differ.
  bool differs(const Query& q, std::string& report) {
    Sql s = q.text();
    int32_t n = 0;
    Rows a = ours(s.ours, q.live, n), b = lite(s.lite, n);
    if (a == b) return false;
    report = s.ours + "\n  sqlite: " + s.lite + "\n  ours " + std::to_string(a.size()) + " rows, sqlite " +
             std::to_string(b.size());
    Rows onlyOurs, onlyLite;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyOurs));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyLite));
    for (size_t i = 0; i < std::max(onlyOurs.size(), onlyLite.size()) && i < 6; ++i)
      report += "\n  " + (i < onlyOurs.size() ? onlyOurs[i] : "-") + "   " +
                (i < onlyLite.size() ? onlyLite[i] : "-");
    return true;
  }

  void checkSelect() {
    Query q = select();
    std::string report;
    if (!differs(q, report)) return metamorphic(q);
    // Shrink: drop clauses one at a time while the difference stays.
    std::string smallest = report;
    for (int pass = 0; pass < 5; ++pass) {
      Query t = q;
      if (pass == 0) t.where = Sql();
      if (pass == 1) t.top = -1;
      if (pass == 2) t.distinct = false;
      if (pass == 3) t.having = Sql();
      if (pass == 4) t.live = false;
      if ((pass == 1 && q.top >= 0) || pass != 1)
        if (differs(t, report)) q = t, smallest = report;
    }
    ADD_FAILURE() << "VELMARON_SEED=" << seed_ << " statement " << count_ << "\n" << smallest;
    failed_ = true;
  }

  // WHERE p and WHERE NOT p together give every row.
  void metamorphic(const Query& q) {
    if (q.where.ours.empty() || q.from.ours.find(' ', q.from.ours.find(' ') + 1) != std::string::npos ||
        !q.group.ours.empty() || q.top >= 0 || q.distinct || q.tail.ours.find("UNION") != std::string::npos ||
        q.select[0].ours.find("COUNT") != std::string::npos)
      return;
    int32_t n = 0;
    auto count = [&](const std::string& where) {
      Rows r = ours("SELECT COUNT(*) FROM " + q.from.ours + where, false, n);
      return r.empty() ? std::string("?") : r[0];
    };
    std::string all = count(""), yes = count(" WHERE " + q.where.ours),
                no = count(" WHERE NOT (" + q.where.ours + ")");
    if (std::to_string(std::atoll(yes.c_str()) + std::atoll(no.c_str())) + "|" != all) {
      ADD_FAILURE() << "VELMARON_SEED=" << seed_ << " p and NOT p over " << q.from.ours << " WHERE "
                    << q.where.ours << ": " << yes << " + " << no << " != " << all;
      failed_ = true;
    }
  }

  void checkChange() {
    std::string t = "t" + std::to_string(gen_.pick(3) + 1);
    Sql s;
    int kind = gen_.pick(3);
    if (kind == 0) {
      s = Sql("INSERT INTO " + t + " VALUES " + gen_.row());
    } else if (kind == 1) {
      static const char* const kSets[] = {"a = a + 1", "a = -a",   "s = 'zz'",
                                          "f = f / 2", "b = NULL", "c = c - a"};
      s = Sql("UPDATE " + t + " SET " + kSets[gen_.pick(6)] + " WHERE ") + gen_.condition("");
    } else {
      s = Sql("DELETE FROM " + t + " WHERE ") + gen_.condition("");
    }
    int32_t ourCount = -1, liteCount = -2;
    Rows a = ours(s.ours, false, ourCount);
    lite(s.lite, liteCount);
    int32_t ignored = 0;
    Rows after = ours("SELECT * FROM " + t, false, ignored);
    if (ourCount != liteCount || !a.empty() || after != lite("SELECT * FROM " + t, ignored)) {
      ADD_FAILURE() << "VELMARON_SEED=" << seed_ << " statement " << count_ << ": " << s.ours << "\n  rows "
                    << ourCount << " against " << liteCount << (a.empty() ? "" : " " + a[0]);
      failed_ = true;
    }
  }

  void run(int statements) {
    const bool long_ = std::getenv("VELMARON_LONG") != nullptr;
    const int perRound = long_ ? 100 : 250;
    for (count_ = 0; count_ < statements && !failed_; ++count_) {
      if (count_ % perRound == 0) seedTables(long_ ? 5000 : 60);
      if (gen_.chance(12)) {
        checkChange();
      } else {
        checkSelect();
      }
    }
  }

 private:
  platform::testing::TempFolder folder_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  sqlite3* lite_ = nullptr;
  Generator gen_;
  uint32_t seed_;
  int count_ = 0;
  bool failed_ = false;
};

TEST(SqlDifferentialTest, StatementsGiveTheRowsSqliteGives) {
  Differential d(storage_test::testSeed());
  d.run(std::getenv("VELMARON_LONG") ? 100000 : 2000);
}

}  // namespace
