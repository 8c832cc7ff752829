// Dates and times as the window shows them and the CSV file stores them.
#include "ui/date_formats.h"

#include <gtest/gtest.h>

#include "support/qt_printers.h"
#include "ui/text.h"

namespace veldoran::ui {
namespace {

const DayCount kWhen = EncodeDayCount({2026, 12, 2, 15, 4, 5, 0});

TEST(DateTimeFormats, ALocaleWithoutALanguageGetsThePolishNumericFormats) {
  for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::C, QLocale::AnyTerritory)}) {
    const DateTimeFormats formats = DateTimeFormats::Of(locale);
    EXPECT_EQ(formats.FormatDate(kWhen), "02.12.2026");
    EXPECT_EQ(formats.FormatTime(kWhen), "15:04:05");
  }
}

TEST(DateTimeFormats, ARealLocaleKeepsItsOwnFormats) {
  const DateTimeFormats german = DateTimeFormats::Of(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(german.FormatDate(kWhen), "02.12.26");
  EXPECT_EQ(german.FormatTime(kWhen), "15:04:05");
  const DateTimeFormats us = DateTimeFormats::Of(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(us.FormatDate(kWhen), "12/2/26");
  EXPECT_EQ(us.FormatTime(kWhen).remove(QChar(0x202F)).remove(' '), "3:04:05PM");
}

TEST(DateTimeFormats, WhatTheCodePageCannotHoldFallsBackToDigitsAndSeparators) {
  // Arabic-Indic digits between direction marks: the same digits in 0-9.
  const DateTimeFormats arabic = DateTimeFormats::Of(QLocale(QLocale::Arabic, QLocale::Egypt));
  EXPECT_EQ(arabic.FormatDate(kWhen), "2/12/2026");
  // Korean and Japanese words in the time: the value again as HH:mm:ss.
  EXPECT_EQ(DateTimeFormats::Of(QLocale(QLocale::Korean, QLocale::SouthKorea)).FormatTime(kWhen),
            "15:04:05");
  EXPECT_EQ(DateTimeFormats::Of(QLocale(QLocale::Japanese, QLocale::Japan)).FormatTime(kWhen),
            "15:04:05");
  EXPECT_EQ(StorableDigitsAndSeparators(QString::fromUtf16(u"3:04:05\u202FPM")), "3:04:05 PM");
  EXPECT_EQ(StorableDigitsAndSeparators(QString::fromUtf16(u"3:04:05\u00A0PM")),
            QString::fromUtf16(u"3:04:05\u00A0PM"));  // the code page has this space
  EXPECT_FALSE(StorableDigitsAndSeparators(QString::fromUtf16(u"15時04分")));
}

TEST(DateTimeFormats, EveryLocalesDatesAndTimesCanBeStored) {
  const QList<QLocale> locales =
      QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
  ASSERT_GT(locales.size(), 100);
  for (const QLocale& locale : locales) {
    const DateTimeFormats formats = DateTimeFormats::Of(locale);
    for (const DayCount t : {kWhen, EncodeDayCount({2020, 1, 1, 0, 0, 0, 0})}) {
      const QString date = formats.FormatDate(t);
      const QString time = formats.FormatTime(t);
      EXPECT_TRUE(ToAnsi(date)) << locale.name().toStdString() << " " << date.toStdString();
      EXPECT_TRUE(ToAnsi(time)) << locale.name().toStdString() << " " << time.toStdString();
      EXPECT_FALSE(date.isEmpty() || time.isEmpty()) << locale.name().toStdString();
    }
  }
}

}  // namespace
}  // namespace veldoran::ui
