// The clause edits and scans of SELECT texts.
#include "oracle/ora_sqltext.h"

#include <gtest/gtest.h>

namespace oracle {
namespace {

struct Edit {
  const char* sql;
  const char* argument;
  const char* expected;
};

TEST(SqlTextTest, AddWhereKeepsEachConditionWhole) {
  const Edit rows[] = {
      {"SELECT * FROM t", "id = 1", "SELECT * FROM t\rWHERE id = 1"},
      {"SELECT * FROM t ORDER BY a", "id = 1", "SELECT * FROM t\rWHERE id = 1 ORDER BY a"},
      {"SELECT * FROM t WHERE a = 1 OR b = 2", "id = 1",
       "SELECT * FROM t WHERE (a = 1 OR b = 2) AND (id = 1)"},
      {"SELECT * FROM t WHERE a = 1 -- note\rORDER BY a", "id = 1",
       "SELECT * FROM t WHERE (a = 1 -- note\r) AND (id = 1)\rORDER BY a"},
      {"SELECT * FROM t WHERE x IN (SELECT y FROM u WHERE z = 'ORDER') FOR UPDATE", "id = 1",
       "SELECT * FROM t WHERE (x IN (SELECT y FROM u WHERE z = 'ORDER')) AND (id = 1) FOR UPDATE"},
      {"SELECT * FROM (SELECT a FROM u WHERE b = 1) UNION SELECT 1 FROM dual", "a = 2",
       "SELECT * FROM (SELECT a FROM u WHERE b = 1)\rWHERE a = 2 UNION SELECT 1 FROM dual"},
      {"SELECT * FROM t", "  ", "SELECT * FROM t"},
  };
  for (const Edit& row : rows) EXPECT_EQ(AddWhere(row.sql, row.argument), row.expected) << row.sql;
}

TEST(SqlTextTest, SetWhereReplacesOrRemovesTheCondition) {
  const Edit rows[] = {
      {"SELECT * FROM t WHERE a = 1 ORDER BY a", "b = 2", "SELECT * FROM t WHERE b = 2 ORDER BY a"},
      {"SELECT * FROM t WHERE a = 1 ORDER BY a", "", "SELECT * FROM t ORDER BY a"},
      {"SELECT * FROM t GROUP BY a", "b = 2", "SELECT * FROM t WHERE b = 2 GROUP BY a"},
      {"SELECT *\rFROM t", "b = 2", "SELECT *\rFROM t\r WHERE b = 2"},
      {"SELECT * FROM t WHERE a = 1", "", "SELECT * FROM t"},
  };
  for (const Edit& row : rows) EXPECT_EQ(SetWhere(row.sql, row.argument), row.expected) << row.sql;
  EXPECT_EQ(DeleteWhere("SELECT 1 FROM t WHERE (a = 1)"), "SELECT 1 FROM t");
}

TEST(SqlTextTest, SetOrderByReplacesTheListAndKeepsForLast) {
  const Edit rows[] = {
      {"SELECT * FROM t ORDER BY a", "b;c", "SELECT * FROM t ORDER BY b,c"},
      {"SELECT * FROM t ORDER BY a FOR UPDATE", "", "SELECT * FROM t FOR UPDATE"},
      {"SELECT * FROM t FOR UPDATE", "b", "SELECT * FROM t ORDER BY b FOR UPDATE"},
      {"SELECT a, (SELECT b FROM u ORDER BY b) FROM t", "a",
       "SELECT a, (SELECT b FROM u ORDER BY b) FROM t ORDER BY a"},
  };
  for (const Edit& row : rows) EXPECT_EQ(SetOrderBy(row.sql, row.argument), row.expected) << row.sql;
  EXPECT_EQ(GetOrderBy("SELECT * FROM t ORDER BY a, b DESC "), "a, b DESC");
  EXPECT_EQ(GetOrderBy("SELECT * FROM t"), "");
}

TEST(SqlTextTest, TablesInfoListsNamesAndAliasesOfTheOuterFrom) {
  std::vector<TTableInfo> tables;
  ASSERT_EQ(GetTablesInfo("SELECT * FROM scott.emp e, (SELECT 1 FROM dual) d, dept@remote.link, "
                          "\"Mixed\" WHERE 1 = 1",
                          tables),
            3);
  EXPECT_EQ(tables[0].TableName, "scott.emp");
  EXPECT_EQ(tables[0].Alias, "e");
  EXPECT_EQ(tables[1].TableName, "dept@remote.link");
  EXPECT_EQ(tables[1].Alias, "");
  EXPECT_EQ(tables[2].TableName, "\"Mixed\"");
}

TEST(SqlTextTest, SelectListItemsAreColumnsStarsOrExpressions) {
  const auto items = ScanSelectList(
      "SELECT DISTINCT *, e.*, scott.emp.ename AS n, sal s, NULL, count(*) cnt, a + b FROM emp e");
  struct Row {
    const char *column, *table, *expression, *alias;
  } rows[] = {{"*", "", "", ""},    {"*", "e", "", ""},   {"ename", "emp", "", "n"},
              {"sal", "", "", "s"}, {"", "", "NULL", ""}, {"", "", "count(*)", "cnt"},
              {"", "", "a + b", ""}};
  ASSERT_EQ(items.size(), std::size(rows));
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].Column, rows[i].column) << i;
    EXPECT_EQ(items[i].Table, rows[i].table) << i;
    EXPECT_EQ(items[i].Expression, rows[i].expression) << i;
    EXPECT_EQ(items[i].Alias, rows[i].alias) << i;
  }
  std::string many = "SELECT a";
  for (int i = 0; i < 400; ++i) many += ", a";
  EXPECT_EQ(ScanSelectList(many).size(), MaxSelectItems);
}

}  // namespace
}  // namespace oracle
