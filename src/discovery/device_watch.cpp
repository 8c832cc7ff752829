#include "discovery/device_watch.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <set>

#include "platform/device_setup_api.h"

#ifndef Q_OS_WIN
#include "platform/posix/port_map.h"
#endif

namespace veldoran::discovery {

namespace fs = std::filesystem;

#ifdef VELDORAN_HAVE_UDEV
// In device_watch_udev.cpp: udev's monitor of ttys, or null where udev does not run.
std::shared_ptr<UdevMonitor> MakeUdevMonitor(QObject* parent, std::function<void()> changed);
#endif

#ifdef Q_OS_WIN
// In device_watch_win.cpp: a filter that hands every WM_DEVICECHANGE a top-level window gets
// on as it comes.
std::unique_ptr<QAbstractNativeEventFilter> MakeDeviceChangeFilter(
    DeviceChangeWatch::Handler handler);
#endif

DeviceChangeWatch::DeviceChangeWatch(std::vector<fs::path> folders, Handler handler,
                                     std::chrono::milliseconds quiet, QObject* parent)
    : QObject(parent), folders_(std::move(folders)), handler_(std::move(handler)) {
#ifdef Q_OS_WIN
  native_filter_ = MakeDeviceChangeFilter(handler_);
  QCoreApplication::instance()->installNativeEventFilter(native_filter_.get());
  (void)quiet;
#else
  quiet_.setSingleShot(true);
  quiet_.setInterval(quiet);
  connect(&quiet_, &QTimer::timeout, this, &DeviceChangeWatch::QuietPeriodOver);
  watcher_ = new QFileSystemWatcher(this);
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &DeviceChangeWatch::Changed);
#ifdef VELDORAN_HAVE_UDEV
  udev_ = MakeUdevMonitor(this, [this] { Changed(); });
#endif
  Rearm();
#endif
}

DeviceChangeWatch::~DeviceChangeWatch() {
#ifdef Q_OS_WIN
  if (QCoreApplication::instance()) {
    QCoreApplication::instance()->removeNativeEventFilter(native_filter_.get());
  }
#endif
}

std::vector<fs::path> DeviceChangeWatch::SystemFolders() {
#ifdef Q_OS_WIN
  return {};
#else
  return {"/dev", "/dev/serial/by-id", portmap::Directory()};
#endif
}

QStringList DeviceChangeWatch::WatchedPaths() const {
  return watcher_ ? watcher_->directories() : QStringList{};
}

void DeviceChangeWatch::Changed() {
  // A folder that appeared or went is watched (or waited for) at once, so that what happens
  // in it next is seen too.
  Rearm();
  quiet_.start();
}

void DeviceChangeWatch::QuietPeriodOver() {
  Rearm();
  handler_(serial::TMessage{win::WM_DEVICECHANGE, win::DBT_DEVNODES_CHANGED, 0});
}

void DeviceChangeWatch::Rearm() {
  std::set<QString> wanted;
  for (const fs::path& folder : folders_) {
    // udev's monitor tells of device nodes once their links are made; /dev itself changes
    // earlier, while the names are still missing.
    const fs::path below_dev = folder.lexically_normal().lexically_relative("/dev");
    if (udev_ && !below_dev.empty() && *below_dev.begin() != "..") continue;
    fs::path path = folder;
    std::error_code ec;
    while (!path.empty() && !fs::is_directory(path, ec)) {
      const fs::path parent = path.parent_path();
      if (parent == path) break;
      path = parent;
    }
    if (!path.empty() && fs::is_directory(path, ec)) wanted.insert(QString::fromStdString(path));
  }
  const QStringList watched = watcher_->directories();
  for (const QString& path : watched) {
    if (wanted.count(path) == 0) watcher_->removePath(path);
  }
  for (const QString& path : wanted) {
    if (!watched.contains(path)) watcher_->addPath(path);
  }
}

}  // namespace veldoran::discovery
