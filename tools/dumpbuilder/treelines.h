// What the dump tools print and read around a reading: the header facts that the main window
// takes from a dump's first lines, and one text line per node of a filled tree.
#pragma once

#include <string>
#include <vector>

#include "dumpfile/u_formatdumpfile.h"

namespace dumpbuilder {

struct HeaderFacts {
  std::string version = "Unknown";   // 16 characters from where "export" begins in line 1
  std::string user = "Unknown";      // line 2 without its first character
  std::string modeText = "Unknown";  // line 3 without its first character
  std::string charset = "Unknown";   // the id of bytes 1 and 2 as four hexadecimal digits
  int mode = 0;                      // 1 entire, 2 user, 3 table (from the mode text)
};

// Reads the facts from the first 2048 bytes of `path`; false when it cannot be read.
bool readHeaderFacts(const std::string& path, HeaderFacts& facts);

// Prepares `root` for a reading of the dump `path`, as the main window does before it starts
// the reader: file name, source kind 1, export mode and the header texts.
void prepareRoot(dumpfile::TExpFileRoot& root, const std::string& path, const HeaderFacts& facts);

// One line per node, "owner<TAB>kind<TAB>name<TAB>start<TAB>length": public objects first with
// owner "-", then each owner's own node (owner = its name, kind 1) followed by its objects.
std::vector<std::string> treeLines(const dumpfile::TExpFileRoot& root);

}  // namespace dumpbuilder
