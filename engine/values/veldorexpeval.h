// Evaluation of checked or prepared expression trees for the current record, and the tree
// utilities that the remote form and the SQL layer need.
//
// Every call returns a new constant node from the pool with the typed result and its NULL flag;
// intermediate nodes go back to the pool as soon as they are used. Evaluation raises only the
// illegal-column error, overflow of arithmetic (veldorexpop.h), and what the column reader or a
// sub-select's filter raise. LIKE runs in time proportional to text times pattern length.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/values/veldorexpservices.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

// The result of `node` for the current record (new; the caller gives it back). Columns are read
// through `columnReader` with its two data words; without one, a column that came from a quoted
// text keeps its text and any other raises VELDOR_SQLPARSE.
TExpToken* EvaluateExpTree(const TExpToken* node, void* readerData1, void* readerData2, uint16_t sortId,
                           uint16_t languageId, TColumnReader columnReader);

// Rewrites argument lists into operand links for the plain flattened form, innermost first.
// Raises VELDOR_INVALIDFILTER when an argument that has to carry the next one in its right link
// already has a right operand of its own (such a tree travels only in the form with arguments);
// every node is then either linked whole or left with its arguments, so the tree can be freed.
void LinkExpTreeArgs(TExpToken* node);
// The tree in pre-order (node, left, right, third), each node in items with the left, right and
// third operand's offsets; buffer holds exactly the bytes used. Argument lists are not written:
// link them first.
size_t FlattenExpTree(const TExpToken* node, std::vector<uint8_t>& buffer);

// "SUM" 23, "RUNSUM" 24, "COUNT" 25, "MIN" 26, "MAX" 27, "AVG" 28 in any case; 0 otherwise.
uint8_t AggregateCodeFromName(std::string_view name);

}  // namespace engine
