#include <algorithm>

#include "engine/base/veldorerr.h"
#include "engine/base/veldorhelpers.h"
#include "engine/sql/veldorsq.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpeval.h"

namespace engine::sql {

void SqlError(std::string_view message) {
  SignalEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "", EngineString(message));
}

namespace {

constexpr std::string_view kStatementContext = "SQL statement";

}  // namespace

uint8_t AggregateKindOf(uint8_t code) {
  switch (code) {
    case fnSum:
      return akSum;
    case fnRunSum:
      return akRunSum;
    case fnMin:
      return akMin;
    case fnMax:
      return akMax;
    case fnAvg:
      return akAvg;
    case fnCount:
      return akCount;
    default:
      return akNone;
  }
}

namespace {

// A quoted text that stands where a column name is expected names the column.
bool namedColumn(const TExpToken& node, std::string& column, std::string& table) {
  if (node.kind == expColumn) {
    column = node.columnName;
    table = node.tableName;
    return true;
  }
  if (node.kind == expConstant && node.type == TEngineFieldType::String) {
    column = EngineString(node.Text());
    table.clear();
    return true;
  }
  return false;
}

void forEachNode(TExpToken* node, const auto& f) {
  std::vector<TExpToken*> pending{node};
  while (!pending.empty()) {
    TExpToken* n = pending.back();
    pending.pop_back();
    if (!n) continue;
    f(*n);
    pending.push_back(n->left);
    pending.push_back(n->right);
    pending.push_back(n->third);
    for (TExpToken* a : n->args) pending.push_back(a);
  }
}

}  // namespace

TClauseParser::TClauseParser(TDataQuery& query) : query_(query), parser_(query.Owner.Parser()) {}

TClauseParser::~TClauseParser() {
  parser_.contextWord = kStatementContext;
}

void TClauseParser::begin(std::string_view context, std::string_view emptyMessage) {
  parser_.contextWord = context;
  if (parser_.IsTokenKind(tkEnd) || parser_.IsTokenKind(';')) SqlError(emptyMessage);
  parser_.MarkStart();
}

std::string TClauseParser::markedText() const {
  std::string text = parser_.GetMarkedText();
  text.resize(EngineStringView(text).size());
  return text;
}

void TClauseParser::ParseResultColumn(TResultField& field) {
  begin("source column expression", "Source column expression is empty");
  field.Tree.reset(parser_.ParseExpression(pfAggregates | pfAllColumns | pfPredicates));
  std::string text = markedText();
  TExpToken& tree = *field.Tree;
  std::string column, table;
  if (tree.kind == expColumn) {
    field.TableName = tree.tableName;
    field.SetColumnName(tree.columnName);
  } else if (tree.kind == expFunction && AggregateKindOf(tree.code) != akNone) {
    field.AggregateKind = AggregateKindOf(tree.code);
    if (field.AggregateKind == akAvg) query_.HasAvg = true;
    TExpToken* argument = tree.GetArgument(0);
    if (ExpTreeHasAggregate(argument)) SqlError("Aggregate functions cannot be nested");
    if (argument && argument->kind == expColumn) {
      field.TableName = argument->tableName;
      field.SetColumnName(argument->columnName);
      field.CountStar = field.AggregateKind == akCount && argument->columnName == "*";
    } else {
      field.Expression = true;
      field.ExpressionText = text;
      query_.CalculatedColumn = true;
    }
  } else {
    if (ExpTreeHasAggregate(&tree)) SqlError("Aggregate functions cannot be used within expressions");
    field.Expression = true;
    field.ExpressionText = text;
    query_.CalculatedColumn = true;
  }
}

void TClauseParser::ParseTableColumn(TUpdateField& field, bool primaryOnly) {
  begin("table column", "Table column name is empty");
  field.Tree.reset(primaryOnly ? parser_.ParsePrimary(0) : parser_.ParseExpression(0));
  if (!namedColumn(*field.Tree, field.ColumnName, field.TableName))
    SqlError("Table column name expected, instead found '" + markedText() + "'");
}

void TClauseParser::ParseValue(TUpdateValue& value) {
  begin("value expression", "Value expression is empty");
  value.Tree.reset(parser_.ParseExpression(pfParameters));
  value.Text = markedText();
}

void TClauseParser::ParseColumnDefinition(TCreateField& field, bool typeOptional, TExpToken* previous) {
  begin("table column", "Table column name is empty");
  TExpTreePtr node(parser_.ParsePrimary(0));
  std::string column, table;
  if (!namedColumn(*node, column, table))
    SqlError("Table column name expected, instead found '" + markedText() + "'");
  node->kind = expColumn;
  node->columnName = column;
  node->tableName.clear();
  for (TExpToken*& arg : node->args) FreeExpTree(arg);
  node->args.clear();
  node->type = TEngineFieldType::Unknown;
  if (parser_.ParseDataType(*node, 0, typeOptional) && (node->GetArgument(1) || node->GetArgument(2)))
    CheckDataTypeArguments(VELDOR_SQLPARSE, "", "", *node, "table column");
  field.Text = markedText();
  if (previous) {
    FreeExpTree(previous->left);
    previous->left = node.release();
    previous->left->parent = previous;
  } else {
    field.Tree = std::move(node);
  }
}

