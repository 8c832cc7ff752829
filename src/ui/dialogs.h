// Modal messages, the error box and the file-save dialog. Everything the window shows modally
// goes through this seam, so tests can record it instead of blocking.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class QMessageBox;
class QWidget;

namespace veldoran::ui {

// A list for the operator to look over before an operation changes anything: one row per item,
// refused rows marked, and two buttons.
struct PreviewList {
  QString title;
  QString summary;  // above the list
  QStringList headings;
  struct Row {
    QStringList cells;
    bool refused = false;
  };
  std::vector<Row> rows;
  QString accept_caption;
  QString cancel_caption;
  bool can_accept = true;  // false: only the cancel button can be pressed
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message box with an OK button.
  virtual void ShowMessage(const QString& text) = 0;
  // The application's error box for an operation that failed (an exception reaching the
  // window's event handling).
  virtual void ShowError(const QString& text) = 0;
  // The save dialog: proposes `file_name`, offers one filter given as "description|pattern"
  // and adds no extension. It does not ask about an existing file (TSaveDialog does, through
  // AskYesNo). Returns the chosen path, or nothing when the operator cancels.
  virtual std::optional<QString> AskSaveFileName(const QString& file_name,
                                                 const QString& filter) = 0;
  // A question with the buttons Yes and No, No being the default; true for Yes. Seams that do
  // not ask questions say Yes, so they go on as before there were questions (a file is
  // replaced) and never loop.
  virtual bool AskYesNo(const QString& question);
  // The open dialog for an existing file, with one filter as AskSaveFileName's. Returns the
  // chosen path, or nothing when the operator cancels. Seams without it cancel.
  virtual std::optional<QString> AskOpenFileName(const QString& filter);
  // Shows the list; true when the operator pressed the accept button. Seams without it cancel.
  virtual bool ShowPreview(const PreviewList& preview);
};

// The real dialogs of the toolkit, parented to a window.
class QtDialogs : public Dialogs {
 public:
  explicit QtDialogs(QWidget* parent) : parent_(parent) {}
  void ShowMessage(const QString& text) override;
  void ShowError(const QString& text) override;
  std::optional<QString> AskSaveFileName(const QString& file_name, const QString& filter) override;
  bool AskYesNo(const QString& question) override;
  std::optional<QString> AskOpenFileName(const QString& filter) override;
  bool ShowPreview(const PreviewList& preview) override;

 private:
  void Prepare(QMessageBox& box) const;
  QWidget* parent_;
};

// A file-save dialog component: remembers the last chosen name and proposes it next time.
class TSaveDialog {
 public:
  QString FileName = QStringLiteral("zdarzenia.csv");
  QString Filter = QStringLiteral("plik CSV|*.csv");
  // Ask before a chosen file that exists is replaced; "No" shows the dialog again.
  bool OverwritePrompt = true;

  // Shows the dialog; true when the operator confirmed, FileName then holds the choice.
  bool Execute(Dialogs& dialogs);
};

// The question before an existing file is replaced, as the toolkit's own save dialog words it.
QString ReplaceQuestion(const QString& path);

}  // namespace veldoran::ui
