// What the main window's panes share: the program's title and folder, and how a memo shows text
// that a run or a dump file wrote.
//
// Threads: window thread only.
#pragma once

#include <QString>
#include <string>

class QLineEdit;

namespace ui {

// The window's title, the tray's tooltip and the root of the task tree.
inline const QString kProgramTitle = QStringLiteral("Velmaron for Oracle");

inline QString toQString(const std::string& text) {
  return QString::fromStdString(text);
}

// The text a form takes back from an edit that it filled with `stored`: `stored` itself while the
// edit still shows it, else the edit's text; with `trim`, without the blanks before and after it.
// A stored text that is no UTF-8 (a task of an earlier version, or read from its task file) shows
// with replacement marks, and converting those back would change a password or a path the user
// never touched.
std::string editedText(const QString& shown, const std::string& stored, bool trim);

// Shows `text` whole in `edit`, whose length limit holds back only what the user types: a limit
// below the text's length is raised to it, since a form that cut a stored value or a picked list
// on showing it would store the cut one.
void setWholeText(QLineEdit* edit, const QString& text);

// The program's own folder, ending with "/": where the file dialogs start and the help lives.
QString programFolder();

// `text` as a memo shows it: decoded in `charset` (the first word of a dump header's
// character-set text), else as UTF-8, else as Latin-1; CR LF and lone CR become line feeds.
QString displayText(const std::string& text, const std::string& charset = {});

}  // namespace ui
