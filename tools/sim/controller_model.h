// A model of the locker controller: its controller number, 100 card slots, an event memory of up
// to 1000 events and a running clock, and its answer to every command line of the serial
// protocol. No I/O, no threads, no Qt: bytes go in, reply bytes come out, synchronously, so the
// simulator program, the fake serial driver and the tests all answer alike. Not thread-safe:
// one caller at a time (a driver hook that runs on a worker thread must serialise its calls).
//
// Command lines (each ends with a carriage return; a line feed anywhere is ignored):
//   "0"            status query                 -> status line
//   "2" SS CCCCCCCC write card slot SS (hex)    -> upload acknowledgement echoing CCCCCCCC
//   "3"            clear the event memory       -> status line (0 events)
//   "4" VVVVVVVV   set the clock (hex, signed)  -> nothing
//   "5"            read the event memory        -> 1000 event records, slots 0 to 999
//   "7" NN         set the controller number    -> status line with the number now held
// Hex digits are accepted in either case. Anything else (an unknown first character, a wrong
// length, a non-hex digit in a number) is ignored without an answer, as the controller's simple
// line parser would, and reported in the Exchange so the caller can log it. Out-of-range values:
//   - "2" with a slot above 63 hex (99) is ignored without an answer;
//   - "7" with a number outside 01..0A is refused: the controller keeps its number but still
//     answers with a status line, so the tool sees at once that the number did not change.
// A line longer than kMaxLineLength is cut off and ignored as a whole. A partial line followed
// by a pause of kLineTimeoutMs or more before its next byte is dropped (an inter-character
// time-out, so line noise cannot spoil the next command for long).
//
// Reply layouts, byte by byte (positions count from 1; NN = controller number, 2 hex digits;
// all numbers are uppercase hex, zero-padded; CR LF = 0x0D 0x0A):
//
//   Status line, 29 bytes: "S: 0A 03E7, 0017, 5E0BC4E0;" CR LF
//     1 'S'   2 ':'   3 ' '   4-5 NN   6 ' '   7-10 number of stored events
//     11 ','   12 ' '   13-16 number of card slots holding a card   17 ','   18 ' '
//     19-26 clock value now (8 hex, 32-bit two's complement)   27 ';'   28-29 CR LF
//
//   Card-read line, 18 bytes: "W: 0A, 1234ABCD;" CR LF
//     1 'W'   2 ':'   3 ' '   4-5 NN   6 ','   7 ' '   8-15 the card's 8-character code
//     16 ';'   17-18 CR LF
//
//   Upload acknowledgement, 19 bytes: "ZU: 05, 1234ABCD;" CR LF
//     1-2 "ZU"   3 ':'   4 ' '   5-6 card slot written   7 ','   8 ' '
//     9-16 the code now stored in that slot (as received)   17 ';'   18-19 CR LF
//
//   Event record, 21 bytes, records back to back with nothing between them:
//   "Z:0A 0000 05 5E0BC4E0"
//     1 'Z'   2 ':'   3-4 NN   5 ' '   6-9 event slot   10 ' '   11-12 card slot of the card
//     13 ' '   14-21 clock value when the card was read
//     A slot that holds no event reads card slot "FF" and clock "00000000" (the erased state of
//     the controller's memory); it still carries the controller number. Every record carries
//     the controller's present number, since an event is always an event of this locker.
//
// The event memory keeps events in the order they happened, slot 0 the oldest. When it holds
// 1000 events, a new one pushes the oldest out and the others move down one slot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "link/protocol.h"

