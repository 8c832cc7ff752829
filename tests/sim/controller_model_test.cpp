#include "tools/sim/controller_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

#include "link/protocol.h"

namespace veldoran::sim {
namespace {

namespace status = protocol::status_line;
namespace ack = protocol::upload_ack;
namespace record = protocol::event_record;
namespace card_read = protocol::card_read_line;
using protocol::HexByteValue;
using protocol::HexClockValue;
using protocol::HexWordValue;

class ModelTest : public ::testing::Test {
 protected:
  std::int64_t now_ms_ = 1'000'000;
  ControllerModel model_{[this] { return now_ms_; }, 42};

  std::string Send(std::string_view bytes) { return model_.Receive(bytes); }

  // Stores `code` in `slot` over the line, as the tool's upload does.
  void Upload(int slot, std::string_view code) {
    ASSERT_EQ(Send(protocol::WriteCardSlotLine(slot, code)).size(), kAckLength);
  }
};

// The dispatcher's reading of a status line: the fields at their positions.
struct Status {
  int number, events, cards;
  std::int32_t clock;
};
Status Decode(std::string_view line) {
  return {HexByteValue(status::kControllerNumber.In(line)),
          HexWordValue(status::kEventCount.In(line)), HexWordValue(status::kUninterpreted.In(line)),
          HexClockValue(status::kClock.In(line))};
}

TEST_F(ModelTest, StatusLineCarriesNumberEventsCardsAndClock) {
  model_.SetNumber(10);
  model_.SetClock(0x5E0BC4E0);
  Upload(0, "1234ABCD");
  Upload(7, "00000001");
  model_.PresentSlot(7);

  const std::string reply = Send("0\r");
  ASSERT_EQ(reply.size(), kStatusLineLength);
  EXPECT_EQ(reply.front(), status::kLead);
  EXPECT_GE(reply.size(), status::kLength);
  EXPECT_EQ(reply, "S: 0A 0001, 0002, 5E0BC4E0;\r\n");  // the documented layout
  const Status s = Decode(reply);
  EXPECT_EQ(s.number, 10);
  EXPECT_EQ(s.events, 1);
  EXPECT_EQ(s.cards, 2);
  EXPECT_EQ(s.clock, 0x5E0BC4E0);
}

TEST_F(ModelTest, ClockRunsFromTheValueLastSet) {
  EXPECT_EQ(Send(protocol::SetClockLine(1577829600)), "");  // no answer to the set-clock line
  EXPECT_EQ(Decode(Send("0\r")).clock, 1577829600);
  now_ms_ += 999;
  EXPECT_EQ(model_.ClockNow(), 1577829600);
  now_ms_ += 1;
  EXPECT_EQ(model_.ClockNow(), 1577829601);
  now_ms_ += 3600'000;
  EXPECT_EQ(Decode(Send("0\r")).clock, 1577829600 + 3601);

  // A value before 1970 goes out as its two's complement and reads back negative.
  Send(protocol::SetClockLine(-7200));
  EXPECT_EQ(status::kClock.In(Send("0\r")), "FFFFE3E0");
  EXPECT_EQ(Decode(Send("0\r")).clock, -7200);
  // Lowercase digits set the same value.
  Send("45e0bc4e0\r");
  EXPECT_EQ(model_.ClockNow(), 0x5E0BC4E0);
  // The 32-bit counter wraps.
  Send("47FFFFFFF\r");
  now_ms_ += 2000;
  EXPECT_EQ(model_.ClockNow(), INT32_MIN + 1);
}

TEST_F(ModelTest, CardLineStoresTheCodeAndEchoesIt) {
  const std::string reply = Send(protocol::WriteCardSlotLine(99, "1234ABCD"));
  ASSERT_EQ(reply.size(), ack::kLength);
  EXPECT_EQ(reply.substr(0, 2), ack::kLead);
  EXPECT_EQ(ack::kCardCode.In(reply), "1234ABCD");
  EXPECT_EQ(reply, "ZU: 63, 1234ABCD;\r\n");
  EXPECT_EQ(model_.Cards()[99], "1234ABCD");

  // Any 8 bytes are stored and echoed as they came, case and 8-bit letters included.
  const std::string odd = "ab c\xB9\xEA;Z";
  EXPECT_EQ(ack::kCardCode.In(Send(protocol::WriteCardSlotLine(10, odd))), odd);
  EXPECT_EQ(model_.Cards()[10], odd);

  // The empty-slot code empties the slot and is echoed.
  EXPECT_EQ(ack::kCardCode.In(Send(protocol::WriteCardSlotLine(99, "FFFFFFFF"))), "FFFFFFFF");
  EXPECT_EQ(model_.Cards()[99], "");
  EXPECT_EQ(model_.StoredCards(), 1);
}

TEST_F(ModelTest, HundredUploadLinesGiveHundredBackToBackAcknowledgements) {
  std::string lines, expected;
  for (int slot = 0; slot < kCardSlotCount; ++slot) {
    const std::string code = slot % 3 ? "FFFFFFFF" : protocol::Hex(0xC0DE0000u + slot, 8);
    lines += protocol::WriteCardSlotLine(slot, code);
    expected += code;
  }
  const std::string replies = Send(lines);
  ASSERT_EQ(replies.size(), 100 * ack::kLength);
  for (int i = 0; i < kCardSlotCount; ++i) {
    const std::string_view one = std::string_view(replies).substr(i * ack::kLength, ack::kLength);
    EXPECT_EQ(one.substr(0, 2), ack::kLead);
    EXPECT_EQ(ack::kCardCode.In(one), expected.substr(i * 8, 8)) << i;
  }
  EXPECT_EQ(model_.StoredCards(), 34);
  EXPECT_EQ(model_.Cards()[3], "C0DE0003");
}

TEST_F(ModelTest, OutOfRangeOrMalformedCardLinesAreNotAnswered) {
  for (const std::string_view line : {"2641234ABCD\r", "2FF1234ABCD\r", "2G01234ABCD\r",
                                      "2001234ABC\r", "2001234ABCDE\r", "200\r"}) {
    const auto exchanges = model_.Feed(line);
    ASSERT_EQ(exchanges.size(), 1u) << line;
    EXPECT_EQ(exchanges[0].kind, LineKind::kIgnored) << line;
    EXPECT_EQ(exchanges[0].reply, "") << line;
    EXPECT_FALSE(exchanges[0].note.empty());
  }
  EXPECT_EQ(model_.StoredCards(), 0);
}

// Takes records off the front as the tool's dispatcher does: the next one only when its "Z"
// stands right after the previous one.
std::vector<std::string> SplitRecords(std::string_view bytes) {
  std::vector<std::string> records;
  while (bytes.size() >= record::kLength && bytes[0] == record::kLead &&
         bytes[1] != record::kNotSecond) {
    records.emplace_back(bytes.substr(0, record::kLength));
    bytes.remove_prefix(record::kLength);
  }
  EXPECT_TRUE(bytes.empty()) << "left over: " << bytes.substr(0, 40);
  return records;
}

TEST_F(ModelTest, ReadGivesOneRecordPerSlotInSlotOrder) {
  model_.SetNumber(3);
  model_.SetClock(0x5E0BC4E0);
  Upload(5, "CAFE0005");
  Upload(9, "CAFE0009");
  model_.PresentCode("CAFE0009");
  now_ms_ += 61'000;
  model_.PresentSlot(5);

  const std::string reply = Send("5\r");
  ASSERT_EQ(reply.size(), 1000 * kEventRecordLength);
  const auto records = SplitRecords(reply);
  ASSERT_EQ(records.size(), 1000u);
  for (int slot = 0; slot < 1000; ++slot) {
    const std::string& r = records[slot];
    EXPECT_EQ(HexWordValue(record::kEventSlot.In(r)), slot);
    EXPECT_EQ(HexByteValue(record::kControllerNumber.In(r)), 3);
  }
  EXPECT_EQ(HexByteValue(record::kUserSlot.In(records[0])), 9);
  EXPECT_EQ(HexClockValue(record::kClock.In(records[0])), 0x5E0BC4E0);
  EXPECT_EQ(HexByteValue(record::kUserSlot.In(records[1])), 5);
  EXPECT_EQ(HexClockValue(record::kClock.In(records[1])), 0x5E0BC4E0 + 61);
  EXPECT_EQ(records[1], "Z:03 0001 05 5E0BC51D");
  // Empty slots: card slot FF, clock zero.
  EXPECT_EQ(records[2], "Z:03 0002 FF 00000000");
  EXPECT_EQ(records[999], "Z:03 03E7 FF 00000000");
  EXPECT_EQ(HexWordValue(record::kEventSlot.In(records[999])), protocol::kLastEventSlot);
}

TEST_F(ModelTest, ClearEmptiesTheMemoryAndAnswersWithStatus) {
  model_.AddRandomEvents(12);
  ASSERT_EQ(Decode(Send("0\r")).events, 12);
  const std::string reply = Send(protocol::ClearEventsLine());
  ASSERT_EQ(reply.size(), kStatusLineLength);
  EXPECT_EQ(Decode(reply).events, 0);
  EXPECT_TRUE(model_.Events().empty());
  EXPECT_EQ(SplitRecords(Send("5\r"))[0], "Z:01 0000 FF 00000000");
}

TEST_F(ModelTest, NumberChangeAnswersWithTheNumberHeld) {
  EXPECT_EQ(Decode(Send(protocol::SetControllerNumberLine(10))).number, 10);
  EXPECT_EQ(model_.Number(), 10);
  EXPECT_EQ(Decode(Send("702\r")).number, 2);
  EXPECT_EQ(Decode(Send("70a\r")).number, 10);
  // Out of range: refused, the answer shows the number kept.
  for (const std::string_view line : {"700\r", "70B\r", "7FF\r"}) {
    const auto exchanges = model_.Feed(line);
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].kind, LineKind::kSetNumber);
    EXPECT_EQ(Decode(exchanges[0].reply).number, 10) << line;
  }
  // Malformed: no answer.
  EXPECT_EQ(Send("7A\r"), "");
  EXPECT_EQ(Send("70G\r"), "");
  EXPECT_EQ(Send("7010\r"), "");
  EXPECT_EQ(model_.Number(), 10);
  EXPECT_THROW(model_.SetNumber(0), std::invalid_argument);
  EXPECT_THROW(model_.SetNumber(11), std::invalid_argument);
}

