// Stores reads of 1000 events into the archive named on the command line, one after another,
// until it is killed. Each read's events are new, so a read that is wholly stored adds all of
// them.
#include <QCoreApplication>
#include <cstdio>

#include "site/event_archive.h"
#include "site/history.h"
#include "site/site_database.h"
#include "site_test_support.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: site_archive_writer FILE\n");
    return 2;
  }
  veldoran::site::SiteDatabase db(argv[1]);
  db.Open();
  veldoran::site::EventArchive archive(db);
  const auto users = veldoran::testing::UsersWithCodes(100);
  int stored = veldoran::site::History(db).Count({});
  for (;;) {
    const auto events = veldoran::testing::EventsOf(1, 1600000000 + 60 * stored, 1000);
    if (!archive.StoreRead(1, 1700000000, events, users)) {
      std::fprintf(stderr, "%s\n", db.problem().toLocal8Bit().constData());
      return 1;
    }
    stored += 1000;
  }
}
