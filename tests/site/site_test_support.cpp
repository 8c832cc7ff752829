#include "site_test_support.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace veldoran::testing {

records::UserTable UsersWithCodes(int n) {
  records::UserTable users;
  for (int row = 1; row <= n; ++row) {
    users[static_cast<std::size_t>(row)] = {
        QStringLiteral("Imię %1").arg(row), QStringLiteral("Nazwisko %1").arg(row),
        QStringLiteral("%1").arg(row, 8, 16, QLatin1Char('0')), QStringLiteral("1111111111")};
  }
  return users;
}

std::vector<site::ReadEvent> EventsOf(int locker, std::int32_t first_at, int count) {
  std::vector<site::ReadEvent> events;
  for (int i = 0; i < count; ++i) {
    events.push_back({locker, first_at + 60 * i, i % 10, QStringLiteral("Szafka %1").arg(locker)});
  }
  return events;
}

QString QueryFile(const std::filesystem::path& file, const QString& sql) {
  QString result;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
    db.setDatabaseName(QString::fromStdString(file.string()));
    if (!db.open()) {
      result = QStringLiteral("error: ") + db.lastError().text();
    } else {
      QSqlQuery q(db);
      if (!q.exec(sql)) {
        result = QStringLiteral("error: ") + q.lastError().text();
      } else if (q.next()) {
        result = q.value(0).toString();
      }
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(QStringLiteral("peek"));
  return result;
}

}  // namespace veldoran::testing