TEST_F(ModelTest, StoredCardRecordsAnEventUnknownCardOnlyReports) {
  model_.SetNumber(4);
  model_.SetClock(1000);
  Upload(12, "AAAA0012");

  const CardRead known = model_.PresentCode("AAAA0012");
  ASSERT_EQ(known.line.size(), kCardReadLineLength);
  EXPECT_EQ(known.line.front(), card_read::kLead);
  EXPECT_EQ(card_read::kCardCode.In(known.line), "AAAA0012");
  EXPECT_EQ(known.line, "W: 04, AAAA0012;\r\n");
  EXPECT_EQ(known.card_slot, 12);
  EXPECT_EQ(known.event_slot, 0);
  ASSERT_EQ(model_.Events().size(), 1u);
  EXPECT_EQ(model_.Events()[0], (Event{12, 1000}));

  const CardRead unknown = model_.PresentCode("BBBB0000");
  EXPECT_EQ(card_read::kCardCode.In(unknown.line), "BBBB0000");
  EXPECT_FALSE(unknown.card_slot);
  EXPECT_FALSE(unknown.event_slot);
  // Codes compare exactly: the same letters in another case are another card.
  EXPECT_FALSE(model_.PresentCode("aaaa0012").event_slot);
  // The empty-slot code never matches a slot.
  EXPECT_FALSE(model_.PresentCode("FFFFFFFF").event_slot);
  EXPECT_EQ(model_.Events().size(), 1u);

  // A card emptied by an upload no longer opens the locker.
  Upload(12, "FFFFFFFF");
  EXPECT_FALSE(model_.PresentCode("AAAA0012").event_slot);
  EXPECT_THROW(model_.PresentSlot(12), std::invalid_argument);
  EXPECT_THROW(model_.PresentSlot(100), std::invalid_argument);
  EXPECT_THROW(model_.PresentCode("1234567"), std::invalid_argument);
  EXPECT_THROW(model_.PresentCode("1234\r678"), std::invalid_argument);
}

