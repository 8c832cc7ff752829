// veldoran-cli as a user runs it: the program against veldoran-sim on a pseudo-terminal
// registered in a private port map, its exit codes, its text and JSON, and its CSV file beside
// the window's export of the same read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSqlQuery>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "site/site_database.h"
#include "support/event_loop.h"
#include "support/recording_dialogs.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"
#include "ui/date_formats.h"

namespace veldoran::cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct CliRun {
  int exit_code = -1;
  std::string out;
  std::string err;
  double seconds = 0;
};

class CliOnSim : public ::testing::Test {
 protected:
  void StartSim(const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.push_back("--quiet");
    sim_ = std::make_unique<testing::SimProcess>(all, dir_.path() / "sim.log");
    ASSERT_TRUE(sim_->Ready()) << sim_->LogText();
  }
  std::string Port() const { return "COM" + std::to_string(sim_->Port()); }

  // Runs veldoran-cli in the test's folder; killed (and failed) if it outlives `limit`.
  CliRun Cli(std::vector<std::string> args, std::chrono::seconds limit = 20s,
             std::optional<std::chrono::milliseconds> interrupt_after = std::nullopt) {
    const std::string out = (dir_.path() / "out.txt").string();
    const std::string err = (dir_.path() / "err.txt").string();
    args.insert(args.begin(), VELDORAN_CLI_PROGRAM);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      if (freopen(out.c_str(), "w", stdout) == nullptr ||
          freopen(err.c_str(), "w", stderr) == nullptr)
        _exit(99);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(98);
    }
    CliRun run;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (interrupt_after && Clock::now() - start > *interrupt_after) {
        kill(pid, SIGINT);  // Ctrl-C
        interrupt_after.reset();
      }
      if (Clock::now() - start > limit) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "veldoran-cli did not end within " << limit.count() << " s";
        break;
      }
      std::this_thread::sleep_for(2ms);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = testing::ReadFileBytes(out);
    run.err = testing::ReadFileBytes(err);
    return run;
  }

  static QJsonObject Json(const CliRun& run) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << run.out;
    EXPECT_TRUE(doc.isObject()) << run.out;
    return doc.object();
  }

  testing::PrivateConfigHome home_;
  testing::TempDir dir_;
  testing::ScopedWorkingDir cwd_{dir_.path()};
  std::unique_ptr<testing::SimProcess> sim_;
};

// Config.ini with users, Polish names, a ";" in a locker name and the port picked last.
void WriteConfig(const std::filesystem::path& file, int port) {
  testing::WriteFileBytes(
      file,
      "[Szafki]\r\n1=Hala; wej\x9C\x63ie\r\n[Users_ime]\r\n1=\xA3ucja\r\n3=Jan\r\n"
      "[Users_nazwisko]\r\n1=\xAF\xF3\xB3\x63\r\n3=Kowalski\r\n[kod]\r\n1=1234ABCD\r\n"
      "3=0000BEEF\r\n4=12345\r\n[uprawnienia]\r\n3=0100000000\r\n[Port]\r\nComPortNo=" +
          std::to_string(port) + "\r\n");
}

