#include "tools/sim/simulator.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/day_count.h"
#include "platform/posix/port_map.h"

namespace veldoran::sim {
namespace {

using Clock = ReplyQueue::Clock;

constexpr std::size_t kMaxCommandLength = 1024;
constexpr int kMaxNoise = 4096;

void WriteAll(int fd, std::string_view text) {
  while (fd >= 0 && !text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed or broken output must not stop the controller
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Bytes as a C-like string literal: printable ASCII as it is, the rest escaped.
std::string Escaped(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (u >= 0x20 && u < 0x7F) {
          out += c;
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", u);
          out += hex;
        }
    }
  }
  return out + "\"";
}

std::int32_t PcClockValue() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm t{};
  ::localtime_r(&now.tv_sec, &t);
  const DayCount day =
      EncodeDayCount({t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                      static_cast<int>(now.tv_nsec / 1000000)});
  return static_cast<std::int32_t>(protocol::DateTimeToControllerSeconds(day));
}

std::string ClockText(std::int32_t value) {
  const CalendarTime t = DecodeDayCount(protocol::ControllerSecondsToDateTime(value));
  char text[48];  // "dump" writes a line of these per event: one call builds it
  std::snprintf(text, sizeof text, "%08X %04d-%02d-%02d %02d:%02d:%02d",
                static_cast<unsigned>(static_cast<std::uint32_t>(value)), t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

std::string Timestamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm t{};
  ::localtime_r(&now.tv_sec, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", t.tm_hour, t.tm_min, t.tm_sec,
                now.tv_nsec / 1000000);
  return text;
}

std::optional<int> ParseNumber(std::string_view text, int min, int max) {
  int value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < min ||
      value > max) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    std::size_t end = at;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

std::uint32_t FreshSeed() { return std::random_device{}(); }

}  // namespace

std::string CommandHelp() {
  return "Commands (standard input, one per line):\n"
         "  card SLOT          present the card stored in slot 0..99 at the reader\n"
         "  code CODE          present a card by its 8-character code (an unknown card records\n"
         "                     no event)\n"
         "  store SLOT CODE    store a card code in a slot (CODE FFFFFFFF empties it)\n"
         "  events N           add N random events (1..1000)\n"
         "  clear              clear the event memory\n"
         "  number N           set the controller number 1..10\n"
         "  noise N            send N random bytes now (1..4096)\n"
         "  garble PERCENT     corrupt each reply byte with this probability (0 = off)\n"
         "  drop N             drop the next N replies\n"
         "  delay N MS         delay the next N replies by MS milliseconds\n"
         "  split SIZE GAP     send replies in pieces of SIZE bytes with GAP ms between them\n"
         "  split off          send replies whole again\n"
         "  faults [off]       show the faults in force, or clear them all\n"
         "  mute               stop answering (commands are ignored)\n"
         "  unmute             answer again\n"
         "  hangup             close the pseudo-terminal, as if the adapter were unplugged\n"
         "  plug               come back on a new pseudo-terminal under the same COM name\n"
         "  dump               print the controller number, clock, cards and events\n"
         "  help               this list\n"
         "  quit               stop the simulator\n";
}

Simulator::Simulator(const SimOptions& options, Fds fds)
    : fds_(fds),
      quiet_(options.quiet),
      seed_(options.seed ? *options.seed : FreshSeed()),
      model_(ControllerModel::SteadyMilliseconds, seed_),
      output_(seed_ + 1),
      noise_random_(seed_ + 2),
      port_number_(options.port.value_or(0)) {
  model_.SetClock(PcClockValue());
  model_.SetNumber(options.number);
  for (const auto& [slot, code] : options.cards) model_.SetCard(slot, code);
  model_.AddRandomEvents(options.events);
  Log("seed " + std::to_string(seed_) + ", controller number " + std::to_string(model_.Number()) +
      ", " + std::to_string(model_.StoredCards()) + " cards, " +
      std::to_string(model_.Events().size()) + " events, clock " + ClockText(model_.ClockNow()));
}

Simulator::~Simulator() {
  const std::string target = Plugged() ? Device() : std::string(kUnpluggedDevice);
  pty_.Close();
  if (registered_) portmap::Unregister(port_number_, target);
}

bool Simulator::Start(std::string& error) {
  if (!pty_.Open(error)) return false;
  if (port_number_ > 0) {
    if (!portmap::Register(port_number_, Device(), ::getpid())) {
      error = "cannot register COM" + std::to_string(port_number_) + " in " +
              portmap::Directory().string() +
              ": the name is taken (a link or a real serial port) or the folder is not writable";
      pty_.Close();
      return false;
    }
  } else {
    // As a newly plugged USB adapter: the first free number from COM3 up (COM1 and COM2 are
    // the on-board ports').
    // The link is marked as this process's, so that a survey removes it should we be killed.
    const auto n = portmap::RegisterLowestFree(Device(), portmap::kFirstAssigned, ::getpid());
    if (!n) {
      error = "cannot register a COM port in " + portmap::Directory().string();
      pty_.Close();
      return false;
    }
    port_number_ = *n;
  }
  registered_ = true;
  Print(PortLine());
  Log("listening on COM" + std::to_string(port_number_) + " (" + Device() + ")");
  return true;
}

std::string Simulator::PortLine() const {
  return "veldoran-sim: COM" + std::to_string(port_number_) + " -> " + Device() + "\n";
}

void Simulator::Run() {
  while (!stopping_) Step(std::chrono::hours(1));
}

void Simulator::Step(std::chrono::milliseconds max_wait) {
  auto now = Clock::now();
  auto wait = max_wait;
  if (Plugged() && !write_blocked_) {
    if (const auto wake = output_.NextWake()) {
      const auto until = std::chrono::ceil<std::chrono::milliseconds>(*wake - now);
      wait = std::clamp(until, std::chrono::milliseconds(0), wait);
    }
  }

  pollfd fds[3] = {};
  int count = 0;
  const int line = Plugged() ? count++ : -1;
  if (line >= 0) {
    fds[line] = {pty_.master(), static_cast<short>(POLLIN | (write_blocked_ ? POLLOUT : 0)), 0};
  }
  const int input = fds_.input >= 0 ? count++ : -1;
  if (input >= 0) fds[input] = {fds_.input, POLLIN, 0};
  const int stop = fds_.stop >= 0 ? count++ : -1;
  if (stop >= 0) fds[stop] = {fds_.stop, POLLIN, 0};

  const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait.count()));
  if (ready < 0 && errno != EINTR) {
    Log(std::string("poll failed: ") + std::strerror(errno));
    stopping_ = true;
    return;
  }
  if (ready > 0) {
    if (stop >= 0 && fds[stop].revents) ReadStop();
    if (line >= 0 && fds[line].revents & POLLOUT) write_blocked_ = false;
    if (line >= 0 && fds[line].revents & (POLLIN | POLLHUP | POLLERR)) ReadLine();
    if (input >= 0 && fds[input].revents) ReadInput();
  }
  if (Plugged()) Flush();
}

