#include "ui/text.h"

#include <QLineEdit>
#include <QToolTip>
#include <stdexcept>

#include "platform/cp1250.h"

namespace veldoran::ui {

QString FromAnsi(std::string_view bytes) {
  const std::u16string text = cp1250::Decode(bytes);
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

namespace {
bool IsControl(QChar c) { return c.category() == QChar::Other_Control; }
}  // namespace

qsizetype FirstControlCharacter(const QString& text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (IsControl(text[i])) return i;
  }
  return -1;
}

QString WithControlsShown(const QString& text) {
  QString shown = text;
  for (QChar& c : shown) {
    if (IsControl(c)) c = QLatin1Char('?');
  }
  return shown;
}

QString CharacterCode(QChar c) {
  return QStringLiteral("0x") +
         QString::number(c.unicode(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString PlainCaption(const QString& text) {
  QString caption = text;
  return caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString PlainToolTip(const QString& text) {
  return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
         QStringLiteral("</p>");
}

std::optional<std::string> ToAnsi(const QString& text) {
  return cp1250::Encode(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                            static_cast<std::size_t>(text.size())));
}

std::string ToAnsiChecked(const QString& text) {
  auto bytes = ToAnsi(text);
  if (!bytes) throw std::invalid_argument("text holds a character Windows-1250 cannot store");
  return std::move(*bytes);
}

AnsiValidator::AnsiValidator(QLineEdit* edit) : QValidator(edit), edit_(edit) {}

QValidator::State AnsiValidator::validate(QString& input, int& pos) const {
  (void)pos;
  for (const QChar c : input) {
    const bool control = IsControl(c);
    if (control || !cp1250::CanEncode(c.unicode())) {
      const QString shown =
          control ? QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')) : QString(c);
      QToolTip::showText(
          edit_->mapToGlobal(QPoint(0, edit_->height())),
          QStringLiteral("Znaku „%1” nie można zapisać; tekst nie został wstawiony.").arg(shown),
          edit_);
      return Invalid;
    }
  }
  return Acceptable;
}

void MakeAnsiEdit(QLineEdit* edit) {
  edit->setValidator(new AnsiValidator(edit));
  edit->setMaxLength(2047);  // Config.ini values are read back up to this length
}

}  // namespace veldoran::ui
