// The dump statement recogniser: looks at the head of one dump line and, through its actions,
// closes the open object of the tree and opens, places or switches owners and objects.
//
// Heads: CREATE [link scope] DATABASE LINK / ROLLBACK SEGMENT / SYNONYM, CREATE [OR REPLACE]
// DIRECTORY / FUNCTION / PACKAGE [BODY] / PROCEDURE / TRIGGER / VIEW, CREATE [UNIQUE|BITMAP] INDEX,
// CREATE CLUSTER / PROFILE / ROLE / SEQUENCE / SNAPSHOT / TABLE / TABLESPACE / USER,
// CREATE FORMAT71TRIG CREATE TRIGGER, and CONNECT, each followed by a name (NAME, "quoted", or
// owner.name of which only the part after the dot is kept). Only the head is read: whatever
// follows it makes the line's result 1, after the head has acted.
//
// Lines that end the open object and belong to nothing: ENDTABLE, ALTER, REVOKE, EXECUTE, GRANT,
// EXIT, EXECFULL, SQLVERSION, TABLE name, ANALYZE TABLE name, INSERT INTO name, COMMENT ON,
// CREATE FORMAT71, and any line starting with CREATE that is no complete head. A head whose name
// is missing (nothing, or no name where one must stand) ends the open object and makes nothing.
// Every other line leaves the tree alone; the caller adds it to the open object, if any.
#pragma once

#include <memory>
#include <string_view>

#include "dumpfile/dumplex.h"
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

  // The scanner of the last line that went through the full parse. A line whose first word cannot
  // start a statement is answered 1 from that word alone and leaves the scanner as it was.
  const TDumpLex& Lexer() const;
  // Whether that first-word shortcut is taken (on by default). Off, every line runs through the
  // scanner and parser; the tree and results are the same either way.
  void SetShortcut(bool on);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dumpfile