TEST_F(CliOnSim, StatusSetNumberSetClockInTextAndJson) {
  StartSim({"--number", "3", "--events", "7"});
  const CliRun text = Cli({"--port", Port(), "status"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_NE(text.out.find("Połączono z szafką nr 3"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Liczba zdarzeń: 7"), std::string::npos) << text.out;

  const CliRun json = Cli({"status", "--json", "--port", Port()});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const QJsonObject status = Json(json);
  EXPECT_EQ(status["ok"].toBool(), true);
  EXPECT_EQ(status["controller"].toInt(), 3);
  EXPECT_EQ(status["events"].toInt(), 7);
  EXPECT_EQ(status["port"].toString().toStdString(), Port());

  const CliRun number = Cli({"--port", Port(), "--json", "set-number", "9"});
  EXPECT_EQ(number.exit_code, 0) << number.err;
  EXPECT_EQ(Json(number)["controller"].toInt(), 9);
  EXPECT_EQ(sim_->Dump()->number, 9);

  // The clock: the controller's value of the PC's local time, give or take the run.
  ASSERT_EQ(sim_->Command("faults off").has_value(), true);
  const CliRun clock = Cli({"--port", Port(), "--json", "set-clock"});
  EXPECT_EQ(clock.exit_code, 0) << clock.err;
  EXPECT_TRUE(Json(clock)["ok"].toBool());
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const auto expected = static_cast<std::int64_t>(timegm(&local)) - 7200;
  EXPECT_NEAR(static_cast<double>(sim_->Dump()->clock), static_cast<double>(expected), 3.0);
}

TEST_F(CliOnSim, UploadWritesTheCodesValidForTheConnectedLocker) {
  StartSim({"--number", "2", "--card", "50:AAAABBBB"});
  WriteConfig(dir_.path() / "Config.ini", sim_->Port());
  const CliRun run = Cli({"upload", "--json"});  // the port picked last, from Config.ini
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const QJsonObject json = Json(run);
  EXPECT_EQ(json["saved"].toInt(), 2);
  EXPECT_EQ(json["controller"].toInt(), 2);
  const auto dump = sim_->Dump();
  ASSERT_TRUE(dump);
  // Row 1 may open every locker; row 3 only locker 2; row 4's code is not 8 digits; the card
  // the controller held in slot 50 is gone.
  EXPECT_EQ(dump->cards, (std::map<int, std::string>{{0, "1234ABCD"}, {2, "0000BEEF"}}));
  // Without Config.ini there is nothing to upload: refused, nothing sent.
  const CliRun missing = Cli({"--port", Port(), "upload", "--config", "nowhere.ini"});
  EXPECT_EQ(missing.exit_code, 4);
  EXPECT_NE(missing.err.find("nowhere.ini"), std::string::npos);
}

TEST_F(CliOnSim, EventsCsvEqualsTheWindowsExportOfTheSameRead) {
  StartSim({"--events", "1000", "--number", "1", "--seed", "7", "--card", "0:1234ABCD"});
  WriteConfig(dir_.path() / "Config.ini", sim_->Port());
  const auto window_csv = dir_.path() / "window.csv";
  {
    testing::RecordingDialogs dialogs;
    app::Services services;
    services.dialogs = &dialogs;
    services.formats = ui::DateTimeFormats::System();
    app::TForm1 form(services);
    form.show();
    form.SpeedButton2->click();  // "Połącz", on the port picked last
    ASSERT_TRUE(testing::ProcessEventsUntil([&] { return form.EventCount == 1000; }, 20s));
    form.Button3->click();  // "Odczytaj zdarzenia"
    ASSERT_TRUE(testing::ProcessEventsUntil(
        [&] { return dialogs.messages.contains("Odczytano 1000 zdarzeń"); }, 30s))
        << dialogs.messages.join("|").toStdString();
    dialogs.save_answers.push_back(QString::fromStdString(window_csv.string()));
    form.Button1->click();       // "Zapisz do pliku CSV"
    form.SpeedButton1->click();  // "Rozłącz": the port is free for the program
    ASSERT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("|").toStdString();
  }
  const CliRun run = Cli({"events", "--csv", "cli.csv"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("Odczytano 1000 zdarzeń"), std::string::npos);
  const std::string window = testing::ReadFileBytes(window_csv);
  ASSERT_GT(window.size(), 1000u * 30);
  EXPECT_EQ(testing::ReadFileBytes(dir_.path() / "cli.csv"), window);

  const CliRun json = Cli({"events", "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const QJsonArray events = Json(json)["events"].toArray();
  ASSERT_EQ(events.size(), 1000);
  EXPECT_EQ(events[0].toObject()["location"].toString(), QStringLiteral("Hala; wejście"));
}

// Failures a user meets: each ends within its time with its exit code and a message that says
// what happened, and no CSV is written.
TEST_F(CliOnSim, BusyMissingAndSilentPortsFailWithTheirCodes) {
  StartSim({"--events", "3"});
  {
    // Another program holds the port, as the serial layer's exclusive open does.
    const int fd = open(sim_->Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const CliRun busy = Cli({"--port", Port(), "--json", "status"});
    close(fd);
    EXPECT_EQ(busy.exit_code, 3);
    EXPECT_NE(busy.err.find("jest zajęty"), std::string::npos) << busy.err;
    EXPECT_EQ(Json(busy)["exit_code"].toInt(), 3);
  }
  const CliRun missing = Cli({"--port", "COM250", "status"});
  EXPECT_EQ(missing.exit_code, 3);
  EXPECT_NE(missing.err.find("COM250 nie istnieje"), std::string::npos) << missing.err;

  ASSERT_EQ(sim_->Command("mute").value_or(""), "ok: not answering");
  const struct {
    std::vector<std::string> args;
  } silent[] = {{{"status"}}, {{"events", "--csv", "never.csv"}}, {{"set-number", "2"}}};
  for (const auto& c : silent) {
    std::vector<std::string> args{"--port", Port(), "--timeout", "300"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun run = Cli(args);
    EXPECT_EQ(run.exit_code, 1) << c.args[0] << ": " << run.err;
    EXPECT_NE(run.err.find("nie odpowiedział w ciągu 300 ms"), std::string::npos) << run.err;
    EXPECT_LT(run.seconds, 2.0) << c.args[0];
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "never.csv"));
  EXPECT_EQ(Cli({"--port", Port(), "set-number", "11"}).exit_code, 2);
}

// The adapter pulled out in the middle of a read: exit 1 at once, naming the port, no CSV.
TEST_F(CliOnSim, APortThatVanishesDuringAReadLeavesNoCsv) {
  StartSim({"--events", "1000"});
  std::thread unplug([&] {
    std::this_thread::sleep_for(800ms);  // the read takes over 3.6 s on the line
    sim_->Command("hangup");
  });
  const CliRun run = Cli({"--port", Port(), "events", "--csv", "never.csv"});
  unplug.join();
  EXPECT_EQ(run.exit_code, 1) << run.err;
  EXPECT_NE(run.err.find("Port " + Port() + " zniknął"), std::string::npos) << run.err;
  EXPECT_LT(run.seconds, 3.0);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "never.csv"));
}

// Ctrl-C in the middle of an upload stops it at once, says how far it got, and exits 130.
TEST_F(CliOnSim, CtrlCStopsAnUploadWithAMessage) {
  StartSim({});
  WriteConfig(dir_.path() / "Config.ini", sim_->Port());
  ASSERT_TRUE(sim_->Command("delay 1000 100").has_value());  // each reply 100 ms late
  const CliRun run = Cli({"upload"}, 20s, 700ms);
  EXPECT_EQ(run.exit_code, 130) << run.err;
  EXPECT_NE(run.err.find("Przerwano"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("nie zostały poprawnie zapisane"), std::string::npos) << run.err;
  EXPECT_LT(run.seconds, 2.0);
}

}  // namespace
}  // namespace veldoran::cli

namespace veldoran::cli {
namespace {

// How many events the archive in `file` holds.
int ArchivedEvents(const std::filesystem::path& file) {
  site::SiteDatabase db(file);
  db.Open();
  if (!db.CanRead()) return -1;
  QSqlQuery query(db.connection());
  if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM events")) || !query.next()) return -1;
  return query.value(0).toInt();
}

TEST_F(CliOnSim, ClearEventsRefusesWhileTheArchiveLacksEventsAndArchivingStoresEachOnce) {
  StartSim({"--events", "5", "--number", "2"});
  WriteConfig(dir_.path() / "Config.ini", sim_->Port());
  const CliRun refused = Cli({"clear-events", "--json"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("nieodczytane: 5"), std::string::npos) << refused.err;
  EXPECT_EQ(Json(refused)["unread"].toInt(), 5);
  ASSERT_EQ(sim_->Dump()->events.size(), 5u);

  // Each run reads the same five events; the second stores none of them again.
  for (const int added : {5, 0}) {
    const CliRun read = Cli({"events", "--archive", "--json"});
    ASSERT_EQ(read.exit_code, 0) << read.err;
    EXPECT_EQ(Json(read)["archived"].toInt(), added);
  }
  EXPECT_EQ(ArchivedEvents(dir_.path() / "Veldoran.db"), 5);
  // A plain read stores nothing.
  ASSERT_TRUE(sim_->Command("events 2"));
  ASSERT_EQ(Cli({"events"}).exit_code, 0);
  EXPECT_EQ(ArchivedEvents(dir_.path() / "Veldoran.db"), 5);

  const CliRun unread = Cli({"clear-events"});
  EXPECT_EQ(unread.exit_code, 1);
  EXPECT_NE(unread.err.find("nieodczytane: 2"), std::string::npos) << unread.err;
  ASSERT_EQ(Cli({"events", "--archive"}).exit_code, 0);
  const CliRun cleared = Cli({"clear-events"});
  EXPECT_EQ(cleared.exit_code, 0) << cleared.err;
  EXPECT_TRUE(sim_->Dump()->events.empty());

  // After the clear, new events are unread again; --force clears them anyway.
  ASSERT_TRUE(sim_->Command("events 3"));
  EXPECT_EQ(Cli({"clear-events"}).exit_code, 1);
  const CliRun forced = Cli({"clear-events", "--force", "--json"});
  EXPECT_EQ(forced.exit_code, 0) << forced.err;
  EXPECT_EQ(Json(forced)["unread"].toInt(), 3);
  EXPECT_TRUE(sim_->Dump()->events.empty());
}

TEST_F(CliOnSim, LockersShowsTheUploadedLockerCurrentAndAnotherUnknown) {
  StartSim({"--number", "2"});
  WriteConfig(dir_.path() / "Config.ini", sim_->Port());
  ASSERT_EQ(Cli({"upload", "--db", "site.db"}).exit_code, 0);
  const CliRun run = Cli({"lockers", "--db", "site.db", "--json"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const QJsonArray lockers = Json(run)["lockers"].toArray();
  ASSERT_EQ(lockers.size(), 10);
  EXPECT_EQ(lockers[1].toObject()["state"].toString(), QStringLiteral("current"));
  EXPECT_EQ(lockers[1].toObject()["text"].toString(), QStringLiteral("aktualne"));
  EXPECT_EQ(lockers[2].toObject()["text"].toString(), QStringLiteral("nieznane"));
  const CliRun text = Cli({"lockers", "--db", "site.db"});
  EXPECT_NE(text.out.find("2. Szafka 2: aktualne"), std::string::npos) << text.out;
  // The default database beside Config.ini has not been made.
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Veldoran.db"));

  // An upload cut short (the acknowledgements slowed to 100 ms each, Ctrl-C after 2 s) is
  // recorded as a failure: the locker's cards are no longer known.
  ASSERT_TRUE(sim_->Command("delay 100 100"));
  const CliRun cut = Cli({"upload", "--db", "site.db"}, 20s, 2000ms);
  EXPECT_EQ(cut.exit_code, 130) << cut.err;
  const CliRun after = Cli({"lockers", "--db", "site.db", "--json"});
  ASSERT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(Json(after)["lockers"].toArray()[1].toObject()["state"].toString(),
            QStringLiteral("unknown"));
}

TEST_F(CliOnSim, ImportUsersDryRunKeepsConfigAndAnExportReimportsAsUpdatesOnly) {
  const auto config = dir_.path() / "Config.ini";
  testing::WriteFileBytes(
      config,
      "[Users_ime]\r\n1=\xA3ucja\r\n3=Jan\r\n[Users_nazwisko]\r\n1=\xAF\xF3\xB3\x63"
      "\r\n3=Kowalski\r\n[kod]\r\n1=1234ABCD\r\n3=0000BEEF\r\n[Port]\r\n"
      "ComPortNo=1\r\n");
  const std::string before = testing::ReadFileBytes(config);
  testing::WriteFileBytes(dir_.path() / "new.csv",
                          "NAZWISKO;IMIĘ;KOD KARTY\r\nNowak;Anna;00C0FFEE\r\n");
  const CliRun dry = Cli({"import-users", "new.csv", "--dry-run", "--json"});
  ASSERT_EQ(dry.exit_code, 0) << dry.err;
  EXPECT_EQ(testing::ReadFileBytes(config), before);
  const QJsonArray planned = Json(dry)["lines"].toArray();
  ASSERT_EQ(planned.size(), 2);
  EXPECT_EQ(planned[1].toObject()["verdict"].toString(), QStringLiteral("new"));

  const CliRun applied = Cli({"import-users", "new.csv"});
  ASSERT_EQ(applied.exit_code, 0) << applied.err;
  EXPECT_NE(applied.out.find("nowy użytkownik w wierszu"), std::string::npos) << applied.out;
  const std::string after = testing::ReadFileBytes(config);
  EXPECT_NE(after.find("00C0FFEE"), std::string::npos);
  EXPECT_NE(after.find("ComPortNo=1"), std::string::npos);  // the rest of the file kept

  ASSERT_EQ(Cli({"export-users", "all.csv"}).exit_code, 0);
  const CliRun again = Cli({"import-users", "all.csv", "--json"});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  const QJsonArray lines = Json(again)["lines"].toArray();
  ASSERT_EQ(lines.size(), 4);  // the heading and the three users
  for (int i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].toObject()["verdict"].toString(), QStringLiteral("update")) << i;
    EXPECT_FALSE(lines[i].toObject()["changes"].toBool()) << i;
  }
  EXPECT_EQ(testing::ReadFileBytes(config), after);

  EXPECT_EQ(Cli({"import-users", "missing.csv"}).exit_code, 4);
  EXPECT_EQ(Cli({"export-users", (dir_.path() / "no" / "such.csv").string()}).exit_code, 4);
}

}  // namespace
}  // namespace veldoran::cli
