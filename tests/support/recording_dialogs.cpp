#include "support/recording_dialogs.h"

namespace veldoran::testing {

void RecordingDialogs::ShowMessage(const QString& text) {
  messages << text;
  all_ << text;
  if (on_message) on_message(text);
}

void RecordingDialogs::ShowError(const QString& text) {
  errors << text;
  all_ << text;
}

std::optional<QString> RecordingDialogs::AskSaveFileName(const QString& file_name,
                                                         const QString& filter) {
  save_requests.push_back({file_name, filter});
  std::optional<QString> answer;
  if (!save_answers.empty()) {
    answer = std::move(save_answers.front());
    save_answers.pop_front();
  }
  return answer;
}

bool RecordingDialogs::AskYesNo(const QString& question) {
  questions << question;
  all_ << question;
  if (question_answers.empty()) return true;
  const bool answer = question_answers.front();
  question_answers.pop_front();
  return answer;
}

std::optional<QString> RecordingDialogs::AskOpenFileName(const QString& filter) {
  open_filters << filter;
  std::optional<QString> answer;
  if (!open_answers.empty()) {
    answer = std::move(open_answers.front());
    open_answers.pop_front();
  }
  return answer;
}

bool RecordingDialogs::ShowPreview(const ui::PreviewList& preview) {
  previews.push_back(preview);
  all_ << preview.title;
  if (preview_answers.empty()) return false;
  const bool answer = preview_answers.front();
  preview_answers.pop_front();
  // Accepting is only possible where the dialog's accept button can be pressed.
  return answer && preview.can_accept;
}

void RecordingDialogs::Clear() {
  messages.clear();
  errors.clear();
  questions.clear();
  all_.clear();
  save_requests.clear();
  open_filters.clear();
  previews.clear();
}

void ManualClock::Sleep(int ms) {
  sleeps.push_back(ms);
  now_ += ms / 86'400'000.0;
  if (on_sleep) on_sleep(ms);
}

ui::DateTimeFormats PinnedFormats() {
  ui::DateTimeFormats formats;
  formats.locale = QLocale::c();
  formats.short_date = QStringLiteral("yyyy-MM-dd");
  formats.long_time = QStringLiteral("HH:mm:ss");
  return formats;
}

}  // namespace veldoran::testing
