#include "link/protocol.h"

#include <gtest/gtest.h>

#include "platform/day_count.h"

namespace veldoran::protocol {
namespace {

DayCount At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDayCount({y, mo, d, h, mi, s, ms});
}

TEST(HexReaders, DigitsInEitherCaseAndJunkAsZero) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('A'), 10);
  EXPECT_EQ(HexDigitValue('f'), 15);
  EXPECT_EQ(HexDigitValue('F'), 15);
  for (char junk : {'G', 'g', ' ', '\r', '\0', 'Z', '/', ':', '@', '`'}) {
    EXPECT_EQ(HexDigitValue(junk), 0) << int(junk);
  }
  EXPECT_EQ(HexByteValue("0A"), 10);
  EXPECT_EQ(HexByteValue("0a"), 10);
  EXPECT_EQ(HexByteValue("ff"), 255);
  EXPECT_EQ(HexByteValue("G1"), 1);
  EXPECT_EQ(HexByteValue(" 7"), 7);
  EXPECT_EQ(HexWordValue("03E7"), 999);
  EXPECT_EQ(HexWordValue("03e7"), 999);
  EXPECT_EQ(HexWordValue("FFFF"), 65535);
  EXPECT_EQ(HexWordValue("x3E7"), 0x03E7);
  EXPECT_EQ(HexWordValue("12 4"), 0x1204);
}

TEST(HexReaders, ClockFieldIsSigned32Bit) {
  EXPECT_EQ(HexClockValue("5E0BC4E0"), 1577829600);
  EXPECT_EQ(HexClockValue("5e0bc4e0"), 1577829600);
  EXPECT_EQ(HexClockValue("00000000"), 0);
  EXPECT_EQ(HexClockValue("FFFFFFFF"), -1);
  EXPECT_EQ(HexClockValue("80000000"), INT32_MIN);
  EXPECT_EQ(HexClockValue("7FFFFFFF"), INT32_MAX);
}

TEST(Hex, UppercaseZeroPadded) {
  EXPECT_EQ(Hex(99, 2), "63");
  EXPECT_EQ(Hex(10, 2), "0A");
  EXPECT_EQ(Hex(0, 2), "00");
  EXPECT_EQ(Hex(0x5E0BC4E0, 8), "5E0BC4E0");
  EXPECT_EQ(Hex(300, 2), "12C");
}

TEST(Clock, ExampleFromTheControllerDocumentation) {
  EXPECT_EQ(DateTimeToControllerSeconds(At(2020, 1, 1)), 1577829600);
  EXPECT_EQ(SetClockLine(DateTimeToControllerSeconds(At(2020, 1, 1))), "45E0BC4E0\r");
}

TEST(Clock, TwoHoursComeOffWhateverTheZone) {
  EXPECT_EQ(DateTimeToControllerSeconds(At(1970, 1, 1, 2)), 0);
  EXPECT_EQ(DateTimeToControllerSeconds(At(1970, 1, 1)), -7200);
  EXPECT_EQ(SetClockLine(-7200), "4FFFFE3E0\r");
}

TEST(Clock, RoundsToNearestSecondTiesToEven) {
  EXPECT_EQ(DateTimeToControllerSeconds(At(1970, 1, 1, 2, 0, 0, 400)), 0);
  EXPECT_EQ(DateTimeToControllerSeconds(At(1970, 1, 1, 2, 0, 0, 600)), 1);
  // Day counts whose seconds are exact halves: 1/256 day is 337.5 s, 3/256 day 1012.5 s.
  EXPECT_EQ(DateTimeToControllerSeconds(kUnixEpochDayCount + 1.0 / 256), 338 - 7200);
  EXPECT_EQ(DateTimeToControllerSeconds(kUnixEpochDayCount + 3.0 / 256), 1012 - 7200);
  EXPECT_EQ(DateTimeToControllerSeconds(kUnixEpochDayCount + 5.0 / 256), 1688 - 7200);
}