void Simulator::ReadStop() {
  char signals[16];
  const ssize_t n = ::read(fds_.stop, signals, sizeof signals);
  if (n == 0) fds_.stop = -1;  // nobody can ask any more; keep running
  for (ssize_t i = 0; i < n; ++i) {
    Log(std::string("stopping on signal ") + ::strsignal(static_cast<unsigned char>(signals[i])));
    stopping_ = true;
  }
}

void Simulator::ReadLine() {
  char buffer[4096];
  for (int round = 0; round < 16 && Plugged(); ++round) {
    const ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // We hold a slave descriptor ourselves, so this is not the other side closing its port.
      Log(std::string("the pseudo-terminal failed (") + (n == 0 ? "end of file" : strerror(errno)) +
          "); unplugging");
      Hangup();
      return;
    }
    const std::string_view bytes(buffer, static_cast<std::size_t>(n));
    if (muted_) {
      Log("rx " + Escaped(bytes) + "  ignored (not answering)");
      continue;
    }
    for (Exchange& e : model_.Feed(bytes)) {
      std::string note;
      if (!e.reply.empty()) note = output_.Push(e.reply, Clock::now());
      LogExchange(e, note);
    }
  }
}

void Simulator::LogExchange(const Exchange& e, const std::string& fault_note) {
  if (quiet_) return;
  std::string text = "rx line " + Escaped(e.line) + "  " + e.note;
  if (e.kind == LineKind::kIgnored) text += ", no answer";
  Log(text);
  if (e.reply.empty()) return;
  const std::string suffix = fault_note.empty() ? "" : "  (" + fault_note + ")";
  if (e.kind != LineKind::kReadEvents) {
    Log("tx " + Escaped(e.reply) + suffix);
    return;
  }
  const std::size_t stored = model_.Events().size();
  Log("tx event records of slots 0 to 999, " + std::to_string(e.reply.size()) + " bytes, " +
      std::to_string(stored) + " events" + suffix);
  for (std::size_t i = 0; i < stored; ++i) {
    Log("   " +
        Escaped(std::string_view(e.reply).substr(i * kEventRecordLength, kEventRecordLength)));
  }
  if (stored < static_cast<std::size_t>(kEventCapacity)) {
    Log("   " + std::to_string(kEventCapacity - stored) + " empty records such as " +
        Escaped(std::string_view(e.reply).substr(stored * kEventRecordLength, kEventRecordLength)));
  }
}

