#include "tools/soak/kill_save.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "records/ini_file.h"

namespace veldoran::soak {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The 410 values of the tool, in its order: lockers 1 to 10, then per user the first name,
// surname, card code and permissions. Two sets that differ in every value; Polish letters in
// Windows-1250 ("Łódź", "Żółć").
bool StoreSet(ini::Document& doc, int set, std::string& error) {
  const auto store = [&](const char* section, int n, const std::string& value) {
    const ini::Result result = doc.Set(section, std::to_string(n), value);
    if (!result.ok) error = result.error;
    return result.ok;
  };
  const std::string mark = set == 0 ? "\xA3\xF3\x64\x9F" : "\xAF\xF3\xB3\xE6";
  for (int n = 1; n <= 10; ++n) {
    if (!store("Szafki", n, "Szafka " + mark + " " + std::to_string(n))) return false;
  }
  for (int n = 1; n <= 100; ++n) {
    char code[9];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(n * 0x10001 + set * 0x1000));
    if (!store("Users_ime", n, "Imi\xEA " + mark + std::to_string(n)) ||
        !store("Users_nazwisko", n, "Nazwisko " + std::to_string(n) + mark) ||
        !store("kod", n, code) ||
        !store("uprawnienia", n, set == 0 ? "1111111111" : "0101010101")) {
      return false;
    }
  }
  return true;
}

}  // namespace

SavedState Classify(const std::string& bytes, const std::string& first, const std::string& second) {
  if (bytes == first) return SavedState::kFirstSet;
  if (bytes == second) return SavedState::kSecondSet;
  return SavedState::kDamaged;
}

bool SaveValueSet(const fs::path& path, int set, std::string& error) {
  ini::LoadResult loaded = ini::LoadFile(path);
  if (loaded.status == ini::LoadStatus::kUnreadable) {
    error = loaded.error;
    return false;
  }
  if (!StoreSet(loaded.document, set, error)) return false;
  const ini::Result saved = ini::SaveFile(path, loaded.document.Serialize());
  error = saved.error;
  return saved.ok;
}

KillSaveRun::KillSaveRun(fs::path folder, std::uint32_t seed)
    : folder_(std::move(folder)), file_(folder_ / "Config.ini"), random_(seed) {}

bool KillSaveRun::Prepare(std::string& error) {
  std::error_code ec;
  fs::remove(file_, ec);
  {
    std::ofstream out(file_, std::ios::binary);
    out << "; Konfiguracja szafek\r\n[Serwis]\r\ntechnik=Kowalski\r\n";
    if (!out) {
      error = "cannot write " + file_.string();
      return false;
    }
  }
  if (!SaveValueSet(file_, 1, error) || !SaveValueSet(file_, 0, error)) return false;
  first_ = ReadBytes(file_);
  const auto start = std::chrono::steady_clock::now();
  if (!SaveValueSet(file_, 1, error)) return false;
  figures_.save_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  second_ = ReadBytes(file_);
  if (!SaveValueSet(file_, 0, error)) return false;
  if (ReadBytes(file_) != first_ || first_ == second_) {
    error = "saving the two sets in turn does not give the same two files";
    return false;
  }
  return true;
}

void KillSaveRun::KillOnce() {
  const std::string before = ReadBytes(file_);
  const int old_set = before == second_ ? 1 : 0;
  int ready[2];
  int saves[2];
  if (::pipe(ready) != 0) return;
  if (::pipe(saves) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    ::close(saves[0]);
    const char go = 1;
    if (::write(ready[1], &go, 1) != 1) ::_exit(1);
    std::string error;
    for (int set = 1 - old_set;; set = 1 - set) {
      if (!SaveValueSet(file_, set, error)) ::_exit(2);
      const char done = 1;
      if (::write(saves[1], &done, 1) != 1) ::_exit(3);
    }
  }
  ::close(ready[1]);
  ::close(saves[1]);
  if (pid < 0) {
    ::close(ready[0]);
    ::close(saves[0]);
    return;
  }
  char go = 0;
  const bool started = ::read(ready[0], &go, 1) == 1;
  ::close(ready[0]);
  if (started) {
    // Anywhere in the first few saves: while the values are stored, the temporary file is
    // written, flushed or renamed.
    std::uniform_real_distribution<double> delay_ms(0.0, 3.0 * figures_.save_ms + 0.5);
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(delay_ms(random_)));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ++figures_.kills;
  if (!WIFSIGNALED(status)) ++figures_.children_not_killed;
  char buffer[4096];
  for (ssize_t n; (n = ::read(saves[0], buffer, sizeof buffer)) > 0;) figures_.saves_completed += n;
  ::close(saves[0]);

  const std::string after = ReadBytes(file_);
  const SavedState state = Classify(after, first_, second_);
  if (state == SavedState::kDamaged) {
    if (++figures_.damaged == 1) {
      figures_.first_damage = std::to_string(after.size()) + " bytes, a whole file has " +
                              std::to_string(first_.size()) + " or " +
                              std::to_string(second_.size());
    }
    // Start the next round from a whole file again.
    std::string error;
    SaveValueSet(file_, 0, error);
  } else if ((state == SavedState::kSecondSet) == (old_set == 1)) {
    ++figures_.whole_old;
  } else {
    ++figures_.whole_new;
  }
  figures_.temp_files_max = std::max(figures_.temp_files_max, CountTemporaryFiles());
}

void KillSaveRun::Finish() {
  std::string error;
  const std::string now = ReadBytes(file_);
  SaveValueSet(file_, now == second_ ? 1 : 0, error);
  figures_.temp_files_end = CountTemporaryFiles();
}

std::size_t KillSaveRun::CountTemporaryFiles() const {
  std::size_t count = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().filename() != "Config.ini") ++count;
  }
  return count;
}

}  // namespace veldoran::soak
