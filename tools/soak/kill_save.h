// Kills of a process saving Config.ini: a child process saves the file over and over, as the
// tool's save does (read the file, store all 410 values, replace it in one step), switching
// between two complete sets of values; it is killed with SIGKILL at a random moment, and the
// file must then be the whole old or the whole new one, byte for byte. No Qt.
//
// The children are forked: run this before the process starts any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

namespace veldoran::soak {

// What a file holds after a kill.
enum class SavedState { kFirstSet, kSecondSet, kDamaged };
SavedState Classify(const std::string& bytes, const std::string& first, const std::string& second);

struct KillSaveFigures {
  int kills = 0;
  int whole_old = 0;               // the file as it stood before the child started
  int whole_new = 0;               // the file as the child's last completed save left it
  int damaged = 0;                 // anything else
  std::string first_damage;        // how the first damaged file looked
  int children_not_killed = 0;     // children that ended by themselves (they must not)
  long saves_completed = 0;        // by all children, as they reported them
  double save_ms = 0;              // one save, measured before the kills
  std::size_t temp_files_max = 0;  // temporary files found right after a kill
  std::size_t temp_files_end = 0;  // left after one more save at the end
};

class KillSaveRun {
 public:
  KillSaveRun(std::filesystem::path folder, std::uint32_t seed);

  // Writes the starting file (with a comment and a section the tool does not know, which
  // every save must keep) and measures one save. False, with `error`, when it cannot.
  bool Prepare(std::string& error);
  // One child, one kill, one look at the file.
  void KillOnce();
  // One more save, which clears the leftovers of killed saves; counts what is left.
  void Finish();

  const KillSaveFigures& figures() const { return figures_; }
  const std::filesystem::path& file() const { return file_; }

 private:
  std::size_t CountTemporaryFiles() const;

  std::filesystem::path folder_;
  std::filesystem::path file_;
  std::mt19937 random_;
  std::string first_;   // the file with the first set of values
  std::string second_;  // the file with the second set
  KillSaveFigures figures_;
};

// The whole file after one save of the given set (0 or 1) over `path`, the way the tool saves:
// load, store every value, replace. Returns false with `error` when the save fails.
bool SaveValueSet(const std::filesystem::path& path, int set, std::string& error);

}  // namespace veldoran::soak