void Simulator::Transmit(std::string reply, std::string_view what) {
  const std::string shown = Escaped(reply);
  const std::string note = output_.Push(std::move(reply), Clock::now());
  if (!quiet_)
    Log("tx " + shown + "  " + std::string(what) + (note.empty() ? "" : " (" + note + ")"));
}

void Simulator::Flush() {
  while (Plugged() && !write_blocked_) {
    const auto now = Clock::now();
    const std::string_view bytes = output_.Ready(now);
    if (bytes.empty()) return;
    const ssize_t n = ::write(pty_.master(), bytes.data(), bytes.size());
    if (n > 0) {
      output_.Written(static_cast<std::size_t>(n), now);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      write_blocked_ = true;  // the other side is not reading; wait until it does
    } else {
      Log(std::string("write to the pseudo-terminal failed: ") + strerror(errno));
      output_.Clear();
    }
  }
}

void Simulator::ReadInput() {
  char buffer[1024];
  const ssize_t n = ::read(fds_.input, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    Log("standard input closed; still running (stop with SIGTERM or Ctrl-C)");
    fds_.input = -1;
    return;
  }
  for (ssize_t i = 0; i < n; ++i) {
    const char c = buffer[i];
    if (c != '\n') {
      if (input_line_.size() < kMaxCommandLength) {
        input_line_.push_back(c);
      } else {
        input_overlong_ = true;
      }
      continue;
    }
    if (input_overlong_) {
      Print("error: command line too long (at most 1024 characters)\n");
    } else {
      Print(Execute(input_line_));
    }
    input_line_.clear();
    input_overlong_ = false;
  }
}

void Simulator::Log(std::string_view text) {
  std::string line = Timestamp() + " " + std::string(text) + "\n";
  WriteAll(fds_.log, line);
}

void Simulator::Print(std::string_view text) { WriteAll(fds_.out, text); }

