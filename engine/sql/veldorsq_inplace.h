// The in-place form of a plain column copy, shared by the SELECT's result rows and the INSERT
// that takes a SELECT's rows as they were handed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace engine::sql {

// Makes the field at `at` (its null mark, then its stored bytes) what a copy of those same bytes
// would have written. `bytes`: the field is copied as it lies; only a null field's bytes are
// cleared (`size` of them) and a set mark becomes 1. Otherwise it is text of `size` bytes read:
// cut at its zero, trailing blanks dropped, the `room - length` bytes past it cleared, and
// empty stored as NULL.
inline void CopyFieldInPlace(uint8_t* at, bool bytes, size_t size, size_t room) {
  if (bytes) {
    if (at[0] == 0)
      std::memset(at + 1, 0, size);
    else
      at[0] = 1;
    return;
  }
  size_t length = at[0] == 0 ? 0 : strnlen(reinterpret_cast<const char*>(at + 1), size);
  if (size > 0 && length >= size) length = size - 1u;
  while (length > 0 && at[length] == ' ') --length;
  std::memset(at + 1 + length, 0, room - length);
  at[0] = length > 0 ? 1 : 0;
}

}  // namespace engine::sql
