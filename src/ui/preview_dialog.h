// The window's preview list: a modal dialog that shows a PreviewList and its two buttons.
#pragma once

#include <QDialog>

#include "ui/dialogs.h"

class QPushButton;
class QTableWidget;

namespace veldoran::ui {

class PreviewDialog : public QDialog {
  Q_OBJECT
 public:
  PreviewDialog(QWidget* parent, const PreviewList& preview);

  QTableWidget* Table() const { return table_; }
  QPushButton* AcceptButton() const { return accept_; }
  QPushButton* CancelButton() const { return cancel_; }

 private:
  QTableWidget* table_;
  QPushButton* accept_;
  QPushButton* cancel_;
};

// Shows the dialog modally; true when the operator pressed the accept button.
bool ExecPreview(QWidget* parent, const PreviewList& preview);

}  // namespace veldoran::ui
