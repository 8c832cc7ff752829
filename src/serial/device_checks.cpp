// The device checks of the port component: waiting for input and for a modem line, the
// connection test, and the reading of a serial plug-and-play identification. They run on the
// main thread and let it process messages while they wait; every wait is bounded.
#include <chrono>
#include <optional>
#include <thread>

#include "serial/spcomm.h"

namespace veldoran::serial {

using win::DWORD;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kDsrTimeoutMs = 200;
constexpr std::uint32_t kPnPByteTimeoutMs = 200;
constexpr std::uint32_t kPnPSettleMs = 200;

// Thrown inside a check when a handler destroyed the component: nothing is touched on the
// way out.
struct ComponentGone {};

}  // namespace

TspCustomComm::InputHold::InputHold(TspCustomComm& comm) : comm_(comm), alive_(comm.lifetime_) {
  ++comm_.input_holds_;
}

TspCustomComm::InputHold::~InputHold() {
  if (alive_.expired() || --comm_.input_holds_ > 0) return;
  // Character events met while the input was held read nothing; bytes still queued go to the
  // receivers with one more event (which finds nothing to read if the caller took it all).
  std::lock_guard lock(*comm_.link_mutex_);
  if (comm_.session_ && comm_.IsOpen())
    comm_.session_->Post({spCommMsgComEvent, win::EV_RXCHAR, 0});
}

void TspCustomComm::Pause(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool TspCustomComm::WaitForInput(std::uint32_t count, std::uint32_t timeout_ms) {
  if (!IsOpen()) return false;
  const std::weak_ptr<char> alive = lifetime_;
  InputHold hold(*this);
  const TTraceStates saved = TraceStates();
  TTraceStates without_rx = saved;
  without_rx.Exclude(tsRxChar);
  SetTraceStates(without_rx);
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool result = false;
  while (Clock::now() <= end && IsOpen()) {
    DWORD errors = 0;
    win::COMSTAT status{};
    if (api_->ClearCommError(Handle(), &errors, &status) && status.cbInQue >= count) {
      result = true;
      break;
    }
    Pause(1);
    main_.ProcessMessages();
    if (Gone(alive)) return false;
  }
  SetTraceStates(saved);
  return result;
}

bool TspCustomComm::WaitForSignal(std::uint32_t signal_index, std::uint32_t timeout_ms) {
  if (!IsOpen()) return false;
  const std::weak_ptr<char> alive = lifetime_;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (signal_index <= 7 && (ModemSignals().ToBits() >> signal_index) & 1) return true;
    Pause(1);
    main_.ProcessMessages();
    if (Gone(alive)) return false;
    if (Clock::now() > end || !IsOpen()) return false;
  }
}

void TspCustomSerialComm::TestConnection() {
  if (!IsOpen()) return;
  const std::weak_ptr<char> alive = lifetime_;
  PurgeAll();
  if (Gone(alive)) return;
  SetDTR(true);
  if (Gone(alive)) return;
  SetRTS(false);
  if (Gone(alive)) return;
  const bool dsr = WaitForSignal(1, kDsrTimeoutMs);
  if (Gone(alive)) return;
  if (dsr) {
    SetRTS(true);
    if (Gone(alive)) return;
    LogMessage(1, "The device connection was succesful tested");
  } else {
    FatalError(1, 0, "Device Connect Initialization Error", false);
  }
}

void TspCustomSerialComm::ReadPnPId(std::string& id) {
  id.clear();
  const std::weak_ptr<char> alive = lifetime_;
  const auto check = [&] {
    if (Gone(alive)) throw ComponentGone{};
  };
  try {
    const bool was_active = Active();
    SetActive(true);
    check();
    if (!IsOpen()) return;

    PurgeAll();
    check();
    SetDTR(true);
    check();
    SetRTS(false);
    check();
    const bool dsr = WaitForSignal(1, kDsrTimeoutMs);
    check();
    if (!dsr) {
      FatalError(1, 0, "Device Connect Initialization Error", false);
      return;
    }

    ApplyDCB();
    const win::DCB saved_dcb = Dcb();
    const TTraceStates saved_states = TraceStates();
    // Puts everything back, the port reopened (with its full configuration) if it was open.
    const auto restore = [&] {
      if (IsOpen()) api_->SetCommState(Handle(), &saved_dcb);
      SetTraceStates(saved_states);
      SetActive(false);
      check();
      SetActive(was_active);
    };
    try {
      std::optional<InputHold> hold(std::in_place, *this);
      win::DCB pnp = saved_dcb;
      pnp.BaudRate = 1200;
      pnp.ByteSize = 7;
      pnp.Parity = win::NOPARITY;
      pnp.StopBits = win::ONESTOPBIT;
      api_->SetCommState(Handle(), &pnp);
      SetTraceStates({});

      SetDTR(false);
      check();
      SetRTS(false);
      check();
      Pause(kPnPSettleMs);
      SetDTR(true);
      check();
      Pause(kPnPSettleMs);
      SetRTS(true);
      check();

      bool answered = WaitForInput(1, kPnPByteTimeoutMs);
      check();
      if (!answered) {
        // A second try.
        SetDTR(false);
        check();
        SetRTS(false);
        check();
        Pause(kPnPSettleMs);
        SetDTR(true);
        check();
        SetRTS(true);
        check();
        answered = WaitForInput(1, kPnPByteTimeoutMs);
        check();
      }
      if (answered) {
        const auto read_byte = [&](unsigned char& byte) {
          std::lock_guard lock(LinkMutex());  // the read block is shared with event processing
          std::uint32_t got = 0;
          return IsOpen() && ReadBytes(&byte, 1, &got) && got == 1;
        };
        unsigned char byte = 0;
        if (read_byte(byte) && (byte == 0x08 || byte == 0x28)) {
          const unsigned char end_byte = byte == 0x08 ? 0x09 : 0x29;
          id.push_back(static_cast<char>(byte));
          while (WaitForInput(1, kPnPByteTimeoutMs)) {
            check();
            if (!read_byte(byte)) break;
            id.push_back(static_cast<char>(byte));
            if (byte == end_byte) break;
          }
          check();
        }
      }
      hold.reset();
    } catch (const ComponentGone&) {
      throw;
    } catch (...) {
      restore();
      throw;
    }
    restore();
  } catch (const ComponentGone&) {
  }
}

}  // namespace veldoran::serial
