// Fuzz target over the type check, the preparation and the evaluation. The input is an
// expression text over six columns (A integer, C decimal, D date, F float, B boolean, S text);
// the first byte chooses the record's NULL columns and whether quoted texts may name columns.
// A text that parses and checks is prepared, evaluated on the record, copied, compared, linked
// and flattened: only engine errors may leave, and every node goes back to the pool. Its test as a
// condition, with the columns read through the reader and placed in a record image, gives what
// the full evaluation's result holds, or the same error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/veldorerr.h"
#include "engine/values/veldorexpcheck.h"
#include "engine/values/veldorexpeval.h"
#include "engine/values/veldorexpparser.h"

using namespace engine;

namespace {

struct Column {
  const char* name;
  TEngineFieldType type;
  uint32_t size;
};
const Column kColumns[] = {{"A", TEngineFieldType::Integer, 4}, {"C", TEngineFieldType::BCD, 34},
                           {"D", TEngineFieldType::Date, 4},    {"F", TEngineFieldType::Float, 8},
                           {"B", TEngineFieldType::Boolean, 2}, {"S", TEngineFieldType::String, 31}};

bool resolve(void*, TExpToken& node) {
  for (size_t k = 0; k < std::size(kColumns); ++k)
    if (strcasecmp(kColumns[k].name, node.columnName.c_str()) == 0) {
      node.fieldNo = uint16_t(k + 1);
      node.type = kColumns[k].type;
      node.SetValueSize(kColumns[k].size);
      node.scale = node.type == TEngineFieldType::BCD ? 2 : 0;
      return true;
    }
  return false;
}

void read(void*, void* data1, TExpToken& r) {
  uint8_t nulls = *static_cast<uint8_t*>(data1);
  std::memset(r.Value(), 0, r.ValueCapacity());
  r.isNull = r.fieldNo == 0 || r.fieldNo > std::size(kColumns) || ((nulls >> (r.fieldNo - 1)) & 1);
  if (r.isNull) return;
  switch (r.fieldNo) {
    case 1:
      return PutIntegerValue(r.Value(), -7);
    case 2:
      EncodeBcdValue(-1234567, 2, r.Value());
      return;
    case 3:
      return PutIntegerValue(r.Value(), 730486);
    case 4:
      return PutFloatValue(r.Value(), 2.5);
    case 5:
      return PutWordValue(r.Value(), 1);
    default:
      return r.SetText("Smith, John");
  }
}

// The record that `read` reads, as an image: a has-value byte and the stored bytes per column.
std::vector<uint8_t> image(uint8_t nulls) {
  std::vector<uint8_t> bytes;
  TExpToken value;
  for (uint16_t k = 1; k <= std::size(kColumns); ++k) {
    value.fieldNo = k;
    value.ReserveValue(kColumns[k - 1].size);
    read(nullptr, &nulls, value);
    bytes.push_back(value.isNull ? 0 : 1);
    bytes.insert(bytes.end(), value.Value(), value.Value() + kColumns[k - 1].size);
  }
  return bytes;
}

bool locate(const void*, const TExpToken& node, ExpFieldPlace& place) {
  if (node.fieldNo == 0 || node.fieldNo > std::size(kColumns)) return false;
  place.offset = 0;
  for (uint16_t k = 1; k < node.fieldNo; ++k) place.offset += kColumns[k - 1].size + 1;
  place.size = kColumns[node.fieldNo - 1].size;
  return true;
}

// NULL flag, type and value word of a result, or "!" and the error's text.
std::string outcome(const std::function<ExpCondition::Outcome()>& evaluate) {
  try {
    const ExpCondition::Outcome o = evaluate();
    return std::to_string(o.isNull) + " " + std::to_string(int(o.type)) + " " + std::to_string(o.word);
  } catch (const EVELDOREngineError& e) {
    return "!" + e.Item(kItemText);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t nulls = data[0] & 0x3F;
  bool quoted = data[0] & 0x40;
  {
    TExpressionParser parser;
    parser.contextWord = "fuzz";
    try {
      parser.SetText(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
      parser.NextToken();
      TExpTreePtr tree(parser.ParseExpression(0x0F));
      TypeCheckExpTree(VELDOR_SQLPARSE, "", "", quoted, true, resolve, nullptr, nullptr, *tree, "fuzz");
      TExpTreePtr prepared(PrepareExpTree(tree.get(), nullptr, nullptr, data[0] & 0x80, quoted, 0, 0));
      const std::string full = outcome([&] {
        TExpTreePtr r(EvaluateExpTree(prepared.get(), &nulls, &nulls, 0, 0, read));
        return ExpCondition::Outcome{r->isNull, r->type, GetWordValue(r->Value())};
      });
      const std::vector<uint8_t> record = image(nulls);
      const ExpCondition placed(*prepared, 0, 0, read, locate, nullptr);
      const ExpCondition throughReader(*prepared, 0, 0, read);
      if (outcome([&] { return placed.Evaluate(record.data(), &nulls, &nulls); }) != full ||
          outcome([&] { return throughReader.Evaluate(record.data(), &nulls, &nulls); }) != full)
        std::abort();
      TExpTreePtr result(EvaluateExpTree(prepared.get(), &nulls, &nulls, 0, 0, read));
      TExpTreePtr copy(CopyExpTree(prepared.get()));
      if (!SameExpTree(copy.get(), prepared.get())) std::abort();
      std::vector<uint8_t> plain;
      LinkExpTreeArgs(copy.get());
      FlattenExpTree(copy.get(), plain);
    } catch (const EVELDOREngineError& e) {
      if (e.Item(kItemText).size() > 255) std::abort();
    }
  }
  if (ExpTokensInUse() != 0) std::abort();
  return 0;
}
