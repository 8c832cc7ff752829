#include "records/port_choice.h"

#include <charconv>
#include <string>

namespace veldoran::records {

std::optional<std::uint16_t> ReadPortChoice(const std::filesystem::path& config) {
  const ini::LoadResult loaded = ini::LoadFile(config);
  if (loaded.status != ini::LoadStatus::kRead) return std::nullopt;
  const std::optional<std::string> value = loaded.document.Get(kPortSection, kPortKey);
  if (!value || value->empty()) return std::nullopt;
  unsigned number = 0;
  const char* end = value->data() + value->size();
  const auto [stop, error] = std::from_chars(value->data(), end, number);
  if (error != std::errc() || stop != end || number < 1 || number > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(number);
}

ini::Result SavePortChoice(const std::filesystem::path& config, std::uint16_t port_no) {
  ini::LoadResult loaded = ini::LoadFile(config);
  if (loaded.status == ini::LoadStatus::kUnreadable) return {false, loaded.error};
  ini::Document& doc = loaded.document;
  const ini::Result set = doc.Set(kPortSection, kPortKey, std::to_string(port_no));
  if (!set.ok || !doc.modified()) return set;
  return ini::SaveFile(config, doc.Serialize());
}

}  // namespace veldoran::records
