// Tells a window that serial ports may have come or gone while it runs, as a device-change
// message (WM_DEVICECHANGE) that a port picker's DeviceChange understands.
//
// On Windows the system broadcasts WM_DEVICECHANGE to every top-level window; a native event
// filter hands each on as it comes. Elsewhere udev's monitor tells of ttys that came or went
// once udev has made their links, and folders are watched (the port map always; /dev and
// /dev/serial/by-id where udev does not run, as in containers): a change restarts a quiet
// period, and only when it has passed is one DBT_DEVNODES_CHANGED message handed on, so that a
// plug, which changes several entries, gives one refresh. A watched folder that does not exist yet
// is waited for through the nearest folder above it that does, and watched once it appears.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "serial/comm_threads.h"

class QAbstractNativeEventFilter;
class QFileSystemWatcher;

namespace veldoran::discovery {

class UdevMonitor;

class DeviceChangeWatch : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(const serial::TMessage& message)>;
  static constexpr std::chrono::milliseconds kQuietPeriod{300};

  // Watches `folders` (ignored on Windows, where the system's broadcasts are used).
  DeviceChangeWatch(std::vector<std::filesystem::path> folders, Handler handler,
                    std::chrono::milliseconds quiet = kQuietPeriod, QObject* parent = nullptr);
  ~DeviceChangeWatch() override;

  // The folders whose changes mean a port came or went: /dev, /dev/serial/by-id and the port
  // map (none on Windows).
  static std::vector<std::filesystem::path> SystemFolders();

  // What is watched now (for tests): the folders that exist, and for each that does not, the
  // nearest folder above it that does.
  QStringList WatchedPaths() const;
  // Whether udev's monitor is used (udev runs); folders under /dev are then not watched.
  bool UsesUdev() const { return udev_ != nullptr; }

 private:
  void Changed();
  void QuietPeriodOver();
  // Watches each folder, or the nearest existing one above it; lets go of paths not needed.
  void Rearm();

  std::vector<std::filesystem::path> folders_;
  Handler handler_;
  QFileSystemWatcher* watcher_ = nullptr;
  QTimer quiet_;
  std::unique_ptr<QAbstractNativeEventFilter> native_filter_;
  std::shared_ptr<UdevMonitor> udev_;
};

}  // namespace veldoran::discovery
