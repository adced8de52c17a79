#include "ui/windowtext.h"

#include <QByteArrayView>
#include <QCoreApplication>
#include <QStringDecoder>

#include "tasks/u_common.h"

namespace ui {

QString programFolder() {
  return QCoreApplication::applicationDirPath() + "/";
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
