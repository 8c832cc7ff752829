// The registry store's file (REGEDIT4 text), both ways: any text either parses or is refused
// with the line of the damage, and what parses is written back as a text that parses to the
// same keys and values; any keys and values either cannot be written (a name with a line break
// or a NUL) or come back from their text byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/reg_file.h"
#include "platform/registry_api.h"

namespace {

using namespace veldoran::win;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

bool SameValues(const std::vector<MemoryRegistry::Value>& a,
                const std::vector<MemoryRegistry::Value>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  }
  return true;
}

bool SameKeys(const std::vector<regfile::Key>& a, const std::vector<regfile::Key>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].hive != b[i].hive || a[i].path != b[i].path || !SameValues(a[i].values, b[i].values))
      return false;
  }
  return true;
}

bool OneLine(const std::string& name) {
  return name.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string Folded(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// No two keys of one hive whose paths differ only in case, and no two such values in a key.
bool Distinct(const std::vector<regfile::Key>& keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (keys[i].hive == keys[j].hive && Folded(keys[i].path) == Folded(keys[j].path)) {
        return false;
      }
    }
    const auto& values = keys[i].values;
    for (std::size_t a = 0; a < values.size(); ++a) {
      for (std::size_t b = 0; b < a; ++b) {
        if (Folded(values[a].name) == Folded(values[b].name)) return false;
      }
    }
  }
  return true;
}

std::size_t LineCount(const std::string& text) {
  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n';
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    // A file as it may stand on the disk, damaged or not.
    const std::string text = input.ConsumeRemainingBytesAsString();
    const regfile::Parsed parsed = regfile::Parse(text);
    if (!parsed.ok) {
      Check(!parsed.error.empty(), "a refusal says why");
      // Line 0 only for a file without a line that says anything (a byte order mark at most).
      const std::size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
      const bool blank = text.find_first_not_of(" \t\r\n", start) == std::string::npos;
      Check((parsed.error_line >= 1 || blank) &&
                static_cast<std::size_t>(parsed.error_line) <= LineCount(text),
            "a refusal names a line of the file");
      return 0;
    }
    const auto written = regfile::Write(parsed.keys);
    Check(written.has_value(), "what was read can be written");
    const regfile::Parsed again = regfile::Parse(*written);
    Check(again.ok, "what was written parses");
    Check(SameKeys(again.keys, parsed.keys), "what was written reads back the same");
    return 0;
  }

  // Keys and values the store may hold.
  static const HKEY kHives[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT,
                                HKEY_USERS};
  std::vector<regfile::Key> keys(input.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (regfile::Key& key : keys) {
    key.hive = kHives[input.ConsumeIntegralInRange<int>(0, 3)];
    key.path = input.ConsumeRandomLengthString(40);
    key.values.resize(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (MemoryRegistry::Value& value : key.values) {
      value.name = input.ConsumeRandomLengthString(20);
      value.type = input.ConsumeIntegralInRange<DWORD>(0, 11);
      value.data = input.ConsumeRandomLengthString(120);
    }
  }
  const auto written = regfile::Write(keys);
  bool one_line = true;
  for (const regfile::Key& key : keys) {
    one_line = one_line && OneLine(key.path);
    for (const auto& value : key.values) one_line = one_line && OneLine(value.name);
  }
  Check(written.has_value() == one_line, "only names with a line break or a NUL are refused");
  if (!written) return 0;
  const regfile::Parsed parsed = regfile::Parse(*written);
  Check(parsed.ok, "whatever was written parses");
  // Keys (and values of a key) whose names differ only in case are one, as in the registry;
  // without such twins everything comes back as it was.
  if (Distinct(keys)) Check(SameKeys(parsed.keys, keys), "keys and values come back unchanged");
  const auto again = regfile::Write(parsed.keys);
  Check(again.has_value() && SameKeys(regfile::Parse(*again).keys, parsed.keys),
        "a second round trip changes nothing");
  return 0;
}
