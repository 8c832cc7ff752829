// The codes an upload writes, from the users table alone.
#include "records/slot_codes.h"

#include <gtest/gtest.h>

namespace veldoran::records {
namespace {

TEST(SlotCodesTest, OnlyEightHexDigitsOfPermittedUsersAreSent) {
  struct Case {
    const char* code;
    const char* permissions;
    int controller;
    const char* sent;
  };
  const Case cases[] = {
      {"0011AABB", "1111111111", 1, "0011AABB"},
      {"0044abcd", "1111111111", 1, "0044abcd"},  // sent as stored
      {"0011AAB", "1111111111", 1, "FFFFFFFF"},   // 7 characters
      {"0011AABBC", "1111111111", 1, "FFFFFFFF"},
      {"ZZ12ZZ12", "1111111111", 1, "FFFFFFFF"},  // 8 characters, not hexadecimal
      {"0011 ABB", "1111111111", 1, "FFFFFFFF"},
      {"0022CCDD", "1101111111", 3, "FFFFFFFF"},  // locker 3 not permitted
      {"0022CCDD", "0000000001", 10, "0022CCDD"},
      {"0022CCDD", "111", 4, "FFFFFFFF"},  // a short permission string permits nothing beyond it
      {"0022CCDD", "1111111111", 0, "FFFFFFFF"},
      {"0022CCDD", "1111111111", 11, "FFFFFFFF"},
  };
  for (const Case& c : cases) {
    Tuser user{"Jan", "Kowalski", QString::fromLatin1(c.code), QString::fromLatin1(c.permissions)};
    EXPECT_EQ(SlotCodeFor(user, c.controller), c.sent) << c.code << " " << c.controller;
  }
}

TEST(SlotCodesTest, TableRowNIsSlotNMinusOne) {
  UserTable users;
  users[0] = {"", "", "DEADBEEF", "1111111111"};  // index 0 is never used
  users[1] = {"", "", "00000001", "1111111111"};
  users[100] = {"", "", "00000100", "1111111111"};
  const SlotCodeList codes = SlotCodes(users, 2);
  EXPECT_EQ(codes[0], "00000001");
  EXPECT_EQ(codes[1], "FFFFFFFF");
  EXPECT_EQ(codes[99], "00000100");
}

}  // namespace
}  // namespace veldoran::records
