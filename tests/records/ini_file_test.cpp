// Config.ini on a real disk: loading, saving in one step, and the ways a save can fail.
#include "records/ini_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veldoran::ini {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "veldoran-ini-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

  // The names of the files in the folder, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Runs `body` in a child process and returns its exit code (-1 when it did not exit). With
// `unprivileged`, a child that runs as root first becomes the user "nobody", so that
// permission bits apply to it; it exits with kNoUnprivilegedUser when it cannot.
constexpr int kNoUnprivilegedUser = 77;
int RunInChild(const std::function<int()>& body, bool unprivileged) {
  std::cout.flush();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
        ::_exit(kNoUnprivilegedUser);
      }
    }
    ::_exit(body());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The values of the tool's 410 keys and their defaults, in the order the tool's load reads and
// writes them back: lockers 1 to 10, then per user n its first name, surname, code and
// permissions. The window's load does this; here it shows how the engine is meant to be used.
struct KeyRef {
  std::string section;
  std::string key;
  std::string default_value;
};
std::vector<KeyRef> ToolKeysInLoadOrder() {
  std::vector<KeyRef> keys;
  for (int n = 1; n <= 10; ++n) {
    keys.push_back({"Szafki", std::to_string(n), "Szafka " + std::to_string(n)});
  }
  for (int n = 1; n <= 100; ++n) {
    const std::string k = std::to_string(n);
    keys.push_back({"Users_ime", k, ""});
    keys.push_back({"Users_nazwisko", k, ""});
    keys.push_back({"kod", k, ""});
    keys.push_back({"uprawnienia", k, "1111111111"});
  }
  return keys;
}

// Reads every key with its default and writes it back; returns the values read.
std::vector<std::string> ReadAndWriteBack(Document& doc) {
  std::vector<std::string> values;
  for (const KeyRef& k : ToolKeysInLoadOrder()) {
    values.push_back(doc.Get(k.section, k.key, k.default_value));
    const Result result = doc.Set(k.section, k.key, values.back());
    EXPECT_TRUE(result.ok) << result.error;
  }
  return values;
}

TEST(IniFile, FirstStartInAnEmptyFolderWritesThe410KeysAsTheProfileFunctionsWould) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  LoadResult loaded = LoadFile(path);
  ASSERT_EQ(loaded.status, LoadStatus::kMissing);
  const auto values = ReadAndWriteBack(loaded.document);
  EXPECT_EQ(values[0], "Szafka 1");
  EXPECT_EQ(values[10], "");
  EXPECT_EQ(values[13], "1111111111");
  ASSERT_TRUE(loaded.document.modified());
  const Result saved = SaveFile(path, loaded.document.Serialize());
  ASSERT_TRUE(saved.ok) << saved.error;

  std::string expected = "[Szafki]\r\n";
  for (int n = 1; n <= 10; ++n)
    expected += std::to_string(n) + "=Szafka " + std::to_string(n) + "\r\n";
  for (const char* section : {"Users_ime", "Users_nazwisko", "kod"}) {
    expected += std::string("[") + section + "]\r\n";
    for (int n = 1; n <= 100; ++n) expected += std::to_string(n) + "=\r\n";
  }
  expected += "[uprawnienia]\r\n";
  for (int n = 1; n <= 100; ++n) expected += std::to_string(n) + "=1111111111\r\n";

  EXPECT_EQ(ReadBytes(path), expected);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Config.ini"});
}