TEST_F(ModelTest, MemoryHoldsThousandEventsNewestPushOutOldest) {
  Upload(1, "00000001");
  Upload(2, "00000002");
  model_.AddRandomEvents(1000);
  ASSERT_EQ(model_.Events().size(), 1000u);
  EXPECT_EQ(Decode(Send("0\r")).events, 1000);
  const Event second = model_.Events()[1];
  now_ms_ += 5000;
  const CardRead read = model_.PresentSlot(2);
  EXPECT_EQ(read.event_slot, 999);
  ASSERT_EQ(model_.Events().size(), 1000u);
  EXPECT_EQ(model_.Events()[0], second);
  EXPECT_EQ(model_.Events()[999], (Event{2, model_.ClockNow()}));
  const auto records = SplitRecords(Send("5\r"));
  EXPECT_EQ(HexByteValue(record::kUserSlot.In(records[999])), 2);
  // Added in bulk, too, the newest push out as many of the oldest.
  const std::vector<Event> before = model_.Events();
  model_.AddRandomEvents(400);
  ASSERT_EQ(model_.Events().size(), 1000u);
  EXPECT_TRUE(std::equal(before.begin() + 400, before.end(), model_.Events().begin()));
  EXPECT_GE(model_.Events()[600].clock, before.back().clock);
  EXPECT_THROW(model_.AddRandomEvents(1001), std::invalid_argument);
  EXPECT_THROW(model_.AddRandomEvents(-1), std::invalid_argument);
}

