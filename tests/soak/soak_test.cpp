// The soak program's own logic: its options, the figures it reads and reduces, and the kill
// runs that judge Config.ini after a killed save.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "records/ini_file.h"
#include "support/temp_dir.h"
#include "tools/soak/kill_save.h"
#include "tools/soak/process_stats.h"
#include "tools/soak/soak_options.h"

namespace veldoran::soak {
namespace {

namespace fs = std::filesystem;

std::string Parse(std::vector<std::string> args, SoakOptions& options) {
  return ParseSoakOptions(args, options);
}

TEST(SoakOptions, CountsMinutesSeedAndBoundsAreReadAndBadValuesNamed) {
  SoakOptions options;
  EXPECT_EQ(Parse({}, options), "");
  EXPECT_EQ(options.cycles, 100);
  EXPECT_EQ(options.noise_minutes, 10);
  EXPECT_EQ(options.kills, 1000);
  EXPECT_FALSE(options.seed);

  EXPECT_EQ(Parse({"--cycles", "3", "--noise-minutes", "0.25", "--kills", "0", "--seed",
                   "4294967295", "--stall-limit-ms", "250", "--recovery-limit-ms", "5000",
                   "--memory-growth-limit-mb", "2.5"},
                  options),
            "");
  EXPECT_EQ(options.cycles, 3);
  EXPECT_DOUBLE_EQ(options.noise_minutes, 0.25);
  EXPECT_EQ(options.kills, 0);
  EXPECT_EQ(options.seed, 4294967295u);
  EXPECT_EQ(options.stall_limit.count(), 250);
  EXPECT_EQ(options.recovery_limit.count(), 5000);
  EXPECT_DOUBLE_EQ(options.memory_growth_limit_mb, 2.5);

  const std::vector<std::vector<std::string>> bad = {
      {"--cycles", "-1"},
      {"--cycles", "3x"},
      {"--cycles"},
      {"--kills", "1e3"},
      {"--noise-minutes", "nan"},
      {"--noise-minutes", "-0.5"},
      {"--seed", "4294967296"},
      {"--memory-growth-limit-mb", "lots"},
      {"--fast"},
  };
  for (const auto& args : bad) {
    SoakOptions o;
    const std::string error = Parse(args, o);
    EXPECT_NE(error, "") << args[0];
    EXPECT_NE(error.find(args[0]), std::string::npos) << error;
  }
  EXPECT_TRUE(Parse({"-h"}, options).empty() && options.help);
}

TEST(SoakFigures, MemoryIsReadFromTheKernelsStatusLines) {
  const MemoryFigures m = ParseProcStatus(
      "Name:\tveldoran-soak\nVmPeak:\t  900000 kB\nVmHWM:\t   91234 kB\nVmRSS:\t   84200 kB\n"
      "Threads:\t4\n");
  EXPECT_EQ(m.resident_kb, 84200);
  EXPECT_EQ(m.peak_kb, 91234);
  const MemoryFigures none = ParseProcStatus("Name:\tx\nVmRSS:\t garbage\n");
  EXPECT_EQ(none.resident_kb, -1);
  EXPECT_EQ(none.peak_kb, -1);
  EXPECT_GT(CurrentMemory().resident_kb, 0);  // this process has some
  EXPECT_EQ(MegabytesText(84200), "82.2 MB");
  EXPECT_EQ(MegabytesText(-1), "unknown");
  EXPECT_EQ(MegabytesChangeText(1024, 512), "-0.5 MB");
  EXPECT_EQ(MegabytesChangeText(1024, 1024 + 2048), "+2.0 MB");
  EXPECT_EQ(MegabytesChangeText(-1, 10), "unknown");
}

TEST(SoakFigures, DurationsReduceToMedianAndMaximum) {
  Durations d;
  EXPECT_EQ(d.Text(), "none");
  EXPECT_EQ(d.Median(), 0);
  for (const double ms : {40.0, 10.0, 30.0}) d.Add(ms);
  EXPECT_EQ(d.Median(), 30);
  EXPECT_EQ(d.Max(), 40);
  d.Add(20);
  EXPECT_EQ(d.Median(), 25);  // between the two middle ones
  EXPECT_EQ(d.Text(), "median 25.0 ms, max 40.0 ms (4)");
}

TEST(SoakKills, EachSaveWritesEveryValueAndKeepsWhatTheToolDoesNotKnow) {
  testing::TempDir dir;
  const fs::path path = dir / "Config.ini";
  testing::WriteFileBytes(path, "; notatka\r\n[Serwis]\r\ntechnik=Kowalski\r\n");
  std::string error;
  ASSERT_TRUE(SaveValueSet(path, 0, error)) << error;
  const std::string first = testing::ReadFileBytes(path);
  ASSERT_TRUE(SaveValueSet(path, 1, error)) << error;
  const std::string second = testing::ReadFileBytes(path);
  ASSERT_TRUE(SaveValueSet(path, 0, error)) << error;
  EXPECT_EQ(testing::ReadFileBytes(path), first);

  const ini::Document doc = ini::Document::Parse(second);
  EXPECT_EQ(doc.Get("Serwis", "technik"), "Kowalski");
  EXPECT_EQ(std::count(second.begin(), second.end(), '='), 411);
  EXPECT_TRUE(second.starts_with("; notatka\r\n"));
  for (const char* section : {"Users_ime", "Users_nazwisko", "kod", "uprawnienia"}) {
    EXPECT_NE(ini::Document::Parse(first).Get(section, "100"), doc.Get(section, "100"));
  }

  // What the kill runs count as whole, and what not.
  EXPECT_EQ(Classify(first, first, second), SavedState::kFirstSet);
  EXPECT_EQ(Classify(second, first, second), SavedState::kSecondSet);
  EXPECT_EQ(Classify(second.substr(0, second.size() - 1), first, second), SavedState::kDamaged);
  EXPECT_EQ(Classify("", first, second), SavedState::kDamaged);
}

TEST(SoakKills, KilledSavesLeaveAWholeFileAndNoLeftovers) {
  testing::TempDir dir;
  KillSaveRun run(dir.path(), 7);
  std::string error;
  ASSERT_TRUE(run.Prepare(error)) << error;
  for (int i = 0; i < 12; ++i) run.KillOnce();
  run.Finish();
  const KillSaveFigures& f = run.figures();
  EXPECT_EQ(f.kills, 12);
  EXPECT_EQ(f.whole_old + f.whole_new, 12);
  EXPECT_EQ(f.damaged, 0) << f.first_damage;
  EXPECT_EQ(f.children_not_killed, 0);
  EXPECT_GT(f.save_ms, 0);
  EXPECT_EQ(f.temp_files_end, 0u);
  EXPECT_EQ(ini::LoadFile(run.file()).status, ini::LoadStatus::kRead);
}

TEST(SoakKills, AFileThatCannotBeReadStopsTheRunWithTheReason) {
  testing::TempDir dir;
  fs::create_directory(dir / "Config.ini");
  std::string error;
  EXPECT_FALSE(SaveValueSet(dir / "Config.ini", 0, error));
  EXPECT_NE(error.find("folder"), std::string::npos) << error;
}

}  // namespace
}  // namespace veldoran::soak
