// Evaluation of checked or prepared expression trees for the current record, conditions that a
// scan or a row loop tests on each record in place, and the tree utilities that the remote form
// and the SQL layer need.
//
// Every EvaluateExpTree call returns a new constant node from the pool with the typed result and
// its NULL flag; intermediate nodes go back to the pool as soon as they are used. Evaluation
// raises only the illegal-column error, overflow of arithmetic (veldorexpop.h), of ABS of a
// type's smallest value ("Numeric overflow in 'ABS'") and of CAST and IF of a number into a
// number type that cannot hold it ("Numeric overflow in 'CAST'", "... 'IF'"; other failed
// conversions give the type's zero), and what the column reader or a sub-select's filter raise. LIKE runs in
// time proportional to text times pattern length.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/values/veldorexpop.h"
#include "engine/values/veldorexpservices.h"
#include "engine/values/veldorexptoken.h"

namespace engine {

// The result of `node` for the current record (new; the caller gives it back). Columns are read
// through `columnReader` with its two data words; without one, a column that came from a quoted
// text keeps its text and any other raises VELDOR_SQLPARSE.
TExpToken* EvaluateExpTree(const TExpToken* node, void* readerData1, void* readerData2, uint16_t sortId,
                           uint16_t languageId, TColumnReader columnReader);

// Where a column's value lies in the record images that a condition is tested on: a has-value
// byte at `offset` (0: NULL) and the `size` stored bytes after it, or, for an auto-increment
// field, its 4 bytes at `offset`, never NULL. The bytes are the value as the column reader would
// write it, zero-filled past them.
struct ExpFieldPlace {
  uint32_t offset = 0;
  uint32_t size = 0;
  bool autoIncrement = false;
};
// Finds where the column that `node` names lies in the records; false sends the column's value
// through the column reader (a blob, a field that is not there).
using TColumnLocator = bool (*)(const void* locatorData, const TExpToken& node, ExpFieldPlace& place);

class ExpValue;

// A checked or prepared tree tested record after record: the comparisons, LIKE, IN and BETWEEN,
// IS NULL, NOT, AND and OR are evaluated on the tree's own nodes; constants are read where they
// lie (or evaluated once, where the evaluation reads a copy), the columns that the locator places
// straight from the record image, and the other columns through the reader into nodes kept from
// record to record; an operand computed by operators is evaluated as an ExpValue evaluates it;
// every other node is evaluated as EvaluateExpTree does. Evaluate gives what
// EvaluateExpTree's result holds, and raises the same errors. The column reader writes only the
// value, its size and the NULL flag of its node. The tree must outlive the condition and stay
// unchanged. Not thread-safe; each thread tests with a condition of its own.
class ExpCondition {
 public:
  ExpCondition(const TExpToken& tree, uint16_t sortId, uint16_t languageId, TColumnReader columnReader,
               TColumnLocator locator = nullptr, const void* locatorData = nullptr);
  ~ExpCondition();
  ExpCondition(const ExpCondition&) = delete;
  ExpCondition& operator=(const ExpCondition&) = delete;

  // What a test of EvaluateExpTree's result reads: its NULL flag, type and first value word.
  struct Outcome {
    bool isNull = false;
    TEngineFieldType type = TEngineFieldType::Unknown;
    uint16_t word = 0;
  };
  // `record` is the image that placed columns are read from; the data words go to the column
  // reader as with EvaluateExpTree.
  Outcome Evaluate(const uint8_t* record, void* readerData1, void* readerData2) const;
  // A non-NULL boolean true.
  bool Holds(const uint8_t* record, void* readerData1, void* readerData2) const;
  // True when every column the condition reads is placed in the record and nothing else is
  // evaluated as a whole: a test then reads only the record image and its own constants.
  bool ReadsRecordOnly() const { return recordOnly_; }

 private:
  struct Operand;
  struct Step;
  struct Truth;
  struct Context;
  struct Sum;
  // How a node's value is read: as a test of its own, in place, or as evaluating it gives it.
  enum class Use : uint8_t { Truth, InPlace, Evaluated };
  Operand operand(const TExpToken* node, Use use);
  Truth truth(const Operand& o, const Context& c) const;
  Truth step(const Step& s, const Context& c) const;
  ExpOperand value(const Operand& o, const Context& c, TExpTreePtr& holder) const;
  bool integer(const Operand& o, const Context& c, int64_t& v) const;
  bool placeField(const TExpToken& node, Operand& o) const;
  bool sum(const TExpToken& node, Sum& s, uint32_t height) const;
  bool computeSum(const Sum& s, const uint8_t* record, int64_t& v) const;

  uint16_t sortId_, languageId_;
  TColumnReader reader_;
  TColumnLocator locator_;
  const void* locatorData_;
  std::vector<Step> steps_;
  std::vector<TExpTreePtr> reads_;  // the nodes that the column reader fills, and evaluated constants
  std::vector<std::unique_ptr<ExpValue>> computed_;
  std::vector<Sum> sums_;
  std::unique_ptr<Operand> root_;
  bool recordOnly_ = true;
};

// A value tree evaluated record after record, as a row loop computes a column's new value:
// columns read through the reader, unary operators, binary operators other than AND and OR, and
// UPPER and LOWER of one argument fill nodes kept from record to record, each put back before a
// record as a fresh evaluation node comes; constants are read where they lie (or evaluated once
// where the evaluation reads a copy); every other node is evaluated as EvaluateExpTree does. A
// column that the locator places, where its stored bytes fit its node, is read from the record
// image that Evaluate is given (without one, through the reader), as the reader fills its node:
// the value bytes and the NULL flag. The node that Evaluate returns holds what EvaluateExpTree's
// result holds and Evaluate raises the same errors; the node stays valid up to the next Evaluate
// or the end of the ExpValue. The tree must outlive the ExpValue and stay unchanged. Not
// thread-safe; each thread evaluates with an ExpValue of its own.
class ExpValue {
 public:
  ExpValue(const TExpToken& tree, uint16_t sortId, uint16_t languageId, TColumnReader columnReader,
           TColumnLocator locator = nullptr, const void* locatorData = nullptr);
  ~ExpValue();
  ExpValue(const ExpValue&) = delete;
  ExpValue& operator=(const ExpValue&) = delete;
  ExpValue(ExpValue&&) noexcept;
  ExpValue& operator=(ExpValue&&) noexcept;

  const TExpToken& Evaluate(void* readerData1, void* readerData2, const uint8_t* record = nullptr);
  // True when every column is placed and no node is evaluated whole: given a record, an
  // evaluation then reads only the record image and the ExpValue's own nodes.
  bool ReadsRecordOnly() const { return recordOnly_; }

 private:
  struct Part;
  size_t add(const TExpToken& node, bool inPlace);
  const TExpToken& value(size_t part, void* readerData1, void* readerData2, const uint8_t* record);

  uint16_t sortId_, languageId_;
  TColumnReader reader_;
  TColumnLocator locator_;
  const void* locatorData_;
  std::vector<Part> parts_;  // operands before the nodes that read them; the root last
  bool recordOnly_ = true;
};

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
