#include "platform/local_time.h"

namespace veldoran::platform {

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  ::localtime_r(&moment, &local);
  return local;
}

}  // namespace veldoran::platform
