// Small routines and text tables shared by the task engine and the windows: the Y/N reader of the
// option setters, the schedule text, the system's temporary folder, line breaks and appended lines
// of text files, and the object-kind and tip tables.
#pragma once

#include <array>
#include <string>
#include <string_view>

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

// The tips of the tips window, in the order shown.
constexpr int kTipCount = 9;
extern const std::array<std::string_view, kTipCount> Tips;

}  // namespace tasks
