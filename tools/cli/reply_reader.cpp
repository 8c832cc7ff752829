#include "tools/cli/reply_reader.h"

#include "link/protocol.h"

namespace veldoran::cli {
namespace p = protocol;

std::vector<Reply> ReplyReader::Feed(std::string_view bytes) {
  buffer_.append(bytes);
  std::vector<Reply> replies;
  while (true) {
    const std::size_t lead = buffer_.find_first_of("WSZ");
    const std::size_t drop = lead == std::string::npos ? buffer_.size() : lead;
    dropped_ += drop;
    buffer_.erase(0, drop);
    if (buffer_.empty()) break;
    Reply::Kind kind;
    std::size_t length;
    if (buffer_[0] == p::card_read_line::kLead) {
      kind = Reply::kCardRead, length = p::card_read_line::kLength;
    } else if (buffer_[0] == p::status_line::kLead) {
      kind = Reply::kStatus, length = p::status_line::kLength;
    } else if (buffer_.size() < 2) {
      break;  // "Z": an acknowledgement or an event record, told by the next character
    } else if (buffer_[1] == p::event_record::kNotSecond) {
      kind = Reply::kAck, length = p::upload_ack::kLength;
    } else {
      kind = Reply::kEventRecord, length = p::event_record::kLength;
    }
    if (buffer_.size() < length) break;
    replies.push_back({kind, buffer_.substr(0, length)});
    buffer_.erase(0, length);
  }
  return replies;
}

}  // namespace veldoran::cli
