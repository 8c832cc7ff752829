#include "platform/local_time.h"

namespace veldoran::platform {

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  ::localtime_s(&local, &moment);
  return local;
}

}  // namespace veldoran::platform