// A Config.ini as the profile functions and the earlier Windows version leave it, with Polish
// names, a comment before the first section, a section of another program between the tool's
// ones, a key 101 and a comment inside a tool section. `surname2` is user 2's surname.
std::string ProfileWrittenFile(const std::string& surname2) {
  std::string f = "; Szatnia - konfiguracja\r\n[Szafki]\r\n";
  f += "1=Szafka \xA3ukasza\r\n";  // Łukasza
  for (int n = 2; n <= 10; ++n) f += std::to_string(n) + "=Szafka " + std::to_string(n) + "\r\n";
  f += "[Users_ime]\r\n1=\xA3ukasz\r\n2=Zofia\r\n";
  for (int n = 3; n <= 100; ++n) f += std::to_string(n) + "=\r\n";
  f += "101=Nadmiarowy\r\n[Users_nazwisko]\r\n1=\x8Cwi\xEAtochowski\r\n2=" + surname2 + "\r\n";
  for (int n = 3; n <= 100; ++n) f += std::to_string(n) + "=\r\n";
  f += "[Inny program]\r\nOkno=1,2,300,400\r\n;  komentarz \xBF\xF3\xB3ty\r\n\r\n[kod]\r\n";
  f += "1=0A1B2C3D\r\n2=DEADBEEF\r\n";
  for (int n = 3; n <= 100; ++n) f += std::to_string(n) + "=\r\n";
  f += "; karty testowe\r\n[uprawnienia]\r\n1=1010000000\r\n2=0000000001\r\n";
  for (int n = 3; n <= 100; ++n) f += std::to_string(n) + "=1111111111\r\n";
  return f;
}

TEST(IniFile, AProfileWrittenFileLoadsAndSavesBackWithEveryUnknownByteKept) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  const std::string original = ProfileWrittenFile("Nowak");
  WriteBytes(path, original);

  LoadResult loaded = LoadFile(path);
  ASSERT_EQ(loaded.status, LoadStatus::kRead) << loaded.error;
  const auto values = ReadAndWriteBack(loaded.document);
  EXPECT_EQ(values[0], "Szafka \xA3ukasza");
  EXPECT_EQ(values[10], "\xA3ukasz");
  EXPECT_EQ(values[11], "\x8Cwi\xEAtochowski");
  EXPECT_EQ(values[12], "0A1B2C3D");
  EXPECT_EQ(values[13], "1010000000");
  EXPECT_EQ(values[15], "Nowak");
  EXPECT_EQ(loaded.document.Get("Users_ime", "101"), "Nadmiarowy");
  EXPECT_FALSE(loaded.document.modified());
  ASSERT_TRUE(SaveFile(path, loaded.document.Serialize()).ok);
  EXPECT_EQ(ReadBytes(path), original);

  // A change touches the one line.
  ASSERT_TRUE(loaded.document.Set("Users_nazwisko", "2", "\xAF\xF3\xB3\x9C").ok);  // Żółś
  const Result saved = SaveFile(path, loaded.document.Serialize());
  ASSERT_TRUE(saved.ok) << saved.error;
  EXPECT_EQ(ReadBytes(path), ProfileWrittenFile("\xAF\xF3\xB3\x9C"));
}

TEST(IniFile, MissingKeysOfAnOlderFileAreAddedInsideTheirSections) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  // Lockers 1 and 2 only, users 1 and 2 only, the permissions section missing.
  WriteBytes(path,
             "[Szafki]\r\n1=A\r\n2=B\r\n; reszta domy\x9Clnie\r\n[Users_ime]\r\n1=Jan\r\n2=Ewa\r\n"
             "[Users_nazwisko]\r\n1=Kos\r\n2=Lis\r\n[kod]\r\n1=11111111\r\n2=22222222");
  LoadResult loaded = LoadFile(path);
  ASSERT_EQ(loaded.status, LoadStatus::kRead);
  ReadAndWriteBack(loaded.document);
  ASSERT_TRUE(SaveFile(path, loaded.document.Serialize()).ok);

  std::string expected = "[Szafki]\r\n1=A\r\n2=B\r\n";
  for (int n = 3; n <= 10; ++n)
    expected += std::to_string(n) + "=Szafka " + std::to_string(n) + "\r\n";
  expected += "; reszta domy\x9Clnie\r\n[Users_ime]\r\n1=Jan\r\n2=Ewa\r\n";
  for (int n = 3; n <= 100; ++n) expected += std::to_string(n) + "=\r\n";
  expected += "[Users_nazwisko]\r\n1=Kos\r\n2=Lis\r\n";
  for (int n = 3; n <= 100; ++n) expected += std::to_string(n) + "=\r\n";
  expected += "[kod]\r\n1=11111111\r\n2=22222222\r\n";
  for (int n = 3; n <= 100; ++n) expected += std::to_string(n) + "=\r\n";
  expected += "[uprawnienia]\r\n";
  for (int n = 1; n <= 100; ++n) expected += std::to_string(n) + "=1111111111\r\n";
  EXPECT_EQ(ReadBytes(path), expected);
}

