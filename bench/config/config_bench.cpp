// Times loading and saving a full Config.ini (10 lockers, 100 users, long names) with the INI
// engine, and beside it the same save done the way the profile functions do it: the whole file
// read, changed and rewritten once per value, 410 times.
//
//   config_bench [folder]     (default: a new folder under the system's temporary folder)
//
// It works on "config-bench.ini" in that folder, never on a Config.ini there.
//
// The engine's save flushes the file to the disk (fsync) before it renames it into place, so
// its figure includes the disk's flush time; the profile-style rewrite does not flush. On a
// RAM file system (tmpfs) a flush costs nothing: run it on the disk the tool will use.
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "records/ini_file.h"

namespace {

namespace fs = std::filesystem;
using veldoran::ini::Document;
using Clock = std::chrono::steady_clock;

struct Entry {
  std::string section;
  std::string key;
  std::string value;
};

// The tool's 410 keys in their order, with long Windows-1250 names. `round` changes every
// value, so each save has all 410 keys to rewrite.
std::vector<Entry> FullConfig(int round) {
  const std::string tag = " #" + std::to_string(round);
  std::vector<Entry> entries;
  for (int n = 1; n <= 10; ++n) {
    entries.push_back({"Szafki", std::to_string(n),
                       "Szafka nr " + std::to_string(n) +
                           " \x96 szatnia g\xB3\xF3wna, budynek B, pi\xEAtro 3, przy wej\x9C" +
                           "ciu od ulicy \x8Cwi\xEAtokrzyskiej" + tag});
  }
  const char* sections[] = {"Users_ime", "Users_nazwisko", "kod", "uprawnienia"};
  for (const char* section : sections) {
    for (int n = 1; n <= 100; ++n) {
      std::string value;
      const std::string s = section;
      if (s == "Users_ime")
        value = "Krzysztof-Bo\xBFydar Przemys\xB3\x61w " + std::to_string(n) + tag;
      if (s == "Users_nazwisko") {
        value =
            "Brz\xEA"
            "czyszczykiewicz-\xAF\xF3\xB3todziobska " +
            std::to_string(n) + tag;
      }
      if (s == "kod") value = "0A1B" + std::to_string(1000 + n + round % 7);
      if (s == "uprawnienia") value = round % 2 ? "1010101010" : "0101010101";
      entries.push_back({section, std::to_string(n), value});
    }
  }
  return entries;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
  double median;
  double min;
};
Stats Summarize(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front()};
}

bool WriteInPlace(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && ok;
}

const char* FileSystemName(const fs::path& folder) {
  struct statfs info {};
  if (::statfs(folder.c_str(), &info) != 0) return "unknown";
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53:
      return "ext2/3/4";
    case 0x01021994:
      return "tmpfs (flushes cost nothing)";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x794C7630:
      return "overlayfs";
    default:
      return "other";
  }
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "config_bench: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path folder;
  bool remove_folder = false;
  if (argc > 1) {
    folder = argv[1];
  } else {
    std::string pattern = (fs::temp_directory_path() / "config-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return Fail("cannot create a temporary folder");
    folder = pattern;
    remove_folder = true;
  }
  const fs::path path = folder / "config-bench.ini";

  // A full file to start from.
  {
    Document doc;
    for (const Entry& e : FullConfig(0)) doc.Set(e.section, e.key, e.value);
    const auto saved = veldoran::ini::SaveFile(path, doc.Serialize());
    if (!saved.ok) return Fail(saved.error);
  }
  const auto file_size = fs::file_size(path);

  // Load: read the file and the 410 values.
  std::vector<double> load_ms;
  const auto keys = FullConfig(0);
  for (int i = 0; i < 50; ++i) {
    const auto start = Clock::now();
    const auto loaded = veldoran::ini::LoadFile(path);
    std::size_t chars = 0;
    for (const Entry& e : keys) chars += loaded.document.Get(e.section, e.key, "").size();
    load_ms.push_back(Ms(Clock::now() - start));
    if (loaded.status != veldoran::ini::LoadStatus::kRead || chars == 0) return Fail("load failed");
  }

  // Save: read the file again (keeping what others wrote into it), set all 410 values, write it
  // to a temporary file, flush, rename. Every value differs from the file's.
  std::vector<double> save_ms;
  for (int i = 1; i <= 50; ++i) {
    const auto entries = FullConfig(i);
    const auto start = Clock::now();
    auto loaded = veldoran::ini::LoadFile(path);
    for (const Entry& e : entries) loaded.document.Set(e.section, e.key, e.value);
    const auto saved = veldoran::ini::SaveFile(path, loaded.document.Serialize());
    save_ms.push_back(Ms(Clock::now() - start));
    if (!saved.ok) return Fail(saved.error);
  }

  // The flush alone, for the same number of bytes.
  std::vector<double> fsync_ms;
  const std::string scratch_bytes(file_size, 'x');
  const fs::path scratch = folder / "fsync-probe.tmp";
  for (int i = 0; i < 50; ++i) {
    const int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || ::write(fd, scratch_bytes.data(), scratch_bytes.size()) < 0) {
      return Fail("cannot write " + scratch.string());
    }
    const auto start = Clock::now();
    ::fsync(fd);
    fsync_ms.push_back(Ms(Clock::now() - start));
    ::close(fd);
  }
  fs::remove(scratch);

  // The profile functions' way: each of the 410 writes reads the whole file, changes one value
  // and writes the whole file back in place.
  std::vector<double> profile_ms;
  for (int i = 100; i < 105; ++i) {
    const auto entries = FullConfig(i);
    const auto start = Clock::now();
    for (const Entry& e : entries) {
      auto loaded = veldoran::ini::LoadFile(path);
      loaded.document.Set(e.section, e.key, e.value);
      if (!WriteInPlace(path, loaded.document.Serialize())) return Fail("rewrite failed");
    }
    profile_ms.push_back(Ms(Clock::now() - start));
  }

  const Stats load = Summarize(load_ms);
  const Stats save = Summarize(save_ms);
  const Stats flush = Summarize(fsync_ms);
  const Stats profile = Summarize(profile_ms);
  std::printf("A full Config.ini of %llu bytes, 410 keys, in %s (%s)\n",
              static_cast<unsigned long long>(file_size), folder.c_str(), FileSystemName(folder));
  std::printf("%-52s %9s %9s\n", "", "median ms", "min ms");
  std::printf("%-52s %9.3f %9.3f\n", "load (read + 410 values)", load.median, load.min);
  std::printf("%-52s %9.3f %9.3f\n", "save (read, 410 values, temp file, fsync, rename)",
              save.median, save.min);
  std::printf("%-52s %9.3f %9.3f\n", "  of which about: fsync of as many bytes", flush.median,
              flush.min);
  std::printf("%-52s %9.3f %9.3f\n", "save as the profile functions do (410 rewrites)",
              profile.median, profile.min);
  std::printf("profile-style save / engine save (medians): %.1f x\n", profile.median / save.median);

  if (remove_folder) {
    fs::remove_all(folder);
  } else {
    fs::remove(path);
  }
  return 0;
}
