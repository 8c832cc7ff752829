#include "platform/posix/reg_file.h"

#include <cstdio>
#include <map>

namespace veldoran::win::regfile {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kEol = "\r\n";
constexpr int kBytesPerLine = 25;

std::string Fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A one-line text that ends with its only NUL.
bool PlainText(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == '\0' || data[i] == '\r' || data[i] == '\n') return false;
  }
  return true;
}

std::string HexList(std::string_view prefix, const std::string& data) {
  std::string out(prefix);
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(data[i]));
    out += byte;
    if (i + 1 < data.size()) {
      out += ',';
      if (static_cast<int>(i - line_start) == kBytesPerLine - 1) {
        out += "\\";
        out += kEol;
        out += "  ";
        line_start = i + 1;
      }
    }
  }
  return out;
}

std::string ValueData(const MemoryRegistry::Value& v) {
  if (v.type == REG_SZ && PlainText(v.data)) return Quote(v.data.substr(0, v.data.size() - 1));
  if (v.type == REG_DWORD && v.data.size() == 4) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(v.data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(value));
    return text;
  }
  if (v.type == REG_BINARY) return HexList("hex:", v.data);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(v.type));
  return HexList(prefix, v.data);
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted text at the start of `text` (which begins with the quotation mark): the text without
// its escapes, and `text` moved past the closing mark. False when it does not close.
bool TakeQuoted(std::string_view& text, std::string& out) {
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
      out += text[++i];
    } else if (text[i] == '"') {
      text.remove_prefix(i + 1);
      return true;
    } else {
      out += text[i];
    }
  }
  return false;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Parsed Run() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);
    std::string_view line;
    bool header = false;
    while (NextLine(line)) {
      const std::string_view t = Trim(line);
      if (!header) {
        if (t.empty()) continue;
        if (t != kHeader) return Fail("the file does not begin with REGEDIT4");
        header = true;
      } else if (t.empty() || t.front() == ';') {
        continue;
      } else if (t.front() == '[') {
        if (!KeyLine(t)) return result_;
      } else if (t.front() == '"' || t.front() == '@') {
        if (!ValueLine(t)) return result_;
      } else {
        return Fail("a line that is neither a key nor a value");
      }
    }
    if (!header) return Fail("the file is empty, without the REGEDIT4 line");
    result_.ok = true;
    return result_;
  }

 private:
  bool NextLine(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
    line = text_.substr(pos_, end - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = end + 1;
    ++line_;
    return true;
  }

  Parsed Fail(std::string why) {
    result_ = Parsed{};
    result_.error_line = line_;
    result_.error = std::move(why);
    return result_;
  }

  bool KeyLine(std::string_view t) {
    if (t.back() != ']' || t.size() < 3)
      return Fail("a key line without its closing bracket"), false;
    const std::string_view inner = t.substr(1, t.size() - 2);
    if (inner.front() == '-') return Fail("a key deletion, which the store does not take"), false;
    const std::size_t slash = inner.find('\\');
    const HKEY hive = MemoryRegistry::HiveNamed(inner.substr(0, slash));
    if (!hive) return Fail("a key under an unknown root"), false;
    const std::string path(slash == std::string_view::npos ? std::string_view()
                                                           : inner.substr(slash + 1));
    const auto id = std::make_pair(MemoryRegistry::HiveName(hive), Fold(path));
    const auto found = index_.find(id);
    if (found != index_.end()) {
      current_ = found->second;
    } else {
      current_ = result_.keys.size();
      index_[id] = current_;
      result_.keys.push_back(Key{hive, path, {}});
    }
    return true;
  }

  bool ValueLine(std::string_view t) {
    if (current_ == kNone) return Fail("a value before the first key"), false;
    MemoryRegistry::Value value;
    if (t.front() == '@') {
      t.remove_prefix(1);
    } else if (!TakeQuoted(t, value.name)) {
      return Fail("a value name without its closing quotation mark"), false;
    }
    t = Trim(t);
    if (t.empty() || t.front() != '=') return Fail("a value without \"=\""), false;
    t = Trim(t.substr(1));
    if (!t.empty() && t.front() == '"') {
      std::string text;
      if (!TakeQuoted(t, text) || !Trim(t).empty())
        return Fail("a text that does not close where the line ends"), false;
      value.type = REG_SZ;
      value.data = text + '\0';
    } else if (t.substr(0, 6) == "dword:") {
      const std::string_view digits = t.substr(6);
      if (digits.empty() || digits.size() > 8) return Fail("a dword of the wrong length"), false;
      std::uint32_t number = 0;
      for (char c : digits) {
        if (HexDigit(c) < 0) return Fail("a dword that is not hexadecimal"), false;
        number = (number << 4) | static_cast<std::uint32_t>(HexDigit(c));
      }
      value.type = REG_DWORD;
      for (int i = 0; i < 4; ++i) value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
    } else if (t.substr(0, 3) == "hex") {
      if (!HexValue(t, value)) return false;
    } else {
      return Fail("a value of no known kind"), false;
    }
    auto& values = result_.keys[current_].values;
    const std::string folded = Fold(value.name);
    for (auto& v : values) {
      if (Fold(v.name) == folded) {
        v = std::move(value);
        return true;
      }
    }
    values.push_back(std::move(value));
    return true;
  }

  bool HexValue(std::string_view t, MemoryRegistry::Value& value) {
    t.remove_prefix(3);
    value.type = REG_BINARY;
    if (!t.empty() && t.front() == '(') {
      const std::size_t close = t.find(')');
      if (close == std::string_view::npos || close == 1 || close > 9)
        return Fail("a hex(...) value with a bad type"), false;
      std::uint32_t type = 0;
      for (char c : t.substr(1, close - 1)) {
        if (HexDigit(c) < 0) return Fail("a hex(...) value with a bad type"), false;
        type = (type << 4) | static_cast<std::uint32_t>(HexDigit(c));
      }
      value.type = type;
      t.remove_prefix(close + 1);
    }
    if (t.empty() || t.front() != ':') return Fail("a hex value without \":\""), false;
    t.remove_prefix(1);
    for (;;) {
      t = Trim(t);
      const bool more = !t.empty() && t.back() == '\\';
      if (more) t.remove_suffix(1);
      std::size_t i = 0;
      while (i < t.size()) {
        while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
        if (i >= t.size()) break;
        // Two digits a byte: a list cut off inside a byte shows as damage.
        const int high = HexDigit(t[i]);
        const int low = i + 1 < t.size() ? HexDigit(t[i + 1]) : -1;
        if (high < 0 || low < 0) return Fail("a byte that is not two hexadecimal digits"), false;
        value.data += static_cast<char>(high * 16 + low);
        i += 2;
        while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
        if (i < t.size()) {
          if (t[i] != ',') return Fail("bytes not separated by commas"), false;
          ++i;
        }
      }
      if (!more && !t.empty() && t.back() == ',')
        return Fail("a hex value that ends with a comma"), false;
      if (!more) return true;
      std::string_view next;
      if (!NextLine(next)) return Fail("a hex value cut off at the end of the file"), false;
      t = next;
    }
  }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 0;
  Parsed result_;
  std::size_t current_ = kNone;
  std::map<std::pair<std::string, std::string>, std::size_t> index_;
};

}  // namespace

std::optional<std::string> Write(const std::vector<Key>& keys) {
  const auto one_line = [](std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
  };
  std::string out(kHeader);
  out += kEol;
  for (const Key& key : keys) {
    if (!one_line(key.path)) return std::nullopt;
    out += kEol;
    // Appended piece by piece: GCC 12 misreads chains of + on strings at -O3.
    out += '[';
    out += MemoryRegistry::HiveName(key.hive);
    if (!key.path.empty()) {
      out += '\\';
      out += key.path;
    }
    out += ']';
    out += kEol;
    for (const auto& v : key.values) {
      if (!one_line(v.name)) return std::nullopt;
      out += v.name.empty() ? std::string("@") : Quote(v.name);
      out += '=';
      out += ValueData(v);
      out += kEol;
    }
  }
  return out;
}

Parsed Parse(std::string_view text) { return Parser(text).Run(); }

}  // namespace veldoran::win::regfile
