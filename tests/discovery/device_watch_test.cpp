// The device-change watch on real folders: a burst of changes gives one message after the quiet
// period, a folder that does not exist yet is waited for and then watched, and one that goes
// away is waited for again.
#include "discovery/device_watch.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "platform/device_setup_api.h"
#include "support/qt_printers.h"
#include "support/temp_dir.h"

namespace veldoran::discovery {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DeviceWatchTest : public ::testing::Test {
 protected:
  // Runs the event loop until `done` or a generous deadline.
  static bool ProcessUntil(const std::function<bool()>& done,
                           std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // Runs the event loop for `span` (to see that nothing more comes).
  static void ProcessFor(std::chrono::milliseconds span) {
    ProcessUntil([] { return false; }, span);
  }
  static QString Q(const fs::path& path) { return QString::fromStdString(path.string()); }

  testing::TempDir dir_;
  std::vector<serial::TMessage> messages_;
  DeviceChangeWatch::Handler record_ = [this](const serial::TMessage& m) {
    messages_.push_back(m);
  };
};

TEST_F(DeviceWatchTest, ABurstOfChangesGivesOneMessageOnceItIsOver) {
  const fs::path ports = dir_ / "config" / "veldoran" / "ports";
  DeviceChangeWatch watch({ports}, record_);
  // Not there yet: the nearest folder above it that exists is watched instead.
  EXPECT_EQ(watch.WatchedPaths(), QStringList{Q(dir_.path())});

  // A plug: the folder made, and a link in it.
  fs::create_directories(ports);
  fs::create_symlink("/dev/null", ports / "COM3");
  ASSERT_TRUE(ProcessUntil([&] { return !messages_.empty(); }));
  ProcessFor(3 * DeviceChangeWatch::kQuietPeriod);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Msg, win::WM_DEVICECHANGE);
  EXPECT_EQ(messages_[0].WParam, win::DBT_DEVNODES_CHANGED);
  EXPECT_EQ(watch.WatchedPaths(), QStringList{Q(ports)});

  // Four ports of one adapter at once: still one message.
  for (int n = 4; n <= 7; ++n) {
    fs::create_symlink("/dev/null", ports / ("COM" + std::to_string(n)));
  }
  ASSERT_TRUE(ProcessUntil([&] { return messages_.size() == 2; }));
  ProcessFor(3 * DeviceChangeWatch::kQuietPeriod);
  EXPECT_EQ(messages_.size(), 2u);

  // The folder removed: seen, and waited for again from above.
  fs::remove_all(dir_ / "config" / "veldoran");
  ASSERT_TRUE(ProcessUntil([&] { return messages_.size() == 3; }));
  EXPECT_EQ(watch.WatchedPaths(), QStringList{Q(dir_ / "config")});
}

TEST_F(DeviceWatchTest, UdevsMonitorWhereUdevRunsElseTheFoldersOfDev) {
  DeviceChangeWatch watch({"/dev", dir_.path()}, record_);
  const QStringList watched = watch.WatchedPaths();
  if (!fs::exists("/run/udev/control")) {
    EXPECT_FALSE(watch.UsesUdev());
    EXPECT_TRUE(watched.contains("/dev")) << watched.join(" ").toStdString();
    GTEST_SKIP() << "udev does not run here: the folders are watched, its monitor is not tested";
  }
  EXPECT_TRUE(watch.UsesUdev());
  EXPECT_FALSE(watched.contains("/dev")) << watched.join(" ").toStdString();
  EXPECT_TRUE(watched.contains(Q(dir_.path()))) << "the port map's folder is watched always";
}

}  // namespace
}  // namespace veldoran::discovery
