// Test doubles of the window's seams: dialogs that record what they were asked to show and
// answer from a script, and a clock that tells a set time and records its sleeps.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "ui/clock.h"
#include "ui/date_formats.h"
#include "ui/dialogs.h"

namespace veldoran::testing {

class RecordingDialogs : public ui::Dialogs {
 public:
  void ShowMessage(const QString& text) override;
  void ShowError(const QString& text) override;
  std::optional<QString> AskSaveFileName(const QString& file_name, const QString& filter) override;
  bool AskYesNo(const QString& question) override;
  std::optional<QString> AskOpenFileName(const QString& filter) override;
  bool ShowPreview(const ui::PreviewList& preview) override;

  QStringList messages;  // every message box, in order
  QStringList errors;    // every error box, in order
  struct SaveRequest {
    QString file_name;
    QString filter;
  };
  std::vector<SaveRequest> save_requests;
  // Answers of the save dialog, in order; nothing means cancel. When empty, the dialog cancels.
  std::deque<std::optional<QString>> save_answers;
  QStringList questions;  // every yes/no question, in order
  // Answers to the questions, in order; when empty, the answer is Yes.
  std::deque<bool> question_answers;
  QStringList open_filters;  // the filter of every open dialog, in order
  // Answers of the open dialog, in order; nothing means cancel. When empty, the dialog cancels.
  std::deque<std::optional<QString>> open_answers;
  std::vector<ui::PreviewList> previews;  // every preview list, in order
  // Answers of the previews, in order (true: accept); when empty, the preview is cancelled.
  std::deque<bool> preview_answers;
  // Runs while a message box is "open" (e.g. to check what a handler does after it closes).
  std::function<void(const QString&)> on_message;

  QStringList AllBoxes() const { return all_; }
  void Clear();

 private:
  QStringList all_;
};

class ManualClock : public ui::Clock {
 public:
  explicit ManualClock(DayCount now = 44000.5) : now_(now) {}
  // Records the wait, moves the time on, and runs the hook (which may wait for real for
  // something that has to happen during the wait, such as a reply arriving).
  void Sleep(int ms) override;
  DayCount Now() const override { return now_; }
  void Set(DayCount now) { now_ = now; }

  std::vector<int> sleeps;
  std::function<void(int ms)> on_sleep;

 private:
  DayCount now_;
};

// Date and time formats pinned for tests, independent of the machine's locale.
ui::DateTimeFormats PinnedFormats();

}  // namespace veldoran::testing
