// Runs the application's event loop until a condition holds, for tests of real windows.
#pragma once

#include <chrono>
#include <functional>

namespace veldoran::testing {

// Handles events as they come until `done` is true (looked at after each event, and at least
// every 20 ms) or `timeout` passes; true when `done` became true.
bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace veldoran::testing
