// The terminal link of the base I/O object: an edit control whose window procedure the port
// hooks, so typed characters go to the line, and that shows the blocks the port receives.
#include <cstring>

#include "serial/spclasses.h"

namespace veldoran::serial {

TCustomEdit::TCustomEdit(TComponent* owner)
    : TComponent(owner), window_proc_([this](TEditMessage& message) { WndProc(message); }) {}

void TCustomEdit::SetWindowProc(TWndMethod proc) { window_proc_ = std::move(proc); }

void TCustomEdit::Perform(TEditMessage& message) {
  // The procedure may be replaced while it runs (a hook that unhooks itself).
  const TWndMethod proc = window_proc_;
  if (proc) proc(message);
}

void TspBaseIO::SetTerminal(TCustomEdit* edit) {
  if (terminal_) terminal_->SetWindowProc(std::move(terminal_saved_proc_));
  terminal_saved_proc_ = nullptr;
  if (edit) {
    terminal_saved_proc_ = edit->WindowProc();
    edit->SetWindowProc([this](TEditMessage& message) { TerminalWndProc(message); });
  }
  terminal_output_ = nullptr;
  terminal_ = edit;
  SetTerminalUsage(terminal_usage_);
  if (edit) FreeNotification(edit);
}

void TspBaseIO::SetTerminalUsage(TTerminalUsage value) {
  terminal_usage_ = value;
  if (!terminal_) return;
  terminal_output_ = (value == tuReceive || value == tuBoth) ? terminal_ : nullptr;
}

void TspBaseIO::TerminalWndProc(TEditMessage& message) {
  if (!in_terminal_write_ && message.Msg == WM_CHAR &&
      (terminal_usage_ == tuSend || terminal_usage_ == tuBoth)) {
    const std::weak_ptr<char> alive = lifetime_;  // sending may run handlers
    SendChar(static_cast<std::uint8_t>(message.WParam));
    if (alive.expired() || !terminal_echo_) return;  // the edit never sees the key
  }
  // Called through the edit, which stays while it runs.
  if (terminal_saved_proc_) {
    const TCustomEdit::TWndMethod proc = terminal_saved_proc_;
    proc(message);
  }
}

void TspBaseIO::TerminalWrite(void* buffer, std::uint32_t count) {
  // The edit may run code that destroys the component: the flag is cleared only if it is
  // still there.
  struct Writing {
    bool& flag;
    std::weak_ptr<char> alive;
    Writing(bool& f, std::weak_ptr<char> a) : flag(f), alive(std::move(a)) { flag = true; }
    ~Writing() {
      if (!alive.expired()) flag = false;
    }
  } writing(in_terminal_write_, lifetime_);
  const std::weak_ptr<char>& alive = writing.alive;
  TCustomEdit* const output = terminal_output_;
  if (!output || count == 0) return;
  char* const bytes = static_cast<char*>(buffer);
  if (count == 1) {
    TEditMessage message{WM_CHAR, static_cast<unsigned char>(bytes[0]), 1};
    output->Perform(message);
    return;
  }
  bytes[count] = '\0';
  for (std::uint32_t start = 0; start < count;) {
    const std::uint32_t length = static_cast<std::uint32_t>(std::strlen(bytes + start));
    if (length > 0) {
      TEditMessage message{EM_REPLACESEL, 0, reinterpret_cast<std::intptr_t>(bytes + start)};
      output->Perform(message);
      if (alive.expired() || terminal_output_ != output) return;
    }
    start += length + 1;  // past the NUL
  }
}

}  // namespace veldoran::serial
