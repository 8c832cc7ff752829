// Planning an import from a file's bytes, applying it, and the export read back.
#include "records/users_csv.h"

#include <gtest/gtest.h>

#include "link/csv_field.h"

namespace veldoran::records {
namespace {

LockerNames DefaultLockers() {
  LockerNames names;
  for (int k = 0; k < kLockerCount; ++k) names[k] = QStringLiteral("Szafka %1").arg(k + 1);
  return names;
}

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

std::string Utf16Le(const QString& text) {
  std::string bytes = "\xFF\xFE";
  for (const QChar c : text) {
    bytes += static_cast<char>(c.unicode() & 0xFF);
    bytes += static_cast<char>(c.unicode() >> 8);
  }
  return bytes;
}

QStringList Verdicts(const ImportPlan& plan) {
  QStringList texts;
  for (const ImportLine& line : plan.lines) texts << VerdictText(line);
  return texts;
}

TEST(CsvFieldTest, FormulasAreShownAsTextAndReadBackUnchanged) {
  const struct {
    const char* text;
    const char* field;
  } cases[] = {
      {"Kowalski", "Kowalski"},
      {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+48", "'+48"},
      {"-", "'-"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"'=x", "''=x"},
      {"'x", "'x"},
      {"a;b", "\"a;b\""},
      {"a\r\nb", "\"a\r\nb\""},
      {"", ""},
  };
  for (const auto& c : cases) {
    const QString field = link::CsvField(QString::fromUtf8(c.text));
    EXPECT_EQ(field, QString::fromUtf8(c.field)) << c.text;
    QString unquoted = field;
    if (unquoted.startsWith('"'))
      unquoted = unquoted.mid(1, unquoted.size() - 2).replace("\"\"", "\"");
    EXPECT_EQ(link::CsvFieldText(unquoted), QString::fromUtf8(c.text)) << c.text;
  }
}

TEST(UsersCsvTest, EncodingAndSeparatorComeFromTheBytes) {
  const struct {
    std::string bytes;
    CsvEncoding encoding;
    QChar separator;
    QString surname;
  } cases[] = {
      {"NAZWISKO;IMI\xCA;KOD KARTY\r\n\xA3uk;Jan;0011AABB\r\n", CsvEncoding::kWindows1250, ';',
       QString::fromUtf8("Łuk")},
      {"\xEF\xBB\xBFNazwisko,Imię,Kod karty\n\"Łuk\",Jan,0011AABB\n", CsvEncoding::kUtf8Bom, ',',
       QString::fromUtf8("Łuk")},
      {"nazwisko\timie\tkod\n\xC5\x81uk\tJan\t0011AABB\n", CsvEncoding::kUtf8, '\t',
       QString::fromUtf8("Łuk")},
      {Utf16Le(QString::fromUtf8("NAZWISKO;KOD\nŁ;0011AABB")), CsvEncoding::kUtf16Le, ';',
       QString::fromUtf8("Ł")},
  };
  for (const auto& c : cases) {
    UserTable users;
    const ImportPlan plan = PlanImport(c.bytes, users, DefaultLockers());
    ASSERT_TRUE(plan.error.isEmpty()) << plan.error.toStdString();
    EXPECT_EQ(plan.encoding, c.encoding);
    EXPECT_EQ(plan.separator, c.separator);
    ASSERT_EQ(plan.lines.size(), 2u);
    EXPECT_EQ(plan.lines[1].verdict, ImportVerdict::kNewUser)
        << VerdictText(plan.lines[1]).toStdString();
    EXPECT_EQ(plan.lines[1].user.CardCode, "0011AABB");
    EXPECT_EQ(plan.lines[1].user.Surname, c.surname);
  }
}

TEST(UsersCsvTest, TwoLinesOfOneCodeAndASevenCharacterCodeAreRefusedTheRestImported) {
  UserTable users;
  users[1] = {"Anna", "Nowak", "000000AA", "1111111111"};
  const std::string file =
      "NAZWISKO;IMI\xCA;KOD KARTY\r\n"
      "Kowalski;Jan;0011AABB\r\n"
      "Lis;Ewa;0011aabb\r\n"
      "Wr\xF3\x62\x65l;Olga;0011AAB\r\n"
      "\r\n"
      "Nowak;Anna;000000BB\r\n"
      "Zaj\xB9\x63;Piotr;00CCDDEE\r\n";
  const ImportPlan plan = PlanImport(file, users, DefaultLockers());
  ASSERT_TRUE(plan.error.isEmpty());
  EXPECT_EQ(Verdicts(plan),
            (QStringList{QString::fromUtf8("nagłówek: nazwisko, imię, kod karty"),
                         QString::fromUtf8("odrzucony: ten sam kod karty jest też w wierszu 3"),
                         QString::fromUtf8("odrzucony: ten sam kod karty jest też w wierszu 2"),
                         QString::fromUtf8("odrzucony: kod karty „0011AAB” nie ma 8 znaków (ma 7)"),
                         QString::fromUtf8("pominięty: pusty wiersz"),
                         QString::fromUtf8("aktualizacja użytkownika 1"),
                         QString::fromUtf8("nowy użytkownik w wierszu 2")}));
  const std::vector<int> rows = ApplyImport(plan, users);
  EXPECT_EQ(rows, (std::vector<int>{1, 2}));
  EXPECT_EQ(users[1].CardCode, "000000BB");  // matched by name, new card
  EXPECT_EQ(users[1].Permissions, "1111111111");
  EXPECT_EQ(users[2].Surname, QString::fromUtf8("Zając"));
  EXPECT_EQ(users[2].Permissions, "1111111111");  // no permission columns: every locker
  EXPECT_FALSE(IsUserSet(users[3]));
}

// Each line alone against a table; what it becomes.
TEST(UsersCsvTest, VerdictsOfSingleLines) {
  UserTable users;
  users[1] = {"Jan", "Kowalski", "0011AABB", "1111111111"};
  users[2] = {"Jan", "Nowak", "0022CCDD", "1100000000"};
  users[4] = {"Ewa", "Lis", "", "0000000000"};
  users[5] = {"Ewa", "Lis", "", "0000000000"};
  const struct {
    const char* line;
    const char* verdict;
    const char* permissions;  // of the row afterwards, when it changes
  } cases[] = {
      {"Kowalski;Jan;0011aabb;1;1;1;1;1;1;1;1;1;1", "aktualizacja użytkownika 1 (bez zmian)", ""},
      {"KOWALSKI;Jan;0011AABB;0;1;1;1;1;1;1;1;1;1", "aktualizacja użytkownika 1", "0111111111"},
      {"Nowak;Jan;0011AABB;1;1;1;1;1;1;1;1;1;1",
       "odrzucony: kod karty ma już użytkownik 1, a to nazwisko i imię ma użytkownik 2", ""},
      {"Lis;Ewa;00000001;1;0;0;0;0;0;0;0;0;0",
       "odrzucony: to nazwisko i imię mają użytkownicy 4, 5", ""},
      {"Nowy;Adam;;1;1;1;1;1;1;1;1;1;1", "odrzucony: nowy użytkownik musi mieć 8-znakowy kod karty",
       ""},
      {"Nowak;Jan;;x;tak;0;;nie;0;0;0;0;1", "aktualizacja użytkownika 2", "1100000001"},
      {"Nowy;Adam;0033EEFG;1;1;1;1;1;1;1;1;1;1",
       "odrzucony: kod karty „0033EEFG” ma znaki inne niż cyfry szesnastkowe 0–9 i A–F", ""},
      {"Nowy;Adam;0033EEFF;1;2;1;1;1;1;1;1;1;1",
       "odrzucony: w kolumnie szafki 2 („Szafka 2”) jest „2”: wpisz 1 albo 0", ""},
      {"Nowy;Ad\xC3\xA2m;0033EEFF", "nowy użytkownik w wierszu 3", "0000000000"},
      {"\"Ch\xE4\xB8\xADn\";Adam;0033EEFF",
       "odrzucony: nazwisko zawiera znak „中”, którego nie ma w stronie kodowej Windows-1250", ""},
      {"\"Nowy\nTy\";Adam;0033EEFF", "odrzucony: nazwisko zawiera znak sterujący (0x0a)", ""},
      {"\"Nowy;Adam;0033EEFF", "odrzucony: cudzysłów otwarty w tym wierszu nie jest zamknięty", ""},
  };
  for (const auto& c : cases) {
    UserTable table = users;
    const std::string file = Utf8("NAZWISKO;IMIĘ;KOD KARTY;1;2;3;4;5;6;7;8;9;10\r\n") + c.line;
    const ImportPlan plan = PlanImport(file, table, DefaultLockers());
    ASSERT_TRUE(plan.error.isEmpty()) << c.line;
    ASSERT_EQ(plan.lines.size(), 2u) << c.line;
    EXPECT_EQ(VerdictText(plan.lines[1]), QString::fromUtf8(c.verdict)) << c.line;
    const std::vector<int> rows = ApplyImport(plan, table);
    if (*c.permissions) {
      ASSERT_EQ(rows.size(), 1u) << c.line;
      EXPECT_EQ(table[rows[0]].Permissions, c.permissions) << c.line;
    } else {
      EXPECT_TRUE(rows.empty()) << c.line;
    }
  }
}

TEST(UsersCsvTest, BareCodesFillNewUsersAndAFullTableRefusesTheRest) {
  UserTable users;
  for (int n = 1; n <= 98; ++n) users[n].CardCode = QStringLiteral("%1").arg(n, 8, 10, QChar('0'));
  const ImportPlan plan =
      PlanImport("00000005\r\n0000AAA1\n0000AAA2\n0000AAA3\n", users, DefaultLockers());
  ASSERT_TRUE(plan.bare_codes);
  EXPECT_EQ(
      Verdicts(plan),
      (QStringList{QString::fromUtf8("odrzucony: kod karty jest już zapisany dla użytkownika 5"),
                   QString::fromUtf8("nowy użytkownik w wierszu 99"),
                   QString::fromUtf8("nowy użytkownik w wierszu 100"),
                   QString::fromUtf8("odrzucony: tabela użytkowników jest pełna (100)")}));
  ApplyImport(plan, users);
  EXPECT_EQ(users[100].CardCode, "0000AAA2");
  EXPECT_EQ(users[100].Surname, "");
  EXPECT_EQ(users[100].Permissions, "1111111111");
}

// Files that are not lists of users: refused as a whole, or every line refused; never a change.
TEST(UsersCsvTest, HostileFilesChangeNothing) {
  std::string long_line = "NAZWISKO;KOD KARTY\r\nX;" + std::string(1'000'000, 'A') + "\r\n";
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary += static_cast<char>((i * 7919) % 255 + 1);
  const struct {
    std::string bytes;
    bool whole_file_refused;
  } cases[] = {
      {std::string("NAZWISKO;KOD\0KARTY\r\n", 20), true},
      {std::string(kMaxImportBytes + 1, 'A'), true},
      {std::string(20000, '\n') + "x", false},  // blank lines, then one refused code
      {"", true},
      {"a;b;c\r\n1;2;3\r\n", true},
      {long_line, false},
      {"\"" + std::string(100000, 'x'), true},
      {binary, false},
  };
  for (const auto& c : cases) {
    UserTable users;
    users[7] = {"Jan", "Kowalski", "0011AABB", "1111111111"};
    const UserTable before = users;
    const ImportPlan plan = PlanImport(c.bytes, users, DefaultLockers());
    if (c.whole_file_refused) {
      EXPECT_FALSE(plan.error.isEmpty()) << c.bytes.size();
      EXPECT_TRUE(plan.lines.empty());
    } else if (plan.error.isEmpty()) {
      EXPECT_FALSE(plan.HasChanges()) << c.bytes.size();
      EXPECT_GT(plan.Count(ImportVerdict::kRefused), 0) << c.bytes.size();
    }
    ApplyImport(plan, users);
    for (int n = 0; n <= kUserCount; ++n) {
      EXPECT_EQ(users[n].CardCode, before[n].CardCode);
      EXPECT_EQ(users[n].Surname, before[n].Surname);
    }
  }
}

TEST(UsersCsvTest, ExportThenImportChangesNothing) {
  LockerNames lockers = DefaultLockers();
  lockers[1] = "Hala; wej\u015Bcie B";
  lockers[2] = "=Magazyn";
  lockers[3] = "Biuro";
  lockers[4] = "Biuro";  // two lockers of one name
  lockers[5] = "";
  UserTable users;
  users[1] = {QString::fromUtf8("Łucja"), QString::fromUtf8("Żółć"), "0011AABB", "1010101011"};
  users[2] = {"=cmd|' /C calc'!A0", "-Nowak", "0022ccdd", "111"};
  users[3] = {"'=x", "O\"Neil; Jr", "0000000C", "0000000000"};
  users[5] = {"", "", "00334455", "0101010101"};
  users[9] = {"Ewa", "Lis", "123", "1111111111"};  // a code that is never uploaded
  const QStringList lines = UsersCsvLines(users, lockers);
  EXPECT_EQ(lines[0], QString::fromUtf8("NAZWISKO;IMIĘ;KOD KARTY;Szafka 1;\"Hala; wejście B\";"
                                        "'=Magazyn;Biuro;Biuro;;Szafka 7;Szafka 8;Szafka 9;"
                                        "Szafka 10"));
  EXPECT_EQ(lines[2], "'-Nowak;'=cmd|' /C calc'!A0;0022ccdd;1;1;1;0;0;0;0;0;0;0");
  const auto bytes = UsersCsvBytes(lines);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 10), "NAZWISKO;I");
  EXPECT_NE(bytes->find("\xAF\xF3\xB3\xE6;\xA3ucja;0011AABB;1;0;1;0;1;0;1;0;1;1\r\n"),
            std::string::npos);

