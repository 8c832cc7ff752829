// Local time for the Qt-free layers (the Qt ones use QDateTime): the broken-down local time of
// a moment, with the time zone and daylight saving of the system's settings.
#pragma once

#include <ctime>

namespace veldoran::platform {

std::tm LocalTime(std::time_t moment);

}  // namespace veldoran::platform
