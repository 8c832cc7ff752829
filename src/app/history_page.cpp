#include "app/history_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>

#include "link/csv_export.h"
#include "link/event_rows.h"
#include "link/protocol.h"
#include "platform/atomic_file.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"

namespace veldoran::app {
namespace {

QLabel* Caption(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->move(x, y);
  label->resize(label->sizeHint());
  return label;
}

QDateEdit* DateEdit(QWidget* parent, int x, int y) {
  auto* edit = new QDateEdit(QDate::currentDate(), parent);
  edit->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
  edit->setCalendarPopup(true);
  edit->setGeometry(x, y, 100, 21);
  edit->setEnabled(false);
  return edit;
}

}  // namespace

HistoryPage::HistoryPage(QWidget* sheet, site::SiteDatabase& db, const ui::DateTimeFormats& formats,
                         ui::TSaveDialog& save_dialog, ui::Dialogs& dialogs)
    : QObject(), history_(db), formats_(formats), save_dialog_(save_dialog), dialogs_(dialogs) {
  Caption(sheet, QStringLiteral("Szafka"), 8, 19);
  Locker = new QComboBox(sheet);
  Locker->setGeometry(52, 16, 90, 21);
  Locker->addItem(QStringLiteral("wszystkie"));
  for (int n = 1; n <= 10; ++n) Locker->addItem(QString::number(n));
  DateRange = new QCheckBox(QStringLiteral("Zakres dat"), sheet);
  DateRange->setGeometry(154, 16, 90, 21);
  Caption(sheet, QStringLiteral("od"), 246, 19);
  From = DateEdit(sheet, 264, 16);
  Caption(sheet, QStringLiteral("do"), 372, 19);
  To = DateEdit(sheet, 390, 16);
  Caption(sheet, QStringLiteral("Szukaj"), 502, 19);
  Search = new QLineEdit(sheet);
  Search->setGeometry(544, 16, 153, 21);
  Search->setPlaceholderText(QStringLiteral("nazwisko, imię, kod"));

  Grid = new ui::TStringGrid(link::kEventColumns, 2, sheet);
  Grid->setGeometry(8, 48, 689, 369);
  Grid->SetRowHeight(20);
  Grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Grid->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  const QString headings[] = {QStringLiteral("nr"),          QStringLiteral("Nazwisko"),
                              QStringLiteral("Imię"),        QStringLiteral("Data"),
                              QStringLiteral("Czas"),        QStringLiteral("nr szafki"),
                              QStringLiteral("Lokalizacja"), QStringLiteral("Kod karty")};
  // Dates and card codes a little wider than on the events page: the grid has the room.
  const int widths[] = {40, 100, 100, 75, 60, 60, 160, 70};
  for (int c = 0; c < link::kEventColumns; ++c) {
    Grid->SetCell(c, 0, headings[c]);
    Grid->SetColWidth(c, widths[c]);
  }
  CountLine = Caption(sheet, QString(), 8, 428);
  SaveButton = new QPushButton(QStringLiteral("Zapisz do pliku CSV"), sheet);
  SaveButton->setGeometry(560, 424, 145, 25);
  SaveButton->setAutoDefault(false);

  connect(Locker, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
  connect(DateRange, &QCheckBox::toggled, this, [this](bool on) {
    From->setEnabled(on);
    To->setEnabled(on);
    Refresh();
  });
  connect(From, &QDateEdit::dateChanged, this, [this] { Refresh(); });
  connect(To, &QDateEdit::dateChanged, this, [this] { Refresh(); });
  connect(Search, &QLineEdit::textChanged, this, [this] { Refresh(); });
  connect(SaveButton, &QPushButton::clicked, this, [this] {
    try {
      SaveToCsv();
    } catch (const std::exception& e) {
      dialogs_.ShowError(QString::fromLocal8Bit(e.what()));
    }
  });
  Refresh();
}

site::HistoryFilter HistoryPage::Filter() const {
  site::HistoryFilter filter;
  filter.locker = Locker->currentIndex();
  if (DateRange->isChecked()) {
    filter.from = From->date();
    filter.to = To->date();
  }
  filter.text = Search->text();
  return filter;
}

void HistoryPage::Refresh() {
  const site::HistoryFilter filter = Filter();
  const int count = history_.Count(filter);
  rows_.clear();
  if (count > 0) {
    const auto found = history_.Rows(filter, 0, kHistoryShownRows);
    rows_.reserve(static_cast<qsizetype>(found.size()));
    for (const site::HistoryRow& r : found) {
      const DayCount when = protocol::ControllerSecondsToDateTime(r.at);
      rows_.append(QStringList{QString::number(rows_.size() + 1), r.surname, r.first_name,
                               formats_.FormatDate(when), formats_.FormatTime(when),
                               QString::number(r.locker), r.location, r.code});
    }
  }
  {
    const ui::GridUpdate update(*Grid);
    Grid->SetRowCount(static_cast<int>(rows_.size()) + 1);
    for (int c = 0; c < link::kEventColumns; ++c) Grid->SetCell(c, 1, QString());
    for (qsizetype i = 0; i < rows_.size(); ++i) {
      for (int c = 0; c < link::kEventColumns; ++c) {
        Grid->SetCell(c, static_cast<int>(i) + 1, rows_[i][c]);
      }
    }
  }
  QString line = QStringLiteral("Zdarzeń: %1").arg(count);
  if (count > rows_.size()) {
    line += QStringLiteral(" (pokazano najnowsze %1)").arg(rows_.size());
  }
  CountLine->setText(line);
  CountLine->resize(CountLine->sizeHint());
}

void HistoryPage::SaveToCsv() {
  const QStringList lines = link::CsvLines(QString::fromUtf16(link::kCsvHeading), rows_);
  link::SaveCsvLines(lines, QStringLiteral("historii"), save_dialog_, dialogs_);
}

}  // namespace veldoran::app
