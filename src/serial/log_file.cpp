#include "serial/log_file.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "platform/local_time.h"

namespace veldoran::serial {

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string Sprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  return text;
}

void TspCustomLogFile::WriteFormat(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = VFormat(format, args);
  va_end(args);
  WriteText(level, text);
}

void TspCustomLogFile::Error(std::uint32_t error_code, std::uint32_t detail,
                             const std::string& message) {
  bool raise = true;
  if (on_error_) on_error_(this, error_code, detail, message, raise);
  if (raise) throw std::runtime_error(message);
}

TspFileLog::TspFileLog(std::string path, TComponent* owner)
    : TspCustomLogFile(owner), path_(std::move(path)) {
  out_.open(path_, std::ios::out | std::ios::app | std::ios::binary);
  if (!out_) Error(1, 0, "Cannot open the log file " + path_);
}

void TspFileLog::WriteText(int level, std::string_view text) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm local = platform::LocalTime(seconds);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%d] ",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis), level);
  std::lock_guard lock(mutex_);
  out_ << stamp << text << '\n';
  out_.flush();
}

void TspFileLog::WriteEmpty() {
  std::lock_guard lock(mutex_);
  out_ << '\n';
  out_.flush();
}

}  // namespace veldoran::serial
