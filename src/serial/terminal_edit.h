// The edit control a port component can use as a terminal, as the serial layer sees it: a
// component with a window procedure that can be replaced (the way a port hooks the edit), and
// that handles the two messages the terminal link sends it. Bytes are Windows-1250.
//
// An implementation (the Qt adapter in qt/) feeds every character the user types through
// Perform as WM_CHAR, and lets the edit handle the key only if the message reached its own
// WndProc; it shows what WndProc is given.
#pragma once

#include <cstdint>
#include <functional>

#include "serial/component.h"

namespace veldoran::serial {

// A window message as the terminal link uses it.
struct TEditMessage {
  std::uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
};

// One typed or received character: WParam is the byte, LParam the repeat count (1).
inline constexpr std::uint32_t WM_CHAR = 0x0102;
// Text inserted in place of the selection: LParam points at NUL-terminated bytes.
inline constexpr std::uint32_t EM_REPLACESEL = 0x00C2;

class TCustomEdit : public TComponent {
 public:
  using TWndMethod = std::function<void(TEditMessage& message)>;

  explicit TCustomEdit(TComponent* owner = nullptr);

  // The window procedure every message goes through; at first the edit's own WndProc.
  const TWndMethod& WindowProc() const { return window_proc_; }
  void SetWindowProc(TWndMethod proc);

  // Sends a message to the edit through its window procedure (what SendMessage does).
  void Perform(TEditMessage& message);

 protected:
  // The edit's own handling: WM_CHAR with a received byte shows it, WM_CHAR with a typed
  // character lets the edit handle the key; EM_REPLACESEL shows the text.
  virtual void WndProc(TEditMessage& message) = 0;

 private:
  TWndMethod window_proc_;
};

}  // namespace veldoran::serial
