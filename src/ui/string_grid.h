// A text grid addressed like the window's grids: Cell(col, row) with row 0 the heading row, shown
// as the column headings, and rows 1 and up the data rows. The operator can select a cell but
// never edit one; only the program writes cells.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QTableView>
#include <QVector>
#include <functional>

namespace veldoran::ui {

class StringGridModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  StringGridModel(int col_count, int row_count, QObject* parent);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  int GridRowCount() const { return row_count_; }
  int GridColCount() const { return col_count_; }
  void SetGridRowCount(int rows);
  const QString& Cell(int col, int row) const;
  void SetCell(int col, int row, const QString& text);

  // While updating, cell writes are not announced one by one; EndUpdate announces them at once.
  void BeginUpdate();
  void EndUpdate();

  // The data cells of column `col` whose text `marked` accepts get the background `color` and
  // `note` in their tool tip; their texts stay as they are. An empty `marked` removes the mark.
  void SetColumnMark(int col, std::function<bool(const QString&)> marked, const QColor& color,
                     const QString& note);

 private:
  bool IsMarked(int col, const QString& text) const;

  int col_count_;
  int row_count_;
  int mark_col_ = -1;
  std::function<bool(const QString&)> marked_;
  QColor mark_color_;
  QString mark_note_;
  QVector<QString> cells_;  // row-major, row 0 included
  int update_depth_ = 0;
  bool changed_while_updating_ = false;
};

class TStringGrid : public QTableView {
  Q_OBJECT
 public:
  TStringGrid(int col_count, int row_count, QWidget* parent = nullptr);

  int ColCount() const { return model_->GridColCount(); }
  int RowCount() const { return model_->GridRowCount(); }
  // Sets the number of rows, heading row included (at least 2: one data row stays).
  void SetRowCount(int rows);

  const QString& Cell(int col, int row) const { return model_->Cell(col, row); }
  void SetCell(int col, int row, const QString& text) { model_->SetCell(col, row, text); }

  void SetColWidth(int col, int width);
  int ColWidth(int col) const { return columnWidth(col); }
  void SetRowHeight(int height);
  void SetHeadingColor(const QColor& color);

  // The selected cell; rows count from 1 (the first data row).
  int Row() const;
  int Col() const;
  void SetRow(int row);

  void BeginUpdate() { model_->BeginUpdate(); }
  void EndUpdate() { model_->EndUpdate(); }

  // See StringGridModel::SetColumnMark.
  void SetColumnMark(int col, std::function<bool(const QString&)> marked, const QColor& color,
                     const QString& note) {
    model_->SetColumnMark(col, std::move(marked), color, note);
  }
  // Whether the data cell (col, row) carries the column's mark.
  bool IsCellMarked(int col, int row) const;

 signals:
  // The selected cell changed: by mouse, keyboard or the program.
  void SelectionChanged();

 private:
  StringGridModel* model_;
  int row_height_ = 20;
};

// Batches the cell writes of one scope into one update of the view.
class GridUpdate {
 public:
  explicit GridUpdate(TStringGrid& grid) : grid_(grid) { grid_.BeginUpdate(); }
  ~GridUpdate() { grid_.EndUpdate(); }
  GridUpdate(const GridUpdate&) = delete;
  GridUpdate& operator=(const GridUpdate&) = delete;

 private:
  TStringGrid& grid_;
};

}  // namespace veldoran::ui
