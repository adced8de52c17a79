#include "oracle/ora_fields.h"

#include <mutex>

#include "dataaccess/memds.h"

namespace oracle {

namespace da = dataaccess;
namespace ds = dataset;

void RegisterOraFieldClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    ds::RegisterFieldClass(ds::ftCursor, [] { return std::make_unique<ds::ObjectField>(ds::ftCursor); });
    ds::RegisterFieldClass(da::ftFixedWideChar, [] { return std::make_unique<ds::WideStringField>(); });
  });
}

}  // namespace oracle
