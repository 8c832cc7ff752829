#include "records/ini_file.h"

#include <tuple>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/cp1250.h"

namespace veldoran::ini {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// [begin, end) of `text` without the blanks at both ends.
std::pair<std::size_t, std::size_t> Trim(std::string_view text, std::size_t begin,
                                         std::size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return {begin, end};
}

bool HasBlankAtAnEnd(std::string_view name) {
  return !name.empty() && (IsBlank(name.front()) || IsBlank(name.back()));
}

Result Refuse(std::string why) { return Result{false, std::move(why)}; }

}  // namespace

std::string ValueAsRead(std::string_view raw) {
  const auto [begin, end] = Trim(raw, 0, raw.size());
  std::string_view value = raw.substr(begin, end - begin);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kMaxValueLength));
}

// ---- Document -------------------------------------------------------------------------------

std::string_view Document::Line::name() const {
  return std::string_view(text).substr(name_begin, name_end - name_begin);
}

std::string_view Document::Line::raw_value() const {
  return std::string_view(text).substr(value_begin);
}

Document::Line Document::MakeLine(std::string text, std::string eol) {
  Line line{std::move(text), std::move(eol)};
  const std::string_view t = line.text;
  std::size_t first = 0;
  while (first < t.size() && IsBlank(t[first])) ++first;
  if (first == t.size() || t[first] == ';') return line;
  if (t[first] == '[') {
    const std::size_t close = t.rfind(']');
    if (close != t.npos && close > first) {
      line.kind = Kind::kHeading;
      std::tie(line.name_begin, line.name_end) = Trim(t, first + 1, close);
    }
    return line;  // without "]" it is no heading, and not a key either
  }
  const std::size_t equals = t.find('=', first);
  if (equals == t.npos) return line;
  const auto [begin, end] = Trim(t, first, equals);
  if (begin == end) return line;
  line.kind = Kind::kKey;
  line.name_begin = begin;
  line.name_end = end;
  line.value_begin = equals + 1;
  return line;
}

Document Document::Parse(std::string_view bytes) {
  Document doc;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t lf = bytes.find('\n', pos);
    std::string_view text = bytes.substr(pos, lf == bytes.npos ? bytes.npos : lf - pos);
    std::string_view eol;
    if (lf != bytes.npos) {
      eol = "\n";
      if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        eol = "\r\n";
      }
    }
    pos = lf == bytes.npos ? bytes.size() : lf + 1;
    Line line = MakeLine(std::string(text), std::string(eol));
    if (line.kind == Kind::kHeading) doc.sections_.emplace_back();
    doc.sections_.back().lines.push_back(std::move(line));
  }
  return doc;
}

const Document::Section* Document::FindSection(std::string_view name) const {
  for (std::size_t i = 1; i < sections_.size(); ++i) {
    if (cp1250::EqualsIgnoreCase(sections_[i].lines.front().name(), name)) return &sections_[i];
  }
  return nullptr;
}

Document::Section* Document::FindSection(std::string_view name) {
  return const_cast<Section*>(std::as_const(*this).FindSection(name));
}

const Document::Line* Document::FindKey(const Section& section, std::string_view key) {
  for (const Line& line : section.lines) {
    if (line.kind == Kind::kKey && cp1250::EqualsIgnoreCase(line.name(), key)) return &line;
  }
  return nullptr;
}

std::optional<std::string> Document::Get(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  const Line* line = s ? FindKey(*s, key) : nullptr;
  if (!line) return std::nullopt;
  return ValueAsRead(line->raw_value());
}

std::string Document::Get(std::string_view section, std::string_view key,
                          std::string_view default_value) const {
  auto value = Get(section, key);
  return value ? std::move(*value) : std::string(default_value);
}

std::string Document::NewLineEnding() const {
  for (const Section& section : sections_) {
    for (const Line& line : section.lines) {
      if (!line.eol.empty()) return line.eol;
    }
  }
  return "\r\n";
}

// Gives the file's last line a line ending, so that a line can follow it.
void Document::EndLastLine() {
  for (auto s = sections_.rbegin(); s != sections_.rend(); ++s) {
    if (s->lines.empty()) continue;
    if (s->lines.back().eol.empty()) s->lines.back().eol = NewLineEnding();
    return;
  }
}

Result Document::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (section.empty() || HasBlankAtAnEnd(section) || HasLineBreak(section) ||
      section.find(']') != section.npos) {
    return Refuse("Nazwy sekcji „" + std::string(section) + "” nie można zapisać.");
  }
  if (key.empty() || HasBlankAtAnEnd(key) || HasLineBreak(key) || key.find('=') != key.npos ||
      key.front() == ';' || key.front() == '[') {
    return Refuse("Nazwy klucza „" + std::string(key) + "” nie można zapisać.");
  }

  Section* s = FindSection(section);
  Line* line = s ? const_cast<Line*>(FindKey(*s, key)) : nullptr;
  if (line && ValueAsRead(line->raw_value()) == value) return {};  // nothing to change
  if (HasLineBreak(value)) {
    return Refuse("Wartość klucza " + std::string(key) + " w sekcji [" + std::string(section) +
                  "] zawiera znak końca wiersza i nie można jej zapisać.");
  }

  modified_ = true;
  if (line) {
    // The key keeps its spelling from the file and its line ending.
    std::string text = std::string(line->name()) + "=" + std::string(value);
    *line = MakeLine(std::move(text), std::move(line->eol));
    return {};
  }
  std::string text = std::string(key) + "=" + std::string(value);
  if (s) {
    std::size_t after = 0;  // the heading
    for (std::size_t i = 0; i < s->lines.size(); ++i) {
      if (s->lines[i].kind == Kind::kKey) after = i;
    }
    if (s->lines[after].eol.empty()) s->lines[after].eol = NewLineEnding();
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(after + 1),
                    MakeLine(std::move(text), NewLineEnding()));
    return {};
  }
  EndLastLine();
  const std::string eol = NewLineEnding();
  Section added;
  added.lines.push_back(MakeLine("[" + std::string(section) + "]", eol));
  added.lines.push_back(MakeLine(std::move(text), eol));
  sections_.push_back(std::move(added));
  return {};
}

std::string Document::Serialize() const {
  std::size_t size = 0;
  for (const Section& section : sections_) {
    for (const Line& line : section.lines) size += line.text.size() + line.eol.size();
  }
  std::string out;
  out.reserve(size);
  for (const Section& section : sections_) {
    for (const Line& line : section.lines) {
      out += line.text;
      out += line.eol;
    }
  }
  return out;
}

// ---- Files ----------------------------------------------------------------------------------

LoadResult LoadFile(const std::filesystem::path& path) {
  LoadResult result;
  platform::ReadResult read =
      platform::ReadFileContents(path, platform::ReadLimits{kMaxFileSize, kMaxFileLines});
  if (read.missing) return result;
  if (!read.ok) {
    result.status = LoadStatus::kUnreadable;
    result.error = std::move(read.error);
    return result;
  }
  result.status = LoadStatus::kRead;
  result.document = Document::Parse(read.bytes);
  return result;
}

Result SaveFile(const std::filesystem::path& path, std::string_view bytes) {
  platform::FileResult saved = platform::ReplaceFileContents(path, bytes);
  return Result{saved.ok, std::move(saved.error)};
}

}  // namespace veldoran::ini
