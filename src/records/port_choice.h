// The port the operator picked last, kept in Config.ini in a section of its own:
//   [Port]
//   ComPortNo=3
// Written only when the operator picks a port, so a file of the first start holds no such
// section, and versions of the tool that do not know it leave it alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "records/ini_file.h"

namespace veldoran::records {

inline constexpr char kPortSection[] = "Port";
inline constexpr char kPortKey[] = "ComPortNo";

// The port number kept in `config`; nothing when the file, the section or the key is missing,
// the file cannot be read, or the value is not a port number from 1 to 65535.
std::optional<std::uint16_t> ReadPortChoice(const std::filesystem::path& config);

// Keeps `port_no` in `config`, every other byte of the file as it was (a file that is missing
// is made). A file that cannot be read is not replaced. Nothing is written when the file already
// holds that number.
ini::Result SavePortChoice(const std::filesystem::path& config, std::uint16_t port_no);

}  // namespace veldoran::records
