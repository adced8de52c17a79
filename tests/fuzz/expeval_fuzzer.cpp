// Fuzz target over the type check, the preparation and the evaluation. The input is an
// expression text over six columns (A integer, C decimal, D date, F float, B boolean, S text);
// the first byte chooses the record's NULL columns and whether quoted texts may name columns.
// A text that parses and checks is prepared, evaluated on the record, copied, compared, linked
// and flattened: only engine errors may leave, and every node goes back to the pool.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
