#include "tools/cli/controller_link.h"

#include <cerrno>

#include "serial/comm_threads.h"
#include "serial/spcomm.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/interrupt.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/port_map.h"
#endif

namespace veldoran::cli {

namespace {

std::string PortName(std::uint16_t port) { return "COM" + std::to_string(port); }

// The group that owns `device` and may open it, or an empty text.
std::string DeviceGroup(const std::string& device) {
#ifndef _WIN32
  struct stat st {};
  if (device.empty() || ::stat(device.c_str(), &st) != 0) return {};
  struct group grp {};
  struct group* found = nullptr;
  char buffer[4096];
  if (::getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &found) == 0 && found) {
    return found->gr_name;
  }
#else
  (void)device;
#endif
  return {};
}

// Whether this user lacks the rights to read and write `device`.
bool NoPermission(const std::string& device) {
#ifndef _WIN32
  return !device.empty() && ::access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
#else
  (void)device;
  return false;
#endif
}

}  // namespace

OpenFailure DescribeOpenFailure(std::uint16_t port, win::DWORD code, const std::string& system_text,
                                const std::string& device) {
  const std::string name = PortName(port);
  const std::string detail = system_text.empty() ? "" : " (" + system_text + ")";
  OpenFailure failure;
  if (code == win::ERROR_FILE_NOT_FOUND || code == win::ERROR_PATH_NOT_FOUND) {
    failure.kind = OpenFailure::kMissing;
    failure.message = "Port " + name + " nie istnieje: nie ma go w systemie albo adapter " +
                      "jest odłączony. Porty obecne w systemie pokazuje „veldoran-cli ports”." +
                      detail;
  } else if (code == win::ERROR_ACCESS_DENIED && NoPermission(device)) {
    failure.kind = OpenFailure::kNoPermission;
    const std::string group = DeviceGroup(device);
    failure.message = "Brak uprawnień do portu " + name + " (" + device + ")";
    if (!group.empty()) {
      failure.message += ": port jest dostępny dla grupy " + group +
                         ". Dodaj użytkownika do tej grupy (sudo adduser $USER " + group +
                         ") i zaloguj się ponownie.";
    } else {
      failure.message += ".";
    }
  } else if (code == win::ERROR_ACCESS_DENIED) {
    failure.kind = OpenFailure::kBusy;
    failure.message =
        "Port " + name + " jest zajęty: otworzył go inny program (np. okno Veldoran)." + detail;
  } else {
    failure.kind = OpenFailure::kOther;
    failure.message = "Nie można otworzyć portu " + name + "." + detail;
  }
  return failure;
}

ControllerLink::ControllerLink(serial::LoopMainThread& main, const Interrupt& interrupt,
                               std::shared_ptr<win::SerialApi> api)
    : main_(main), interrupt_(interrupt), api_(std::move(api)) {}

ControllerLink::~ControllerLink() {
  for (const auto id : timers_) main_.StopTimer(id);
  closing_ = true;
  comm_.reset();
  // The port's threads end by themselves once released; they are let go before the program
  // ends, so none is still running when the main thread's state goes.
  main_.ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; },
                     std::chrono::seconds(2));
}

void ControllerLink::Open(std::uint16_t port) {
  port_ = port;
  comm_ = std::make_unique<serial::TspComm>(nullptr, main_, api_);
  serial::TspComm& com = *comm_;
  com.SetName("veldoran-cli");
  com.SetBaudRate(57600);
  com.SetParity(serial::pNone);
  com.SetStopBits(serial::sbOne);
  com.SetByteSize(8);
  com.SetComPortNo(port);
  com.SetEventChar('\0');
  com.SetStreamProtocol(serial::spNone);
  com.SetBufferInSize(20000);
  com.SetBufferOutSize(8192);
  com.SetTimeoutRead(0);
  com.SetTimeoutWrite(100);
  com.SetUseMainThread(true);
  com.SetOnAfterReceive([this](serial::TObject*, void* buffer, std::uint32_t received) {
    for (Reply& reply :
         reader_.Feed(std::string_view(static_cast<const char*>(buffer), received))) {
      arrived_.push_back(std::move(reply));
    }
  });
  com.SetOnClose([this](serial::TObject*) {
    if (!closing_) lost_ = true;
  });
  try {
    com.SetActive(true);
  } catch (const serial::ESerialError&) {
    const win::DWORD code = api_->GetLastError();
    std::string device;
#ifndef _WIN32
    if (const auto path = portmap::Resolve(PortName(port))) device = path->string();
#endif
    throw CliError(kExitPort,
                   DescribeOpenFailure(port, code, api_->SysErrorMessage(code), device).message);
  }
}

void ControllerLink::Send(const std::string& line) {
  if (lost_) return;
  comm_->SendString(line);
}

WaitEnd ControllerLink::Await(const std::function<bool(const Reply&)>& take,
                              std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + timeout;
  WaitEnd end = WaitEnd::kTimeout;
  main_.ProcessUntil(
      [&] {
        while (!arrived_.empty()) {
          const Reply reply = std::move(arrived_.front());
          arrived_.pop_front();
          deadline = Clock::now() + timeout;
          if (take(reply)) {
            end = WaitEnd::kDone;
            return true;
          }
        }
        if (interrupt_.Requested()) {
          end = WaitEnd::kInterrupted;
        } else if (lost_) {
          end = WaitEnd::kPortLost;
        } else if (Clock::now() < deadline) {
          return false;
        }
        return true;
      },
      // The deadline moves with every reply; the loop's own limit only stops a wait that
      // somehow never looks at it.
      std::chrono::hours(24 * 365));
  return end;
}

void ControllerLink::Drain(std::chrono::milliseconds timeout) {
  if (lost_ || !comm_ || !comm_->IsOpen()) return;
  main_.ProcessUntil(
      [&] {
        win::DWORD errors = 0;
        win::COMSTAT status{};
        return lost_ || !api_->ClearCommError(comm_->Handle(), &errors, &status) ||
               status.cbOutQue == 0;
      },
      timeout);
}

void ControllerLink::Every(std::chrono::milliseconds interval, std::function<void()> tick) {
  timers_.push_back(main_.StartTimer(interval, std::move(tick)));
}

}  // namespace veldoran::cli
