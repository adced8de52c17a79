#include "dataaccess/memdata_filter.h"

#include <algorithm>
#include <charconv>

#include "dataaccess/daconsts.h"
#include "platform/textrules.h"

namespace dataaccess {
namespace {

using dataset::DateTime;
using dataset::EVariantError;

constexpr std::string_view kFilterLexemes[] = {
    "=", ">", "<",   ">=",    "<=",   "<>",  "(",    ")",  "-",    "+",
    "[", "]", "AND", "FALSE", "LIKE", "NOT", "NULL", "OR", "TRUE",
};

enum FilterCode {
  fcEqual = 1,
  fcGreater,
  fcLess,
  fcGreaterOrEqual,
  fcLessOrEqual,
  fcNotEqual,
  fcOpen,
  fcClose,
  fcMinus,
  fcPlus,
  fcBracketOpen,
  fcBracketClose,
  fcAnd,
  fcFalse,
  fcLike,
  fcNot,
  fcNull,
  fcOr,
  fcTrue,
};

bool isDateType(uint16_t dataType) {
  return dataType >= 6 && dataType <= 8;
}

bool isComparison(TFilterNodeKind k) {
  return k <= TFilterNodeKind::NotEqual || k == TFilterNodeKind::Like;
}

// Bytes of the UTF-8 character at `i`; an ill-formed byte counts alone.
size_t charLength(std::string_view s, size_t i) {
  const auto lead = uint8_t(s[i]);
  const size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
  if (i + n > s.size()) return 1;
  for (size_t k = 1; k < n; ++k)
    if ((uint8_t(s[i + k]) & 0xC0) != 0x80) return 1;
  return n;
}

// Deeper texts are refused, so that neither parsing nor evaluating can exhaust the stack.
constexpr int kMaxFilterDepth = 1000;

[[noreturn]] void illegal() {
  RaiseMemDataError(SIllegalFilter);
}

class FilterParser {
 public:
  FilterParser(std::string_view text, const TFilterRecordSource& fields,
               std::vector<std::unique_ptr<TFilterNode>>& nodes)
      : text_(text), parser_(text), fields_(fields), nodes_(nodes) {
    next();
  }

  TFilterNode* parse() {
    TFilterNode* root = orExpr();
    if (code_ != lcEnd) illegal();
    return root;
  }

 private:
  void next() { code_ = parser_.GetNext(lexeme_); }

  TFilterNode* make(TFilterNodeKind kind, TFilterNode* left = nullptr, TFilterNode* right = nullptr) {
    nodes_.push_back(std::make_unique<TFilterNode>());
    TFilterNode* n = nodes_.back().get();
    n->Kind = kind;
    n->Left = left;
    n->Right = right;
    n->Depth = 1 + std::max(left ? left->Depth : 0, right ? right->Depth : 0);
    if (n->Depth > kMaxFilterDepth) illegal();
    return n;
  }

  TFilterNode* orExpr() {
    TFilterNode* left = andExpr();
    while (code_ == fcOr) {
      next();
      left = make(TFilterNodeKind::Or, left, andExpr());
    }
    return left;
  }

  TFilterNode* andExpr() {
    TFilterNode* left = condition();
    while (code_ == fcAnd) {
      next();
      left = make(TFilterNodeKind::And, left, condition());
    }
    return left;
  }

  TFilterNode* condition() {
    if (++nesting_ > kMaxFilterDepth) illegal();
    TFilterNode* n = conditionBody();
    --nesting_;
    return n;
  }

