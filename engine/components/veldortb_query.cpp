// The query component's parameters: the text the driver receives and the packed values.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "dataset/dberror.h"
#include "engine/components/veldortb.h"

namespace engine::components {

namespace ds = dataset;

std::string ParseSQLParams(std::string_view sql, std::vector<std::string>& names) {
  std::string out;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote) {
      out += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      continue;
    }
    if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      out += ':';
      ++i;
      continue;
    }
    auto nameChar = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; };
    if (c == ':' && i + 1 < sql.size() && nameChar(sql[i + 1])) {
      size_t end = i + 1;
      while (end < sql.size() && nameChar(sql[end])) ++end;
      names.emplace_back(sql.substr(i + 1, end - i - 1));
      out += '?';
      i = end - 1;
      continue;
    }
    out += c;
  }
  return out;
}

namespace {

// The stored size of a value that travels by reference: its length and its address.
constexpr size_t kReferenceSize = sizeof(size_t) + sizeof(const void*);

size_t storedSize(ds::FieldType t, const ds::Variant& v, bool byReference) {
  if (byReference) return kReferenceSize;
  switch (t) {
    case ds::ftString:
    case ds::ftFixedChar:
    case ds::ftWideString:
      return (v.isNull() ? 0 : v.asString().size()) + 1;
    case ds::ftSmallint:
    case ds::ftWord:
    case ds::ftBoolean:
      return 2;
    case ds::ftInteger:
    case ds::ftAutoInc:
    case ds::ftDate:
    case ds::ftTime:
      return 4;
    case ds::ftBCD:
      return 34;
    case ds::ftBytes:
    case ds::ftVarBytes:
      return v.isNull() ? 0 : v.asBytes().size();
    default:
      return 8;
  }
}

}  // namespace

void PackQueryParams(const ds::Params& params, TQueryParamBlock& block) {
  block = {};
  size_t total = 0;
  struct Entry {
    uint8_t type, subType;
    size_t size;
    bool byReference;
  };
  std::vector<Entry> entries;
  for (int i = 0; i < params.Count(); ++i) {
    const ds::Param& p = params[i];
    Entry e{};
    FieldTypeToEngineType(p.DataType, e.type, e.subType);
    if (e.type == 0) ds::DatabaseErrorFmt(SNoParameterValue, p.Name);
    const bool text = e.type == 1;
    if (text && !p.IsNull() && p.Value().asString().size() > kMaxInlineParamText) e.type = 3, e.subType = 0;
    e.byReference = e.type == 3;
    e.size = storedSize(p.DataType, p.Value(), e.byReference);
    entries.push_back(e);
    block.offsets.push_back(total);
    total += e.size + 1;
  }
  block.buffer.assign(total, 0);
  block.texts.reserve(entries.size());
  for (int i = 0; i < params.Count(); ++i) {
    const ds::Param& p = params[i];
    const Entry& e = entries[size_t(i)];
    TFieldDescriptor d;
    d.SetFieldNumber(uint16_t(i + 1));
    d.SetName(p.Name);
    d.SetType(e.type);
    d.SetSubType(e.subType);
    d.SetStoredSize(uint8_t(std::min<size_t>(e.size, 255)));
    if (e.type == 8) d.SetStoredScale(4), d.SetScale(4);
    const size_t at = block.offsets[size_t(i)];
    if (at <= 0xFFFF) d.SetOffset(uint16_t(at));
    uint8_t* value = block.buffer.data() + at + 1;
    bool has = !p.IsNull();
    if (has && e.byReference) {
      const ds::Variant& v = p.Value();
      if (v.isText()) {
        block.texts.push_back(v.asString());
      } else {
        const std::vector<uint8_t> b = v.asBytes();
        block.texts.emplace_back(b.begin(), b.end());
      }
      const std::string& bytes = block.texts.back();
      const size_t length = bytes.size();
      const void* address = bytes.data();
      std::memcpy(value, &length, sizeof length);
      std::memcpy(value + sizeof length, &address, sizeof address);
    } else if (has) {
      if (e.type == 9 || e.type == 15) {
        const std::vector<uint8_t> b = p.Value().asBytes();
        std::memcpy(value, b.data(), b.size());
      } else {
        TFieldDescriptor form = d;
        form.SetStoredSize(uint8_t(std::min<size_t>(e.size, 255)));
        if (e.type == 8) form.SetScale(4);
        std::vector<uint8_t> bytes(std::max<size_t>(e.size, 8));
        has = VariantToEngineValue(form, p.Value(), bytes.data());
        std::memcpy(value, bytes.data(), e.size);
      }
    }
    block.buffer[at] = has ? 1 : 0;
    block.descriptors.push_back(d);
  }
}

}  // namespace engine::components
