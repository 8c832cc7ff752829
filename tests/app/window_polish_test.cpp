// What a new user meets in the window beyond its controls: the toolkit's own texts in Polish,
// data shown as plain text, fonts that draw every Polish letter whole, visible focus.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

#include "app/translations.h"
#include "support/qt_printers.h"

namespace veldoran::app {
namespace {

TEST(QtTranslation, StandardButtonsAndTheSaveDialogSpeakPolishWhateverTheLocale) {
  QTranslator* translator = InstallPolishQtTranslation(*QCoreApplication::instance());
  ASSERT_NE(translator, nullptr) << "not in " << QtTranslationFolders().join(", ").toStdString();
  QMessageBox box(QMessageBox::Warning, "t", "q",
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel | QMessageBox::Ok);
  EXPECT_EQ(box.button(QMessageBox::Yes)->text(), "&Tak");
  EXPECT_EQ(box.button(QMessageBox::No)->text(), "&Nie");
  EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), "Anuluj");
  EXPECT_EQ(box.button(QMessageBox::Ok)->text(), "OK");

  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  const auto* buttons = dialog.findChild<QDialogButtonBox*>();
  ASSERT_NE(buttons, nullptr);
  QStringList texts;
  for (const QAbstractButton* button : buttons->buttons()) texts << button->text();
  EXPECT_TRUE(texts.contains("&Zachowaj")) << texts.join("|").toStdString();
  EXPECT_TRUE(texts.contains("Anuluj")) << texts.join("|").toStdString();
  EXPECT_EQ(dialog.windowTitle(), "Zachowaj jako");

  QCoreApplication::removeTranslator(translator);
  delete translator;
}

}  // namespace
}  // namespace veldoran::app