TEST_F(ModelTest, RandomEventsAreOfStoredCardsInTimeOrderAndRepeatable) {
  model_.SetClock(0x60000000);
  Upload(4, "00000004");
  Upload(40, "00000040");
  model_.AddRandomEvents(300);
  now_ms_ += 10'000;
  model_.AddRandomEvents(300);
  ASSERT_EQ(model_.Events().size(), 600u);
  for (std::size_t i = 0; i < model_.Events().size(); ++i) {
    const Event& e = model_.Events()[i];
    EXPECT_TRUE(e.card_slot == 4 || e.card_slot == 40) << i;
    EXPECT_LE(e.clock, model_.ClockNow());
    EXPECT_GE(e.clock, 0x60000000 - 7 * 24 * 3600);
    if (i > 0) {
      EXPECT_LE(model_.Events()[i - 1].clock, e.clock) << i;
    }
  }
  // The same seed gives the same events.
  std::int64_t t = now_ms_;
  ControllerModel again([&] { return t; }, 42);
  again.SetClock(model_.ClockNow());
  ControllerModel same([&] { return t; }, 42);
  same.SetClock(model_.ClockNow());
  again.AddRandomEvents(50);
  same.AddRandomEvents(50);
  EXPECT_EQ(again.Events(), same.Events());
}

TEST_F(ModelTest, LinesArriveInAnyPieces) {
  EXPECT_EQ(Send("0"), "");
  EXPECT_EQ(Decode(Send("\r")).number, 1);
  // Byte by byte, with a stray line feed in the middle.
  std::string replies;
  for (const char c : std::string("70\n7\r")) replies += Send(std::string(1, c));
  EXPECT_EQ(Decode(replies).number, 7);
  // Several lines in one piece: one exchange each, replies in order.
  const auto exchanges = model_.Feed("0\r2051234ABCD\r45E0BC4E0\r\r\r3\r");
  ASSERT_EQ(exchanges.size(), 4u);  // empty lines give nothing
  EXPECT_EQ(exchanges[0].kind, LineKind::kStatusQuery);
  EXPECT_EQ(exchanges[1].kind, LineKind::kWriteCardSlot);
  EXPECT_EQ(exchanges[2].kind, LineKind::kSetClock);
  EXPECT_EQ(exchanges[2].reply, "");
  EXPECT_EQ(exchanges[3].kind, LineKind::kClearEvents);
  EXPECT_EQ(exchanges[1].line, "2051234ABCD");
}

