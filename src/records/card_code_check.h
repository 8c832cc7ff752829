// Card codes that an upload would never send: the card code field says so in a hint beside it,
// and the users grid marks their cells. Nothing is refused or changed in the file: a code the
// operator keeps is stored as typed.
#pragma once

#include <QString>

class QLabel;
class QLineEdit;

namespace veldoran::ui {
class TStringGrid;
}

namespace veldoran::records {

// A code is held but would go out as an empty slot: not exactly 8 hexadecimal digits. An
// empty code (no card) is not one.
bool IsUnsendableCardCode(const QString& code);

// `text` with the letters a-f in upper case, the way the controller's reader reports codes.
QString WithUpperHexLetters(const QString& text);

// The hint's text.
QString UnsendableCardCodeHint();

// Makes `edit` show typed letters a-f in upper case (texts the program sets stay as they are),
// and shows `hint` while the field holds an unsendable code.
void WatchCardCodeField(QLineEdit* edit, QLabel* hint);

// Marks the cells of the card code column `col` of `grid` that hold an unsendable code.
void MarkUnsendableCardCodes(ui::TStringGrid& grid, int col);

}  // namespace veldoran::records