TEST(IniFile, AFileThatExistsButCannotBeReadIsReportedNotTakenAsMissing) {
  TempFolder dir;
  // A folder standing where the file should be: unreadable for everyone, root included.
  fs::create_directory(dir.path() / "Config.ini");
  const LoadResult folder = LoadFile(dir.path() / "Config.ini");
  EXPECT_EQ(folder.status, LoadStatus::kUnreadable);
  EXPECT_NE(folder.error.find("Config.ini"), std::string::npos) << folder.error;
  EXPECT_NE(folder.error.find("folder"), std::string::npos) << folder.error;

  // A file without read permission, read by an unprivileged user.
  const fs::path secret = dir.path() / "secret.ini";
  WriteBytes(secret, "[s]\r\na=1\r\n");
  fs::permissions(dir.path(), fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
  fs::permissions(secret, fs::perms::none);
  const int code = RunInChild(
      [&] {
        const LoadResult r = LoadFile(secret);
        if (r.status != LoadStatus::kUnreadable) return 1;
        return r.error.find("Permission denied") != std::string::npos ? 0 : 2;
      },
      /*unprivileged=*/true);
  if (code == kNoUnprivilegedUser) GTEST_SKIP() << "cannot run as an unprivileged user here";
  EXPECT_EQ(code, 0);

  EXPECT_EQ(LoadFile(dir.path() / "absent.ini").status, LoadStatus::kMissing);
}

TEST(IniFile, ASaveReplacesTheFileAndKeepsItsPermissionBits) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  WriteBytes(path, "old");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const Result saved = SaveFile(path, "[s]\r\nk=new\r\n");
  ASSERT_TRUE(saved.ok) << saved.error;
  EXPECT_EQ(ReadBytes(path), "[s]\r\nk=new\r\n");
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Config.ini"});
}

TEST(IniFile, ASaveThroughASymbolicLinkReplacesTheFileItPointsAt) {
  TempFolder dir;
  fs::create_directory(dir.path() / "real");
  WriteBytes(dir.path() / "real" / "settings.ini", "old");
  fs::create_symlink("real/settings.ini", dir.path() / "Config.ini");
  ASSERT_TRUE(SaveFile(dir.path() / "Config.ini", "new").ok);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "Config.ini"));
  EXPECT_EQ(ReadBytes(dir.path() / "real" / "settings.ini"), "new");
}

TEST(IniFile, AReadOnlyFileIsNotReplacedEvenInAWritableFolder) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  WriteBytes(path, "[s]\r\nk=old\r\n");
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const Result saved = SaveFile(path, "[s]\r\nk=new\r\n");
  EXPECT_FALSE(saved.ok);
  EXPECT_NE(saved.error.find("tylko do odczytu"), std::string::npos) << saved.error;
  EXPECT_NE(saved.error.find("Config.ini"), std::string::npos) << saved.error;
  EXPECT_EQ(ReadBytes(path), "[s]\r\nk=old\r\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Config.ini"});
  // It still loads in full.
  const LoadResult loaded = LoadFile(path);
  ASSERT_EQ(loaded.status, LoadStatus::kRead);
  EXPECT_EQ(loaded.document.Get("s", "k"), "old");
}

