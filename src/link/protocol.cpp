#include "link/protocol.h"

#include <algorithm>
#include <cmath>

namespace veldoran::protocol {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

int HexByteValue(std::string_view two) {
  const auto at = [&](std::size_t i) { return i < two.size() ? HexDigitValue(two[i]) : 0; };
  return 16 * at(0) + at(1);
}

int HexWordValue(std::string_view four) {
  const std::string_view high = four.substr(0, std::min<std::size_t>(2, four.size()));
  const std::string_view low = four.size() > 2 ? four.substr(2, 2) : std::string_view{};
  return 256 * HexByteValue(high) + HexByteValue(low);
}

std::int32_t HexClockValue(std::string_view eight) {
  const std::string_view high = eight.substr(0, std::min<std::size_t>(4, eight.size()));
  const std::string_view low = eight.size() > 4 ? eight.substr(4, 4) : std::string_view{};
  const std::uint32_t v = 65536u * static_cast<std::uint32_t>(HexWordValue(high)) +
                          static_cast<std::uint32_t>(HexWordValue(low));
  return static_cast<std::int32_t>(v);
}

std::string Hex(std::uint32_t value, int width) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(out.size()) < width) out.insert(0, width - out.size(), '0');
  return out;
}

std::int64_t DateTimeToControllerSeconds(DayCount t) {
  // nearbyint rounds in the default mode, to nearest with ties to even.
  return static_cast<std::int64_t>(std::nearbyint((t - kUnixEpochDayCount) * 86400.0)) - 7200;
}

DayCount ControllerSecondsToDateTime(std::int32_t v) {
  return kUnixEpochDayCount + (static_cast<double>(v) + 7200.0) / 86400.0;
}

namespace {

// A command line: the command digit, its fields, the carriage return.
std::string Line(char command, std::string_view first, std::string_view second = {}) {
  std::string line(1, command);
  line.append(first);
  line.append(second);
  line.push_back(kCarriageReturn);
  return line;
}

}  // namespace

std::string StatusQueryLine() { return "0\r"; }

std::string WriteCardSlotLine(int slot, std::string_view code) {
  return Line('2', Hex(static_cast<std::uint32_t>(slot), 2), code);
}

std::string ClearEventsLine() { return "3\r"; }

std::string SetClockLine(std::int64_t controller_seconds) {
  // A negative value goes out as its 32-bit two's complement.
  return Line('4', Hex(static_cast<std::uint32_t>(controller_seconds), 8));
}

std::string ReadEventsLine() { return "5\r"; }

std::string SetControllerNumberLine(int number) {
  return Line('7', Hex(static_cast<std::uint32_t>(number), 2));
}

bool IsHexField(std::string_view field, std::size_t length) {
  if (field.size() != length) return false;
  for (const char c : field) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) return false;
  }
  return true;
}

namespace {

// Notes the field's name in `garbled` unless an earlier field is already noted there.
void Check(std::string_view reply, const Field& field, std::string_view name,
           std::string_view& garbled) {
  if (garbled.empty() && !IsHexField(field.In(reply), field.length)) garbled = name;
}

}  // namespace

StatusReply DecodeStatusLine(std::string_view reply) {
  namespace f = status_line;
  StatusReply out;
  out.controller_number = HexByteValue(f::kControllerNumber.In(reply));
  out.event_count = HexWordValue(f::kEventCount.In(reply));
  out.clock = HexClockValue(f::kClock.In(reply));
  Check(reply, f::kControllerNumber, "controller_number", out.garbled);
  Check(reply, f::kEventCount, "event_count", out.garbled);
  Check(reply, f::kClock, "clock", out.garbled);
  return out;
}

EventRecordReply DecodeEventRecord(std::string_view reply) {
  namespace f = event_record;
  EventRecordReply out;
  out.controller_number = HexByteValue(f::kControllerNumber.In(reply));
  out.event_slot = HexWordValue(f::kEventSlot.In(reply));
  out.user_slot = HexByteValue(f::kUserSlot.In(reply));
  out.clock = HexClockValue(f::kClock.In(reply));
  Check(reply, f::kControllerNumber, "controller_number", out.garbled);
  Check(reply, f::kEventSlot, "event_slot", out.garbled);
  Check(reply, f::kUserSlot, "user_slot", out.garbled);
  Check(reply, f::kClock, "clock", out.garbled);
  return out;
}

}  // namespace veldoran::protocol
