#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace veldoran::testing {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

std::string ReadAvailable(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// "5E0BC4E0 2020-01-01 02:00:00": the hexadecimal value leads.
std::optional<std::int32_t> ParseClock(const std::string& text) {
  if (text.size() < 8) return std::nullopt;
  try {
    return static_cast<std::int32_t>(std::stoul(text.substr(0, 8), nullptr, 16));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

PrivateConfigHome::PrivateConfigHome() {
  std::string pattern = (fs::temp_directory_path() / "veldoran-e2e-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  path_ = pattern;
  if (const char* old = std::getenv("XDG_CONFIG_HOME")) previous_ = old;
  ::setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
}

PrivateConfigHome::~PrivateConfigHome() {
  if (previous_) {
    ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path PrivateConfigHome::PortLink(int number) const {
  return path_ / "veldoran" / "ports" / ("COM" + std::to_string(number));
}

SimProcess::SimProcess(const std::vector<std::string>& args, const fs::path& log) : log_(log) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<std::string> all = {VELDORAN_SIM_PROGRAM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
  // A command written after the simulator died must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  if (pid_ < 0) return;

  static const std::regex pattern(R"(veldoran-sim: COM([0-9]+) -> (/dev/\S+))");
  const auto line = ReadLine();
  std::smatch m;
  if (line && std::regex_match(*line, m, pattern)) {
    port_ = std::stoi(m[1]);
    device_ = m[2];
  }
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    // Asked to stop, it removes its port link; killed at the deadline, it leaves the link in
    // the private folder that goes anyway.
    ::kill(pid_, SIGTERM);
    const auto end = SteadyClock::now() + kDeadline;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (SteadyClock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      ::usleep(2000);
    }
  }
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
}

std::optional<std::string> SimProcess::ReadLine() {
  if (out_ < 0) return std::nullopt;
  const auto end = SteadyClock::now() + kDeadline;
  for (;;) {
    if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const std::string more = ReadAvailable(out_);
    if (more.empty() && (p.revents & POLLHUP)) return std::nullopt;
    pending_ += more;
  }
}

void SimProcess::Send(std::string_view command) {
  if (in_ >= 0) WriteAll(in_, std::string(command) + "\n");
}

std::optional<std::string> SimProcess::TryReadLine() {
  if (out_ >= 0) pending_ += ReadAvailable(out_);
  const auto nl = pending_.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  std::string line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  return line;
}

std::optional<std::string> SimProcess::Command(std::string_view command) {
  if (in_ < 0) return std::nullopt;
  WriteAll(in_, std::string(command) + "\n");
  return ReadLine();
}

std::optional<SimDump> SimProcess::Dump() {
  auto line = Command("dump");
  SimDump dump;
  bool have_number = false;
  for (; line && *line != "end"; line = ReadLine()) {
    std::istringstream words(*line);
    std::string key;
    words >> key;
    std::string rest;
    std::getline(words >> std::ws, rest);
    if (key == "number") {
      dump.number = std::stoi(rest);
      have_number = true;
    } else if (key == "clock") {
      const auto clock = ParseClock(rest);
      if (!clock) return std::nullopt;
      dump.clock = *clock;
    } else if (key == "port") {
      dump.plugged = rest.ends_with(" plugged");
    } else if (key == "answering") {
      dump.answering = rest == "yes";
    } else if (key == "cards") {
      dump.stored_cards = std::stoi(rest);
    } else if (key == "card") {
      std::istringstream fields(rest);
      int slot = -1;
      std::string code;
      fields >> slot >> code;
      dump.cards[slot] = code;
    } else if (key == "event") {
      std::istringstream fields(rest);
      std::size_t index = 0;
      SimDump::Event event;
      std::string clock_text;
      fields >> index >> event.card_slot >> clock_text;
      const auto clock = ParseClock(clock_text);
      if (index != dump.events.size() || !clock) return std::nullopt;
      event.clock = *clock;
      dump.events.push_back(event);
    }
  }
  if (!line || !have_number) return std::nullopt;
  return dump;
}

std::string SimProcess::LogText() const {
  std::ifstream in(log_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ClockDateText(std::int32_t clock) {
  using namespace std::chrono;
  const sys_seconds wall{seconds{std::int64_t{clock} + 7200}};
  const year_month_day date{floor<days>(wall)};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

std::string ClockTimeText(std::int32_t clock) {
  using namespace std::chrono;
  const sys_seconds wall{seconds{std::int64_t{clock} + 7200}};
  const hh_mm_ss time{wall - floor<days>(wall)};
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace veldoran::testing
