// The database error: the one family that every data layer's failures belong to, so that a
// handler catching it catches dataset misuse and table engine failures alike. It lives here, in
// the layer both sides share; the dataset layer names it dataset::EDatabaseError.
#pragma once

#include <stdexcept>

namespace platform {

class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace platform