  const UserTable before = users;
  const ImportPlan plan = PlanImport(*bytes, users, lockers);
  ASSERT_TRUE(plan.error.isEmpty()) << plan.error.toStdString();
  EXPECT_FALSE(plan.HasChanges()) << Verdicts(plan).join('\n').toStdString();
  EXPECT_EQ(plan.UnchangedCount(), 4);
  EXPECT_EQ(plan.Count(ImportVerdict::kRefused), 1);  // the 3-character code
  EXPECT_TRUE(ApplyImport(plan, users).empty());
  for (int n = 0; n <= kUserCount; ++n) {
    EXPECT_EQ(users[n].Permissions, before[n].Permissions);
    EXPECT_EQ(users[n].FirstName, before[n].FirstName);
  }

  // Into an empty table the same file makes the same users.
  UserTable fresh;
  ApplyImport(PlanImport(*bytes, fresh, lockers), fresh);
  EXPECT_EQ(fresh[2].FirstName, "=cmd|' /C calc'!A0");
  EXPECT_EQ(fresh[2].Permissions, "1110000000");
  EXPECT_EQ(fresh[3].Surname, "O\"Neil; Jr");
  EXPECT_EQ(fresh[3].FirstName, "'=x");
}

}  // namespace
}  // namespace veldoran::records