namespace veldoran::sim {

inline constexpr int kCardSlotCount = protocol::kCardSlots;   // 100
inline constexpr int kEventCapacity = protocol::kEventSlots;  // 1000
inline constexpr int kMinNumber = 1;
inline constexpr int kMaxNumber = 10;
inline constexpr std::size_t kMaxLineLength = 64;
inline constexpr std::int64_t kLineTimeoutMs = 100;
inline constexpr std::size_t kStatusLineLength = 29;
inline constexpr std::size_t kCardReadLineLength = 18;
inline constexpr std::size_t kAckLength = 19;
inline constexpr std::size_t kEventRecordLength = 21;

struct Event {
  int card_slot = 0;
  std::int32_t clock = 0;
  friend bool operator==(const Event&, const Event&) = default;
};

enum class LineKind {
  kStatusQuery,
  kWriteCardSlot,
  kClearEvents,
  kSetClock,
  kReadEvents,
  kSetNumber,
  kIgnored,  // unknown, malformed, out of range, overlong or timed-out: no answer
};

// One complete command line and what it caused.
struct Exchange {
  std::string line;  // the line as received, without its carriage return
  LineKind kind = LineKind::kIgnored;
  std::string reply;  // the bytes to send back (empty when there is no answer)
  std::string note;   // a short description for a log: the effect, or why it was ignored
};

// A card held to the controller's reader.
struct CardRead {
  std::string line;               // the card-read line the controller sends
  std::optional<int> card_slot;   // the lowest slot holding that code, if any
  std::optional<int> event_slot;  // where the event was recorded, if one was
};

class ControllerModel {
 public:
  // Milliseconds on any monotonic scale; the clock advances one second per 1000.
  using TimeSource = std::function<std::int64_t()>;
  static std::int64_t SteadyMilliseconds();

  // Number 1, no cards, no events, clock value 0. `seed` drives the random events.
  explicit ControllerModel(TimeSource now_ms = SteadyMilliseconds, std::uint32_t seed = 1);

  // Bytes as they arrive on the line, in any pieces. Returns one Exchange per complete line
  // (empty lines produce none).
  std::vector<Exchange> Feed(std::string_view bytes);
  // Feed, returning only the reply bytes, concatenated.
  std::string Receive(std::string_view bytes);

  // A card read at the controller. A card stored in a slot opens the locker and records an
  // event; an unknown card is reported but records nothing. Throws std::invalid_argument when
  // `code` is not a valid card code, or the slot is out of range or empty.
  CardRead PresentCode(std::string_view code);
  CardRead PresentSlot(int slot);

  // Appends `count` (0..1000) events of stored cards (any slot when none is stored) at random
  // times between the last event (or a week ago) and now, in time order. Throws
  // std::invalid_argument for a count out of range.
  void AddRandomEvents(int count);
  void ClearEvents();

  // Throws std::invalid_argument outside 1..10.
  void SetNumber(int number);
  // Stores a valid card code (kEmptySlotCode empties the slot). Throws std::invalid_argument
  // for a slot outside 0..99 or an invalid code.
  void SetCard(int slot, std::string_view code);
  void SetClock(std::int32_t value);

  int Number() const { return number_; }
  std::int32_t ClockNow() const;
  // Codes by slot; an empty string for a slot that holds no card.
  const std::array<std::string, kCardSlotCount>& Cards() const { return cards_; }
  int StoredCards() const;
  const std::vector<Event>& Events() const { return events_; }

  // The replies as they would be sent now.
  std::string StatusLine() const;
  std::string EventRecords() const;

  // 8 bytes, none of them a control character. Codes received on the line may hold any byte
  // but CR and LF; this is the stricter test for codes typed by a person.
  static bool IsValidCardCode(std::string_view code);

 private:
  Exchange HandleLine(std::string_view line);
  int RecordEvent(int card_slot, std::int32_t clock);
  std::string CardReadLine(std::string_view code) const;

  TimeSource now_ms_;
  std::mt19937 random_;
  int number_ = 1;
  std::array<std::string, kCardSlotCount> cards_;
  std::vector<Event> events_;
  std::int32_t clock_base_ = 0;    // the value last set
  std::int64_t clock_set_at_ = 0;  // time source reading when it was set

  std::string partial_;       // the line being received
  std::size_t overflow_ = 0;  // bytes of it cut off beyond kMaxLineLength
  std::int64_t last_byte_at_ = 0;
};

}  // namespace veldoran::sim
