// Config.ini on Windows, checked against the Windows profile functions themselves: what the
// engine writes reads back through GetPrivateProfileStringW value for value, and what
// WritePrivateProfileStringW wrote loads in the engine unchanged, Polish letters (Windows-1250
// bytes) and sections the tool does not know included, in a folder whose name has Polish
// letters. The profile functions read a file in the ANSI code page, so the test runs with the
// Polish one (1250), as on the installers' PCs (under Wine: LC_ALL=pl_PL.UTF-8).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/cp1250.h"
#include "records/ini_file.h"

// clang-format off
#include <windows.h>
// clang-format on

namespace veldoran::ini {
namespace {

namespace fs = std::filesystem;

// A fresh folder named with Polish letters in the working folder.
class PolishFolder {
 public:
  PolishFolder() {
    path_ = fs::current_path() /
            (L"Veldoran zażółć gęślą jaźń " + std::to_wstring(::GetCurrentProcessId()));
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~PolishFolder() { Remove(path_); }
  const fs::path& path() const { return path_; }

 private:
  static void Remove(const fs::path& path) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path, ec)) {
      if (entry.is_directory(ec)) {
        Remove(entry.path());
      } else {
        ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(entry.path().c_str());
      }
    }
    ::RemoveDirectoryW(path.c_str());
  }

  fs::path path_;
};

std::wstring Wide(std::string_view cp1250) {
  const std::u16string text = cp1250::Decode(cp1250);
  return std::wstring(text.begin(), text.end());
}

std::string Bytes(const std::wstring& text) {
  return cp1250::Encode(std::u16string(text.begin(), text.end())).value_or("?");
}

// What GetPrivateProfileStringW reads, as Windows-1250 bytes.
std::string ProfileRead(const fs::path& file, std::string_view section, std::string_view key) {
  wchar_t buffer[4096] = {};
  ::GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"<missing>", buffer, 4096,
                             file.c_str());
  return Bytes(buffer);
}

struct Entry {
  std::string section, key, value;
};

// Windows-1250: "Szafka łazienka", "Łódź", "Żaneta", "Ślązak", "źrebię" and a card code.
const std::vector<Entry> kEntries = {
    {"Szafki", "1",
     "Szafka \xB3"
     "azienka"},
    {"Szafki", "2",
     "\xA3\xF3"
     "d\x9F"},
    {"Users_ime", "1",
     "\xAF"
     "aneta"},
    {"Users_nazwisko", "1", "\x8Cl\xB9zak"},
    {"kod", "1", "00A1B2C3"},
    {"uprawnienia", "1", "1010000000"},
    {"Zap\xB3"
     "ata",
     "Kwota", "\x9Frebi\xEA"},  // a section the tool does not know
};

class IniOnWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::GetACP() != 1250) GTEST_SKIP() << "needs the Polish ANSI code page (1250)";
  }
  PolishFolder folder;
  fs::path file = folder.path() / "Config.ini";
};

TEST_F(IniOnWindows, WhatTheEngineWritesTheProfileFunctionsReadValueForValue) {
  Document doc = Document::Parse("; written by hand\r\n[Inne]\r\nklucz=warto\x9c\xe6\r\n");
  for (const Entry& e : kEntries) ASSERT_TRUE(doc.Set(e.section, e.key, e.value).ok);
  const Result saved = SaveFile(file, doc.Serialize());
  ASSERT_TRUE(saved.ok) << saved.error;

  for (const Entry& e : kEntries) {
    EXPECT_EQ(ProfileRead(file, e.section, e.key), e.value) << e.section << "/" << e.key;
  }
  EXPECT_EQ(ProfileRead(file, "Inne", "klucz"), "warto\x9c\xe6");
  EXPECT_EQ(ProfileRead(file, "kod", "99"), "<missing>");
}

