#include "records/slot_codes.h"

#include "link/protocol.h"

namespace veldoran::records {

namespace {
constexpr int kCardCodeLength = 8;

bool IsHexDigit(QChar c) {
  return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
         (c >= QLatin1Char('A') && c <= QLatin1Char('F')) ||
         (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
}
}  // namespace

bool MayOpen(const QString& permissions, int locker) {
  return locker >= 1 && locker <= permissions.size() && permissions[locker - 1] == QLatin1Char('1');
}

bool IsUploadableCardCode(const QString& code) {
  if (code.size() != kCardCodeLength) return false;
  for (const QChar c : code) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

std::string SlotCodeFor(const Tuser& user, int controller_number) {
  if (!IsUploadableCardCode(user.CardCode) || !MayOpen(user.Permissions, controller_number)) {
    return std::string(protocol::kEmptySlotCode);
  }
  // Eight hexadecimal digits: plain ASCII.
  return user.CardCode.toStdString();
}

SlotCodeList SlotCodes(const UserTable& users, int controller_number) {
  SlotCodeList codes;
  for (int slot = 0; slot < kUserCount; ++slot) {
    codes[static_cast<std::size_t>(slot)] =
        SlotCodeFor(users[static_cast<std::size_t>(slot + 1)], controller_number);
  }
  return codes;
}

}  // namespace veldoran::records
