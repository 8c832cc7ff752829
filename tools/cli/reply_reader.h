// Cuts the controller's replies out of the bytes as they arrive, by their leading letters and
// their length as the protocol fixes them. Unlike the window's dispatcher it takes exactly a
// reply's length from the buffer, so a reply that follows another in one delivery is kept, and
// it keeps no state of any operation: callers decide what a reply means to them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veldoran::cli {

struct Reply {
  enum Kind { kStatus, kCardRead, kAck, kEventRecord };
  Kind kind;
  std::string bytes;  // the reply's characters, its lead letter(s) first
};

class ReplyReader {
 public:
  // Appends `bytes` and returns the replies now complete, in order. Bytes in front of a
  // reply's first letter are dropped; an incomplete reply waits for the next call.
  std::vector<Reply> Feed(std::string_view bytes);

  // Bytes dropped so far as not part of any reply (noise, line ends).
  std::size_t Dropped() const { return dropped_; }
  // Bytes of an incomplete reply waiting for the rest.
  std::size_t Pending() const { return buffer_.size(); }

 private:
  std::string buffer_;
  std::size_t dropped_ = 0;
};

}  // namespace veldoran::cli
