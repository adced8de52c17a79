// Shared by the expression tests: parsing a whole text, a one-line dump of a tree, and a small
// statement whose sub-selects skip to their closing parenthesis.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/values/veldorexpparser.h"
#include "engine/values/veldorexpservices.h"

namespace exp_test {

using namespace engine;

class FakeQuery : public TDataQuery {
 public:
  int ResultColumnCount() override { return 1; }
  void MarkSubSelect() override { subSelect = true; }
  void Parse(TExpressionParser& p) override {
    for (int depth = 0; !p.IsTokenKind(tkEnd) && (depth > 0 || !p.IsTokenKind(')')); p.NextToken())
      depth += p.IsTokenKind('(') - p.IsTokenKind(')');
  }
  bool BindColumnRef(TExpToken&) override { return false; }
  void ApplySubSelectFilter(TExpToken&) override {}
  int64_t ResultRecordCount() override { return 0; }
  bool subSelect = false;
};

class FakeStatement : public TQueryStatement {
 public:
  std::unique_ptr<TDataQuery> CreateQuery() override { return std::make_unique<FakeQuery>(); }
  TDataQuery* AddQuery(std::unique_ptr<TDataQuery> q) override {
    return queries.emplace_back(std::move(q)).get();
  }
  void AddParameter(TExpToken* node) override { parameters.push_back(node); }
  void DirectoryGone() override {}
  std::vector<std::unique_ptr<TDataQuery>> queries;
  std::vector<TExpToken*> parameters;
};

// The tree of the whole text, or nullptr and the error's text item in `error`; trailing tokens
// are an error too.
inline TExpTreePtr parseAll(const std::string& text, uint8_t flags, TQueryStatement* statement,
                            std::string& error) {
  TExpressionParser parser(statement);
  parser.contextWord = "filter";
  parser.SetText(text);
  try {
    parser.NextToken();
    TExpTreePtr tree(parser.ParseExpression(flags));
    if (!parser.IsTokenKind(tkEnd)) parser.SyntaxError("Trailing '" + parser.GetTokenText() + "'");
    return tree;
  } catch (const EVELDOREngineError& e) {
    error = e.Item(kItemText);
    return nullptr;
  }
}

// Constants as name:type (NULL marked "!", parameters "?"), columns as [table.]column, every
// other node as (name/code children...) with the left, right and argument nodes in order.
inline std::string dump(const TExpToken* n) {
  if (!n) return "~";
  if (n->kind == expConstant)
    return n->name + ":" + std::to_string(int(n->type)) + (n->isNull ? "!" : "") +
           (n->isParameter ? "?" : "");
  if (n->kind == expColumn) return (n->tableName.empty() ? "" : n->tableName + ".") + n->columnName;
  if (n->kind == expSubSelect) return "<" + n->name + ">";
  std::string s = "(" + n->name + "/" + std::to_string(n->code);
  for (auto* c : {n->left, n->right}) s += c ? " " + dump(c) : "";
  for (auto* c : n->args) s += " " + dump(c);
  if (n->kind == expFunction && n->code == fnCast) s += " as:" + std::to_string(int(n->type));
  return s + ")";
}

}  // namespace exp_test
