// Arbitrary bytes as a Config.ini, with a few writes: parsing and serializing keep every byte,
// a refused write changes nothing, a written value reads back, other keys keep their values,
// every line that is not a written key survives, and the result parses to the same document.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cp1250.h"
#include "records/ini_file.h"

namespace {

using veldoran::ini::Document;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

// The lines of a file without their line endings; trailing CRs go too, since a last line
// without an ending may gain one.
std::vector<std::string_view> Lines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  while (!bytes.empty()) {
    const std::size_t lf = bytes.find('\n');
    std::string_view line = bytes.substr(0, lf);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    bytes.remove_prefix(lf == bytes.npos ? bytes.size() : lf + 1);
  }
  return lines;
}

// The name of a "name=value" line, found the plain way: whatever stands before the first "=",
// without blanks, unless the line is a comment or a heading. Nothing for other lines.
std::optional<std::string_view> KeyNameOf(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == line.npos || line[first] == ';' || line[first] == '[') return std::nullopt;
  const std::size_t equals = line.find('=');
  if (equals == line.npos) return std::nullopt;
  std::string_view name = line.substr(first, equals - first);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) {
    name.remove_suffix(1);
  }
  return name;
}

struct Write {
  std::string section;
  std::string key;
  std::string value;
};

bool SameKey(const Write& a, const Write& b) {
  return veldoran::cp1250::EqualsIgnoreCase(a.section, b.section) &&
         veldoran::cp1250::EqualsIgnoreCase(a.key, b.key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<Write> writes(input.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (Write& w : writes) {
    w.section = input.ConsumeRandomLengthString(12);
    w.key = input.ConsumeRandomLengthString(12);
    w.value = input.ConsumeRandomLengthString(3000);
  }
  const std::string file = input.ConsumeRemainingBytesAsString();

  Document doc = Document::Parse(file);
  Check(doc.Serialize() == file, "parse and serialize keep every byte");

  std::vector<Write> written;  // the writes that changed the document
  for (const Write& w : writes) {
    const std::string before = doc.Serialize();
    const std::optional<std::string> old_value = doc.Get(w.section, w.key);
    std::vector<std::optional<std::string>> others;
    for (const Write& o : writes) others.push_back(doc.Get(o.section, o.key));

    const veldoran::ini::Result result = doc.Set(w.section, w.key, w.value);
    if (!result.ok) {
      Check(!result.error.empty(), "a refusal says why");
      Check(doc.Serialize() == before, "a refused write changes nothing");
      continue;
    }
    const std::optional<std::string> now = doc.Get(w.section, w.key);
    Check(now.has_value(), "a written key is present");
    if (old_value == w.value) {
      Check(doc.Serialize() == before, "writing the value a key reads as changes nothing");
    } else {
      Check(*now == veldoran::ini::ValueAsRead(w.value), "a written value reads back");
      written.push_back(w);
    }
    Check(now->size() <= veldoran::ini::kMaxValueLength, "values are cut at 2047");
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (!SameKey(writes[i], w)) {
        Check(doc.Get(writes[i].section, writes[i].key) == others[i], "other keys keep values");
      }
    }
  }

  const std::string out = doc.Serialize();
  Check(doc.modified() == !written.empty(), "modified() tells whether a write changed anything");

  // Every line of the input that is not a line of a written key is still there, in order.
  const auto new_lines = Lines(out);
  std::size_t next = 0;
  for (const std::string_view line : Lines(file)) {
    const auto name = KeyNameOf(line);
    bool may_change = false;
    for (const Write& w : written) {
      may_change = may_change || (name && veldoran::cp1250::EqualsIgnoreCase(*name, w.key));
    }
    if (may_change) continue;
    while (next < new_lines.size() && new_lines[next] != line) ++next;
    Check(next < new_lines.size(), "lines that are not written keys survive in order");
    ++next;
  }

  const Document again = Document::Parse(out);
  Check(again.Serialize() == out, "the result parses and serializes unchanged");
  for (const Write& w : writes) {
    Check(again.Get(w.section, w.key) == doc.Get(w.section, w.key), "the result reads the same");
  }
  return 0;
}
