// The events read from the controller, by event slot.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace veldoran::link {

struct Tevent {
  QString DateText;  // in the system short date format
  QString TimeText;  // in the system long time format
  std::int32_t LockerNumber = 0;
  std::int32_t UserSlot = 0;    // card slot of the user; users-grid row UserSlot + 1
  QString Location;             // the locker's name when the record arrived
  std::int32_t ClockValue = 0;  // the controller's clock value of the event (for the archive)
};

inline constexpr int kEventTableSize = 1001;  // event slots 0 to 1000
using EventTable = std::array<Tevent, kEventTableSize>;

}  // namespace veldoran::link