void TClauseParser::ParseIndexColumn(TCreateIndex& index) {
  begin("index column", "Index column name is empty");
  index.ColumnNodes.emplace_back(parser_.ParsePrimary(0));
  std::string column, table;
  if (!namedColumn(*index.ColumnNodes.back(), column, table))
    SqlError("Index column name expected, instead found '" + markedText() + "'");
}

int32_t TClauseParser::ParseAutoIncValue() {
  begin("next auto-increment number", "Next auto-increment number is empty");
  TExpTreePtr node(parser_.ParseSigned(0));
  bool negate = node->kind == expUnary && node->code == opNegate;
  const TExpToken* value = node->kind == expUnary ? node->left : node.get();
  if (!value || value->kind != expConstant || value->type != TEngineFieldType::Integer || value->isNull)
    return 0;
  int64_t n = GetIntegerValue(value->Value());
  return int32_t(negate ? -n : n);
}

std::bitset<256> TClauseParser::ParseCharSet() {
  begin("character set", "Character set is empty");
  TExpTreePtr node(parser_.ParseAdditive(0));
  TypeCheckExpTree(VELDOR_SQLPARSE, "", "", false, false, nullptr, nullptr, nullptr, *node, "character set");
  TExpTreePtr value(EvaluateExpTree(node.get(), nullptr, nullptr, 0, 0, nullptr));
  if (value->type != TEngineFieldType::String && !value->isNull)
    SqlError("Character set must be a string in character set");
  return StringToCharSet(value->isNull ? std::string() : EngineString(value->Text()));
}

void TClauseParser::ParseIndexName(std::string& table, std::string& index) {
  begin("index name expression", "Index name expression is empty");
  TExpTreePtr node(parser_.ParsePrimary(0));
  std::string column, qualifier;
  if (!namedColumn(*node, column, qualifier) || qualifier.empty())
    SqlError("Index name must be written as table.index, instead found '" + markedText() + "'");
  table = EngineString(qualifier);
  index = EngineString(column);
}

void TClauseParser::ParseCondition(uint8_t joinKind, uint16_t joinTable, bool subSelects) {
  begin("WHERE or JOIN clause", "WHERE or JOIN clause is empty");
  uint8_t flags = pfPredicates | pfParameters | (subSelects ? pfSubSelects : 0);
  TExpTreePtr tree(parser_.ParseExpression(flags));
  if (joinKind != jkNone) {
    forEachNode(tree.get(), [&](TExpToken& n) {
      n.onClause = joinTable;
      n.joinMark = joinKind;
    });
  }
  AndCondition(query_.Conditions[csWhere], tree.release());
}

void TClauseParser::ParseHaving() {
  begin("HAVING clause", "HAVING clause is empty");
  // "*" too, for COUNT(*) > n.
  query_.Conditions[csHaving].reset(parser_.ParseExpression(pfAggregates | pfAllColumns));
}

// ---- Walkers ----

std::string TableReference(TDataQuery& query, TExpToken* tree, bool& multiple) {
  multiple = false;
  if (!tree) return {};
  auto merge = [&](const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty() || a == b) return a;
    multiple = true;
    return std::string();
  };
  switch (tree->kind) {
    case expColumn:
    case expConstant: {
      if (tree->kind == expConstant && tree->type != TEngineFieldType::String) return {};
      std::string column = tree->kind == expColumn ? tree->columnName : std::string(tree->Text());
      TSourceTable* table = nullptr;
      if (tree->kind == expColumn && !tree->tableName.empty()) {
        table = query.FindCorrelation(tree->tableName);
      } else {
        for (auto& t : query.SourceTables)
          if (t->GetFieldNumber(column)) {
            table = t.get();
            break;
          }
      }
      if (!table) return {};
      if (tree->kind == expColumn) {
        tree->tableName = table->CorrelationName;
        tree->sourceTable = table;
        if (uint16_t fieldNo = table->GetFieldNumber(column)) tree->fieldNo = fieldNo;
      }
      return table->CorrelationName;
    }
    case expUnary:
      return TableReference(query, tree->left, multiple);
    case expBinary: {
      bool m = false;
      std::string left = TableReference(query, tree->left, m);
      if (m) return multiple = true, std::string();
      std::string right = TableReference(query, tree->right, m);
      if (m) return multiple = true, std::string();
      return merge(left, right);
    }
    case expFunction:
    case expPredicate: {
      std::string result;
      for (TExpToken* arg : tree->args) {
        bool m = false;
        std::string name = TableReference(query, arg, m);
        if (m) return multiple = true, std::string();
        result = merge(result, name);
        if (multiple) return {};
      }
      return result;
    }
    default:
      return {};
  }
}

bool IsJoinCondition(TDataQuery& query, TExpToken* tree, bool outerOnly) {
  if (!tree) return false;
  if (tree->kind == expUnary) return IsJoinCondition(query, tree->left, outerOnly);
  if (tree->kind != expBinary) return false;
  if (tree->code == opAnd || tree->code == opOr)
    return IsJoinCondition(query, tree->left, outerOnly) || IsJoinCondition(query, tree->right, outerOnly);
  if (tree->code < opEqual || tree->code > opLessEqual) return false;
  bool multiple = false;
  TableReference(query, tree, multiple);
  if (!multiple || !ExpTreeHasColumnRef(tree->left) || !ExpTreeHasColumnRef(tree->right)) return false;
  return !outerOnly || tree->joinMark == jkLeftOuter || tree->joinMark == jkRightOuter;
}

}  // namespace engine::sql
