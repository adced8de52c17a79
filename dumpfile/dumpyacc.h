// The dump statement recogniser: looks at the head of one dump line and, through its actions,
// closes the open object of the tree and opens, places or switches owners and objects.
#pragma once

#include <memory>
#include <string_view>

#include "dumpfile/u_formatdumpfile.h"

namespace dumpfile {

class TDumpRecogniser {
 public:
  // The recogniser works on `root` (not owned), which must outlive it.
  explicit TDumpRecogniser(TExpFileRoot& root);
  ~TDumpRecogniser();

  // Parses one line (the reader hands at most 201 characters, no line break).
  // Returns 0 only when the line holds a complete CREATE or CONNECT head, else 1.
  // Throws LexYaccError on the runtime's fatal conditions.
  // Not thread-safe; one recogniser per reading. Separate recognisers may run on separate threads.
  int ParseLine(std::string_view line);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dumpfile