  TFilterNode* conditionBody() {
    switch (code_) {
      case fcNot:
        next();
        return make(TFilterNodeKind::Not, condition());
      case fcTrue:
      case fcFalse: {
        TFilterNode* n = make(code_ == fcTrue ? TFilterNodeKind::True : TFilterNodeKind::False);
        next();
        return n;
      }
      case fcOpen: {
        next();
        TFilterNode* inner = orExpr();
        if (code_ != fcClose) illegal();
        next();
        return inner;
      }
      case lcIdent:
      case lcNumber:
      case lcString:
      case fcMinus:
      case fcPlus:
      case fcBracketOpen:
        break;
      default:
        illegal();
    }
    TFilterNode* left = operand();
    TFilterNodeKind kind;
    if (code_ >= fcEqual && code_ <= fcNotEqual)
      kind = TFilterNodeKind(code_ - fcEqual);
    else if (code_ == fcLike)
      kind = TFilterNodeKind::Like;
    else
      illegal();
    next();
    TFilterNode* right = operand();
    readDateConstant(left, right);
    readDateConstant(right, left);
    return make(kind, left, right);
  }

  // A text compared with a date or time field is read as a date-time once, here.
  void readDateConstant(const TFilterNode* field, TFilterNode* constant) {
    if (field->Kind != TFilterNodeKind::Field || constant->Kind != TFilterNodeKind::Constant) return;
    if (!isDateType(fields_.FilterFieldDataType(field->Field)) || !constant->Value.isText()) return;
    try {
      constant->Value = Variant(constant->Value.asDateTime());
    } catch (const EVariantError& e) {
      RaiseMemDataError(e.what());
    }
  }

  TFilterNode* operand() {
    TFilterNode* n = nullptr;
    switch (code_) {
      case fcBracketOpen: {
        const size_t start = parser_.CurrPos();
        do next();
        while (code_ != fcBracketClose && code_ != lcEnd);
        if (code_ != lcEnd) {
          n = field(std::string(platform::trimBlanks(text_.substr(start, parser_.LexemePos() - start))));
        }
        break;
      }
      case lcIdent: {
        std::string name = lexeme_;
        for (;;) {
          next();
          if (code_ != lcSymbol || lexeme_ != ".") break;
          next();
          if (code_ != lcIdent) illegal();
          name += "." + lexeme_;
        }
        return field(name);
      }
      case fcMinus:
      case fcPlus: {
        const bool negative = code_ == fcMinus;
        next();
        if (code_ != lcNumber) illegal();
        n = number(negative);
        break;
      }
      case lcNumber:
        n = number(false);
        break;
      case lcString:
        n = constant(Variant(lexeme_));
        break;
      case fcNull:
        n = constant(Variant::null());
        break;
      case fcTrue:
      case fcFalse:
        n = constant(Variant(code_ == fcTrue));
        break;
      default:
        break;
    }
    if (!n) illegal();
    next();
    return n;
  }

  TFilterNode* field(const std::string& name) {
    const int index = fields_.FindFilterField(name);
    if (index < 0) RaiseMemDataError(DAMessage(SFieldNotFound, name));
    TFilterNode* n = make(TFilterNodeKind::Field);
    n->Field = index;
    n->Value = Variant(name);
    return n;
  }

  TFilterNode* constant(Variant v) {
    TFilterNode* n = make(TFilterNodeKind::Constant);
    n->Value = std::move(v);
    return n;
  }

  TFilterNode* number(bool negative) {
    const std::string digits = (negative ? "-" : "") + lexeme_;
    const char* first = digits.data();
    const char* last = first + digits.size();
    int64_t i;
    if (lexeme_.find('.') == std::string::npos) {
      auto [end, ec] = std::from_chars(first, last, i);
      if (ec == std::errc() && end == last) return constant(Variant(i));
    }
    double d;
    auto [end, ec] = std::from_chars(first, last, d);
    if (ec != std::errc() || end != last) illegal();
    return constant(Variant(d));
  }

