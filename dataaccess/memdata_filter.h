// Record filters: a text such as  NAME LIKE 'A*' AND (QTY > 10 OR CITY = 'Paris')  parsed into a
// tree of nodes and evaluated for each record a record set considers.
//
// Grammar (keywords in any case):
//   or-expr   := and-expr { OR and-expr }
//   and-expr  := condition { AND condition }
//   condition := NOT condition | TRUE | FALSE | "(" or-expr ")" | operand relation operand
//   relation  := "=" | ">" | "<" | ">=" | "<=" | "<>" | LIKE
//   operand   := "[" any text "]" | name { "." name } | ["-" | "+"] number | 'text' | "text"
//                | NULL | TRUE | FALSE
// Numbers use "." as the decimal separator on every machine. A bracketed name may hold blanks.
//
// Evaluation: "=" and LIKE match a text on the left against the right side as a pattern ("*" any
// run of characters, "_" one character), unless NoPartialCompare is set; otherwise, and for any
// other left side, the values are compared for equality; "<>" is the negation. An ordering
// comparison with a null side is false; NULL equals NULL. A text compared with a date or time
// field is read as a date-time ("YYYY-MM-DD[ HH:MM[:SS]]"). With CaseInsensitive, texts on both
// sides are upper-cased first. AND and OR evaluate their right side only when needed.
//
// Errors (EMemDataError): "Illegal filter expression." for a text that does not parse, has text
// left over or nests deeper than 1,000 levels, "Field %s not found." for an unknown name, the tokenizer's
// error for a byte it does not know, and the conversion error for a date constant that names no date. After
// an error the filter is empty.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataaccess/qvparser.h"
#include "dataset/variant.h"

namespace dataaccess {

using dataset::Variant;

// The record under test and its fields, as a filter sees them.
class TFilterRecordSource {
 public:
  virtual ~TFilterRecordSource() = default;
  // The field a name or dotted path names, compared without regard to case, or -1.
  virtual int FindFilterField(std::string_view name) const = 0;
  // The field's data type code.
  virtual uint16_t FilterFieldDataType(int field) const = 0;
  // The field's value in the record under test; Null when the field is null.
  virtual Variant FilterFieldValue(int field) const = 0;
};

// The tokenizer with the filter's symbols and keywords.
class TBoolParser : public TParser {
 public:
  explicit TBoolParser(std::string_view text);
};

enum class TFilterNodeKind : uint8_t {
  Equal,
  Greater,
  Less,
  GreaterOrEqual,
  LessOrEqual,
  NotEqual,
  And,
  Or,
  Not,
  Field,
  Constant,
  True,
  False,
  Like,
};

struct TFilterNode {
  TFilterNodeKind Kind = TFilterNodeKind::False;
  TFilterNode* Left = nullptr;
  TFilterNode* Right = nullptr;
  int Field = -1;  // a field node's field
  Variant Value;   // a constant, or a field node's name
  int Depth = 1;   // nodes on the longest path down from this one
};

class TDataFilter {
 public:
  // Replaces the expression with the parse of `text` (trimmed); a blank text sets none. Fields are
  // looked up in `fields`.
  void SetFilter(std::string_view text, const TFilterRecordSource& fields);
  void FreeFilter();
  const TFilterNode* FilterExpression() const { return root_; }

  // The expression's value for the record `record` shows; true when there is no expression.
  bool Eval(const TFilterRecordSource& record) const { return !root_ || EvalFilterNode(root_, record); }
  bool EvalFilterNode(const TFilterNode* node, const TFilterRecordSource& record) const;

  bool CaseInsensitive = false;
  bool NoPartialCompare = false;

 private:
  Variant operandValue(const TFilterNode* node, const TFilterRecordSource& record) const;

  std::vector<std::unique_ptr<TFilterNode>> nodes_;
  TFilterNode* root_ = nullptr;
};

// True when the whole of `text` matches `pattern`: "*" matches any run of characters (also none),
// "_" any one character, every other character itself. Characters are UTF-8 sequences. Takes at
// most time proportional to the product of the two lengths.
bool MatchLike(std::string_view text, std::string_view pattern);

}  // namespace dataaccess
