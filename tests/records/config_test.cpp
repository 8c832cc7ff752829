// Config.ini read at start and written back, on the real window with real files.
#include <sys/stat.h>

#include <QCheckBox>
#include <QLineEdit>
#include <filesystem>
#include <iterator>

#include "support/window_fixture.h"
#include "ui/string_grid.h"

namespace veldoran::records {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

// The file a first start writes, built here key by key as the profile functions would write it.
std::string FirstStartFile() {
  std::string out = "[Szafki]\r\n";
  for (int n = 1; n <= 10; ++n) out += std::to_string(n) + "=Szafka " + std::to_string(n) + "\r\n";
  for (const char* section : {"Users_ime", "Users_nazwisko", "kod"}) {
    out += std::string("[") + section + "]\r\n";
    for (int n = 1; n <= 100; ++n) out += std::to_string(n) + "=\r\n";
  }
  out += "[uprawnienia]\r\n";
  for (int n = 1; n <= 100; ++n) out += std::to_string(n) + "=1111111111\r\n";
  return out;
}

class ConfigTest : public testing::WindowTest {
 protected:
  fs::path ConfigFile() const { return dir_ / "Config.ini"; }
};

TEST_F(ConfigTest, FirstStartWritesEveryKeyWithItsDefault) {
  ASSERT_FALSE(fs::exists(ConfigFile()));
  app::TForm1& f = Form();
  const std::string bytes = ReadFileBytes(ConfigFile());
  EXPECT_EQ(bytes, FirstStartFile());
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '='), 410);
  for (int n = 1; n <= 10; ++n) {
    EXPECT_EQ(f.StringGrid2->Cell(1, n), QString("Szafka %1").arg(n));
    EXPECT_EQ(f.CheckBoxes[n - 1]->text(), QString("Szafka %1").arg(n));
  }
  for (int n = 1; n <= 100; ++n) {
    EXPECT_EQ(f.StringGrid3->Cell(4, n), "1111111111");
    EXPECT_EQ(f.Users[n].Permissions, "1111111111");
    EXPECT_EQ(f.StringGrid3->Cell(1, n), "");
  }
  EXPECT_EQ(f.Edit7->text(), "Szafka 1");  // the selected locker row at start
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
}

TEST_F(ConfigTest, FileOfTheEarlierVersionLoadsAndKeepsWhatTheToolDoesNotKnow) {
  // Windows-1250 bytes: "Łódź", "Żaneta", "Gęś"; an extra section, a key 101, comments.
  std::string file = FirstStartFile();
  auto replace = [&](const std::string& from, const std::string& to) {
    file.replace(file.find(from), from.size(), to);
  };
  replace("1=Szafka 1\r\n",
          "1=\xA3\xF3"
          "d\x9F\r\n");
  replace("[Users_ime]\r\n1=\r\n",
          "[Users_ime]\r\n; imiona\r\n1=\xAF"
          "aneta\r\n");
  replace("[Users_nazwisko]\r\n1=\r\n", "[Users_nazwisko]\r\n1=G\xEA\x9C\r\n");
  replace("[kod]\r\n1=\r\n", "[kod]\r\n1=00A1B2C3\r\n");
  replace("100=\r\n[kod]", "100=\r\n101=Nadmiarowy\r\n[kod]");
  file += "[Inne]\r\nklucz=warto\x9C\xE6\r\n; koniec\r\n";
  WriteFileBytes(ConfigFile(), file);

  app::TForm1& f = Form();
  EXPECT_EQ(f.StringGrid2->Cell(1, 1), "Łódź");
  EXPECT_EQ(f.CheckBoxes[0]->text(), "Łódź");
  EXPECT_EQ(f.Users[1].FirstName, "Żaneta");
  EXPECT_EQ(f.Users[1].Surname, "Gęś");
  EXPECT_EQ(f.StringGrid3->Cell(1, 1), "Gęś");
  EXPECT_EQ(f.StringGrid3->Cell(2, 1), "Żaneta");
  EXPECT_EQ(f.StringGrid3->Cell(3, 1), "00A1B2C3");
  EXPECT_EQ(ReadFileBytes(ConfigFile()), file);  // nothing to write back

  f.Edit9->setText("Gąska");
  f.Button14Click();
  std::string expected = file;
  expected.replace(expected.find("1=G\xEA\x9C"), 5, "1=G\xB9ska");
  EXPECT_EQ(ReadFileBytes(ConfigFile()), expected);
}

