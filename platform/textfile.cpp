#include "platform/textfile.h"

#include "platform/plainfile.h"

namespace platform {

std::string NormalizeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  if (!text.empty() && text.back() == '\r') out += '\n';
  return out;
}

void AppendLineToFile(std::string_view text, const std::string& fileName) {
  OutputFile file;
  if (!file.openAppend(fileName))
    throw IoError("Cannot open " + fileName + " for appending: " + errorText(file.error()), file.error());
  // One write per line keeps concurrent appenders from interleaving within a line.
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line += "\r\n";
  if (!file.write(line) || !file.close())
    throw IoError("Cannot write to " + fileName + ": " + errorText(file.error()), file.error());
}

}  // namespace platform
