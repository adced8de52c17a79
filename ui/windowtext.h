// What the main window's panes share: the program's title and folder, and how a memo shows text
// that a run or a dump file wrote.
//
// Threads: window thread only.
#pragma once

#include <QString>
#include <string>

namespace ui {

// The window's title, the tray's tooltip and the root of the task tree.
inline const QString kProgramTitle = QStringLiteral("Velmaron for Oracle");

inline QString toQString(const std::string& text) {
  return QString::fromStdString(text);
}

// The program's own folder, ending with "/": where the file dialogs start and the help lives.
QString programFolder();

// `text` as a memo shows it: decoded in `charset` (the first word of a dump header's
// character-set text), else as UTF-8, else as Latin-1; CR LF and lone CR become line feeds.
QString displayText(const std::string& text, const std::string& charset = {});

}  // namespace ui
