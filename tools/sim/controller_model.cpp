#include "tools/sim/controller_model.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace veldoran::sim {
namespace {

using protocol::Hex;

bool AllHex(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  });
}

std::string Hex32(std::int32_t v) { return Hex(static_cast<std::uint32_t>(v), 8); }

Exchange Ignored(std::string_view line, std::string note) {
  return Exchange{std::string(line), LineKind::kIgnored, {}, std::move(note)};
}

}  // namespace

std::int64_t ControllerModel::SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ControllerModel::ControllerModel(TimeSource now_ms, std::uint32_t seed)
    : now_ms_(std::move(now_ms)), random_(seed) {
  clock_set_at_ = now_ms_();
  last_byte_at_ = clock_set_at_;
  events_.reserve(kEventCapacity);
}

std::vector<Exchange> ControllerModel::Feed(std::string_view bytes) {
  std::vector<Exchange> out;
  if (bytes.empty()) return out;
  // Bytes of one delivery arrive together; a pause before them ends a pending partial line.
  const std::int64_t now = now_ms_();
  if ((!partial_.empty() || overflow_ > 0) && now - last_byte_at_ >= kLineTimeoutMs) {
    out.push_back(Ignored(partial_, "incomplete line dropped after a pause"));
    partial_.clear();
    overflow_ = 0;
  }
  last_byte_at_ = now;

  for (const char c : bytes) {
    if (c == '\n') continue;
    if (c != '\r') {
      if (partial_.size() < kMaxLineLength) {
        partial_.push_back(c);
      } else {
        overflow_ = std::min(overflow_ + 1, std::size_t{1} << 30);
      }
      continue;
    }
    if (overflow_ > 0) {
      out.push_back(Ignored(partial_, "overlong line ignored (" +
                                          std::to_string(partial_.size() + overflow_) + " bytes)"));
    } else if (!partial_.empty()) {
      out.push_back(HandleLine(partial_));
    }
    partial_.clear();
    overflow_ = 0;
  }
  return out;
}

std::string ControllerModel::Receive(std::string_view bytes) {
  std::string replies;
  for (const Exchange& e : Feed(bytes)) replies += e.reply;
  return replies;
}

Exchange ControllerModel::HandleLine(std::string_view line) {
  const std::string_view args = line.substr(1);
  switch (line.front()) {
    case '0':
      if (!args.empty()) break;
      return {std::string(line), LineKind::kStatusQuery, StatusLine(), "status query"};
    case '3':
      if (!args.empty()) break;
      ClearEvents();
      return {std::string(line), LineKind::kClearEvents, StatusLine(), "event memory cleared"};
    case '5':
      if (!args.empty()) break;
      return {std::string(line), LineKind::kReadEvents, EventRecords(),
              "event read: " + std::to_string(events_.size()) + " stored"};
    case '2': {
      if (args.size() != 10 || !AllHex(args.substr(0, 2))) break;
      const int slot = protocol::HexByteValue(args.substr(0, 2));
      if (slot >= kCardSlotCount) {
        return Ignored(line, "card slot " + std::to_string(slot) + " out of range");
      }
      const std::string_view code = args.substr(2);
      cards_[slot] = code == protocol::kEmptySlotCode ? std::string() : std::string(code);
      std::string ack = "ZU: " + Hex(slot, 2) + ", ";
      ack.append(code);
      ack += ";\r\n";
      return {
          std::string(line), LineKind::kWriteCardSlot, std::move(ack),
          "card slot " + std::to_string(slot) + (cards_[slot].empty() ? " emptied" : " stored")};
    }
    case '4': {
      if (args.size() != 8 || !AllHex(args)) break;
      SetClock(protocol::HexClockValue(args));
      return {std::string(line), LineKind::kSetClock, {}, "clock set to " + Hex32(clock_base_)};
    }
    case '7': {
      if (args.size() != 2 || !AllHex(args)) break;
      const int number = protocol::HexByteValue(args);
      if (number < kMinNumber || number > kMaxNumber) {
        return {
            std::string(line), LineKind::kSetNumber, StatusLine(),
            "number " + std::to_string(number) + " refused, keeping " + std::to_string(number_)};
      }
      number_ = number;
      return {std::string(line), LineKind::kSetNumber, StatusLine(),
              "controller number set to " + std::to_string(number)};
    }
    default:
      return Ignored(line, "unknown command");
  }
  return Ignored(line, "malformed command");
}

std::string ControllerModel::StatusLine() const {
  return "S: " + Hex(number_, 2) + " " + Hex(static_cast<std::uint32_t>(events_.size()), 4) + ", " +
         Hex(StoredCards(), 4) + ", " + Hex32(ClockNow()) + ";\r\n";
}

