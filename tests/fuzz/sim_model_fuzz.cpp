// Feeds the controller model arbitrary bytes: each control byte gives the length of the next
// piece and the pause before it; 0xFF instead presents the card whose code follows. Every reply
// must have its layout, and a status query afterwards must be answered correctly.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "link/protocol.h"
#include "tools/sim/controller_model.h"

namespace {

using namespace veldoran;

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckExchange(const sim::Exchange& e) {
  Check(e.line.size() <= sim::kMaxLineLength);
  switch (e.kind) {
    case sim::LineKind::kIgnored:
    case sim::LineKind::kSetClock:
      Check(e.reply.empty());
      break;
    case sim::LineKind::kWriteCardSlot:
      Check(e.reply.size() == sim::kAckLength && e.reply.compare(0, 2, "ZU") == 0);
      break;
    case sim::LineKind::kReadEvents:
      Check(e.reply.size() == sim::kEventRecordLength * sim::kEventCapacity);
      break;
    default:
      Check(e.reply.size() == sim::kStatusLineLength && e.reply[0] == 'S');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1024) return 0;  // every "5\r" costs a 21000-byte reply
  std::int64_t now = 0;
  sim::ControllerModel model([&] { return now; }, 1);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const auto control = static_cast<std::uint8_t>(input.front());
    input.remove_prefix(1);
    if (control == 0xFF && input.size() >= 8) {
      const std::string_view code = input.substr(0, 8);
      input.remove_prefix(8);
      if (sim::ControllerModel::IsValidCardCode(code)) {
        const sim::CardRead read = model.PresentCode(code);
        Check(read.line.size() == sim::kCardReadLineLength && read.line[0] == 'W');
        Check(read.event_slot.has_value() == read.card_slot.has_value());
      }
      continue;
    }
    now += (control >> 5) * 40;
    const std::size_t length = std::min<std::size_t>(control & 31u, input.size());
    for (const sim::Exchange& e : model.Feed(input.substr(0, length))) CheckExchange(e);
    input.remove_prefix(length);
  }
  Check(model.Events().size() <= sim::kEventCapacity);
  Check(model.Number() >= sim::kMinNumber && model.Number() <= sim::kMaxNumber);

  now += 1000;
  const std::string reply = model.Receive("0\r");
  Check(reply.size() == sim::kStatusLineLength && reply[0] == 'S');
  Check(protocol::HexByteValue(protocol::status_line::kControllerNumber.In(reply)) ==
        model.Number());
  Check(static_cast<std::size_t>(protocol::HexWordValue(
            protocol::status_line::kEventCount.In(reply))) == model.Events().size());
  return 0;
}
