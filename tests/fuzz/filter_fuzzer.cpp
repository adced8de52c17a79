// Feeds arbitrary texts to the record filter: a text either parses, and then evaluates over a few
// records under every option without raising, or fails with the library's own error.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dataaccess/daconsts.h"
#include "dataaccess/memdata_filter.h"

namespace {

using dataaccess::Variant;

struct Column {
  const char* name;
  uint16_t dataType;
};
const Column kColumns[] = {{"S", 1}, {"I", 4},  {"F", 5},   {"D", 6},
                           {"T", 7}, {"W", 25}, {"A B", 1}, {"O.X", 1}};

class Records : public dataaccess::TFilterRecordSource {
 public:
  int FindFilterField(std::string_view name) const override {
    for (int i = 0; i < int(std::size(kColumns)); ++i)
      if (strcasecmp(std::string(name).c_str(), kColumns[i].name) == 0) return i;
    return -1;
  }
  uint16_t FilterFieldDataType(int field) const override { return kColumns[field].dataType; }
  Variant FilterFieldValue(int field) const override { return rows[row][size_t(field)]; }

  std::vector<std::vector<Variant>> rows = {
      {"a*b", int32_t(1), 2.5, dataset::DateTime{37000.5}, dataset::DateTime{0.25},
       std::u16string(u"\u00e9x"), "", "z"},
      {Variant::null(), Variant::null(), Variant::null(), Variant::null(), Variant::null(), Variant::null(),
       Variant::null(), Variant::null()},
      {"2001-01-01", int32_t(-7), -0.0, dataset::DateTime{-1.5}, dataset::DateTime{0}, std::u16string(u"_"),
       "x y", "Q"},
  };
  size_t row = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Records records;
  dataaccess::TDataFilter filter;
  try {
    filter.SetFilter(std::string_view(reinterpret_cast<const char*>(data), size), records);
  } catch (const dataaccess::EMemDataError&) {
    if (filter.FilterExpression()) __builtin_trap();
    return 0;
  }
  for (int options = 0; options < 4; ++options) {
    filter.CaseInsensitive = options & 1;
    filter.NoPartialCompare = options & 2;
    for (records.row = 0; records.row < records.rows.size(); ++records.row) filter.Eval(records);
  }
  return 0;
}
