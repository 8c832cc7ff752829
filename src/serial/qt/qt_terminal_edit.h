// A Qt text widget (QPlainTextEdit or QLineEdit) as the terminal of a port component.
//
// An event filter on the widget stands in for the window procedure: each character typed is
// encoded in Windows-1250 and sent through Perform as WM_CHAR; only if the message reaches the
// edit's own procedure (nobody hooked it, or the terminal echoes) does the widget handle the
// key. Characters Windows-1250 cannot hold are not typed at all. Pasting types the clipboard's
// text; copy and select-all stay the widget's own. What the port receives is appended at the
// end of the text, leaving the user's cursor and selection alone: CR, LF and CR LF each end a
// line (in a QLineEdit, a space), NUL bytes are dropped, and a QPlainTextEdit scrolled to its
// end stays there.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "serial/terminal_edit.h"

class QLineEdit;
class QPlainTextEdit;

namespace veldoran::serial {

class QtTerminalEdit : public QObject, public TCustomEdit {
  Q_OBJECT

 public:
  explicit QtTerminalEdit(QPlainTextEdit* edit, TComponent* owner = nullptr);
  explicit QtTerminalEdit(QLineEdit* edit, TComponent* owner = nullptr);
  ~QtTerminalEdit() override;

  QWidget* Widget() const { return widget_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void WndProc(TEditMessage& message) override;

 private:
  // Feeds typed text through the window procedure; true when the widget is to handle it.
  bool Type(const QString& text);
  void Show(const char* bytes, std::size_t count);

  QPointer<QWidget> widget_;
  QPlainTextEdit* plain_ = nullptr;
  QLineEdit* line_ = nullptr;
  bool typing_ = false;
  bool reached_edit_ = false;
  bool after_cr_ = false;  // the last byte shown was a CR: an LF now ends no further line
};

}  // namespace veldoran::serial
