// Dates and times as the window shows them and the CSV file stores them.
#include "ui/date_formats.h"

#include <gtest/gtest.h>

#include "support/qt_printers.h"
#include "ui/text.h"

namespace veldoran::ui {
namespace {

const DayCount kWhen = EncodeDayCount({2026, 12, 2, 15, 4, 5, 0});

TEST(DateTimeFormats, ALocaleWithoutALanguageGetsThePolishNumericFormats) {
  const DateTimeFormats c = DateTimeFormats::Of(QLocale::c());
  EXPECT_EQ(c.FormatDate(kWhen), "02.12.2026");
  EXPECT_EQ(c.FormatTime(kWhen), "15:04:05");
  const DateTimeFormats german = DateTimeFormats::Of(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(german.FormatDate(kWhen), "02.12.26");  // a real locale keeps its own
}

// Whatever the locale, the texts can be stored in Windows-1250: other scripts' digits become
// 0-9, and what still cannot be stored is the value again in digits and separators (here the
// Korean words for hours, minutes and seconds).
TEST(DateTimeFormats, EveryLocalesDatesAndTimesCanBeStored) {
  EXPECT_EQ(DateTimeFormats::Of(QLocale(QLocale::Korean, QLocale::SouthKorea)).FormatTime(kWhen),
            "15:04:05");
  const QList<QLocale> locales =
      QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
  ASSERT_GT(locales.size(), 100);
  for (const QLocale& locale : locales) {
    const DateTimeFormats formats = DateTimeFormats::Of(locale);
    const QString both = formats.FormatDate(kWhen) + " " + formats.FormatTime(kWhen);
    EXPECT_TRUE(ToAnsi(both)) << locale.name().toStdString() << " " << both.toStdString();
    EXPECT_TRUE(both.contains("2026") || both.contains("26")) << locale.name().toStdString();
  }
}

}  // namespace
}  // namespace veldoran::ui
