#include "ui/windowtext.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QLineEdit>
#include <QStringDecoder>

#include "tasks/u_common.h"

namespace ui {

QString programFolder() {
  return QCoreApplication::applicationDirPath() + "/";
}

std::string editedText(const QString& shown, const std::string& stored, bool trim) {
  const QString text = trim ? shown.trimmed() : shown;
  const QString was = toQString(stored);
  // Only a stored text that does not come back from its display needs keeping.
  if (was.toStdString() == stored || (trim ? was.trimmed() : was) != text) return text.toStdString();
  if (!trim) return stored;
  // The blanks QString::trimmed takes that a text of single bytes can hold.
  const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t begin = 0, end = stored.size();
  while (begin < end && blank(stored[begin])) ++begin;
  while (end > begin && blank(stored[end - 1])) --end;
  return stored.substr(begin, end - begin);
}

void setWholeText(QLineEdit* edit, const QString& text) {
  if (edit->maxLength() < text.size()) edit->setMaxLength(int(text.size()));
  edit->setText(text);
}

namespace {

// UTF-8, or else Latin-1, when the set has no decoder here.
QString decodedText(const std::string& bytes, const std::string& charset) {
  const std::string set = charset.substr(0, charset.find(' '));
  const QByteArrayView view(bytes.data(), qsizetype(bytes.size()));
  if (const std::string_view encoding = tasks::CharsetEncoding(set); !encoding.empty()) {
    // A text cut at its limit may end inside a character, which shows as a replacement mark.
    QStringDecoder decoder(std::string(encoding).c_str());
    if (decoder.isValid()) return decoder.decode(view);
  }
  QStringDecoder utf8(QStringConverter::Utf8);
  const QString text = utf8.decode(view);
  return utf8.hasError() ? QString::fromLatin1(view) : text;
}

}  // namespace

QString displayText(const std::string& text, const std::string& charset) {
  QString shown = decodedText(text, charset);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QChar('\r'), QChar('\n'));
  return shown;
}

}  // namespace ui
