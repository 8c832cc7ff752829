// The controller's wire protocol: command lines, reply layouts and the number and clock
// encodings. Pure functions, no Qt, shared by the tool and the simulated controller.
//
// Commands are one line each, a command digit first and a carriage return last. Replies are
// fixed-layout text recognised by their first one or two characters and their length; the
// positions below count from 1 at the reply's first character, as the controller's
// documentation does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/day_count.h"

namespace veldoran::protocol {

// ---- Numbers ---------------------------------------------------------------------------------

// "0"-"9" give 0-9, "A"-"F" and "a"-"f" give 10-15; any other character gives 0.
int HexDigitValue(char c);
// Two characters: 16 * first + second. Characters missing from a short field count as 0.
int HexByteValue(std::string_view two);
// Four characters: 256 * HexByteValue(first two) + HexByteValue(last two).
int HexWordValue(std::string_view four);
// Eight characters read as two words, 65536 * first + second, taken as a signed 32-bit value.
std::int32_t HexClockValue(std::string_view eight);

// Uppercase hexadecimal, zero-padded on the left to at least `width` digits.
std::string Hex(std::uint32_t value, int width);

// ---- Clock -----------------------------------------------------------------------------------

// The controller's clock value of a local date-time: round((t - 25569) * 86400) - 7200,
// rounded to the nearest second with ties to the even value. Two hours come off whatever the
// PC's time zone is.
std::int64_t DateTimeToControllerSeconds(DayCount t);
// The local date-time of a clock value: 25569 + (v + 7200) / 86400.
DayCount ControllerSecondsToDateTime(std::int32_t v);

// ---- Command lines ---------------------------------------------------------------------------

inline constexpr char kCarriageReturn = '\r';
inline constexpr std::string_view kEmptySlotCode = "FFFFFFFF";
inline constexpr int kCardSlots = 100;      // card slots 0 to 99
inline constexpr int kEventSlots = 1000;    // event slots 0 to 999
inline constexpr int kLastEventSlot = 999;  // the record of this slot (or higher) ends a read

std::string StatusQueryLine();                                   // "0\r"
std::string WriteCardSlotLine(int slot, std::string_view code);  // "2" SS CCCCCCCC "\r"
std::string ClearEventsLine();                                   // "3\r"
std::string SetClockLine(std::int64_t controller_seconds);       // "4" VVVVVVVV "\r"
std::string ReadEventsLine();                                    // "5\r"
std::string SetControllerNumberLine(int number);                 // "7" NN "\r"

// ---- Replies ---------------------------------------------------------------------------------

// A field of a reply by its 1-based position and length.
struct Field {
  std::size_t position;
  std::size_t length;
  std::string_view In(std::string_view reply) const {
    return position - 1 < reply.size() ? reply.substr(position - 1, length) : std::string_view{};
  }
};

namespace status_line {  // "S...": the answer to a status query, clear and set-number commands
inline constexpr char kLead = 'S';
inline constexpr std::size_t kLength = 27;
inline constexpr Field kControllerNumber{4, 2};
inline constexpr Field kEventCount{7, 4};
inline constexpr Field kUninterpreted{13, 4};
inline constexpr Field kClockHigh{19, 4};
inline constexpr Field kClockLow{23, 4};
inline constexpr Field kClock{19, 8};
}  // namespace status_line

namespace card_read_line {  // "W...": a card held to the controller's reader
inline constexpr char kLead = 'W';
inline constexpr std::size_t kLength = 18;
inline constexpr Field kCardCode{8, 8};
}  // namespace card_read_line

namespace upload_ack {  // "ZU...": the controller stored a card line
inline constexpr std::string_view kLead = "ZU";
inline constexpr std::size_t kLength = 19;
inline constexpr Field kCardCode{9, 8};
}  // namespace upload_ack

namespace event_record {  // "Z" + anything but "U": one slot of the event memory
inline constexpr char kLead = 'Z';
inline constexpr char kNotSecond = 'U';
inline constexpr std::size_t kLength = 21;
inline constexpr Field kControllerNumber{3, 2};
inline constexpr Field kEventSlot{6, 4};
inline constexpr Field kUserSlot{11, 2};
inline constexpr Field kClockHigh{14, 4};
inline constexpr Field kClockLow{18, 4};
inline constexpr Field kClock{14, 8};
}  // namespace event_record

// ---- Decoded replies -------------------------------------------------------------------------

// The fields of a reply, read leniently as the controller's documentation fixes: a character
// that is not a hexadecimal digit counts as 0. `garbled` names the first numeric field that
// held such a character (empty when every one was clean), for callers that would rather refuse
// a reply than act on a guessed value.
struct StatusReply {
  int controller_number = 0;
  int event_count = 0;
  std::int32_t clock = 0;
  std::string_view garbled;
};
struct EventRecordReply {
  int controller_number = 0;
  int event_slot = 0;
  int user_slot = 0;
  std::int32_t clock = 0;
  std::string_view garbled;
};

// Whether every character of `field` is a hexadecimal digit (either case) and none is missing.
bool IsHexField(std::string_view field, std::size_t length);

// `reply` holds at least the reply's length, its lead letter(s) first.
StatusReply DecodeStatusLine(std::string_view reply);
EventRecordReply DecodeEventRecord(std::string_view reply);

}  // namespace veldoran::protocol
