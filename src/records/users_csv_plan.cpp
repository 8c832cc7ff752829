// Planning an import: the heading's columns, each record's fields, and what happens to it.
#include <QHash>
#include <QRegularExpression>
#include <algorithm>
#include <map>

#include "link/csv_field.h"
#include "platform/cp1250.h"
#include "records/ini_file.h"
#include "records/slot_codes.h"
#include "records/users_csv.h"

namespace veldoran::records {
namespace {

constexpr int kNone = -1;
constexpr char kAllowAll[] = "1111111111";

// A heading or a yes/no cell as compared: blanks at the ends, case, Polish marks, and runs of
// blanks, "_" and "-" inside do not count.
QString Key(const QString& text) {
  const QString decomposed = text.normalized(QString::NormalizationForm_D);
  QString key;
  bool blank = false;
  for (QChar c : decomposed) {
    if (c.category() == QChar::Mark_NonSpacing) continue;
    if (c == QChar(0x0141) || c == QChar(0x0142)) c = QLatin1Char('l');  // "Ł", "ł"
    if (c.isSpace() || c == QLatin1Char('_') || c == QLatin1Char('-')) {
      blank = !key.isEmpty();
      continue;
    }
    if (blank) key += QLatin1Char(' ');
    blank = false;
    key += c.toCaseFolded();
  }
  return key;
}

// A field's text: blanks at the ends dropped, the apostrophe an export puts before formula-like
// texts taken off, and a spreadsheet's ="..." (text kept as text) unwrapped.
QString FieldText(const QString& field) {
  QString text = field.trimmed();
  if (text.size() >= 3 && text.startsWith(QLatin1String("=\"")) &&
      text.endsWith(QLatin1Char('"'))) {
    text = text.mid(2, text.size() - 3);
  }
  return link::CsvFieldText(text).trimmed();
}

enum Slot { kSurname, kFirstName, kCode, kPermissions, kFirstLocker };
constexpr int kSlots = kFirstLocker + kLockerCount;

QString SlotName(int slot) {
  switch (slot) {
    case kSurname:
      return QStringLiteral("nazwisko");
    case kFirstName:
      return QStringLiteral("imię");
    case kCode:
      return QStringLiteral("kod karty");
    case kPermissions:
      return QStringLiteral("uprawnienia");
    default:
      return QStringLiteral("szafka %1").arg(slot - kFirstLocker + 1);
  }
}

// The fixed headings, as Key gives them; the export's own come first, before locker names.
int OwnHeading(const QString& key) {
  if (key == QLatin1String("nazwisko")) return kSurname;
  if (key == QLatin1String("imie")) return kFirstName;
  if (key == QLatin1String("kod karty")) return kCode;
  return kNone;
}

int OtherHeading(const QString& key) {
  static const QHash<QString, int> kHeadings{
      {QStringLiteral("surname"), kSurname},
      {QStringLiteral("last name"), kSurname},
      {QStringLiteral("lastname"), kSurname},
      {QStringLiteral("family name"), kSurname},
      {QStringLiteral("first name"), kFirstName},
      {QStringLiteral("firstname"), kFirstName},
      {QStringLiteral("given name"), kFirstName},
      {QStringLiteral("kod"), kCode},
      {QStringLiteral("karta"), kCode},
      {QStringLiteral("nr karty"), kCode},
      {QStringLiteral("numer karty"), kCode},
      {QStringLiteral("card"), kCode},
      {QStringLiteral("card code"), kCode},
      {QStringLiteral("card number"), kCode},
      {QStringLiteral("code"), kCode},
      {QStringLiteral("uprawnienia"), kPermissions},
      {QStringLiteral("permissions"), kPermissions},
  };
  bool number = false;
  const int n = key.toInt(&number);
  if (number && n >= 1 && n <= kLockerCount) return kFirstLocker + n - 1;
  return kHeadings.value(key, kNone);
}

struct Columns {
  std::array<int, kSlots> at;  // the column of each slot, or kNone
  QStringList described;       // what each recognised column was taken for
  Columns() { at.fill(kNone); }
  bool Recognised() const {
    return at[kSurname] != kNone || at[kFirstName] != kNone || at[kCode] != kNone;
  }
  bool AnyLocker() const {
    for (int k = 0; k < kLockerCount; ++k) {
      if (at[kFirstLocker + k] != kNone) return true;
    }
    return false;
  }
};

// The heading's columns; an ambiguous heading sets `error`. Several lockers of one name take the
// columns of that name in turn, as the export writes them.
Columns FindColumns(const QStringList& heading, const LockerNames& lockers, QString& error,
                    QStringList& ignored) {
  Columns columns;
  std::map<QString, int> taken_by_name;
  std::array<QString, kLockerCount> locker_keys;
  for (int k = 0; k < kLockerCount; ++k) {
    locker_keys[static_cast<std::size_t>(k)] = Key(lockers[static_cast<std::size_t>(k)]);
  }
  for (qsizetype c = 0; c < heading.size(); ++c) {
    const QString text = FieldText(heading[c]);
    const QString key = Key(text);
    if (key.isEmpty()) continue;
    int slot = OwnHeading(key);
    if (slot == kNone) {
      std::vector<int> named;
      for (int k = 0; k < kLockerCount; ++k) {
        if (locker_keys[static_cast<std::size_t>(k)] == key) named.push_back(k);
      }
      if (!named.empty()) {
        const int used = taken_by_name[key]++;
        slot = kFirstLocker + named[static_cast<std::size_t>(
                                  std::min<int>(used, static_cast<int>(named.size()) - 1))];
      }
    }
    if (slot == kNone) slot = OtherHeading(key);
    if (slot == kNone) {
      ignored << text;
      continue;
    }
    int& at = columns.at[static_cast<std::size_t>(slot)];
    if (at != kNone) {
      error = QStringLiteral("Nagłówek ma dwie kolumny „%1”: %2. i %3. Zostaw jedną z nich.")
                  .arg(SlotName(slot))
                  .arg(at + 1)
                  .arg(c + 1);
      return columns;
    }
    at = static_cast<int>(c);
    columns.described << (slot >= kFirstLocker &&
                                  Key(text) != Key(QString::number(slot - kFirstLocker + 1))
                              ? QStringLiteral("%1 („%2”)").arg(SlotName(slot), text)
                              : SlotName(slot));
  }
  if (columns.at[kPermissions] != kNone && columns.AnyLocker()) {
    error = QStringLiteral(
        "Nagłówek ma kolumnę „Uprawnienia” i kolumny szafek naraz. Zostaw "
        "jedno z nich.");
  }
  return columns;
}

// Why a text cannot be kept in Config.ini as it stands, or nothing.
QString Unstorable(const QString& what, const QString& text) {
  for (const QChar c : text) {
    if (c.category() == QChar::Other_Control) {
      return QStringLiteral("%1 zawiera znak sterujący (0x%2)")
          .arg(what)
          .arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
  }
  std::size_t bad = 0;
  const auto bytes =
      cp1250::Encode(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                         static_cast<std::size_t>(text.size())),
                     &bad);
  if (!bytes) {
    return QStringLiteral("%1 zawiera znak „%2”, którego nie ma w stronie kodowej Windows-1250")
        .arg(what, QString(text[static_cast<qsizetype>(bad)]));
  }
  if (bytes->size() > ini::kMaxValueLength) {
    return QStringLiteral("%1 ma ponad %2 znaków").arg(what).arg(ini::kMaxValueLength);
  }
  if (ini::ValueAsRead(*bytes) != *bytes) {
    return QStringLiteral("%1 w cudzysłowach nie da się zapisać w pliku Config.ini").arg(what);
  }
  return {};
}

QString CodeProblem(const QString& code) {
  if (code.size() != 8) {
    return QStringLiteral("kod karty „%1” nie ma 8 znaków (ma %2)").arg(code).arg(code.size());
  }
  if (!IsUploadableCardCode(code)) {
    return QStringLiteral("kod karty „%1” ma znaki inne niż cyfry szesnastkowe 0–9 i A–F")
        .arg(code);
  }
  return {};
}

std::optional<bool> YesNo(const QString& cell) {
  static const QStringList kYes{"1", "x", "tak", "t", "yes", "y", "true", "prawda"};
  static const QStringList kNo{"0", "", "nie", "n", "no", "false", "falsz"};
  const QString key = Key(cell);
  if (kYes.contains(key)) return true;
  if (kNo.contains(key)) return false;
  return std::nullopt;
}

// One data record while it is planned.
struct Entry {
  std::size_t line = 0;                        // in plan.lines
  std::optional<QString> surname, first_name;  // nothing without the column or in an empty cell
  QString code;                                // empty when not given
  std::array<std::optional<bool>, kLockerCount> lockers;
  int target = 0;  // the user it updates, 0 for a new user
  bool refused = false;
};

bool SameText(const QString& a, const QString& b) {
  return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

bool SamePermissions(const QString& a, const QString& b) {
  for (int k = 1; k <= kLockerCount; ++k) {
    if (MayOpen(a, k) != MayOpen(b, k)) return false;
  }
  return true;
}

// Reads the record's fields into `entry`; the reason when the record is refused.
QString ReadEntry(const QStringList& fields, const Columns& columns, const LockerNames& lockers,
                  Entry& entry) {
  const auto cell = [&](int slot) {
    const int c = columns.at[static_cast<std::size_t>(slot)];
    return c == kNone || c >= fields.size() ? QString() : FieldText(fields[c]);
  };
  const std::array<std::pair<int, std::optional<QString>*>, 2> names{
      {{kSurname, &entry.surname}, {kFirstName, &entry.first_name}}};
  for (const auto& [slot, value] : names) {
    const QString text = cell(slot);
    if (const QString why = Unstorable(SlotName(slot), text); !why.isEmpty()) return why;
    if (!text.isEmpty()) *value = text;
  }
  entry.code = cell(kCode);
  if (const QString why = Unstorable(SlotName(kCode), entry.code); !why.isEmpty()) return why;
  if (!entry.code.isEmpty()) {
    if (const QString why = CodeProblem(entry.code); !why.isEmpty()) return why;
  }
  if (columns.at[kPermissions] != kNone) {
    const QString text = cell(kPermissions);
    if (!text.isEmpty()) {
      static const QRegularExpression kBits(QStringLiteral("^[01]{10}$"));
      if (!kBits.match(text).hasMatch()) {
        return QStringLiteral("uprawnienia „%1” to nie dziesięć znaków 0 i 1").arg(text.left(20));
      }
      for (int k = 0; k < kLockerCount; ++k) {
        entry.lockers[static_cast<std::size_t>(k)] = text[k] == QLatin1Char('1');
      }
    }
  }
  for (int k = 0; k < kLockerCount; ++k) {
    if (columns.at[static_cast<std::size_t>(kFirstLocker + k)] == kNone) continue;
    const QString text = cell(kFirstLocker + k);
    const auto yes = YesNo(text);
    if (!yes) {
      return QStringLiteral("w kolumnie szafki %1 („%2”) jest „%3”: wpisz 1 albo 0")
          .arg(k + 1)
          .arg(lockers[static_cast<std::size_t>(k)], text.left(20));
    }
    entry.lockers[static_cast<std::size_t>(k)] = *yes;
  }
  if (!entry.surname && !entry.first_name && entry.code.isEmpty()) {
    return QStringLiteral("brak nazwiska, imienia i kodu karty");
  }
  return {};
}

// The row an entry updates (0: none, it is new), or the reason it is refused.
int Match(const Entry& entry, const UserTable& users, bool bare, QString& why) {
  std::vector<int> by_code, by_name;
  for (int n = 1; n <= kUserCount; ++n) {
    const Tuser& user = users[static_cast<std::size_t>(n)];
    if (!IsUserSet(user)) continue;
    if (!entry.code.isEmpty() && user.CardCode.compare(entry.code, Qt::CaseInsensitive) == 0) {
      by_code.push_back(n);
    }
    if ((entry.surname || entry.first_name) && SameText(user.Surname, entry.surname.value_or("")) &&
        SameText(user.FirstName, entry.first_name.value_or(""))) {
      by_name.push_back(n);
    }
  }
  const auto list = [](const std::vector<int>& rows) {
    QStringList text;
    for (const int n : rows) text << QString::number(n);
    return text.join(QStringLiteral(", "));
  };
  if (by_code.size() > 1) {
    why = QStringLiteral("ten kod karty mają już użytkownicy %1").arg(list(by_code));
    return 0;
  }
  if (by_code.size() == 1) {
    const int holder = by_code.front();
    if (bare) {
      why = QStringLiteral("kod karty jest już zapisany dla użytkownika %1").arg(holder);
      return 0;
    }
    for (const int n : by_name) {
      if (n != holder) {
        why = QStringLiteral(
                  "kod karty ma już użytkownik %1, a to nazwisko i imię ma "
                  "użytkownik %2")
                  .arg(holder)
                  .arg(n);
        return 0;
      }
    }
    return holder;
  }
  if (by_name.size() > 1) {
    why = QStringLiteral("to nazwisko i imię mają użytkownicy %1").arg(list(by_name));
    return 0;
  }
  if (by_name.size() == 1) return by_name.front();
  if (entry.code.isEmpty()) why = QStringLiteral("nowy użytkownik musi mieć 8-znakowy kod karty");
  return 0;
}

// The user as the entry leaves them: names and code from the file where it gives them (the
// stored text kept where only blanks at the ends of a name, or the case of the code's letters,
// differ), permissions from the file's columns and the others kept (a new user may open every
// locker when the file gives no permissions); permissions that mean the same stay as stored.
Tuser Merge(const Tuser& current, const Entry& entry, bool is_new) {
  Tuser user = is_new ? Tuser{} : current;
  if (entry.surname && user.Surname.trimmed() != *entry.surname) user.Surname = *entry.surname;
  if (entry.first_name && user.FirstName.trimmed() != *entry.first_name) {
    user.FirstName = *entry.first_name;
  }
  if (!entry.code.isEmpty() && user.CardCode.compare(entry.code, Qt::CaseInsensitive) != 0) {
    user.CardCode = entry.code;
  }
  bool given = false;
  for (const auto& locker : entry.lockers) given = given || locker.has_value();
  if (is_new && !given) {
    user.Permissions = QString::fromLatin1(kAllowAll);
    return user;
  }
  QString permissions(kLockerCount, QLatin1Char('0'));
  for (int k = 0; k < kLockerCount; ++k) {
    const auto& locker = entry.lockers[static_cast<std::size_t>(k)];
    const bool yes = locker ? *locker : (!is_new && MayOpen(current.Permissions, k + 1));
    if (yes) permissions[k] = QLatin1Char('1');
  }
  if (is_new || !SamePermissions(permissions, current.Permissions)) user.Permissions = permissions;
  return user;
}

bool SameUser(const Tuser& a, const Tuser& b) {
  return a.FirstName == b.FirstName && a.Surname == b.Surname && a.CardCode == b.CardCode &&
         a.Permissions == b.Permissions;
}

QString Shown(const QString& text) {
  constexpr qsizetype kShown = 200;
  QString shown = text.left(kShown);
  for (QChar& c : shown) {
    if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
      c = QChar(0x21B5);  // "↵"
    } else if (c.category() == QChar::Other_Control && c != QLatin1Char('\t')) {
      c = QLatin1Char('?');
    }
  }
  if (text.size() > kShown) shown += QChar(0x2026);  // "…"
  return shown;
}

void Refuse(ImportLine& line, const QString& why) {
  line.verdict = ImportVerdict::kRefused;
  line.reason = why;
}

QString OtherLines(const std::vector<Entry*>& group, const Entry* self,
                   const std::vector<ImportLine>& lines) {
  QStringList others;
  for (const Entry* e : group) {
    if (e != self) others << QString::number(lines[e->line].first_line);
  }
  return others.join(QStringLiteral(", "));
}

}  // namespace

ImportPlan PlanImport(std::string_view bytes, const UserTable& users, const LockerNames& lockers) {
  ImportPlan plan;
  if (bytes.size() > kMaxImportBytes) {
    plan.error = QStringLiteral("Plik jest za duży: plik z użytkownikami może mieć najwyżej 1 MB.");
    return plan;
  }
  const DecodedCsv decoded = DecodeCsv(bytes);
  plan.encoding = decoded.encoding;
  if (decoded.text.contains(QChar(0))) {
    plan.error = QStringLiteral(
        "Plik zawiera bajty o wartości zero, więc nie jest plikiem "
        "tekstowym CSV. Wybierz plik zapisany z arkusza jako CSV.");
    return plan;
  }
  plan.separator = FindSeparator(decoded.text);
  const CsvRecords split =
      SplitCsv(decoded.text, plan.separator, kMaxImportRecordChars, kMaxImportRecords);
  if (split.too_many) {
    plan.error = QStringLiteral(
                     "Plik ma ponad %1 wierszy; plik z użytkownikami (najwyżej %2) "
                     "jest dużo krótszy.")
                     .arg(kMaxImportRecords)
                     .arg(kUserCount);
    return plan;
  }
  const auto blank = [](const CsvRecord& r) {
    if (r.too_long) return false;
    for (const QString& f : r.fields) {
      if (!f.trimmed().isEmpty()) return false;
    }
    return true;
  };
  std::size_t first = 0;
  while (first < split.records.size() && blank(split.records[first])) ++first;
  if (first == split.records.size()) {
    plan.error = QStringLiteral("Plik jest pusty: nie ma w nim żadnego wiersza z danymi.");
    return plan;
  }
  const CsvRecord& heading = split.records[first];
  if (heading.too_long) {
    plan.error = QStringLiteral(
                     "Pierwszy wiersz pliku ma ponad %1 znaków, więc nie jest "
                     "nagłówkiem pliku z użytkownikami.")
                     .arg(kMaxImportRecordChars);
    return plan;
  }
  Columns columns = FindColumns(heading.fields, lockers, plan.error, plan.ignored_columns);
  if (!plan.error.isEmpty()) return plan;
  plan.bare_codes = !columns.Recognised();
  if (plan.bare_codes) {
    if (!plan.separator.isNull()) {
      plan.error = QStringLiteral(
          "Nie rozpoznano nagłówka pliku. Pierwszy wiersz musi nazywać kolumny, np. "
          "„NAZWISKO;IMIĘ;KOD KARTY”, a po nich kolumny szafek (numer 1–10 albo nazwa szafki) "
          "lub jedną kolumnę „Uprawnienia”. Plik z samymi kodami kart ma jedną kolumnę bez "
          "nagłówka.");
      return plan;
    }
    columns = Columns{};
    columns.at[kCode] = 0;
    plan.ignored_columns.clear();
  }

  std::vector<Entry> entries;
  for (std::size_t i = 0; i < split.records.size(); ++i) {
    const CsvRecord& record = split.records[i];
    ImportLine line;
    line.first_line = record.first_line;
    line.last_line = record.last_line;
    line.text = Shown(record.text);
    Entry entry;
    entry.line = plan.lines.size();
    if (blank(record)) {
      line.verdict = ImportVerdict::kSkipped;
    } else if (i == first && !plan.bare_codes) {
      line.verdict = ImportVerdict::kHeading;
      line.reason = columns.described.join(QStringLiteral(", "));
    } else if (record.too_long) {
      Refuse(line, QStringLiteral("wiersz ma ponad %1 znaków").arg(kMaxImportRecordChars));
    } else if (record.unterminated_quote) {
      Refuse(line, QStringLiteral("cudzysłów otwarty w tym wierszu nie jest zamknięty"));
    } else if (const QString why = ReadEntry(record.fields, columns, lockers, entry);
               !why.isEmpty()) {
      Refuse(line, why);
    } else {
      line.verdict = ImportVerdict::kNewUser;  // for now: matched below
      entries.push_back(entry);
    }
    plan.lines.push_back(std::move(line));
  }

  // The same code on several lines: none of them is taken.
  std::map<QString, std::vector<Entry*>> by_code;
  for (Entry& e : entries) {
    if (!e.code.isEmpty()) by_code[e.code.toUpper()].push_back(&e);
  }
  for (auto& [code, group] : by_code) {
    if (group.size() < 2) continue;
    for (Entry* e : group) {
      e->refused = true;
      Refuse(plan.lines[e->line], QStringLiteral("ten sam kod karty jest też w wierszu %1")
                                      .arg(OtherLines(group, e, plan.lines)));
    }
  }
  std::map<int, std::vector<Entry*>> by_target;
  for (Entry& e : entries) {
    if (e.refused) continue;
    QString why;
    e.target = Match(e, users, plan.bare_codes, why);
    if (!why.isEmpty()) {
      e.refused = true;
      Refuse(plan.lines[e.line], why);
    } else if (e.target != 0) {
      by_target[e.target].push_back(&e);
    }
  }
  for (auto& [target, group] : by_target) {
    if (group.size() < 2) continue;
    for (Entry* e : group) {
      e->refused = true;
      Refuse(plan.lines[e->line], QStringLiteral("ten sam użytkownik %1 co w wierszu %2")
                                      .arg(target)
                                      .arg(OtherLines(group, e, plan.lines)));
    }
  }

  int next_free = 1;
  for (Entry& e : entries) {
    if (e.refused) continue;
    ImportLine& line = plan.lines[e.line];
    if (e.target == 0) {
      while (next_free <= kUserCount && IsUserSet(users[static_cast<std::size_t>(next_free)])) {
        ++next_free;
      }
      if (next_free > kUserCount) {
        Refuse(line, QStringLiteral("tabela użytkowników jest pełna (%1)").arg(kUserCount));
        continue;
      }
      e.target = next_free++;
      line.verdict = ImportVerdict::kNewUser;
    } else {
      line.verdict = ImportVerdict::kUpdate;
    }
    const Tuser& current = users[static_cast<std::size_t>(e.target)];
    line.row = e.target;
    line.user = Merge(current, e, line.verdict == ImportVerdict::kNewUser);
    line.changes = !SameUser(line.user, current);
  }
  return plan;
}

std::vector<int> ApplyImport(const ImportPlan& plan, UserTable& users) {
  std::vector<int> rows;
  for (const ImportLine& line : plan.lines) {
    const bool takes =
        line.verdict == ImportVerdict::kNewUser || line.verdict == ImportVerdict::kUpdate;
    if (!takes || !line.changes || line.row < 1 || line.row > kUserCount) continue;
    users[static_cast<std::size_t>(line.row)] = line.user;
    rows.push_back(line.row);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

}  // namespace veldoran::records
