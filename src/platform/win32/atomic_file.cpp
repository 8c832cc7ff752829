// Whole-file reads and atomic replacement on Windows, with wide-character paths throughout, so
// a folder whose name the ANSI code page cannot spell works too. The error texts are those of
// the POSIX backend (Polish, for the operator), with the system's reason (FormatMessage) in
// place of strerror's, all in the ANSI code page the window decodes them with.
#include "platform/atomic_file.h"

#include <algorithm>
#include <atomic>

#include "platform/win32/win32_text.h"

// After our headers, whose Win32 names <windows.h> would turn into macros.
// clang-format off
#include <windows.h>
// clang-format on

namespace veldoran::platform {
namespace {

// Our own texts, written here as wide literals, in the ANSI code page.
std::string Text(std::wstring_view text) { return win::AnsiFromWide(text); }

// The operator's texts are Polish, with Polish quotation marks.
std::string Quote(const std::filesystem::path& path) {
  return Text(L"\u201E" + path.wstring() + L"\u201D");
}

std::string ErrorText(::DWORD error) { return win::SystemMessage(error); }

FileResult Refuse(std::string why) { return FileResult{false, std::move(why)}; }

bool WriteAll(::HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ::DWORD chunk = static_cast<::DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    ::DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) return false;
    if (written == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// Puts `from` in the place of `to`. ReplaceFile keeps the old file's attributes and security;
// where it cannot be used (some file systems, some network shares), a write-through move with
// replacement does the same job.
bool PutInPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool exists) {
  if (exists && ::ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                               nullptr, nullptr)) {
    return true;
  }
  return ::MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

ReadResult ReadFileContents(const std::filesystem::path& path, const ReadLimits& limits) {
  ReadResult result;
  const auto refuse = [&](const std::string& why) {
    result.ok = false;
    result.bytes.clear();
    result.error = Text(L"Nie można odczytać pliku ") + Quote(path) + ": " + why;
    return result;
  };
  const auto fail = [&](::DWORD error) { return refuse(ErrorText(error) + "."); };
  const auto too_large = [&](const std::string& why) {
    refuse(why);
    result.too_large = true;
    return result;
  };
  const auto too_many_bytes = [&](std::uintmax_t size) {
    return too_large(Text(L"ma ") + SizeText(size) + Text(L", a można wczytać najwyżej ") +
                     SizeText(limits.max_bytes) + ".");
  };
  const ::DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return refuse(Text(L"to folder, a nie plik."));
  }
  const ::HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const ::DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return fail(error);
    result.ok = false;
    result.missing = true;
    return result;
  }
  struct Closer {
    ::HANDLE file;
    ~Closer() { ::CloseHandle(file); }
  } closer{file};
  // A device or a pipe would be read without end, or waited on.
  if (::GetFileType(file) != FILE_TYPE_DISK) return refuse(Text(L"to nie jest zwykły plik."));
  ::LARGE_INTEGER size{};
  if (::GetFileSizeEx(file, &size) &&
      static_cast<std::uintmax_t>(size.QuadPart) > limits.max_bytes) {
    return too_many_bytes(static_cast<std::uintmax_t>(size.QuadPart));
  }
  char buffer[65536];
  for (;;) {
    // Up to one byte past the limit, so that a file that grew shows as too large.
    const std::uintmax_t room =
        limits.max_bytes - std::min<std::uintmax_t>(limits.max_bytes, result.bytes.size());
    const ::DWORD want = room >= sizeof buffer ? sizeof buffer : static_cast<::DWORD>(room + 1);
    ::DWORD n = 0;
    if (!::ReadFile(file, buffer, want, &n, nullptr)) return fail(::GetLastError());
    if (n == 0) break;
    result.bytes.append(buffer, n);
    if (result.bytes.size() > limits.max_bytes) return too_many_bytes(result.bytes.size());
  }
  const auto lines =
      static_cast<std::uintmax_t>(std::count(result.bytes.begin(), result.bytes.end(), '\n'));
  if (lines > limits.max_lines) {
    return too_large(Text(L"ma ") + std::to_string(lines) +
                     Text(L" wierszy, a można wczytać najwyżej ") +
                     std::to_string(limits.max_lines) + ".");
  }
  return result;
}

FileResult ReplaceFileContents(const std::filesystem::path& path, std::string_view bytes) {
  const std::string cannot = Text(L"Nie można zapisać pliku ") + Quote(path) + ": ";
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";

  const ::DWORD attributes = ::GetFileAttributesW(path.c_str());
  bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists) {
    const ::DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return Refuse(cannot + ErrorText(error) + ".");
    }
  } else {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      return Refuse(cannot + Text(L"to folder, a nie plik."));
    }
    if (attributes & FILE_ATTRIBUTE_DEVICE) {
      return Refuse(cannot + Text(L"to nie jest zwykły plik."));
    }
    // A rename would replace a read-only file; it must not.
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      return Refuse(cannot + Text(L"plik jest tylko do odczytu."));
    }
  }

  static std::atomic<unsigned> counter{0};
  std::filesystem::path temp;
  ::HANDLE file = INVALID_HANDLE_VALUE;
  ::DWORD create_error = ERROR_SUCCESS;
  for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    temp = folder / (path.filename().wstring() + L"." + std::to_wstring(::GetCurrentProcessId()) +
                     L"-" + std::to_wstring(counter++) + L".tmp");
    file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    create_error = ::GetLastError();
    if (file == INVALID_HANDLE_VALUE && create_error != ERROR_FILE_EXISTS &&
        create_error != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    return Refuse(cannot + Text(L"nie można utworzyć pliku tymczasowego w folderze ") +
                  Quote(folder) + ": " + ErrorText(create_error) + ".");
  }

  const auto fail = [&](std::wstring_view step, ::DWORD error) {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    ::DeleteFileW(temp.c_str());
    return Refuse(cannot +
                  Text(std::wstring(L"błąd przy ") + std::wstring(step) + L" pliku tymczasowego ") +
                  Quote(temp) + ": " + ErrorText(error) + ".");
  };
  if (!WriteAll(file, bytes)) return fail(L"zapisie", ::GetLastError());
  if (!::FlushFileBuffers(file)) return fail(L"zapisie na dysk", ::GetLastError());
  const bool closed = ::CloseHandle(file) != 0;
  const ::DWORD close_error = ::GetLastError();
  file = INVALID_HANDLE_VALUE;
  if (!closed) return fail(L"zamykaniu", close_error);
  if (!PutInPlace(temp, path, exists)) return fail(L"zmianie nazwy", ::GetLastError());
  return {};
}

}  // namespace veldoran::platform
