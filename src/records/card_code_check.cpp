#include "records/card_code_check.h"

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QObject>

#include "records/slot_codes.h"
#include "ui/string_grid.h"

namespace veldoran::records {

bool IsUnsendableCardCode(const QString& code) {
  return !code.isEmpty() && !IsUploadableCardCode(code);
}

QString WithUpperHexLetters(const QString& text) {
  QString upper = text;
  for (QChar& c : upper) {
    if (c >= QLatin1Char('a') && c <= QLatin1Char('f')) c = QChar(c.unicode() - 'a' + 'A');
  }
  return upper;
}

QString UnsendableCardCodeHint() {
  return QStringLiteral("Kod nie będzie wysłany:\n8 znaków 0-9 lub A-F");
}

void WatchCardCodeField(QLineEdit* edit, QLabel* hint) {
  hint->setText(UnsendableCardCodeHint());
  hint->setVisible(IsUnsendableCardCode(edit->text()));
  // Only what the operator types is changed; a code shown from Config.ini stays as stored.
  QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& text) {
    const QString upper = WithUpperHexLetters(text);
    if (upper == text) return;
    const int cursor = edit->cursorPosition();
    edit->setText(upper);
    edit->setCursorPosition(cursor);
  });
  QObject::connect(edit, &QLineEdit::textChanged, hint,
                   [hint](const QString& text) { hint->setVisible(IsUnsendableCardCode(text)); });
}

void MarkUnsendableCardCodes(ui::TStringGrid& grid, int col) {
  grid.SetColumnMark(col, IsUnsendableCardCode, QColor(0xFF, 0xC8, 0xC8),
                     QStringLiteral("Kod nie zostanie wysłany do kontrolera."));
}

}  // namespace veldoran::records