TEST_F(ModelTest, JunkIsIgnoredAndReported) {
  using namespace std::string_view_literals;
  for (const std::string_view line :
       {"9\r"sv, "S\r"sv, "00\r"sv, "0 \r"sv, " 0\r"sv, "5x\r"sv, "4\r"sv, "41234567\r"sv,
        "4GGGGGGGG\r"sv, "30\r"sv, "0\0\r"sv}) {
    const auto exchanges = model_.Feed(line);
    ASSERT_EQ(exchanges.size(), 1u) << line;
    EXPECT_EQ(exchanges[0].kind, LineKind::kIgnored) << line;
    EXPECT_EQ(exchanges[0].reply, "") << line;
    EXPECT_FALSE(exchanges[0].note.empty());
  }
  EXPECT_EQ(model_.ClockNow(), 0);  // no malformed set-clock line took effect
}

TEST_F(ModelTest, OverlongLineIsIgnoredAndTheNextOneAnswered) {
  const std::string junk(100000, '0');
  const auto exchanges = model_.Feed(junk + "\r0\r");
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].kind, LineKind::kIgnored);
  EXPECT_EQ(exchanges[0].line.size(), kMaxLineLength);
  EXPECT_NE(exchanges[0].note.find("100000"), std::string::npos);
  EXPECT_EQ(exchanges[1].kind, LineKind::kStatusQuery);
}

TEST_F(ModelTest, PartialLineIsDroppedAfterAPause) {
  // Noise right before a command spoils it...
  EXPECT_EQ(Send("x"), "");
  EXPECT_EQ(Send("0\r"), "");
  // ...but noise followed by a pause does not.
  EXPECT_EQ(Send("\x13\xFE"), "");
  now_ms_ += kLineTimeoutMs;
  const auto exchanges = model_.Feed("0\r");
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].kind, LineKind::kIgnored);
  EXPECT_EQ(exchanges[0].line, "\x13\xFE");
  EXPECT_EQ(exchanges[1].kind, LineKind::kStatusQuery);
  // Bytes that keep coming less than the time-out apart stay one line.
  Send("7");
  now_ms_ += kLineTimeoutMs - 1;
  Send("0");
  now_ms_ += kLineTimeoutMs - 1;
  EXPECT_EQ(Decode(Send("5\r")).number, 5);
}

TEST_F(ModelTest, RandomBytesNeverStopItAnswering) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 40), pick(0, 9);
  const std::string interesting = "0234570\r\n\rZSWU";
  for (int round = 0; round < 3000; ++round) {
    std::string piece(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : piece) {
      // Mostly protocol characters, so that commands really happen among the junk.
      c = pick(random) < 6 ? interesting[byte(random) % interesting.size()]
                           : static_cast<char>(byte(random));
    }
    for (const Exchange& e : model_.Feed(piece)) {
      EXPECT_LE(e.line.size(), kMaxLineLength);
      if (e.kind == LineKind::kIgnored) {
        EXPECT_EQ(e.reply, "");
      }
    }
    now_ms_ += pick(random) * 20;
  }
  EXPECT_LE(model_.Events().size(), 1000u);
  EXPECT_GE(model_.Number(), kMinNumber);
  EXPECT_LE(model_.Number(), kMaxNumber);
  now_ms_ += 1000;
  const std::string reply = Send("0\r");
  ASSERT_EQ(reply.size(), kStatusLineLength);
  EXPECT_EQ(reply.front(), 'S');
  EXPECT_EQ(reply.substr(27), "\r\n");
}

}  // namespace
}  // namespace veldoran::sim