TEST_F(ConfigTest, PresentEmptyValuesAreNotReplacedByDefaults) {
  std::string file = FirstStartFile();
  file.replace(file.find("3=Szafka 3"), 10, "3=");
  const std::string perms =
      "[uprawnienia]\r\n1=1111111111\r\n2=1111111111\r\n3=1111111111\r\n"
      "4=1111111111\r\n5=1111111111";
  file.replace(file.find(perms), perms.size(),
               perms.substr(0, perms.size() - 10));  // key 5 present, empty
  WriteFileBytes(ConfigFile(), file);
  app::TForm1& f = Form();
  EXPECT_EQ(f.StringGrid2->Cell(1, 3), "");
  EXPECT_EQ(f.CheckBoxes[2]->text(), "");
  EXPECT_EQ(f.Users[5].Permissions, "");
  f.StringGrid3->SetRow(5);
  for (QCheckBox* box : f.CheckBoxes) EXPECT_FALSE(box->isChecked());
  EXPECT_EQ(ReadFileBytes(ConfigFile()), file);
}

TEST_F(ConfigTest, MissingKeysAreAddedWithTheirDefaults) {
  WriteFileBytes(ConfigFile(), "[Szafki]\r\n2=Hala\r\n[uprawnienia]\r\n7=0101\r\n");
  app::TForm1& f = Form();
  EXPECT_EQ(f.StringGrid2->Cell(1, 1), "Szafka 1");
  EXPECT_EQ(f.StringGrid2->Cell(1, 2), "Hala");
  EXPECT_EQ(f.Users[7].Permissions, "0101");
  EXPECT_EQ(f.Users[8].Permissions, "1111111111");
  const std::string bytes = ReadFileBytes(ConfigFile());
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '='), 410);
  EXPECT_NE(bytes.find("7=0101\r\n"), std::string::npos);
}

TEST_F(ConfigTest, ReadOnlyFileStillLoadsInFullAndTheWindowStaysUsable) {
  std::string file = FirstStartFile();
  file.replace(file.find("10=Szafka 10\r\n"), 14, "");  // complete but for one key
  file.replace(file.rfind("100=1111111111"), 14, "100=0000000011");
  WriteFileBytes(ConfigFile(), file);
  fs::permissions(ConfigFile(), fs::perms::owner_read | fs::perms::group_read);

  app::TForm1& f = Form();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Unable to write to ./Config.ini."))
      << dialogs_.errors[0].toStdString();
  EXPECT_EQ(f.StringGrid2->Cell(1, 10), "Szafka 10");
  EXPECT_EQ(f.Users[100].Permissions, "0000000011");  // loaded to the end
  EXPECT_EQ(f.CheckBoxes[9]->text(), "Szafka 10");
  EXPECT_EQ(ReadFileBytes(ConfigFile()), file);

  dialogs_.Clear();
  f.Edit8->setText("Ala");
  f.Button14Click();  // a save fails the same way and changes nothing on disk
  EXPECT_EQ(dialogs_.errors.size(), 1);
  EXPECT_EQ(f.Users[1].FirstName, "Ala");
  EXPECT_EQ(ReadFileBytes(ConfigFile()), file);
}

TEST_F(ConfigTest, UnreadableFileIsNeverOverwritten) {
  fs::create_directory(ConfigFile());  // something stands at the path that cannot be read
  app::TForm1& f = Form();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Nie można odczytać pliku ./Config.ini."));
  EXPECT_EQ(f.StringGrid2->Cell(1, 4), "Szafka 4");
  f.Button14Click();
  EXPECT_EQ(dialogs_.errors.size(), 2);
  EXPECT_TRUE(dialogs_.errors[1].startsWith("Unable to write to ./Config.ini."));
  EXPECT_TRUE(fs::is_directory(ConfigFile()));
}