std::string ControllerModel::EventRecords() const {
  const std::string number = Hex(number_, 2);
  std::string out;
  out.reserve(kEventCapacity * kEventRecordLength);
  for (int slot = 0; slot < kEventCapacity; ++slot) {
    out += "Z:" + number + " " + Hex(slot, 4) + " ";
    if (slot < static_cast<int>(events_.size())) {
      const Event& e = events_[slot];
      out += Hex(e.card_slot, 2) + " " + Hex32(e.clock);
    } else {
      out += "FF 00000000";
    }
  }
  return out;
}

std::string ControllerModel::CardReadLine(std::string_view code) const {
  std::string line = "W: " + Hex(number_, 2) + ", ";
  line.append(code);
  line += ";\r\n";
  return line;
}

bool ControllerModel::IsValidCardCode(std::string_view code) {
  return code.size() == 8 && std::none_of(code.begin(), code.end(), [](char c) {
           const auto u = static_cast<unsigned char>(c);
           return u < 0x20 || u == 0x7F;
         });
}

CardRead ControllerModel::PresentCode(std::string_view code) {
  if (!IsValidCardCode(code)) {
    throw std::invalid_argument("a card code is 8 characters without control characters");
  }
  CardRead read{CardReadLine(code), {}, {}};
  const auto it = std::find(cards_.begin(), cards_.end(), code);
  if (it != cards_.end()) {
    read.card_slot = static_cast<int>(it - cards_.begin());
    read.event_slot = RecordEvent(*read.card_slot, ClockNow());
  }
  return read;
}

CardRead ControllerModel::PresentSlot(int slot) {
  if (slot < 0 || slot >= kCardSlotCount) {
    throw std::invalid_argument("card slot " + std::to_string(slot) + " is not in 0..99");
  }
  if (cards_[slot].empty()) {
    throw std::invalid_argument("card slot " + std::to_string(slot) + " holds no card");
  }
  const std::string code = cards_[slot];
  return PresentCode(code);
}

int ControllerModel::RecordEvent(int card_slot, std::int32_t clock) {
  if (events_.size() == static_cast<std::size_t>(kEventCapacity)) events_.erase(events_.begin());
  events_.push_back(Event{card_slot, clock});
  return static_cast<int>(events_.size()) - 1;
}

void ControllerModel::AddRandomEvents(int count) {
  if (count < 0 || count > kEventCapacity) {
    throw std::invalid_argument("the number of events must be in 0..1000");
  }
  std::vector<int> stored;
  for (int s = 0; s < kCardSlotCount; ++s) {
    if (!cards_[s].empty()) stored.push_back(s);
  }
  const std::int64_t now = ClockNow();
  std::int64_t earliest = now - 7 * 24 * 3600;
  if (!events_.empty()) earliest = std::max<std::int64_t>(earliest, events_.back().clock);
  earliest = std::min(earliest, now);  // the clock may have been set back

  std::uniform_int_distribution<std::int64_t> when(earliest, now);
  std::vector<std::int64_t> times(count);
  for (auto& t : times) t = when(random_);
  std::sort(times.begin(), times.end());
  // The new events push out as many of the oldest: drop those at once rather than shifting the
  // whole memory down for every event added.
  const std::size_t keep = static_cast<std::size_t>(kEventCapacity - count);
  if (events_.size() > keep) {
    events_.erase(events_.begin(),
                  events_.begin() + static_cast<std::ptrdiff_t>(events_.size() - keep));
  }
  for (const std::int64_t t : times) {
    int slot;
    if (stored.empty()) {
      slot = std::uniform_int_distribution<int>(0, kCardSlotCount - 1)(random_);
    } else {
      slot = stored[std::uniform_int_distribution<std::size_t>(0, stored.size() - 1)(random_)];
    }
    RecordEvent(slot, static_cast<std::int32_t>(t));
  }
}

void ControllerModel::ClearEvents() { events_.clear(); }

void ControllerModel::SetNumber(int number) {
  if (number < kMinNumber || number > kMaxNumber) {
    throw std::invalid_argument("the controller number must be in 1..10");
  }
  number_ = number;
}

void ControllerModel::SetCard(int slot, std::string_view code) {
  if (slot < 0 || slot >= kCardSlotCount) {
    throw std::invalid_argument("card slot " + std::to_string(slot) + " is not in 0..99");
  }
  if (!IsValidCardCode(code)) {
    throw std::invalid_argument("a card code is 8 characters without control characters");
  }
  cards_[slot] = code == protocol::kEmptySlotCode ? std::string() : std::string(code);
}

void ControllerModel::SetClock(std::int32_t value) {
  clock_base_ = value;
  clock_set_at_ = now_ms_();
}

std::int32_t ControllerModel::ClockNow() const {
  const std::int64_t elapsed = (now_ms_() - clock_set_at_) / 1000;
  // A 32-bit counter: it wraps rather than overflows.
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::int64_t>(clock_base_) + elapsed));
}

int ControllerModel::StoredCards() const {
  return static_cast<int>(
      std::count_if(cards_.begin(), cards_.end(), [](const std::string& c) { return !c.empty(); }));
}

}  // namespace veldoran::sim
