// Trace log sinks of the serial layer. A port component writes its trace lines to an attached
// sink; the abstract sink leaves storage and line format to its implementations.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "serial/component.h"

namespace veldoran::serial {

// printf-style formatting into a std::string.
std::string Sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

class TspCustomLogFile : public TComponent {
 public:
  // (Sender, ErrorCode, Detail, ErrorMsg, var RaiseException).
  using ErrorHandler =
      std::function<void(TObject* sender, std::uint32_t error_code, std::uint32_t detail,
                         const std::string& message, bool& raise_exception)>;

  using TComponent::TComponent;

  // One line at a level (0 most important). May be called from several threads.
  virtual void WriteText(int level, std::string_view text) = 0;
  // An empty line.
  virtual void WriteEmpty() = 0;
  void WriteFormat(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // The sink's own error report: the handler may clear the raise flag; when it stays set, a
  // std::runtime_error carrying the message is thrown.
  void Error(std::uint32_t error_code, std::uint32_t detail, const std::string& message);
  void SetOnError(ErrorHandler handler) { on_error_ = std::move(handler); }

 private:
  ErrorHandler on_error_;
};

// Appends timestamped lines to a file: "2026-05-01 12:00:00.123 [1] text". Useful for
// support; the window attaches none.
class TspFileLog : public TspCustomLogFile {
 public:
  // Opens (appending) or creates the file; reports a failure through Error.
  explicit TspFileLog(std::string path, TComponent* owner = nullptr);

  void WriteText(int level, std::string_view text) override;
  void WriteEmpty() override;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::mutex mutex_;
  std::ofstream out_;
};

}  // namespace veldoran::serial
