// Small text-file helpers shared by the definition writer and the task engine.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Every line feed not preceded by a carriage return becomes carriage return plus line feed; a
// carriage return at the very end gets a line feed after it; a carriage return followed by any
// other byte stays as it is. Never fails.
std::string NormalizeLineBreaks(std::string_view text);

// Appends `text` as one line (followed by carriage return and line feed) to `fileName`,
// creating the file when it does not exist. Throws IoError when the file cannot be created,
// opened or written; a failed append may leave part of the line behind.
void AppendLineToFile(std::string_view text, const std::string& fileName);

}  // namespace platform
