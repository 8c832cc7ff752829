#include "tools/sim/sim_options.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/sim/sim_test_support.h"
#include "veldoran/version.h"

namespace veldoran::sim {
namespace {

std::string Parse(std::vector<std::string> args, SimOptions& options) {
  return ParseOptions(args, options);
}

TEST(SimOptions, LoadsTheInitialState) {
  SimOptions o;
  EXPECT_EQ(Parse({"--port", "com12", "--number", "10", "--events", "1000", "--card", "0:1234ABCD",
                   "--card", "99:Zz Zz Zz", "--seed", "4294967295", "-q"},
                  o),
            "");
  EXPECT_EQ(o.port, 12);
  EXPECT_EQ(o.number, 10);
  EXPECT_EQ(o.events, 1000);
  ASSERT_EQ(o.cards.size(), 2u);
  EXPECT_EQ(o.cards[1], (std::pair<int, std::string>{99, "Zz Zz Zz"}));
  EXPECT_EQ(o.seed, 4294967295u);
  EXPECT_TRUE(o.quiet);
  EXPECT_FALSE(o.help);

  SimOptions defaults;
  EXPECT_EQ(Parse({}, defaults), "");
  EXPECT_FALSE(defaults.port);
  EXPECT_EQ(defaults.number, 1);
  EXPECT_FALSE(defaults.seed);
}

TEST(SimOptions, BadValuesAreNamed) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--port", "LPT1"}, "--port LPT1: not a port name such as COM3"},
      {{"--port"}, "--port needs a port name such as COM3"},
      {{"--number", "11"}, "--number 11: the controller number must be from 1 to 10"},
      {{"--number", "3x"}, "--number 3x: the controller number must be from 1 to 10"},
      {{"--events", "-1"}, "--events -1: the count must be from 0 to 1000"},
      {{"--card", "100:12345678"},
       "--card \"100:12345678\": the slot must be a number from 0 to 99"},
      {{"--card", "5:1234567"},
       "--card \"5:1234567\": the card code must be 8 characters without control characters"},
      {{"--card", "12345678"}, "--card \"12345678\" is not SLOT:CODE"},
      {{"--seed", "4294967296"},
       "--seed 4294967296: the seed must be a number from 0 to 4294967295"},
      {{"--verbose"}, "unknown option \"--verbose\" (see --help)"},
      {{"--cards", "/nonexistent/cards.txt"},
       "cannot read the cards file \"/nonexistent/cards.txt\""},
  };
  for (const auto& [args, error] : cases) {
    SimOptions o;
    EXPECT_EQ(Parse(args, o), error);
  }
}

TEST(SimOptions, CardsFile) {
  testing::TempConfigHome dir;
  const auto path = (dir.path() / "cards.txt").string();
  std::ofstream(path) << "# demo cards\r\n0:AAAA0000\r\n\r\n5:BBBB0005\n";
  SimOptions o;
  EXPECT_EQ(Parse({"--cards", path, "--card", "7:CCCC0007"}, o), "");
  ASSERT_EQ(o.cards.size(), 3u);
  EXPECT_EQ(o.cards[0], (std::pair<int, std::string>{0, "AAAA0000"}));
  EXPECT_EQ(o.cards[1], (std::pair<int, std::string>{5, "BBBB0005"}));

  std::ofstream(path) << "1:AAAA0001\n2:BAD\n";
  SimOptions bad;
  EXPECT_EQ(Parse({"--cards", path}, bad),
            path + ":2: \"2:BAD\": the card code must be 8 characters without control characters");
}

TEST(SimOptions, HelpListsOptionsAndCommands) {
  SimOptions o;
  EXPECT_EQ(Parse({"--help"}, o), "");
  EXPECT_TRUE(o.help);
  const std::string usage = UsageText();
  for (const char* word :
       {"--port",    "--number",   "--events",       "--card",   "--cards",  "--seed",  "--quiet",
        "--version", "card SLOT",  "code CODE",      "events N", "number N", "noise N", "garble",
        "drop N",    "delay N MS", "split SIZE GAP", "mute",     "unmute",   "hangup",  "plug",
        "dump",      "quit"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
}

TEST(SimOptions, VersionIsTheProjects) {
  SimOptions o;
  EXPECT_EQ(Parse({"--port", "COM3", "--version"}, o), "");
  EXPECT_TRUE(o.version);
  EXPECT_FALSE(o.help);
  EXPECT_EQ(VersionText(), std::string("veldoran-sim ") + kVersion + "\n");
  SimOptions bad;
  EXPECT_EQ(Parse({"-V"}, bad), "unknown option \"-V\" (see --help)");
}

}  // namespace
}  // namespace veldoran::sim
