#include "ui/string_grid.h"

#include <QHeaderView>
#include <algorithm>

#include "ui/text.h"

namespace veldoran::ui {

StringGridModel::StringGridModel(int col_count, int row_count, QObject* parent)
    : QAbstractTableModel(parent),
      col_count_(col_count),
      row_count_(row_count),
      cells_(col_count * row_count) {}

int StringGridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : row_count_ - 1;
}

int StringGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : col_count_;
}

QVariant StringGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const QString& text = Cell(index.column(), index.row() + 1);
  switch (role) {
    case Qt::DisplayRole:
      return text;
    case Qt::BackgroundRole:
      return IsMarked(index.column(), text) ? QVariant(mark_color_) : QVariant();
    case Qt::ToolTipRole: {
      QString tip = text.isEmpty() ? QString() : PlainToolTip(text);
      if (IsMarked(index.column(), text)) {
        tip += QStringLiteral("<p>") + mark_note_.toHtmlEscaped() + QStringLiteral("</p>");
      }
      return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    default:
      return {};
  }
}

bool StringGridModel::IsMarked(int col, const QString& text) const {
  return col == mark_col_ && marked_ && marked_(text);
}

void StringGridModel::SetColumnMark(int col, std::function<bool(const QString&)> marked,
                                    const QColor& color, const QString& note) {
  mark_col_ = marked ? col : -1;
  marked_ = std::move(marked);
  mark_color_ = color;
  mark_note_ = note;
  if (row_count_ > 1) emit dataChanged(index(0, 0), index(row_count_ - 2, col_count_ - 1));
}

QVariant StringGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= col_count_) return {};
  return Cell(section, 0);
}

Qt::ItemFlags StringGridModel::flags(const QModelIndex& index) const {
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void StringGridModel::SetGridRowCount(int rows) {
  rows = std::max(rows, 2);
  if (rows == row_count_) return;
  if (rows > row_count_) {
    beginInsertRows({}, row_count_ - 1, rows - 2);
    cells_.resize(static_cast<qsizetype>(col_count_) * rows);
    row_count_ = rows;
    endInsertRows();
  } else {
    beginRemoveRows({}, rows - 1, row_count_ - 2);
    cells_.resize(static_cast<qsizetype>(col_count_) * rows);
    row_count_ = rows;
    endRemoveRows();
  }
}

const QString& StringGridModel::Cell(int col, int row) const {
  static const QString kEmpty;
  if (col < 0 || col >= col_count_ || row < 0 || row >= row_count_) return kEmpty;
  return cells_[static_cast<qsizetype>(row) * col_count_ + col];
}

void StringGridModel::SetCell(int col, int row, const QString& text) {
  if (col < 0 || col >= col_count_ || row < 0 || row >= row_count_) return;
  QString& cell = cells_[static_cast<qsizetype>(row) * col_count_ + col];
  if (cell == text) return;
  cell = text;
  if (update_depth_ > 0) {
    changed_while_updating_ = true;
  } else if (row == 0) {
    emit headerDataChanged(Qt::Horizontal, col, col);
  } else {
    const QModelIndex at = index(row - 1, col);
    emit dataChanged(at, at, {Qt::DisplayRole, Qt::BackgroundRole, Qt::ToolTipRole});
  }
}

void StringGridModel::BeginUpdate() { ++update_depth_; }

void StringGridModel::EndUpdate() {
  if (update_depth_ == 0 || --update_depth_ > 0 || !changed_while_updating_) return;
  changed_while_updating_ = false;
  emit headerDataChanged(Qt::Horizontal, 0, col_count_ - 1);
  if (row_count_ > 1) emit dataChanged(index(0, 0), index(row_count_ - 2, col_count_ - 1));
}

TStringGrid::TStringGrid(int col_count, int row_count, QWidget* parent)
    : QTableView(parent), model_(new StringGridModel(col_count, row_count, this)) {
  setModel(model_);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setTabKeyNavigation(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideNone);  // a long text is cut at the cell's edge, not replaced by "..."
  verticalHeader()->hide();
  horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setMinimumSectionSize(1);
  horizontalHeader()->setDefaultSectionSize(64);
  horizontalHeader()->setStretchLastSection(false);
  // The corner between the two scroll bars is painted like the scroll bars, not in the colour
  // of the (black) window behind the page.
  {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
  }
  // The heading row past the last column is painted in the heading's colour.
  {
    QPalette pal = horizontalHeader()->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    horizontalHeader()->setPalette(pal);
  }
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);
  SetRowHeight(row_height_);
  setCurrentIndex(model_->index(0, 0));
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& now, const QModelIndex& before) {
            if (now.isValid() && now != before) emit SelectionChanged();
          });
}

void TStringGrid::SetRowCount(int rows) {
  const int row = Row();
  model_->SetGridRowCount(rows);
  if (!currentIndex().isValid()) {
    setCurrentIndex(model_->index(std::min(row, RowCount() - 1) - 1, 0));
  }
}

void TStringGrid::SetColWidth(int col, int width) { setColumnWidth(col, width); }

void TStringGrid::SetRowHeight(int height) {
  row_height_ = height;
  verticalHeader()->setDefaultSectionSize(height);
  horizontalHeader()->setFixedHeight(height);
}

void TStringGrid::SetHeadingColor(const QColor& color) {
  QPalette pal = horizontalHeader()->palette();
  pal.setColor(QPalette::Button, color);
  pal.setColor(QPalette::Window, color);
  horizontalHeader()->setPalette(pal);
}

bool TStringGrid::IsCellMarked(int col, int row) const {
  return model_->data(model_->index(row - 1, col), Qt::BackgroundRole).isValid();
}

int TStringGrid::Row() const {
  const QModelIndex at = currentIndex();
  return at.isValid() ? at.row() + 1 : 1;
}

int TStringGrid::Col() const {
  const QModelIndex at = currentIndex();
  return at.isValid() ? at.column() : 0;
}

void TStringGrid::SetRow(int row) {
  if (row < 1 || row >= RowCount()) return;
  const QModelIndex at = model_->index(row - 1, Col());
  setCurrentIndex(at);
  scrollTo(at);
}

}  // namespace veldoran::ui
