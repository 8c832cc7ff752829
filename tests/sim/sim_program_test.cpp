// veldoran-sim as a child process, as the demo script and the integration tests run it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "link/protocol.h"
#include "platform/posix/port_map.h"
#include "tests/sim/sim_test_support.h"
#include "tools/sim/controller_model.h"

extern char** environ;

namespace veldoran::sim {
namespace {

using namespace std::chrono_literals;
using testing::OpenToolSide;
using testing::ReadAvailable;
using testing::WriteAllTo;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kDeadline = 20s;

class Child {
 public:
  // Starts veldoran-sim with `args`; standard input and output are pipes, errors go to `log`.
  Child(const std::vector<std::string>& args, const std::string& log) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> all = {VELDORAN_SIM_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    ::close(out_);
  }

  // The next line of its standard output, or nothing at the deadline.
  std::optional<std::string> ReadLine() {
    const auto end = SteadyClock::now() + kDeadline;
    for (;;) {
      if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
      if (left <= 0ms) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const std::string more = ReadAvailable(out_);
      if (more.empty() && (p.revents & POLLHUP)) return std::nullopt;
      pending_ += more;
    }
  }

  void Send(std::string_view command) { WriteAllTo(in_, command); }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  void Signal(int number) { ::kill(pid_, number); }

