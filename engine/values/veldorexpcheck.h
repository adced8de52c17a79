// The type check of a parsed expression and its preparation for evaluation record by record.
//
// The check binds column references through the caller's resolver, gives every node its result
// type, subtype, size and scale, refuses operand types an operator or function does not take
// with an exact message ending in " in " and the clause text, and rewrites three shapes: a quoted
// text that names a column, a bare boolean used as a condition (becomes = TRUE), and a date text
// compared with a date (parsed in place).
//
// Preparation copies a checked tree, evaluates its constant parts once in the type of the other
// side (parts that wait for a parameter's value are copied as they are), and turns text
// equality with a trailing "*" and LIKE with a single trailing "%" into prefix comparisons; a
// comparison that already is a key compare keeps its length and case rule.
//
// Both run on the caller's thread; only the node pool is shared.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/values/veldorexpservices.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

// Checks `node` and its subtree; `parent` becomes its parent link. Raises `errorCode` with the two
// context texts (as database and table items) on the first error; the tree is then left as far
// as it was checked, for the caller to free. `resolver` may be nullptr (columns then fail).
// A parameter not yet given its value (type 0) passes wherever a value of some type could
// stand, and a node whose type depends on it keeps type 0: the caller checks the tree again once
// the values are given. Places that take only a constant refuse it.
void TypeCheckExpTree(uint16_t errorCode, std::string_view contextText1, std::string_view contextText2,
                      bool textMayNameColumn, bool booleanContext, TColumnResolver resolver,
                      void* resolverData, TExpToken* parent, TExpToken& node, std::string_view where);

// Size, scale and blob subtype of a CAST's target type from its arguments 1 and 2.
void CheckDataTypeArguments(uint16_t errorCode, std::string_view contextText1, std::string_view contextText2,
                            TExpToken& node, std::string_view where);

// A prepared copy of a checked tree; the input is left untouched. The reader and the locale are
// those of the evaluations of the constant parts. The caller frees the copy.
TExpToken* PrepareExpTree(const TExpToken* node, void* readerData, TColumnReader columnReader,
                          bool noPartialCompare, bool caseInsensitive, uint16_t sortId, uint16_t languageId);

// Evaluates `node` once; a result that is not NULL, not a string and of another type than
// typeNode's is converted into typeNode's type, subtype, size and scale where a conversion
// exists and the converted value is the result itself. A result that would lose part of itself
// (1.5 or 70000 for a SMALLINT, 1.234 for a BCD of scale 2, a timestamp with a time of day for a
// DATE) keeps its own type, so that a comparison with it takes place in that type. The caller
// gives the result back.
TExpToken* EvaluateAsTypeOf(const TExpToken& typeNode, const TExpToken& node, void* readerData,
                            TColumnReader columnReader, uint16_t sortId, uint16_t languageId);

// Rewrites node in place into (copy of node) = TRUE.
void ExpandBooleanToComparison(TExpToken& node);

// A column node below, through unary, binary, function and predicate nodes.
bool ExpTreeHasColumnRef(const TExpToken* node);
// An aggregate (codes 23-28) anywhere below.
bool ExpTreeHasAggregate(const TExpToken* node);
// The first column node depth-first (operand, left before right, arguments in order).
TExpToken* FindFirstColumnRef(TExpToken* node);
// True for OR; NOT inverts its operand's answer; false otherwise.
bool IsDisjunction(const TExpToken* node);
// A NOT node, or a binary node whose chain of parents reaches a NOT.
bool IsNegatedByNot(const TExpToken* node);

}  // namespace engine
