#include "tools/cli/cli_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veldoran::cli {
namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t end = line.find(' ', at);
    out.push_back(line.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

TEST(CliOptions, ValidCommandLines) {
  CliOptions o;
  ASSERT_EQ(ParseCommandLine(Split("--port COM7 events --csv=out.csv --timeout 150 --json"), o),
            "");
  EXPECT_EQ(o.command, "events");
  EXPECT_EQ(o.port, 7);
  EXPECT_EQ(o.csv, "out.csv");
  EXPECT_EQ(o.timeout.count(), 150);
  EXPECT_TRUE(o.json);

  CliOptions n;
  ASSERT_EQ(ParseCommandLine(Split("set-number 10 --config=/x/Config.ini --port=com12"), n), "");
  EXPECT_EQ(n.arguments, std::vector<std::string>{"10"});
  EXPECT_EQ(n.config, "/x/Config.ini");
  EXPECT_EQ(n.port, 12);
  EXPECT_EQ(n.timeout.count(), 2000);  // the default

  CliOptions d;
  ASSERT_EQ(ParseCommandLine(Split("import-users u.csv --dry-run --db site.db"), d), "");
  EXPECT_EQ(d.arguments, std::vector<std::string>{"u.csv"});
  EXPECT_TRUE(d.dry_run);
  EXPECT_EQ(d.db, "site.db");

  CliOptions h;
  ASSERT_EQ(ParseCommandLine({"--help"}, h), "");  // no command needed
  EXPECT_TRUE(h.help);
}

// Every bad command line is refused with a message that names what is wrong.
TEST(CliOptions, BadCommandLinesAreRefusedWithTheReason) {
  const struct {
    const char* line;
    const char* named;
  } cases[] = {
      {"status --port COMx", "COMx"},
      {"status --port COM0", "COM0"},
      {"status --port 65536", "65536"},
      {"status --timeout 0", "„0”"},
      {"status --timeout -5", "„-5”"},
      {"status --timeout 12ms", "12ms"},
      {"status --timeout 600001", "600001"},
      {"status --timeout", "wymaga wartości"},
      {"status --json=yes", "nie przyjmuje"},
      {"status --csv a.csv", "events"},
      {"status extra", "extra"},
      {"set-number", "wymaga 1"},
      {"frobnicate", "frobnicate"},
      {"--json", "Nie podano polecenia"},
      {"status --no-such", "--no-such"},
      {"upload --force", "clear-events"},
      {"events --dry-run", "import-users"},
      {"status --archive", "events"},
      {"export-users", "wymaga 1"},
      {"status --db=", "--db"},
  };
  for (const auto& c : cases) {
    CliOptions o;
    const std::string error = ParseCommandLine(Split(c.line), o);
    EXPECT_NE(error.find(c.named), std::string::npos) << c.line << " -> " << error;
  }
}

TEST(CliOptions, NumbersAreWholeDecimalsInRange) {
  EXPECT_EQ(ParseNumber("10", 1, 10), 10);
  for (const char* bad : {"", "0", "11", "+5", " 5", "5 ", "0x5", "1.0", "99999999999"}) {
    EXPECT_FALSE(ParseNumber(bad, 1, 10)) << "'" << bad << "'";
  }
  EXPECT_EQ(ParsePort("cOm65535"), 65535);
  EXPECT_FALSE(ParsePort("COM"));
}

}  // namespace
}  // namespace veldoran::cli
