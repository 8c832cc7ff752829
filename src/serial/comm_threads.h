// The two worker threads of an open port and the state they share with the component.
//
// An event thread waits for driver events and posts each event word to a message thread; the
// message thread hands it to the component, on the main thread (through its SyncQueue) or on
// itself. Both threads co-own the session, so stopping them never waits: they end on their own
// once they see it stopped, and a delivery that comes too late finds the component gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial_api.h"
#include "serial/main_thread.h"

namespace veldoran::serial {

class TspCustomComm;

// A thread message: what the event thread posts to the message thread.
struct TMessage {
  std::uint32_t Msg = 0;
  win::DWORD WParam = 0;
  std::intptr_t LParam = 0;
};

// One port event (WParam: the event word), and the request to stop.
inline constexpr std::uint32_t spCommMsgComEvent = 0xC3A0;
inline constexpr std::uint32_t spCommMsgQuitComEvent = 0xC3A1;

namespace detail {

// The event wait failed for good (the device is gone): the component shuts the port down.
inline constexpr std::uint32_t kMsgPortBroken = 0xC3A2;

struct CommSession {
  CommSession(std::shared_ptr<win::SerialApi> api, std::shared_ptr<SyncQueue> main,
              win::HANDLE handle, std::shared_ptr<std::recursive_mutex> link_mutex,
              TspCustomComm* component, bool use_main_thread);
  ~CommSession();

  // Posts a message to the message thread.
  void Post(TMessage message);
  // Ends the session; the caller holds *link_mutex. Returns at once.
  void Stop();

  const std::shared_ptr<win::SerialApi> api;
  const std::shared_ptr<SyncQueue> main;
  const win::HANDLE handle;  // the handle of this open
  // The component's lock: held while a message is handed to the component and while the
  // component opens or closes; guards `component`.
  const std::shared_ptr<std::recursive_mutex> link_mutex;
  TspCustomComm* component;  // null once the session is stopped

  std::atomic<bool> active{true};
  std::atomic<bool> use_main_thread;
  std::atomic<bool> event_terminate{false};
  std::atomic<bool> message_terminate{false};

  // The event thread's wait.
  win::HANDLE wait_event;
  win::OVERLAPPED wait_overlapped{};
  win::DWORD wait_word = 0;

  std::mutex queue_mutex;
  std::condition_variable queue_changed;
  std::deque<TMessage> queue;
};

// Starts the message thread, then the event thread.
void StartCommThreads(const std::shared_ptr<CommSession>& session);

// Worker threads of all ports that have not ended yet.
int RunningCommThreads();

}  // namespace detail
}  // namespace veldoran::serial