TEST(Clock, BackToLocalTime) {
  EXPECT_EQ(DecodeDayCount(ControllerSecondsToDateTime(0)), (CalendarTime{1970, 1, 1, 2, 0, 0, 0}));
  EXPECT_EQ(DecodeDayCount(ControllerSecondsToDateTime(HexClockValue("00000000"))),
            (CalendarTime{1970, 1, 1, 2, 0, 0, 0}));
  EXPECT_EQ(DecodeDayCount(ControllerSecondsToDateTime(1577829600)),
            (CalendarTime{2020, 1, 1, 0, 0, 0, 0}));
  // A first digit of 8 or more is a negative value: a date before 1970.
  const CalendarTime before =
      DecodeDayCount(ControllerSecondsToDateTime(HexClockValue("80000000")));
  EXPECT_EQ(before, (CalendarTime{1901, 12, 13, 22, 45, 52, 0}));
  EXPECT_LT(DecodeDayCount(ControllerSecondsToDateTime(HexClockValue("FFFF0000"))).year, 1970);
}

TEST(Clock, EverySecondOfADayRoundTrips) {
  const std::int32_t start = 1577829600;
  for (std::int32_t v = start; v < start + 86400; v += 7) {
    ASSERT_EQ(DateTimeToControllerSeconds(ControllerSecondsToDateTime(v)), v);
  }
}

TEST(CommandLines, ExactBytes) {
  EXPECT_EQ(StatusQueryLine(), "0\r");
  EXPECT_EQ(ClearEventsLine(), "3\r");
  EXPECT_EQ(ReadEventsLine(), "5\r");
  EXPECT_EQ(WriteCardSlotLine(99, kEmptySlotCode), "263FFFFFFFF\r");
  EXPECT_EQ(WriteCardSlotLine(99, kEmptySlotCode).size(), 12u);
  EXPECT_EQ(WriteCardSlotLine(0, "12ab34CD"), "20012ab34CD\r");
  EXPECT_EQ(WriteCardSlotLine(10, "ABCDEF01"), "20AABCDEF01\r");
  EXPECT_EQ(SetControllerNumberLine(10), "70A\r");
  EXPECT_EQ(SetControllerNumberLine(1), "701\r");
  EXPECT_EQ(SetClockLine(1577829600).size(), 10u);
}

TEST(ReplyLayouts, FieldsSitAtTheirPositions) {
  //                      1        10        20      27
  const std::string status = "S?:0A?03E7?:XXXX?:5E0BC4E0\r\n";
  EXPECT_EQ(status_line::kControllerNumber.In(status), "0A");
  EXPECT_EQ(status_line::kEventCount.In(status), "03E7");
  EXPECT_EQ(status_line::kUninterpreted.In(status), "XXXX");
  EXPECT_EQ(status_line::kClock.In(status), "5E0BC4E0");
  EXPECT_EQ(status_line::kClockHigh.In(status), "5E0B");
  EXPECT_EQ(status_line::kClockLow.In(status), "C4E0");
  EXPECT_EQ(status_line::kLength, 27u);

  const std::string card = "W??????12AB34CD???";
  EXPECT_EQ(card.size(), card_read_line::kLength);
  EXPECT_EQ(card_read_line::kCardCode.In(card), "12AB34CD");

  const std::string ack = "ZU??????DEADBEEF???";
  EXPECT_EQ(ack.size(), upload_ack::kLength);
  EXPECT_EQ(upload_ack::kCardCode.In(ack), "DEADBEEF");

  const std::string rec = "Z?03?03E6?63?5E0BC4E0";
  EXPECT_EQ(rec.size(), event_record::kLength);
  EXPECT_EQ(event_record::kControllerNumber.In(rec), "03");
  EXPECT_EQ(event_record::kEventSlot.In(rec), "03E6");
  EXPECT_EQ(event_record::kUserSlot.In(rec), "63");
  EXPECT_EQ(event_record::kClock.In(rec), "5E0BC4E0");
  EXPECT_EQ(event_record::kClockHigh.In(rec), "5E0B");
  EXPECT_EQ(event_record::kClockLow.In(rec), "C4E0");
}

TEST(ReplyLayouts, FieldOutsideAShortReplyIsEmpty) {
  EXPECT_EQ(status_line::kClock.In("S"), "");
  EXPECT_EQ(status_line::kClock.In("S?:0A?03E7?:XXXX?:5E0B"), "5E0B");
}

}  // namespace
}  // namespace veldoran::protocol