// A value the file cannot hold (a card code with a line break) is left out and named; every
// other value, at this save and the next, is still written.
TEST_F(ConfigTest, OneValueTheFileCannotHoldDoesNotHoldUpTheOthers) {
  app::TForm1& f = Form();
  f.Users[5].CardCode = QStringLiteral("00\r1AABB");
  for (const char* name : {"Hala", "Magazyn"}) {
    f.StringGrid2->SetCell(1, 2, name);
    f.SaveConfig();
    EXPECT_NE(ReadFileBytes(ConfigFile()).find(std::string("2=") + name + "\r\n"),
              std::string::npos);
  }
  ASSERT_EQ(dialogs_.errors.size(), 2);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Unable to write to ./Config.ini."));
  EXPECT_TRUE(dialogs_.errors[0].contains("klucza 5 w sekcji [kod] zawiera znak końca wiersza"));
  EXPECT_NE(ReadFileBytes(ConfigFile()).find("\r\n5=\r\n6="), std::string::npos);  // kept
}

TEST_F(ConfigTest, EverySaveReReadsTheFileSoOtherChangesSurvive) {
  app::TForm1& f = Form();
  std::string bytes = ReadFileBytes(ConfigFile());
  bytes += "[Serwis]\r\ntechnik=Kowalski\r\n";
  WriteFileBytes(ConfigFile(), bytes);
  f.Button15Click();
  const std::string after = ReadFileBytes(ConfigFile());
  EXPECT_NE(after.find("[Serwis]\r\ntechnik=Kowalski\r\n"), std::string::npos);
  EXPECT_NE(after.find("[uprawnienia]\r\n1=0000000000\r\n"), std::string::npos);
}

TEST_F(ConfigTest, AHundredMegabyteFileIsRefusedAtStartAndNeverReplaced) {
  WriteFileBytes(ConfigFile(), "");
  fs::resize_file(ConfigFile(), 100u * 1024 * 1024);  // sparse: takes no room on the disk
  app::TForm1& f = Form();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_EQ(dialogs_.errors[0],
            "Nie można odczytać pliku ./Config.ini.\n\nNie można odczytać pliku „./Config.ini”: "
            "ma 100 MB, a można wczytać najwyżej 4 MB.\n\nPlik nie zostanie zastąpiony, aby nie "
            "utracić jego zawartości.");
  EXPECT_EQ(f.StringGrid2->Cell(1, 1), "Szafka 1");  // the window opens with the defaults
  EXPECT_EQ(f.Users[1].Permissions, "1111111111");

  f.Edit8->setText("Ala");
  f.Button14Click();
  ASSERT_EQ(dialogs_.errors.size(), 2);
  EXPECT_TRUE(dialogs_.errors[1].startsWith("Unable to write to ./Config.ini."))
      << dialogs_.errors[1].toStdString();
  EXPECT_EQ(fs::file_size(ConfigFile()), 100u * 1024 * 1024);
  EXPECT_EQ(f.Users[1].FirstName, "Ala");  // the change stays on screen
}