 private:
  std::string_view text_;
  TBoolParser parser_;
  const TFilterRecordSource& fields_;
  std::vector<std::unique_ptr<TFilterNode>>& nodes_;
  int code_ = lcEnd;
  std::string lexeme_;
  int nesting_ = 0;
};

}  // namespace

TBoolParser::TBoolParser(std::string_view text) : TParser(text) {
  SetLexemes(kFilterLexemes, 12, 7);
}

void TDataFilter::FreeFilter() {
  root_ = nullptr;
  nodes_.clear();
}

void TDataFilter::SetFilter(std::string_view text, const TFilterRecordSource& fields) {
  FreeFilter();
  text = platform::trimBlanks(text);
  if (text.empty()) return;
  std::vector<std::unique_ptr<TFilterNode>> nodes;
  FilterParser parser(text, fields, nodes);
  TFilterNode* root = parser.parse();
  nodes_ = std::move(nodes);
  root_ = root;
}

Variant TDataFilter::operandValue(const TFilterNode* node, const TFilterRecordSource& record) const {
  return node->Kind == TFilterNodeKind::Field ? record.FilterFieldValue(node->Field) : node->Value;
}

bool TDataFilter::EvalFilterNode(const TFilterNode* node, const TFilterRecordSource& record) const {
  using K = TFilterNodeKind;
  DA_ASSERT(node, "Filter node missing");
  switch (node->Kind) {
    case K::And:
      return EvalFilterNode(node->Left, record) && EvalFilterNode(node->Right, record);
    case K::Or:
      return EvalFilterNode(node->Left, record) || EvalFilterNode(node->Right, record);
    case K::Not:
      return !EvalFilterNode(node->Left, record);
    case K::True:
      return true;
    case K::False:
      return false;
    default:
      break;
  }
  DA_ASSERT(isComparison(node->Kind) && node->Left && node->Right, "Invalid filter node");
  Variant values[2] = {operandValue(node->Left, record), operandValue(node->Right, record)};
  const TFilterNode* sides[2] = {node->Left, node->Right};
  for (int i = 0; i < 2; ++i) {
    const TFilterNode* other = sides[1 - i];
    if (values[i].isText() && other->Kind == K::Field &&
        isDateType(record.FilterFieldDataType(other->Field))) {
      try {
        values[i] = Variant(values[i].asDateTime());
      } catch (const EVariantError&) {
        // Left as text: it then compares with the date's text form.
      }
    }
    if (CaseInsensitive) values[i] = dataset::upperCased(values[i]);
  }
  const Variant& a = values[0];
  const Variant& b = values[1];
  switch (node->Kind) {
    case K::Equal:
    case K::Like:
    case K::NotEqual: {
      bool equal;
      if (!NoPartialCompare && a.isText()) {
        equal = (b.isNull() || b.isText() || b.isNumeric()) && MatchLike(a.asString(), b.asString());
      } else if (a.isNull() || b.isNull()) {
        equal = a.isNull() && b.isNull();
      } else {
        equal = dataset::compareVariants(a, b) == 0;
      }
      return node->Kind == K::NotEqual ? !equal : equal;
    }
    default: {
      if (a.isNull() || b.isNull()) return false;
      const int c = dataset::compareVariants(a, b);
      switch (node->Kind) {
        case K::Greater:
          return c > 0;
        case K::Less:
          return c < 0;
        case K::GreaterOrEqual:
          return c >= 0;
        default:
          return c <= 0;
      }
    }
  }
}

bool MatchLike(std::string_view text, std::string_view pattern) {
  // Greedy with one back-track point: on a mismatch after a "*", that star takes one more
  // character of the text and the rest of the pattern is tried again from there.
  size_t t = 0, p = 0;
  size_t starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starT = t;
      continue;
    }
    if (p < pattern.size()) {
      const size_t tl = charLength(text, t);
      if (pattern[p] == '_') {
        t += tl;
        ++p;
        continue;
      }
      const size_t pl = charLength(pattern, p);
      if (pl == tl && text.substr(t, tl) == pattern.substr(p, pl)) {
        t += tl;
        p += pl;
        continue;
      }
    }
    if (starP == std::string_view::npos) return false;
    starT += charLength(text, starT);
    t = starT;
    p = starP;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace dataaccess
