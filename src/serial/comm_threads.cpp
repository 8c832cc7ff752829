#include "serial/comm_threads.h"

#include <chrono>
#include <thread>

#include "serial/spcomm.h"

namespace veldoran::serial::detail {

namespace {

std::atomic<int> running_threads{0};

using win::DWORD;

// Hands a message to the component, if the session is still the component's open port.
void Deliver(const std::shared_ptr<CommSession>& session, const TMessage& message) {
  std::lock_guard lock(*session->link_mutex);
  TspCustomComm* component = session->component;
  if (!component || !session->active) return;
  component->HandleThreadMessage(message);
}

void MessageThreadBody(std::shared_ptr<CommSession> session) {
  while (true) {
    TMessage message;
    {
      std::unique_lock lock(session->queue_mutex);
      session->queue_changed.wait(
          lock, [&] { return !session->queue.empty() || session->message_terminate; });
      if (session->message_terminate) break;
      message = session->queue.front();
      session->queue.pop_front();
    }
    if (message.Msg == spCommMsgQuitComEvent || !session->active) break;
    if (session->use_main_thread) {
      // The main thread may be gone or going: then nothing runs and the thread ends.
      if (!session->main->RunAndWait([session, message] { Deliver(session, message); })) break;
    } else {
      Deliver(session, message);
    }
  }
  session.reset();
  --running_threads;
}

// How long a thread that ends waits for its cancelled event wait to end.
constexpr DWORD kWaitGraceMs = 2000;

// Makes sure the driver is done with the wait's control block before the thread lets go of it.
// A wait that does not end within the grace time (Wine may keep the wait of a closed handle
// pending for good) keeps its session, and with it the block, alive for the rest of the run:
// the thread ends, and the driver never writes into freed memory.
void FinishWait(const std::shared_ptr<CommSession>& session) {
  win::SerialApi& api = *session->api;
  DWORD transferred = 0;
  const auto still_pending = [&] {
    return !api.GetOverlappedResult(session->handle, &session->wait_overlapped, &transferred,
                                    win::FALSE) &&
           api.GetLastError() == win::ERROR_IO_INCOMPLETE;
  };
  if (!still_pending()) return;
  api.CancelIo(session->handle);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitGraceMs);
  while (still_pending()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      new std::shared_ptr<CommSession>(session);  // deliberately never freed
      return;
    }
    api.WaitForSingleObject(session->wait_event, static_cast<DWORD>(left.count()));
  }
}

// After a wait that ended in an error. A change of the event mask ends a pending wait that way
// on some systems, but so does the driver of an adapter that was pulled out, which then goes on
// taking new waits only to end them the same way. A port that no longer answers a plain query
// is gone: the component is told (a closed handle just ends the thread).
bool PortAnswers(CommSession& session) {
  if (session.event_terminate || !session.active) return true;
  win::COMMTIMEOUTS timeouts{};
  if (session.api->GetCommTimeouts(session.handle, &timeouts)) return true;
  if (session.api->GetLastError() != win::ERROR_INVALID_HANDLE) {
    session.Post({kMsgPortBroken, 0, 0});
  }
  return false;
}

void EventThreadBody(std::shared_ptr<CommSession> session) {
  win::SerialApi& api = *session->api;
  win::OVERLAPPED& overlapped = session->wait_overlapped;
  overlapped.hEvent = session->wait_event;
  DWORD& word = session->wait_word;
  bool pending = false;
  int empty_waits = 0;

  while (!session->event_terminate && session->active) {
    win::ResetOverlapped(overlapped);
    word = 0;
    if (!api.WaitCommEvent(session->handle, &word, &overlapped)) {
      const DWORD error = api.GetLastError();
      if (error == win::ERROR_IO_PENDING) {
        pending = true;
        bool stop = false;
        bool failed = false;
        while (true) {
          const DWORD waited = api.WaitForSingleObject(overlapped.hEvent, win::INFINITE);
          if (session->event_terminate || waited != win::WAIT_OBJECT_0) {
            stop = true;
            break;
          }
          DWORD transferred = 0;
          // Done (successfully or not: the event word is what the driver left in it), or
          // woken without completion; then wait on.
          if (api.GetOverlappedResult(session->handle, &overlapped, &transferred, win::FALSE)) {
            break;
          }
          if (api.GetLastError() != win::ERROR_IO_INCOMPLETE) {
            failed = true;
            break;
          }
        }
        if (stop) break;
        pending = false;
        if (failed && !PortAnswers(*session)) break;
      } else if (error == win::ERROR_INVALID_PARAMETER && word == 0) {
        // No mask set for the moment (it is being rewritten): an empty event. Should the mask
        // stay empty, look again only now and then instead of spinning.
        if (++empty_waits > 3) api.WaitForSingleObject(overlapped.hEvent, 10);
        continue;
      } else {
        // A closed handle just ends the thread; anything else means the device is gone.
        if (error != win::ERROR_INVALID_HANDLE) session->Post({kMsgPortBroken, 0, 0});
        break;
      }
    }
    empty_waits = 0;
    if (word != 0 && !session->event_terminate && session->active) {
      session->Post({spCommMsgComEvent, word, 0});
    }
  }
  if (pending) FinishWait(session);
  session.reset();
  --running_threads;
}

}  // namespace

CommSession::CommSession(std::shared_ptr<win::SerialApi> api_in, std::shared_ptr<SyncQueue> main_in,
                         win::HANDLE handle_in, std::shared_ptr<std::recursive_mutex> link_mutex_in,
                         TspCustomComm* component_in, bool use_main_thread_in)
    : api(std::move(api_in)),
      main(std::move(main_in)),
      handle(handle_in),
      link_mutex(std::move(link_mutex_in)),
      component(component_in),
      use_main_thread(use_main_thread_in),
      wait_event(api->CreateEventA(win::FALSE, win::FALSE)) {}

CommSession::~CommSession() {
  if (wait_event) api->CloseHandle(wait_event);
}

void CommSession::Post(TMessage message) {
  {
    std::lock_guard lock(queue_mutex);
    // One message per driver event: each one is handed over on its own (OnAfterSend fires
    // once per drain of the output queue, a processor's TxEmpty relies on it). Only a plain
    // character event is absorbed by one still waiting that reads input too, since that one
    // reads everything queued by the time it is handled; so a burst of input costs one
    // hand-over instead of one each.
    if (message.Msg == spCommMsgComEvent && message.WParam == win::EV_RXCHAR) {
      for (const TMessage& waiting : queue) {
        if (waiting.Msg == spCommMsgComEvent && (waiting.WParam & win::EV_RXCHAR)) return;
      }
    }
    queue.push_back(message);
  }
  queue_changed.notify_one();
}

void CommSession::Stop() {
  component = nullptr;
  active = false;
  event_terminate = true;
  api->PulseEvent(wait_event);
  {
    std::lock_guard lock(queue_mutex);
    message_terminate = true;
    queue.push_back({spCommMsgQuitComEvent, 0, 0});
  }
  queue_changed.notify_one();
}

void StartCommThreads(const std::shared_ptr<CommSession>& session) {
  running_threads += 2;
  try {
    std::thread(MessageThreadBody, session).detach();
  } catch (...) {
    running_threads -= 2;
    throw;
  }
  try {
    std::thread(EventThreadBody, session).detach();
  } catch (...) {
    --running_threads;
    throw;
  }
}

int RunningCommThreads() { return running_threads.load(); }

}  // namespace veldoran::serial::detail
