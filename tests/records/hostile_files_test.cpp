// Config.ini against what a user's disk can hold instead of a well-formed file: absurd sizes,
// FIFOs and devices, symbolic-link loops and dangling links, a full file system, and the
// leftovers of saves that were killed. Real files in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "records/ini_file.h"
#include "support/temp_dir.h"

namespace veldoran::ini {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A file of `size` bytes that takes no room on the disk (all zero bytes).
void MakeSparseFile(const fs::path& path, std::uintmax_t size) {
  WriteFileBytes(path, "");
  fs::resize_file(path, size);
}

bool Mentions(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(HostileFiles, AbsurdSizesAreRefusedWithTheReasonWithoutReadingThem) {
  TempDir dir;
  const fs::path path = dir / "Config.ini";

  MakeSparseFile(path, 100u * 1024 * 1024);
  LoadResult loaded = LoadFile(path);
  EXPECT_EQ(loaded.status, LoadStatus::kUnreadable);
  EXPECT_EQ(loaded.error, "Nie można odczytać pliku „" + path.string() +
                              "”: ma 100 MB, a można wczytać najwyżej 4 MB.");
  EXPECT_EQ(fs::file_size(path), 100u * 1024 * 1024);

  // Right at the limit a file still loads; one byte more does not.
  MakeSparseFile(path, kMaxFileSize);
  loaded = LoadFile(path);
  EXPECT_EQ(loaded.status, LoadStatus::kRead) << loaded.error;
  EXPECT_EQ(loaded.document.Serialize().size(), kMaxFileSize);
  MakeSparseFile(path, kMaxFileSize + 1);
  EXPECT_EQ(LoadFile(path).status, LoadStatus::kUnreadable);

  // Few bytes but a vast number of lines (each would cost a parsed line).
  WriteFileBytes(path, std::string(kMaxFileLines, '\n'));
  EXPECT_EQ(LoadFile(path).status, LoadStatus::kRead);
  WriteFileBytes(path, std::string(kMaxFileLines + 1, '\n'));
  loaded = LoadFile(path);
  EXPECT_EQ(loaded.status, LoadStatus::kUnreadable);
  EXPECT_TRUE(Mentions(loaded.error, "ma 100001 wierszy, a można wczytać najwyżej 100000."))
      << loaded.error;
}

TEST(HostileFiles, ReadingHonoursTheCallersLimitAndNothingElse) {
  TempDir dir;
  const fs::path path = dir / "data.bin";
  std::string bytes(200000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteFileBytes(path, bytes);
  EXPECT_EQ(platform::ReadFileContents(path).bytes, bytes);  // no limit
  EXPECT_EQ(platform::ReadFileContents(path, {bytes.size(), 200000}).bytes, bytes);
  const platform::ReadResult over = platform::ReadFileContents(path, {bytes.size() - 1});
  EXPECT_FALSE(over.ok);
  EXPECT_TRUE(over.too_large);
  EXPECT_TRUE(over.bytes.empty());
  EXPECT_EQ(over.error, "Nie można odczytać pliku „" + path.string() +
                            "”: ma 200000 B, a można wczytać najwyżej 199999 B.");
  // A file whose size the system does not know in advance is cut off at the limit all the same.
  const platform::ReadResult proc = platform::ReadFileContents("/proc/self/maps", {10});
  EXPECT_TRUE(proc.too_large);
  EXPECT_TRUE(Mentions(proc.error, "a można wczytać najwyżej 10 B.")) << proc.error;
  EXPECT_EQ(platform::SizeText(1024 * 1024 + 512 * 1024), "1,5 MB");
}

TEST(HostileFiles, WhatIsNotAFileIsRefusedAtOnceNeverWaitedOn) {
  TempDir dir;
  const fs::path path = dir / "Config.ini";

  // A FIFO with no writer: a blocking open or read would hang the window for good.
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  LoadResult loaded = LoadFile(path);
  EXPECT_EQ(loaded.status, LoadStatus::kUnreadable);
  EXPECT_TRUE(Mentions(loaded.error, "to nie jest zwykły plik")) << loaded.error;
  Result saved = SaveFile(path, "[s]\r\nk=v\r\n");
  EXPECT_FALSE(saved.ok);
  EXPECT_TRUE(Mentions(saved.error, "to nie jest zwykły plik")) << saved.error;
  EXPECT_TRUE(fs::is_fifo(path));
  fs::remove(path);

  // A link to an endless device: refused before a byte is read.
  fs::create_symlink("/dev/zero", path);
  loaded = LoadFile(path);
  EXPECT_EQ(loaded.status, LoadStatus::kUnreadable);
  EXPECT_TRUE(Mentions(loaded.error, "to nie jest zwykły plik")) << loaded.error;
  fs::remove(path);

  // A folder standing at the path, on save as well as on load.
  fs::create_directory(path);
  WriteFileBytes(path / "inside.txt", "kept");
  saved = SaveFile(path, "[s]\r\nk=v\r\n");
  EXPECT_FALSE(saved.ok);
  EXPECT_TRUE(Mentions(saved.error, "to folder, a nie plik")) << saved.error;
  EXPECT_EQ(ReadFileBytes(path / "inside.txt"), "kept");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"Config.ini"});
}

TEST(HostileFiles, SymbolicLinkLoopsAreReportedAndDanglingLinksStayLinks) {
  TempDir dir;
  const fs::path path = dir / "Config.ini";

  fs::create_symlink("Loop.ini", path);
  fs::create_symlink("Config.ini", dir / "Loop.ini");
  const LoadResult loaded = LoadFile(path);
  EXPECT_EQ(loaded.status, LoadStatus::kUnreadable);
  EXPECT_TRUE(Mentions(loaded.error, "symbolic links")) << loaded.error;
  const Result saved = SaveFile(path, "[s]\r\nk=v\r\n");
  EXPECT_FALSE(saved.ok);
  EXPECT_TRUE(Mentions(saved.error, "symbolic links")) << saved.error;
  EXPECT_EQ(fs::read_symlink(path), "Loop.ini");
  EXPECT_EQ(fs::read_symlink(dir / "Loop.ini"), "Config.ini");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"Config.ini", "Loop.ini"}));
  fs::remove(path);
  fs::remove(dir / "Loop.ini");

  // A link to a file that does not exist yet, through a second link: the save makes that
  // file, and both links stay.
  fs::create_directory(dir / "settings");
  fs::create_symlink("settings/current.ini", path);
  fs::create_symlink("veldoran.ini", dir / "settings" / "current.ini");
  EXPECT_EQ(LoadFile(path).status, LoadStatus::kMissing);
  ASSERT_TRUE(SaveFile(path, "[s]\r\nk=v\r\n").ok);
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_TRUE(fs::is_symlink(dir / "settings" / "current.ini"));
  EXPECT_EQ(ReadFileBytes(dir / "settings" / "veldoran.ini"), "[s]\r\nk=v\r\n");
  EXPECT_EQ(LoadFile(path).document.Get("s", "k"), "v");
}

