#include "tools/cli/reply_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/protocol.h"

namespace veldoran::cli {
namespace {

const std::string kStatus = "S: 0A 03E7, 0017, 5E0BC4E0;\r\n";  // 29 bytes, as the controller
const std::string kRecord = "Z:01 03E7 05 5E0BC4E0";
const std::string kAck = "ZU: 05, 1234ABCD;\r\n";
const std::string kCard = "W: 01, 1234ABCD;\r\n";

std::string Kinds(const std::vector<Reply>& replies) {
  std::string out;
  for (const Reply& r : replies) out += "SWAE"[r.kind];
  return out;
}

// Deliveries cut anywhere give the same replies, in order; noise in front is dropped.
TEST(ReplyReader, RepliesComeOutWholeHoweverTheBytesArrive) {
  const std::string stream = "\x01noise" + kStatus + kRecord + kRecord + kAck + "\r\n" + kCard;
  for (std::size_t piece : {1u, 2u, 7u, 20u, 64u, 1000u}) {
    ReplyReader reader;
    std::vector<Reply> all;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      for (Reply& r : reader.Feed(std::string_view(stream).substr(at, piece))) all.push_back(r);
    }
    EXPECT_EQ(Kinds(all), "SEEAW") << "pieces of " << piece;
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[1].bytes, kRecord);
    EXPECT_EQ(all[3].bytes, kAck.substr(0, 19));
    EXPECT_EQ(reader.Pending(), 0u);
  }
}

TEST(ReplyReader, AnIncompleteReplyWaitsForTheRest) {
  ReplyReader reader;
  EXPECT_TRUE(reader.Feed("Z").empty());  // an acknowledgement or a record: not yet known
  EXPECT_TRUE(reader.Feed(kRecord.substr(1, 10)).empty());
  EXPECT_EQ(Kinds(reader.Feed(kRecord.substr(11))), "E");
}

// Numeric fields that are not hexadecimal digits are named, and read as the window reads them.
TEST(ReplyReader, GarbledNumericFieldsAreNamed) {
  const struct {
    std::string reply;
    std::string garbled;
    int controller;
  } statuses[] = {
      {kStatus, "", 10},
      {"S: 0a 03e7, 0017, 5e0bc4e0;", "", 10},  // lowercase is fine
      {"S: 0G 03E7, 0017, 5E0BC4E0;", "controller_number", 0},
      {"S: 01 03 7, 0017, 5E0BC4E0;", "event_count", 1},
      {"S: 01 03E7, 0017, 5E0BC4EZ;", "clock", 1},
  };
  for (const auto& c : statuses) {
    const protocol::StatusReply s = protocol::DecodeStatusLine(c.reply);
    EXPECT_EQ(s.garbled, c.garbled) << c.reply;
    EXPECT_EQ(s.controller_number, c.controller) << c.reply;
  }
  const protocol::EventRecordReply good = protocol::DecodeEventRecord(kRecord);
  EXPECT_EQ(good.garbled, "");
  EXPECT_EQ(good.event_slot, 999);
  EXPECT_EQ(good.user_slot, 5);
  EXPECT_EQ(good.clock, 0x5E0BC4E0);
  EXPECT_EQ(protocol::DecodeEventRecord("Z:01 03E7 X5 5E0BC4E0").garbled, "user_slot");
  EXPECT_EQ(protocol::DecodeEventRecord("Z:01 0-E7 05 5E0BC4E0").garbled, "event_slot");
}

}  // namespace
}  // namespace veldoran::cli
