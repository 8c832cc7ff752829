// Between the window's strings and the Windows-1250 bytes that go to the controller, Config.ini
// and CSV files.
#pragma once

#include <QString>
#include <QValidator>
#include <optional>
#include <string>
#include <string_view>

class QLineEdit;

namespace veldoran::ui {

QString FromAnsi(std::string_view bytes);

// The first control character of `text` (C0, DEL or C1; carriage return and line feed among
// them), or -1. Config.ini keeps one value per line, and the edit fields refuse these
// characters, so no stored value may hold one.
qsizetype FirstControlCharacter(const QString& text);
// `text` with each control character shown as "?", for messages about it.
QString WithControlsShown(const QString& text);
// "0x0D": a character's code for messages.
QString CharacterCode(QChar c);

// A caption for a button or check box that shows `text` as it stands: an "&" is not taken as
// the mark of a keyboard shortcut.
QString PlainCaption(const QString& text);
// A tool tip that shows `text` as it stands, blanks included, even when it looks like markup.
QString PlainToolTip(const QString& text);
// The bytes of a text, or nothing when it holds a character the code page cannot.
std::optional<std::string> ToAnsi(const QString& text);
// For texts the program made itself from storable input: an unstorable character here is a
// programming error, reported by an exception rather than changed.
std::string ToAnsiChecked(const QString& text);

// Accepts only single-line text that Windows-1250 can hold, so that nothing typed or pasted is
// lost or changed when it is saved or sent. A refused character is named in a tool tip.
class AnsiValidator : public QValidator {
  Q_OBJECT
 public:
  explicit AnsiValidator(QLineEdit* edit);
  State validate(QString& input, int& pos) const override;

 private:
  QLineEdit* edit_;
};

// Installs the validator and the length limit that Config.ini can read back.
void MakeAnsiEdit(QLineEdit* edit);

}  // namespace veldoran::ui
