// The text form of the registry store on POSIX systems: a REGEDIT4 file, as the Windows registry
// editor exports it, so a person can read it and a Windows user recognizes it:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Veldoran\Terminal]
//   "Port"="COM3"
//   "Baud"=dword:0000e100
//   "Settings"=hex:1c,00,00,00,00,e1,00,00,11,30,00,00
//   @="the key's default value"
//
// Texts are written as "..." (with \\ and \" for a backslash and a quotation mark) when the value
// is a REG_SZ of one line that ends with its NUL and holds no other; a REG_DWORD of four bytes as
// dword:; REG_BINARY as hex:; anything else as hex(<type>): so that every value survives a
// round trip byte for byte. A long hex list goes on over several lines, each but the last ending
// with a backslash. Bytes are written as they are (the ANSI code page). Lines end with
// CR LF; either ending is read. Lines that begin with ";" are comments.
//
// Reading is strict: a line that is none of the above (a truncated or garbled file, a key of an
// unknown root, a deletion entry) makes the whole file damaged, so that the store is never
// rewritten from a part of what the file held.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory_registry.h"

namespace veldoran::win::regfile {

struct Key {
  HKEY hive = nullptr;
  std::string path;
  std::vector<MemoryRegistry::Value> values;
};

// The file's text; nothing when a key or value name holds a line break or a NUL, which the
// format cannot carry.
std::optional<std::string> Write(const std::vector<Key>& keys);

struct Parsed {
  bool ok = false;
  std::vector<Key> keys;  // in file order; a key named twice is one key
  int error_line = 0;     // 1-based line of the first damage
  std::string error;      // what is wrong there
};
Parsed Parse(std::string_view text);

}  // namespace veldoran::win::regfile