TEST_F(IniOnWindows, WhatTheProfileFunctionsWriteLoadsUnchanged) {
  for (const Entry& e : kEntries) {
    ASSERT_TRUE(::WritePrivateProfileStringW(Wide(e.section).c_str(), Wide(e.key).c_str(),
                                             Wide(e.value).c_str(), file.c_str()));
  }
  ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str());  // flushes the cache

  const LoadResult loaded = LoadFile(file);
  ASSERT_EQ(loaded.status, LoadStatus::kRead) << loaded.error;
  for (const Entry& e : kEntries) {
    EXPECT_EQ(loaded.document.Get(e.section, e.key), e.value) << e.section << "/" << e.key;
  }
  // Saving what was loaded, with nothing changed, gives the file back byte for byte; a change
  // touches only its own line, and the profile functions read it.
  const platform::ReadResult before = platform::ReadFileContents(file);
  ASSERT_TRUE(before.ok);
  Document doc = loaded.document;
  ASSERT_TRUE(SaveFile(file, doc.Serialize()).ok);
  EXPECT_EQ(platform::ReadFileContents(file).bytes, before.bytes);
  ASSERT_TRUE(doc.Set("Szafki", "2",
                      "Pi\xEA"
                      "tro")
                  .ok);
  ASSERT_TRUE(SaveFile(file, doc.Serialize()).ok);
  EXPECT_EQ(ProfileRead(file, "Szafki", "2"),
            "Pi\xEA"
            "tro");
  EXPECT_EQ(ProfileRead(file,
                        "Zap\xB3"
                        "ata",
                        "Kwota"),
            "\x9Frebi\xEA");
}

TEST_F(IniOnWindows, AReadOnlyFileIsNeverReplacedAndTheErrorSaysWhy) {
  ASSERT_TRUE(SaveFile(file, "[Szafki]\r\n1=Stara\r\n").ok);
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  const Result saved = SaveFile(file, "[Szafki]\r\n1=Nowa\r\n");
  EXPECT_FALSE(saved.ok);
  EXPECT_NE(saved.error.find(*cp1250::Encode(u"plik jest tylko do odczytu.")), std::string::npos)
      << saved.error;
  EXPECT_EQ(platform::ReadFileContents(file).bytes, "[Szafki]\r\n1=Stara\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
  ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(IniOnWindows, MissingAndUnreadableFilesAreToldApart) {
  EXPECT_EQ(LoadFile(file).status, LoadStatus::kMissing);
  EXPECT_EQ(LoadFile(folder.path() / "no such folder" / "Config.ini").status, LoadStatus::kMissing);
  // A folder where the file should be cannot be read, and is not taken as a missing file.
  ASSERT_TRUE(::CreateDirectoryW(file.c_str(), nullptr));
  const LoadResult loaded = LoadFile(file);
  EXPECT_EQ(loaded.status, LoadStatus::kUnreadable);
  // The operator's texts are Polish, in the Polish ANSI code page the tests run in.
  EXPECT_EQ(loaded.error.rfind(*cp1250::Encode(u"Nie można odczytać pliku „"), 0), 0u)
      << loaded.error;
  EXPECT_EQ(loaded.error.back(), '.');
  const Result saved = SaveFile(file, "x");
  EXPECT_FALSE(saved.ok);
  EXPECT_NE(saved.error.find("to folder, a nie plik."), std::string::npos) << saved.error;
  EXPECT_NE(loaded.error.find("to folder, a nie plik."), std::string::npos) << loaded.error;
}

TEST_F(IniOnWindows, ASaveIntoAMissingFolderFailsWithTheSystemsReason) {
  const fs::path nowhere = folder.path() / "gone" / "Config.ini";
  const Result saved = SaveFile(nowhere, "x");
  EXPECT_FALSE(saved.ok);
  const std::string why = *cp1250::Encode(u"nie można utworzyć pliku tymczasowego w folderze");
  EXPECT_NE(saved.error.find(why), std::string::npos) << saved.error;
  EXPECT_NE(saved.error.find(":", saved.error.find(why)), std::string::npos);
  EXPECT_FALSE(fs::exists(nowhere));
}

}  // namespace
}  // namespace veldoran::ini
