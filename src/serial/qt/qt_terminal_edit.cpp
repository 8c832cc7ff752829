#include "serial/qt/qt_terminal_edit.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <optional>
#include <string>

#include "platform/cp1250.h"

namespace veldoran::serial {

QtTerminalEdit::QtTerminalEdit(QPlainTextEdit* edit, TComponent* owner)
    : TCustomEdit(owner), widget_(edit), plain_(edit) {
  edit->installEventFilter(this);
}

QtTerminalEdit::QtTerminalEdit(QLineEdit* edit, TComponent* owner)
    : TCustomEdit(owner), widget_(edit), line_(edit) {
  edit->installEventFilter(this);
}

QtTerminalEdit::~QtTerminalEdit() {
  if (widget_) widget_->removeEventFilter(this);
}

bool QtTerminalEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched != widget_) return false;
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll)) return false;
    // Pasting types the clipboard's text (and pastes it, where typing reaches the widget).
    if (key->matches(QKeySequence::Paste)) return !Type(QGuiApplication::clipboard()->text());
    // Cursor keys and the like type nothing (Delete neither, though it carries a text).
    if (key->text().isEmpty() || key->key() == Qt::Key_Delete) return false;
    return !Type(key->text());
  }
  if (event->type() == QEvent::InputMethod) {
    auto* input = static_cast<QInputMethodEvent*>(event);
    if (input->commitString().isEmpty()) return false;
    return !Type(input->commitString());
  }
  return false;
}

bool QtTerminalEdit::Type(const QString& text) {
  const std::u16string chars(reinterpret_cast<const char16_t*>(text.utf16()),
                             static_cast<std::size_t>(text.size()));
  const std::optional<std::string> bytes = cp1250::Encode(chars);
  if (!bytes) return false;  // not a character the line can carry
  bool reached = false;
  for (const char byte : *bytes) {
    typing_ = true;
    reached_edit_ = false;
    TEditMessage message{WM_CHAR, static_cast<unsigned char>(byte), 1};
    Perform(message);
    typing_ = false;
    reached = reached || reached_edit_;
  }
  return reached;
}

void QtTerminalEdit::WndProc(TEditMessage& message) {
  if (message.Msg == WM_CHAR) {
    if (typing_) {
      reached_edit_ = true;  // the widget handles the key itself
      return;
    }
    const char byte = static_cast<char>(message.WParam);
    Show(&byte, 1);
  } else if (message.Msg == EM_REPLACESEL && message.LParam) {
    const char* text = reinterpret_cast<const char*>(message.LParam);
    Show(text, std::char_traits<char>::length(text));
  }
}

void QtTerminalEdit::Show(const char* bytes, std::size_t count) {
  if (!widget_) return;
  QString text;
  text.reserve(static_cast<qsizetype>(count));
  const QChar line_break = plain_ ? QChar('\n') : QChar(' ');
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    const bool lf_after_cr = byte == '\n' && after_cr_;
    after_cr_ = byte == '\r';
    if (byte == 0 || lf_after_cr) continue;
    if (byte == '\r' || byte == '\n') {
      text += line_break;
    } else {
      text += QChar(cp1250::ToUnicode(byte));
    }
  }
  if (text.isEmpty()) return;
  if (plain_) {
    QScrollBar* bar = plain_->verticalScrollBar();
    const bool at_end = bar->value() == bar->maximum();
    QTextCursor end(plain_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    if (at_end) bar->setValue(bar->maximum());
  } else {
    line_->setText(line_->text() + text);
  }
}

}  // namespace veldoran::serial