TEST(IniFile, ASaveIntoAReadOnlyFolderFailsAndLeavesTheFile) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  WriteBytes(path, "[s]\r\nk=old\r\n");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::group_write | fs::perms::others_read |
                            fs::perms::others_write);
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                  fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  // Root may create files in any folder, so the save runs as an unprivileged user.
  const int code = RunInChild(
      [&] {
        if (LoadFile(path).status != LoadStatus::kRead) return kNoUnprivilegedUser;
        const Result saved = SaveFile(path, "[s]\r\nk=new\r\n");
        if (saved.ok) return 1;
        std::cerr << "save refused: " << saved.error << "\n";
        return saved.error.find("pliku tymczasowego") != std::string::npos ? 0 : 2;
      },
      /*unprivileged=*/true);
  if (code == kNoUnprivilegedUser) {
    GTEST_SKIP() << "cannot run as an unprivileged user who can reach " << dir.path();
  }
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadBytes(path), "[s]\r\nk=old\r\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Config.ini"});
}

TEST(IniFile, ASaveWhoseFolderIsAFileFails) {
  TempFolder dir;
  WriteBytes(dir.path() / "folder", "a plain file");
  const Result saved = SaveFile(dir.path() / "folder" / "Config.ini", "x");
  EXPECT_FALSE(saved.ok);
  EXPECT_NE(saved.error.find("Not a directory"), std::string::npos) << saved.error;
  EXPECT_EQ(ReadBytes(dir.path() / "folder"), "a plain file");
}

TEST(IniFile, AWriteThatRunsOutOfSpaceLeavesTheOldFileAndNoTemporaryFile) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  WriteBytes(path, "[s]\r\nk=old\r\n");
  // A file size limit makes the disk "full" after 4 KiB, for root as well.
  const int code = RunInChild(
      [&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
        const Result saved = SaveFile(path, "[s]\r\nk=" + std::string(100000, 'n') + "\r\n");
        if (saved.ok) return 1;
        std::cerr << "save refused: " << saved.error << "\n";
        return saved.error.find("File too large") != std::string::npos ? 0 : 2;
      },
      /*unprivileged=*/false);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadBytes(path), "[s]\r\nk=old\r\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Config.ini"});
}

// A large file (about 800 KB) whose every line carries `mark`, so two of them differ everywhere.
std::string LargeFile(char mark) {
  std::string file = "[Users_ime]\r\n";
  for (int n = 1; n <= 4000; ++n) file += std::to_string(n) + "=" + std::string(200, mark) + "\r\n";
  return file;
}

TEST(IniFile, KillingTheToolInTheMiddleOfASaveNeverLeavesADamagedFile) {
  TempFolder dir;
  const fs::path path = dir.path() / "Config.ini";
  const std::string a = LargeFile('a');
  const std::string b = LargeFile('b');
  ASSERT_TRUE(SaveFile(path, a).ok);

  // Kill moments spread over a few saves' time.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(SaveFile(path, b).ok);
  ASSERT_TRUE(SaveFile(path, a).ok);
  const auto save_us = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count() /
                       2;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> delay_us(0, std::min<long>(3 * save_us + 1000, 300000));

  int found_a = 0;
  int found_b = 0;
  for (int round = 0; round < 40; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      const char go = 1;
      if (::write(ready[1], &go, 1) != 1) ::_exit(1);
      for (unsigned n = 0;; ++n) (void)SaveFile(path, n % 2 == 0 ? b : a);
    }
    ::close(ready[1]);
    char go = 0;
    const bool started = ::read(ready[0], &go, 1) == 1;  // the child is about to start saving
    ::close(ready[0]);
    if (started) std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended by itself";

    const std::string now = ReadBytes(path);
    ASSERT_TRUE(now == a || now == b)
        << "round " << round << " (seed " << seed << "): the file has " << now.size()
        << " bytes, a whole one " << a.size();
    (now == a ? found_a : found_b)++;
    // A killed save may leave its temporary file behind; the next save does not need it.
    for (const std::string& name : dir.Names()) {
      if (name != "Config.ini") fs::remove(dir.path() / name);
    }
  }
  std::cout << "one save of " << a.size() << " bytes: " << save_us
            << " us; after 40 kills the file "
            << "was the old one " << found_a << " and the new one " << found_b << " times\n";
}

}  // namespace
}  // namespace veldoran::ini