  // Its wait status once it has ended, or nothing at the deadline.
  std::optional<int> Wait() {
    const auto end = SteadyClock::now() + kDeadline;
    while (SteadyClock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string pending_;
};

struct PortLine {
  int number = 0;
  std::string device;
};

std::optional<PortLine> ParsePortLine(const std::optional<std::string>& line) {
  static const std::regex pattern(R"(veldoran-sim: COM([0-9]+) -> (/dev/\S+))");
  std::smatch m;
  if (!line || !std::regex_match(*line, m, pattern)) return std::nullopt;
  return PortLine{std::stoi(m[1]), m[2]};
}

// Waits for `count` bytes from the line.
std::string Collect(int fd, std::size_t count) {
  std::string got;
  const auto end = SteadyClock::now() + kDeadline;
  while (got.size() < count && SteadyClock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 50);
    got += ReadAvailable(fd);
  }
  return got;
}

class SimProgramTest : public ::testing::Test {
 protected:
  std::string LogPath() const { return (home_.path() / "sim.log").string(); }
  std::string LogText() const {
    std::ifstream in(LogPath());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Linked(int number) const {
    return std::filesystem::exists(std::filesystem::symlink_status(home_.PortLink(number)));
  }
  testing::TempConfigHome home_;
};

TEST_F(SimProgramTest, RegistersAnswersOutlivesItsInputAndCleansUpOnSigterm) {
  Child sim({"--seed", "3", "--number", "2", "--events", "7", "--card", "4:0000ABCD"}, LogPath());
  const auto port = ParsePortLine(sim.ReadLine());
  ASSERT_TRUE(port);
  EXPECT_EQ(std::filesystem::read_symlink(home_.PortLink(port->number)), port->device);

  sim.CloseInput();  // started in the background by a script: no input at all
  const int tool = OpenToolSide(port->device);
  ASSERT_GE(tool, 0);
  WriteAllTo(tool, "0\r");
  const std::string reply = Collect(tool, kStatusLineLength);
  ASSERT_EQ(reply.size(), kStatusLineLength);
  EXPECT_EQ(protocol::HexByteValue(protocol::status_line::kControllerNumber.In(reply)), 2);
  EXPECT_EQ(protocol::HexWordValue(protocol::status_line::kEventCount.In(reply)), 7);
  EXPECT_EQ(protocol::HexWordValue(protocol::status_line::kUninterpreted.In(reply)), 1);

  sim.Signal(SIGTERM);
  const auto status = sim.Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_FALSE(Linked(port->number));
  ::close(tool);

  // The log shows the traffic readably.
  const std::string log = LogText();
  EXPECT_NE(log.find("rx line \"0\"  status query"), std::string::npos) << log;
  EXPECT_NE(log.find("tx \"S: 02 0007, 0001, "), std::string::npos) << log;
  EXPECT_NE(log.find("stopping on signal"), std::string::npos) << log;
}

TEST_F(SimProgramTest, InterruptAndHangupSignalsAlsoRemoveTheLink) {
  for (const int number : {SIGINT, SIGHUP}) {
    Child sim({"--quiet"}, LogPath());
    const auto port = ParsePortLine(sim.ReadLine());
    ASSERT_TRUE(port);
    EXPECT_TRUE(Linked(port->number));
    sim.Signal(number);
    const auto status = sim.Wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_FALSE(Linked(port->number)) << number;
  }
}

TEST_F(SimProgramTest, ALinkLeftByAKilledSimulatorIsRemovedAtTheNextLookAtThePorts) {
  Child sim({"--quiet"}, LogPath());
  const auto port = ParsePortLine(sim.ReadLine());
  ASSERT_TRUE(port);
  // A link of the user's, to a pseudo-terminal too: never touched.
  std::filesystem::create_symlink("/dev/pts/ptmx", home_.PortLink(40));
  sim.Signal(SIGKILL);
  ASSERT_TRUE(sim.Wait());
  EXPECT_TRUE(Linked(port->number)) << "a hard kill leaves the link";
  EXPECT_EQ(portmap::Resolve("COM" + std::to_string(port->number)), std::nullopt);
  EXPECT_FALSE(Linked(port->number));
  portmap::List();
  EXPECT_TRUE(Linked(40));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.PortLink(40).parent_path()),
                          std::filesystem::directory_iterator()),
            1)
      << "the side file went with the link";
}

TEST_F(SimProgramTest, StandardInputDrivesCardsFaultsAndHangup) {
  Child sim({"--port", "COM23", "--card", "1:CAFE0001", "--quiet"}, LogPath());
  const auto port = ParsePortLine(sim.ReadLine());
  ASSERT_TRUE(port);
  EXPECT_EQ(port->number, 23);
  int tool = OpenToolSide(port->device);
  ASSERT_GE(tool, 0);

  sim.Send("card 1\n");
  EXPECT_EQ(sim.ReadLine(), "ok: card of slot 1, event 0 recorded; card-read line sent");
  const std::string card_line = Collect(tool, kCardReadLineLength);
  EXPECT_EQ(protocol::card_read_line::kCardCode.In(card_line), "CAFE0001");

  sim.Send("number 8\ndump\n");
  EXPECT_EQ(sim.ReadLine(), "ok: controller number 8");
  std::vector<std::string> dump;
  for (auto line = sim.ReadLine(); line && *line != "end"; line = sim.ReadLine()) {
    dump.push_back(*line);
  }
  ASSERT_GE(dump.size(), 8u);
  EXPECT_EQ(dump[0], "number 8");
  EXPECT_EQ(dump[2], "port COM23 " + port->device + " plugged");
  EXPECT_EQ(dump[5], "cards 1");
  EXPECT_EQ(dump[6], "card 1 CAFE0001");
  EXPECT_EQ(dump[7], "events 1");

  sim.Send("hangup\n");
  EXPECT_EQ(sim.ReadLine(), "veldoran-sim: COM23 unplugged");
  pollfd p{tool, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  ::close(tool);

  sim.Send("plug\n");
  const auto again = ParsePortLine(sim.ReadLine());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->number, 23);
  EXPECT_EQ(std::filesystem::read_symlink(home_.PortLink(23)), again->device);
  tool = OpenToolSide(again->device);
  ASSERT_GE(tool, 0);
  WriteAllTo(tool, "0\r");
  EXPECT_EQ(Collect(tool, kStatusLineLength).substr(0, 6), "S: 08 ");
  ::close(tool);

  sim.Send("quit\n");
  EXPECT_EQ(sim.ReadLine(), "ok: stopping");
  const auto status = sim.Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_FALSE(Linked(23));
}

TEST_F(SimProgramTest, HelpBadOptionsAndTakenPort) {
  {
    Child sim({"--help"}, LogPath());
    const auto first = sim.ReadLine();
    EXPECT_EQ(first, "Usage: veldoran-sim [options]");
    const auto status = sim.Wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }
  {
    Child sim({"--number", "12"}, LogPath());
    const auto status = sim.Wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    EXPECT_NE(
        LogText().find("veldoran-sim: --number 12: the controller number must be from 1 to 10"),
        std::string::npos);
  }
  {
    std::filesystem::create_directories(home_.PortLink(5).parent_path());
    std::filesystem::create_symlink("/dev/ttyUSB9", home_.PortLink(5));
    Child sim({"--port", "COM5"}, LogPath());
    const auto status = sim.Wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_NE(LogText().find("cannot register COM5"), std::string::npos) << LogText();
    EXPECT_EQ(std::filesystem::read_symlink(home_.PortLink(5)), "/dev/ttyUSB9");
  }
}

}  // namespace
}  // namespace veldoran::sim
