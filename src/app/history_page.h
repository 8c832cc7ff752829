// The page "Historia": the archived events of every read, newest first, filtered by locker,
// date range and a text found in a holder's name or card code, and saved as the events file.
#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

#include "site/history.h"
#include "ui/date_formats.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace veldoran::ui {
class Dialogs;
class TSaveDialog;
class TStringGrid;
}  // namespace veldoran::ui

namespace veldoran::app {

// The most events the page shows at once: the newest that match. The count line counts all.
inline constexpr int kHistoryShownRows = 1000;

class HistoryPage : public QObject {
  Q_OBJECT
 public:
  // Builds the controls on `sheet`, which owns them; the page itself is owned by its maker. `db`
  // may be unusable: the page then shows no events.
  HistoryPage(QWidget* sheet, site::SiteDatabase& db, const ui::DateTimeFormats& formats,
              ui::TSaveDialog& save_dialog, ui::Dialogs& dialogs);

  // The filter as the controls set it.
  site::HistoryFilter Filter() const;
  // Reads the matching events again.
  void Refresh();
  // "Zapisz do pliku CSV": the rows shown, in the events file's format.
  void SaveToCsv();

  // The rows shown, in the events grid's columns.
  const QList<QStringList>& Rows() const { return rows_; }

  QComboBox* Locker;        // "wszystkie", 1 to 10
  QCheckBox* DateRange;     // the dates below apply only when checked
  QDateEdit* From;          // "od"
  QDateEdit* To;            // "do"
  QLineEdit* Search;        // "Szukaj"
  ui::TStringGrid* Grid;    // the events grid's columns
  QLabel* CountLine;        // "Zdarzeń: N"
  QPushButton* SaveButton;  // "Zapisz do pliku CSV"

 private:
  site::History history_;
  ui::DateTimeFormats formats_;
  ui::TSaveDialog& save_dialog_;
  ui::Dialogs& dialogs_;
  QList<QStringList> rows_;
};

}  // namespace veldoran::app
