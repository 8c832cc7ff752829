#include "tools/cli/interrupt.h"

#include <thread>

#include "serial/main_thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace veldoran::cli {

#ifdef _WIN32

namespace {
std::atomic<bool>* g_requested = nullptr;
std::shared_ptr<serial::SyncQueue>* g_queue = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (g_requested) g_requested->store(true);
  if (g_queue) (*g_queue)->Post([] {});
  return TRUE;
}
}  // namespace

struct Interrupt::Waiter {
  std::shared_ptr<serial::SyncQueue> queue;
};

Interrupt::Interrupt(std::shared_ptr<serial::SyncQueue> queue)
    : waiter_(std::make_unique<Waiter>(Waiter{std::move(queue)})) {
  g_requested = &requested_;
  g_queue = &waiter_->queue;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

Interrupt::~Interrupt() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_requested = nullptr;
  g_queue = nullptr;
}

#else

struct Interrupt::Waiter {
  sigset_t signals{};
  std::thread thread;
};

Interrupt::Interrupt(std::shared_ptr<serial::SyncQueue> queue)
    : waiter_(std::make_unique<Waiter>()) {
  sigemptyset(&waiter_->signals);
  sigaddset(&waiter_->signals, SIGINT);
  sigaddset(&waiter_->signals, SIGTERM);
  // SIGUSR1 only ends the waiting thread at shutdown.
  sigaddset(&waiter_->signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &waiter_->signals, nullptr);
  waiter_->thread = std::thread([this, queue = std::move(queue)] {
    while (true) {
      int signal = 0;
      if (sigwait(&waiter_->signals, &signal) != 0) continue;
      if (signal == SIGUSR1) return;
      requested_.store(true);
      queue->Post([] {});  // wakes the main thread's wait; refused once the loop is gone
    }
  });
}

Interrupt::~Interrupt() {
  pthread_kill(waiter_->thread.native_handle(), SIGUSR1);
  waiter_->thread.join();
}

#endif

}  // namespace veldoran::cli