std::string Simulator::Execute(std::string_view command) {
  const std::vector<std::string_view> w = Words(command);
  if (w.empty()) return {};
  const std::string_view name = w[0];
  const auto args = w.size() - 1;
  const auto usage = [](std::string_view text) {
    return "error: usage: " + std::string(text) + "\n";
  };
  if (!quiet_) Log("command: " + std::string(command));

  if (name == "help") return CommandHelp();
  if (name == "card" || name == "code") {
    if (args != 1) return usage(name == "card" ? "card SLOT" : "code CODE");
    return Present(name == "card", w[1]);
  }
  if (name == "store") {
    if (args != 2) return usage("store SLOT CODE");
    const auto slot = ParseNumber(w[1], 0, kCardSlotCount - 1);
    if (!slot) return "error: the slot must be a number from 0 to 99\n";
    try {
      model_.SetCard(*slot, w[2]);
    } catch (const std::invalid_argument& e) {
      return std::string("error: ") + e.what() + "\n";
    }
    return "ok: slot " + std::to_string(*slot) +
           (model_.Cards()[*slot].empty() ? " emptied\n" : " holds " + std::string(w[2]) + "\n");
  }
  if (name == "events") {
    const auto count = args == 1 ? ParseNumber(w[1], 1, kEventCapacity) : std::nullopt;
    if (!count) return usage("events N (1..1000)");
    model_.AddRandomEvents(*count);
    return "ok: " + std::to_string(*count) + " events added, " +
           std::to_string(model_.Events().size()) + " stored\n";
  }
  if (name == "clear") {
    if (args != 0) return usage("clear");
    model_.ClearEvents();
    return "ok: event memory cleared\n";
  }
  if (name == "number") {
    const auto number = args == 1 ? ParseNumber(w[1], kMinNumber, kMaxNumber) : std::nullopt;
    if (!number) return usage("number N (1..10)");
    model_.SetNumber(*number);
    return "ok: controller number " + std::to_string(*number) + "\n";
  }
  if (name == "noise") {
    const auto count = args == 1 ? ParseNumber(w[1], 1, kMaxNoise) : std::nullopt;
    if (!count) return usage("noise N (1..4096)");
    if (!Plugged()) return "error: unplugged (use plug)\n";
    std::string bytes(static_cast<std::size_t>(*count), '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : bytes) c = static_cast<char>(byte(noise_random_));
    if (!quiet_) Log("tx " + Escaped(bytes) + "  line noise");
    output_.PushRaw(std::move(bytes), Clock::now());
    return "ok: " + std::to_string(*count) + " noise bytes sent\n";
  }
  if (name == "garble") {
    const auto percent = args == 1 ? ParseNumber(w[1], 0, 100) : std::nullopt;
    if (!percent) return usage("garble PERCENT (0..100)");
    output_.Garble(*percent);
    return "ok: faults: " + output_.DescribeFaults() + "\n";
  }
  if (name == "drop") {
    const auto count = args == 1 ? ParseNumber(w[1], 0, 1000000) : std::nullopt;
    if (!count) return usage("drop N");
    output_.DropNext(*count);
    return "ok: faults: " + output_.DescribeFaults() + "\n";
  }
  if (name == "delay") {
    const auto count = args == 2 ? ParseNumber(w[1], 0, 1000000) : std::nullopt;
    const auto ms = args == 2 ? ParseNumber(w[2], 0, 600000) : std::nullopt;
    if (!count || !ms) return usage("delay N MS (MS up to 600000)");
    output_.DelayNext(*count, std::chrono::milliseconds(*ms));
    return "ok: faults: " + output_.DescribeFaults() + "\n";
  }
  if (name == "split") {
    if (args == 1 && w[1] == "off") {
      output_.SplitReplies(0, {});
      return "ok: faults: " + output_.DescribeFaults() + "\n";
    }
    const auto size = args == 2 ? ParseNumber(w[1], 1, 100000) : std::nullopt;
    const auto gap = args == 2 ? ParseNumber(w[2], 0, 60000) : std::nullopt;
    if (!size || !gap) return usage("split SIZE GAP_MS, or split off");
    output_.SplitReplies(static_cast<std::size_t>(*size), std::chrono::milliseconds(*gap));
    return "ok: faults: " + output_.DescribeFaults() + "\n";
  }
  if (name == "faults") {
    if (args == 1 && w[1] == "off") {
      output_.ClearFaults();
      muted_ = false;
    } else if (args != 0) {
      return usage("faults, or faults off");
    }
    return "ok: faults: " + output_.DescribeFaults() + (muted_ ? ", muted" : "") + "\n";
  }
  if (name == "mute" || name == "unmute") {
    if (args != 0) return usage(name);
    muted_ = name == "mute";
    return muted_ ? "ok: not answering\n" : "ok: answering\n";
  }
  if (name == "hangup") return args == 0 ? Hangup() : usage("hangup");
  if (name == "plug") return args == 0 ? Plug() : usage("plug");
  if (name == "dump") return args == 0 ? Dump() : usage("dump");
  if (name == "quit") {
    stopping_ = true;
    return "ok: stopping\n";
  }
  return "error: unknown command \"" + std::string(name) + "\" (try help)\n";
}

std::string Simulator::Present(bool by_slot, std::string_view arg) {
  CardRead read;
  try {
    if (by_slot) {
      const auto slot = ParseNumber(arg, 0, kCardSlotCount - 1);
      if (!slot) return "error: the slot must be a number from 0 to 99\n";
      read = model_.PresentSlot(*slot);
    } else {
      read = model_.PresentCode(arg);
    }
  } catch (const std::invalid_argument& e) {
    return std::string("error: ") + e.what() + "\n";
  }
  std::string answer = "ok: ";
  if (read.event_slot) {
    answer += "card of slot " + std::to_string(*read.card_slot) + ", event " +
              std::to_string(*read.event_slot) + " recorded";
  } else {
    answer += "unknown card, no event";
  }
  if (!Plugged()) {
    answer += "; card-read line not sent (unplugged)";
  } else if (muted_) {
    answer += "; card-read line not sent (not answering)";
  } else {
    Transmit(read.line, "card read");
    answer += "; card-read line sent";
  }
  return answer + "\n";
}

std::string Simulator::Hangup() {
  if (!Plugged()) return "error: already unplugged\n";
  const std::string device = Device();
  output_.Clear();
  write_blocked_ = false;
  pty_.Close();
  const bool relinked = Repoint(device, kUnpluggedDevice);
  Log("hung up " + device + (relinked ? "" : " (could not repoint the COM link)"));
  const std::string text = "veldoran-sim: COM" + std::to_string(port_number_) + " unplugged\n";
  return relinked ? text : text + "error: COM link not repointed\n";
}

std::string Simulator::Plug() {
  if (Plugged()) return "error: already plugged in\n";
  std::string error;
  if (!pty_.Open(error)) return "error: cannot open a pseudo-terminal: " + error + "\n";
  if (!Repoint(kUnpluggedDevice, Device())) {
    pty_.Close();
    return "error: cannot repoint COM" + std::to_string(port_number_) + " in " +
           portmap::Directory().string() + "\n";
  }
  Log("plugged in again on " + Device());
  return PortLine();
}

bool Simulator::Repoint(const std::string& from, const std::string& to) {
  return registered_ && portmap::Repoint(port_number_, from, to, ::getpid());
}

std::string Simulator::Dump() const {
  std::ostringstream out;
  out << "number " << model_.Number() << "\n";
  out << "clock " << ClockText(model_.ClockNow()) << "\n";
  out << "port COM" << port_number_ << " " << (Plugged() ? Device() : kUnpluggedDevice) << " "
      << (Plugged() ? "plugged" : "unplugged") << "\n";
  out << "answering " << (muted_ ? "no" : "yes") << "\n";
  out << "faults " << output_.DescribeFaults() << "\n";
  out << "cards " << model_.StoredCards() << "\n";
  for (int slot = 0; slot < kCardSlotCount; ++slot) {
    if (!model_.Cards()[slot].empty())
      out << "card " << slot << " " << model_.Cards()[slot] << "\n";
  }
  const auto& events = model_.Events();
  out << "events " << events.size() << "\n";
  for (std::size_t i = 0; i < events.size(); ++i) {
    out << "event " << i << " " << events[i].card_slot << " " << ClockText(events[i].clock) << "\n";
  }
  out << "end\n";
  return out.str();
}

}  // namespace veldoran::sim
