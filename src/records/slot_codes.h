// What an upload writes to each of a controller's 100 card slots, computed from the users table
// alone, so that the window's upload, the command-line upload and the site records agree.
#pragma once

#include <QString>
#include <array>
#include <string>

#include "link/user_table.h"

namespace veldoran::records {

// Whether character `locker` (counted from 1) of a permission string is "1".
bool MayOpen(const QString& permissions, int locker);

// Whether a card code can reach a controller: exactly 8 hexadecimal digits, in either case.
// Anything else is never sent (its slot is written empty).
bool IsUploadableCardCode(const QString& code);

// The code written to the slot of `user` on controller `controller_number`: the user's code as
// it stands when it is uploadable and the user may open that locker, else the empty slot
// "FFFFFFFF".
std::string SlotCodeFor(const Tuser& user, int controller_number);

// The 100 codes an upload writes to controller `controller_number`, card slot 0 first.
using SlotCodeList = std::array<std::string, kUserCount>;
SlotCodeList SlotCodes(const UserTable& users, int controller_number);

}  // namespace veldoran::records
