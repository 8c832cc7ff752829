#include "ui/preview_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace veldoran::ui {

PreviewDialog::PreviewDialog(QWidget* parent, const PreviewList& preview) : QDialog(parent) {
  setWindowTitle(preview.title);
  if (parent) setFont(parent->font());
  resize(760, 480);
  auto* layout = new QVBoxLayout(this);

  auto* summary = new QLabel(preview.summary, this);
  summary->setTextFormat(Qt::PlainText);
  summary->setWordWrap(true);
  layout->addWidget(summary);

  table_ = new QTableWidget(static_cast<int>(preview.rows.size()),
                            static_cast<int>(preview.headings.size()), this);
  table_->setHorizontalHeaderLabels(preview.headings);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(20);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setWordWrap(false);
  const QColor refused(0xB0, 0x00, 0x00);
  for (int r = 0; r < table_->rowCount(); ++r) {
    const PreviewList::Row& row = preview.rows[static_cast<std::size_t>(r)];
    for (int c = 0; c < table_->columnCount() && c < row.cells.size(); ++c) {
      auto* item = new QTableWidgetItem(row.cells[c]);
      item->setToolTip(row.cells[c]);
      if (row.refused) item->setForeground(refused);
      table_->setItem(r, c, item);
    }
  }
  table_->resizeColumnsToContents();
  table_->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(table_, 1);

  auto* buttons = new QDialogButtonBox(this);
  accept_ = buttons->addButton(preview.accept_caption, QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(preview.cancel_caption, QDialogButtonBox::RejectRole);
  accept_->setEnabled(preview.can_accept);
  accept_->setAutoDefault(false);
  cancel_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

bool ExecPreview(QWidget* parent, const PreviewList& preview) {
  PreviewDialog dialog(parent, preview);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace veldoran::ui
