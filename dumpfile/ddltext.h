// The statement text of an object's bytes in a dump, as a DBA can run it.
//
// An object's byte range holds the dump's records as export wrote them: statements on lines of
// their own; statements whose text export keeps in pieces (the query of a view, the source of a
// stored program, check conditions, statistics blocks), each piece behind a two-byte little-endian
// length, several pieces led by the marker FD FF and ended by an empty piece; export's own
// records (METRICS..., ANALSTATS, CALTER, PARTITION ...) and, before the first statement, what is
// left of the row data before it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dumpfile {

struct DdlStatement {
  std::string text;
  // A PL/SQL unit or block (CREATE FUNCTION / PROCEDURE / PACKAGE / TRIGGER / TYPE, BEGIN, DECLARE).
  bool plsql = false;
};

// The statements in `bytes`, in order: pieces joined without their length bytes, a view's query
// joined to its head line, export's own records and row data left out. Line breaks become line
// feeds; NUL and other control bytes (except the tab) are dropped; bytes above 126 stay as they
// are, text of the dump's character set. No statement carries a terminator. When the first line
// that the reader cuts from `bytes` is a head that the recogniser takes as opening an object (as
// in an object's range), that line is the first statement whatever the reader dropped before its
// first character: row data may end without a line break just before it.
std::vector<DdlStatement> DdlStatements(std::string_view bytes);

// The statements as a script that sqlplus runs: a plain statement ends with ";" (on a line of its
// own when its last line ends in a comment) and has no blank lines, which would end it early; a
// PL/SQL unit is followed by "/" on a line of its own. Lines end with a line feed; empty when
// `bytes` hold no statement.
std::string DdlScript(std::string_view bytes);

}  // namespace dumpfile
