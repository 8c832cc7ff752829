// Enumerations, sets and event types of the port component.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "serial/component.h"

namespace veldoran::serial {

// A set of enumeration values, bit n for ordinal n.
template <class E, class Bits = std::uint16_t>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> values) {
    for (E v : values) bits_ = static_cast<Bits>(bits_ | Bit(v));
  }
  static constexpr TSet FromBits(Bits bits) {
    TSet set;
    set.bits_ = bits;
    return set;
  }
  constexpr Bits ToBits() const { return bits_; }
  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr void Include(E v) { bits_ = static_cast<Bits>(bits_ | Bit(v)); }
  constexpr void Exclude(E v) { bits_ = static_cast<Bits>(bits_ & ~Bit(v)); }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr Bits Bit(E v) { return static_cast<Bits>(Bits{1} << static_cast<int>(v)); }
  Bits bits_ = 0;
};

enum TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TStopBits : std::uint8_t { sbOne, sbOneAndHalf, sbTwo };
enum TComPort : std::uint8_t {
  cpCOM1,
  cpCOM2,
  cpCOM3,
  cpCOM4,
  cpCOM5,
  cpCOM6,
  cpCOM7,
  cpCOM8,
  cpCOMxx
};
enum TStreamProtocol : std::uint8_t { spNone, spXonXoff, spHardware };
enum TTerminalUsage : std::uint8_t { tuNone, tuSend, tuReceive, tuBoth };

enum TTraceState : std::uint8_t {
  tsRxChar,
  tsRxFlag,
  tsTxEmpty,
  tsCTS,
  tsDSR,
  tsRLSD,
  tsBreak,
  tsErr,
  tsRing,
  tsRx80Full,
  tsEvent1,
  tsEvent2
};
using TTraceStates = TSet<TTraceState>;

enum TModemSignal : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TSet<TModemSignal, std::uint8_t>;

// The status bits of COMSTAT, in their Win32 order.
enum TComStateFlag : std::uint8_t {
  fCtsHold,
  fDsrHold,
  fRlsdHold,
  fXoffHold,
  fXoffSent,
  fEof,
  fTxim
};
using TComStateFlags = TSet<TComStateFlag, std::uint8_t>;

// Event types, with their published parameter lists.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TOnReceived = std::function<void(TObject* Com, void* Buffer, std::uint32_t Received)>;
using TOnSent = std::function<void(TObject* Com)>;
using TOnTraceEvent = std::function<void(TObject* Com, TTraceStates Event)>;
using TOnCommErrorEvent =
    std::function<void(TObject* Com, std::uint32_t CommCode, std::uint32_t SysError,
                       TComStateFlags State, bool& flFlashBuffers)>;
using TOnFatalErrorEvent =
    std::function<void(TObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                       const std::string& ErrorMsg, bool& RaiseException)>;

// The exception a fatal error of the port layer raises (a failed open, for example); what()
// is the error's message.
class ESerialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A control whose checked state mirrors a modem line (a check box, a radio button). Controls
// without a checked state are left alone.
class TControl : public TComponent {
 public:
  using TComponent::TComponent;
  // Sets the checked state; false when the control has none.
  virtual bool SetChecked(bool checked) = 0;
};

}  // namespace veldoran::serial
