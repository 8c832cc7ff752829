// The port map's string path helpers do what std::filesystem's functions of the same job do,
// on every path of a few names that a link target or sysfs could hold.
#include "platform/posix/port_map_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace veldoran::portmap::detail;

TEST(PortMapPaths, AgreeWithStdFilesystem) {
  const std::vector<std::string> names = {"a", "sys", "..", ".", "", "virtual"};
  // Every path of up to four names, relative or absolute, with or without a final slash (paths
  // made only of slashes aside: std::filesystem keeps "//" as a root of its own).
  std::vector<std::string> paths = {""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const std::string& p : paths) {
      for (const std::string& n : names) longer.push_back(p.empty() ? n : p + "/" + n);
    }
    paths.insert(paths.end(), longer.begin(), longer.end());
  }
  int checked = 0;
  for (const std::string& base : paths) {
    for (const std::string& path : {base, "/" + base, base + "/", "/" + base + "/"}) {
      if (path.find_first_not_of('/') == std::string::npos) continue;
      const std::filesystem::path p(path);
      EXPECT_EQ(Normal(path), p.lexically_normal().string()) << path;
      EXPECT_EQ(Parent(path), p.parent_path().string()) << path;
      EXPECT_EQ(FileName(path), p.filename().string()) << path;
      ++checked;
    }
  }
  EXPECT_GT(checked, 1000);
}

TEST(PortMapPaths, InsideAndNamesBelow) {
  EXPECT_TRUE(Inside("/sys/devices/x", "/sys"));
  EXPECT_TRUE(Inside("/sys/devices/x", "/"));
  EXPECT_FALSE(Inside("/sys", "/sys"));
  EXPECT_FALSE(Inside("/sysfs/x", "/sys"));
  EXPECT_FALSE(Inside("/dev", "/sys/"));
  EXPECT_TRUE(NamesBelow("/sys/devices/virtual/tty/rfcomm0", "/sys", "virtual"));
  EXPECT_FALSE(NamesBelow("/virtual/sys/devices/tty", "/virtual/sys", "virtual"));
  EXPECT_TRUE(NamesBelow("/other/virtual/x", "/sys", "virtual"));
  EXPECT_FALSE(NamesBelow("/sys", "/sys", "sys"));
}

}  // namespace
