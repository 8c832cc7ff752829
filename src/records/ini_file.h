// The INI engine behind Config.ini: reads and writes files in the layout the Windows profile
// functions (GetPrivateProfileStringA / WritePrivateProfileStringA) use, without their cost of
// rereading and rewriting the whole file for every value. No Qt; bytes in, bytes out (the text
// is Windows-1250 and is never converted here).
//
// A Document holds a file's bytes as lines and changes only the lines it has to:
// - Lines end in CRLF or LF; a line keeps its own ending. New lines take the ending of the
//   file's first line (CRLF for an empty file). No byte order mark is ever added.
// - "[name]" (blanks before "[" and around the name allowed; the name ends at the line's last
//   "]") starts a section. "name=value" inside a section is a key. A line whose first non-blank
//   character is ";" is a comment. Comments, blank lines, lines without "=", and anything before
//   the first heading belong to no key and are kept byte for byte.
// - Section and key names match without regard to case (Windows-1250 letters, Polish ones
//   included, fold as the code page does). Blanks around a name do not count.
// - When a section appears twice, only its first occurrence is read and written; the later one
//   is kept as it stands. When a key appears twice in a section, the first one counts.
//
// How a value reads (the way the profile functions read it): the text after the first "=" with
// the blanks (spaces, tabs, stray carriage returns) at both ends dropped; then, when what is left
// is at least two characters long and starts and ends with the same quotation mark (' or "), that
// pair is dropped too, and nothing inside it; then it is cut to 2047 characters.
// Values are written exactly as given, without quotes, so a value with blanks or a quotation
// mark pair at its ends does not read back the same (exactly as with the profile functions).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldoran::ini {

// The longest value a read returns; longer ones are cut.
inline constexpr std::size_t kMaxValueLength = 2047;

// What the text after "=" on a key line reads as (the rule above).
std::string ValueAsRead(std::string_view raw);

// The outcome of a change or a save.
struct Result {
  bool ok = true;
  std::string error;  // why it failed, for the operator to read (UTF-8); empty when ok
};

class Document {
 public:
  Document() = default;
  // Takes a file's bytes; every byte sequence is accepted.
  static Document Parse(std::string_view bytes);

  // The value of a key, or nothing when the section or key is missing. A key present with an
  // empty value reads as an empty text.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // The same with a default for a missing key, as GetPrivateProfileString reads.
  std::string Get(std::string_view section, std::string_view key,
                  std::string_view default_value) const;

  // Stores a value. A key that exists keeps its line and its spelling and is rewritten as
  // "key=value" only when it does not already read as `value`; a new key goes right after the
  // last key line of its section (after the heading when it has none); a new section goes at
  // the end of the file. Refused, with the document unchanged: a value with a carriage return
  // or line feed (it cannot be held on one line), and names that could not be read back (empty,
  // blanks at an end, line breaks, "]" in a section name, "=" in a key name, a key name that
  // starts with ";" or "[").
  Result Set(std::string_view section, std::string_view key, std::string_view value);

  // The file's bytes: what was parsed, with the changes made since.
  std::string Serialize() const;
  // Whether a Set has changed anything since Parse.
  bool modified() const { return modified_; }

 private:
  enum class Kind { kOther, kHeading, kKey };
  struct Line {
    std::string text;  // without the line ending
    std::string eol;   // "\r\n", "\n" or "" (the file's last line may have none)
    Kind kind = Kind::kOther;
    // Heading: where the section name is in `text`. Key: where the key name is, and the value
    // starts right after the "=" at name_end's first "=".
    std::size_t name_begin = 0;
    std::size_t name_end = 0;
    std::size_t value_begin = 0;

    std::string_view name() const;
    std::string_view raw_value() const;
  };
  struct Section {
    std::vector<Line> lines;  // the heading first, except in the part before any heading
  };

  static Line MakeLine(std::string text, std::string eol);
  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;
  static const Line* FindKey(const Section& section, std::string_view key);
  std::string NewLineEnding() const;
  void EndLastLine();

  std::vector<Section> sections_{Section{}};  // [0]: the lines before the first heading
  bool modified_ = false;
};

// How a load went.
enum class LoadStatus {
  kMissing,     // no such file: everything reads as its default
  kRead,        // read in full
  kUnreadable,  // the file (or what stands at its path) exists but could not be read: the
                // caller must not save over it, or what it holds would be lost
};

struct LoadResult {
  LoadStatus status = LoadStatus::kMissing;
  Document document;  // empty unless kRead
  // For kUnreadable: what went wrong, for the operator (the platform's text, in the local 8-bit
  // encoding).
  std::string error;
};

// The largest file a load takes: several times what the tool's own keys can fill (410 values
// of 2047 characters), and small enough that reading and parsing it stays quick. A larger
// file, one with more lines than kMaxFileLines, a folder, a device or a FIFO at the path is
// refused as kUnreadable, with the reason, and is neither read in full nor waited on.
inline constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxFileLines = 100'000;

LoadResult LoadFile(const std::filesystem::path& path);

// Replaces the file's contents with `bytes` so that the file is at every moment either the old
// or the new one: the bytes go to a temporary file in the same folder, are flushed to the disk,
// and the temporary file is renamed over the old one. The new file keeps the old one's
// permission bits (and owner, where allowed). A read-only file is not replaced even where the
// folder would allow it. On failure the old file is untouched, the temporary file is removed
// and the error says why.
Result SaveFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace veldoran::ini