TEST_F(ConfigTest, NulBytesAndBinaryDataLoadAndEveryByteSurvivesASave) {
  std::string file = FirstStartFile();
  const std::string hall("Hala\0B\x01\xFF\x81", 9);  // a NUL, a control byte, an unmapped byte
  file.replace(file.find("1=Szafka 1\r\n"), 12, "1=" + hall + "\r\n");
  std::string junk("\x00\x00[\xFE\x00]\r\n\x7F\x1B=\x00\xA5\rmid\r\n;\x00\r\n", 23);
  for (int i = 0; i < 256; ++i) {
    if (i != '\n') junk += static_cast<char>(i);
  }
  junk += "\r\n";
  file.insert(file.find("[Users_ime]"), junk);
  file += junk;
  WriteFileBytes(ConfigFile(), file);

  app::TForm1& f = Form();
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty()) << dialogs_.AllBoxes().join("|").toStdString();
  const QString shown = f.StringGrid2->Cell(1, 1);
  ASSERT_EQ(shown.size(), 9);
  EXPECT_EQ(shown.left(4), "Hala");
  EXPECT_EQ(shown[4], QChar(0));
  EXPECT_EQ(shown[6], QChar(1));
  EXPECT_EQ(f.CheckBoxes[0]->text(), shown);
  EXPECT_EQ(ReadFileBytes(ConfigFile()), file);  // the load wrote back nothing

  f.Edit8->setText("Ala");
  f.Button14Click();
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty()) << dialogs_.AllBoxes().join("|").toStdString();
  std::string expected = file;
  const std::string empty_name = "[Users_ime]\r\n1=\r\n";
  expected.replace(expected.find(empty_name), empty_name.size(), "[Users_ime]\r\n1=Ala\r\n");
  EXPECT_EQ(ReadFileBytes(ConfigFile()), expected);
}

TEST_F(ConfigTest, ASaveOnAFullDiskKeepsTheFileAndSaysWhy) {
  app::TForm1& f = Form();
  const std::string before = ReadFileBytes(ConfigFile());
  ASSERT_EQ(before, FirstStartFile());
  f.Edit8->setText("Ala");
  {
    testing::ScopedFileSizeLimit full_disk(1024);  // the file is about 3 KB
    f.Button14Click();
  }
  ASSERT_EQ(dialogs_.errors.size(), 1);
  const std::string error = dialogs_.errors[0].toStdString();
  EXPECT_TRUE(dialogs_.errors[0].startsWith(
      "Unable to write to ./Config.ini.\n\nNie można zapisać pliku „./Config.ini”: błąd przy "
      "zapisie pliku tymczasowego „./Config.ini."))
      << error;
  EXPECT_NE(error.find("File too large"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(ConfigFile()), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
  EXPECT_EQ(f.Users[1].FirstName, "Ala");

  // With room again, the next save stores it.
  f.StringGrid3->SetRow(1);
  f.StringGrid3Click();
  f.Button14Click();
  EXPECT_EQ(dialogs_.errors.size(), 1);
  EXPECT_NE(ReadFileBytes(ConfigFile()).find("[Users_ime]\r\n1=Ala\r\n"), std::string::npos);
}

TEST_F(ConfigTest, ALinkLoopOrAFifoAtThePathIsReportedAndNeitherHangsNorIsReplaced) {
  fs::create_symlink("Loop.ini", ConfigFile());
  fs::create_symlink("Config.ini", dir_ / "Loop.ini");
  {
    app::TForm1 window(services_);
    ASSERT_EQ(dialogs_.errors.size(), 1);
    EXPECT_TRUE(dialogs_.errors[0].startsWith(
        "Nie można odczytać pliku ./Config.ini.\n\nNie można odczytać pliku „./Config.ini”: Too "
        "many levels of symbolic links."))
        << dialogs_.errors[0].toStdString();
    EXPECT_EQ(window.StringGrid2->Cell(1, 2), "Szafka 2");
    window.Button14Click();
    EXPECT_EQ(dialogs_.errors.size(), 2);
    EXPECT_EQ(fs::read_symlink(ConfigFile()), "Loop.ini");
  }
  fs::remove(ConfigFile());
  fs::remove(dir_ / "Loop.ini");

  dialogs_.Clear();
  ASSERT_EQ(::mkfifo(ConfigFile().c_str(), 0644), 0);
  app::TForm1 window(services_);
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith(
      "Nie można odczytać pliku ./Config.ini.\n\nNie można odczytać pliku „./Config.ini”: to nie "
      "jest zwykły plik."))
      << dialogs_.errors[0].toStdString();
  window.Button14Click();
  EXPECT_EQ(dialogs_.errors.size(), 2);
  EXPECT_TRUE(fs::is_fifo(ConfigFile()));
}

}  // namespace
}  // namespace veldoran::records
