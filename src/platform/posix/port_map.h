// The port map: how "COM<n>" names become device nodes on Linux and macOS.
//
// It is a directory of symbolic links, $XDG_CONFIG_HOME/veldoran/ports/ (by default
// ~/.config/veldoran/ports/), each named COM<n> and pointing at a device node, so a user can
// read and edit it with `ls -l` and `ln -s`. A link takes precedence; without one, a real
// 8250-type port /dev/ttyS<k> is COM<k+1>. A dangling link is a port that is not present now;
// its number stays reserved.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldoran::portmap {

// The map's directory (not created by this call).
std::filesystem::path Directory();

// The number n of a name "COM<n>" (letters in any case, n from 1 up), or nothing.
std::optional<int> ParsePortName(std::string_view name);

// The device node a port name stands for: the link's target (absolute, even when it does not
// exist) or the real /dev/ttyS<n-1>. Nothing when the name is not a port name or nothing is
// mapped to it.
std::optional<std::filesystem::path> Resolve(std::string_view port_name);

// Whether /dev/ttyS<k> is a real port (the kernel knows a UART type for it) rather than one
// of the phantom nodes the 8250 driver creates in advance.
bool IsRealTtyS(int k);

struct Entry {
  int number = 0;                // n of COM<n>
  std::filesystem::path device;  // what it points at
  bool present = false;          // the device node exists now
  bool linked = false;           // from a link (false: a real ttyS)
};

// Every mapped port, ascending by number.
std::vector<Entry> List();

// Links COM<number> to `device` unless a link of that name exists (dangling or not). A link
// takes precedence over a real ttyS of the same number, so asking for COM1 explicitly shadows
// /dev/ttyS0. Creates the directory when needed. False when taken or on error.
bool Register(int number, const std::filesystem::path& device);

// Links the lowest free COM<n>, n >= `first`, to `device`, passing over the numbers of real
// ttyS ports; returns n, or nothing on error.
std::optional<int> RegisterLowestFree(const std::filesystem::path& device, int first = 1);

// Removes the link COM<number> if it still points at `device`.
void Unregister(int number, const std::filesystem::path& device);

}  // namespace veldoran::portmap
