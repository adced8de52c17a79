// Small routines and text tables shared by the task engine and the windows: the Y/N reader of the
// option setters, the schedule text, the system's temporary folder, line breaks and appended lines
// of text files, and the object-kind and tip tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dumpfile/u_formatdumpfile.h"
#include "platform/textfile.h"

namespace tasks {

// True when `text` is exactly one character and that character is Y or N in either case; `flag`
// then receives true for Y and false for N. Otherwise false, and `flag` is left as it was.
bool ParseYesNo(std::string_view text, bool& flag);

// Reads a schedule text MMHHDD: minute 00-59, hour 00-23, day 00 (Sunday) to 06 (Saturday) or 07
// (every day). False unless `text` has exactly six characters and all three fields are numbers in
// range. A field that is not a number reads as 60, 24 or 8, so that it fails the range test. The
// out values are set whenever the text has six characters, even when the result is false.
bool ParseScheduleTime(std::string_view text, int& minute, int& hour, int& day);

// The day field of a schedule text that means every day of the week.
constexpr int kScheduleEveryDay = 7;

// The system's folder for temporary files: $TMPDIR when it names an existing folder, else "/tmp".
// It is where the default work folder goes when the configured one is missing.
std::string GetSystemTempDir();

// Line-break normalisation and appending a line to a text file (CR LF line ends), shared with the
// definition writer of the dump-file reader.
using platform::AppendLineToFile;
using platform::NormalizeLineBreaks;

// The 25 object-kind names of the dump-file view and the definition writer, indexed by kind.
using dumpfile::KindName;
using dumpfile::kKindCount;

// The start of an export dump file as the import wizard and the header dialog show it. Every text
// is "Unknown" until the reader finds it.
struct TDumpHeader {
  // "NAME (description)" from the character-set table, or "Unknown".
  std::string charset = "Unknown";
  // The 16 characters of the first line from where "export" (any case) begins, without the line
  // end: the export program's version text, e.g. "EXPORT:V09.02.00".
  std::string version = "Unknown";
  // The third and second lines without their first character and their line end.
  std::string mode = "Unknown";
  std::string user = "Unknown";
  // The first line holds "export" in any case.
  bool isExport = false;
};

// The bytes of a dump file that make its header: what ReadDumpHeader reads and a ".hed" file holds.
inline constexpr size_t kDumpHeaderSize = 2048;

// Reads at most the first kDumpHeaderSize bytes of `path`: the character-set id (bytes 1 and 2, high byte
// first) and the first three lines, made of the bytes 32 to 125 up to each line feed (other
// bytes are skipped). False, with `header` back at its "Unknown" values, when the file cannot be
// opened or read (a folder, a missing or unreadable file); never throws. A short file is no
// failure: what it lacks stays "Unknown" (a file under 3 bytes has character-set id 0).
bool ReadDumpHeader(const std::string& path, TDumpHeader& header);

// The first 2048 bytes of the dump `path` as its header file (".hed") keeps them: zero bytes
// past the end of a shorter file. False when the file cannot be opened or a read fails (zeros
// in place of bytes that could not be read would pass for the header).
bool ReadDumpHeaderBytes(const std::string& path, std::string& bytes);
// The header file's name for `dumpFile`: its file name with the extension ".hed".
std::string DumpHeaderFileName(const std::string& dumpFile);
// Writes `bytes` to `target` through a temporary file renamed onto it, so that a failed write
// leaves no partial file and an older file stays whole. False on any failure.
bool WriteDumpHeaderFile(const std::string& target, const std::string& bytes);

// One row of the character-set table. A row with an empty name has no published name: it is
// never shown, and its id reads as "Unknown".
struct TCharsetRow {
  uint16_t id;
  std::string_view name;
  std::string_view description;
  // The set's name among text decoders ("windows-1252", "Shift_JIS"); empty when none decodes it.
  std::string_view encoding = {};
};

// The character-set table: the 131 rows of the classic table, in their order (row numbers 1 to
// 131 are what callers keep; the id 401 stands twice, 154 comes before 150), followed by the
// sets that later exports write (WE8MSWIN1252, AL32UTF8, ...). Row n is CharsetTable()[n - 1].
std::span<const TCharsetRow> CharsetTable();
inline constexpr int kClassicCharsetRows = 131;

// The row number (1-based) of the first named row whose id, written as four upper-case
// hexadecimal digits ("0001", "0367"), equals `hexId`; 0 when there is none.
int LookupCharsetName(std::string_view hexId);

// "NAME (description)" of row `row`, or "Unknown" for 0, a row out of range or an unnamed row.
std::string CharsetCaption(int row);

// The encoding name of the set called `name` (a row's name, exactly); empty when the set is not in
// the table or no decoder knows it.
std::string_view CharsetEncoding(std::string_view name);

// The row numbers of the named rows, in table order: what a list of character sets offers.
std::vector<int> CharsetNameRows();

// The tips of the tips window, in the order shown.
constexpr int kTipCount = 9;
extern const std::array<std::string_view, kTipCount> Tips;

}  // namespace tasks