// A tmpfs of a few pages mounted on a folder for the test: a real full file system. Needs the
// right to mount (root outside a restricted container).
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const fs::path& at) : at_(at) {
    fs::create_directory(at_);
    mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Takes all the room that is left.
  void Fill() const {
    const int fd = ::open((at_ / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(HostileFiles, ASaveOnAFullFileSystemKeepsTheOldFileAndSaysWhy) {
  TempDir dir;
  SmallFileSystem disk(dir / "disk");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const fs::path path = dir / "disk" / "Config.ini";
  const std::string old = "[Szafki]\r\n1=Hala\r\n";
  ASSERT_TRUE(SaveFile(path, old).ok);
  disk.Fill();

  const Result saved = SaveFile(path, "[Szafki]\r\n1=" + std::string(20000, 'n') + "\r\n");
  EXPECT_FALSE(saved.ok);
  EXPECT_TRUE(Mentions(saved.error, "No space left on device")) << saved.error;
  EXPECT_TRUE(Mentions(saved.error, "„" + path.string() + "”")) << saved.error;
  EXPECT_EQ(ReadFileBytes(path), old);
  EXPECT_EQ(Names(dir / "disk"), (std::vector<std::string>{"Config.ini", "filler"}));

  // Once there is room again, the save goes through.
  fs::remove(dir / "disk" / "filler");
  EXPECT_TRUE(SaveFile(path, "[Szafki]\r\n1=Magazyn\r\n").ok);
  EXPECT_EQ(LoadFile(path).document.Get("Szafki", "1"), "Magazyn");
}

// A process id that no process has now: a child that has ended and been reaped.
pid_t DeadProcessId() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(HostileFiles, ASaveRemovesOnlyTheTemporaryFilesOfSavesThatDied) {
  TempDir dir;
  const fs::path path = dir / "Config.ini";
  WriteFileBytes(path, "[s]\r\nk=old\r\n");
  const std::string dead = std::to_string(DeadProcessId());
  const std::string alive = std::to_string(::getppid());  // runs, and is not us
  const std::vector<std::string> kept = {
      "Config.ini." + alive + "-0.tmp",                       // a save that may still run
      "Config.ini." + std::to_string(::getpid()) + "-7.tmp",  // ours
      "Config.ini.notatki.tmp",                               // not a name saves use
      "Config.ini." + dead + "-1.tmp.bak",
      "Config.ini." + dead + "-1-2.tmp",
      "Inny.ini." + dead + "-0.tmp",  // another file's
  };
  for (const std::string& name : kept) WriteFileBytes(dir / name, "someone's");
  WriteFileBytes(dir / ("Config.ini." + dead + "-0.tmp"), "[s]\r\nk=ha");  // killed mid-write
  WriteFileBytes(dir / ("Config.ini." + dead + "-12.tmp"), "");
  fs::create_directory(dir / ("Config.ini." + dead + "-3.tmp"));  // not a file: left alone

  ASSERT_TRUE(SaveFile(path, "[s]\r\nk=new\r\n").ok);
  std::vector<std::string> expected = kept;
  expected.push_back("Config.ini");
  expected.push_back("Config.ini." + dead + "-3.tmp");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Names(dir.path()), expected);
  EXPECT_EQ(ReadFileBytes(path), "[s]\r\nk=new\r\n");
  for (const std::string& name : kept) EXPECT_EQ(ReadFileBytes(dir / name), "someone's");
}

}  // namespace
}  // namespace veldoran::ini
