// What a new user meets in the window beyond its controls: the toolkit's own texts in Polish,
// data shown as plain text, fonts that draw every Polish letter whole, visible focus.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRawFont>
#include <QTextDocument>
#include <QTimer>
#include <QTranslator>
#include <set>
#include <tuple>

#include "app/fonts.h"
#include "app/translations.h"
#include "support/qt_printers.h"
#include "support/window_fixture.h"
#include "ui/dialogs.h"
#include "ui/page_control.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"

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

class WindowPolishTest : public testing::WindowTest {
 protected:
  QLabel* Panel(int n) {
    return Form().StatusBar1->findChildren<QLabel*>(Qt::FindDirectChildrenOnly).at(n);
  }
};

// Names and codes come from Config.ini and the wire: what looks like markup is shown as it
// stands, blanks and all, and an "&" in a locker name is no keyboard shortcut.
TEST_F(WindowPolishTest, DataIsShownAsPlainText) {
  TForm1& f = Form();
  f.Users[12].FirstName = "<b>Anna</b>";
  f.Users[12].Surname = "Nowak";
  f.StringGrid3->SetCell(2, 12, "<b>Anna</b>");
  f.StringGrid3->SetCell(3, 12, "<b>12345");
  Deliver("W......<b>12345...");
  const QString shown = "<b>Anna</b>  Nowak";
  ASSERT_EQ(f.StatusBar1->PanelText(3), shown);
  const QFontMetrics metrics(Panel(3)->font());
  EXPECT_GE(Panel(3)->sizeHint().width(), metrics.horizontalAdvance(shown));
  EXPECT_GE(Panel(2)->sizeHint().width(), metrics.horizontalAdvance("Karta: <b>12345"));

  f.StringGrid2->SetCell(1, 4, "Hala A&B");
  f.UpdateLockerCaptions();
  EXPECT_TRUE(f.CheckBoxes[3]->shortcut().isEmpty());
  const QFontMetrics box_metrics(f.CheckBoxes[3]->font());
  EXPECT_GE(f.CheckBoxes[3]->sizeHint().width(), box_metrics.horizontalAdvance("Hala A&B"));

  const QModelIndex cell = f.StringGrid3->model()->index(11, 2);
  QTextDocument tip;
  tip.setHtml(f.StringGrid3->model()->data(cell, Qt::ToolTipRole).toString());
  EXPECT_EQ(tip.toPlainText(), "<b>Anna</b>");
}

// A real message box: its text as it stands, in the window's font.
TEST_F(WindowPolishTest, MessageBoxesShowPlainTextInTheWindowsFont) {
  ui::QtDialogs dialogs(&Form());
  QString text;
  QFont font;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    text = label ? label->text() : QString();
    font = label ? label->font() : QFont();
    if (label && label->textFormat() != Qt::PlainText) text = "markup";
    box->button(QMessageBox::Ok)->click();
  });
  dialogs.ShowError("Plik <b>x</b>");
  EXPECT_EQ(text, "Plik <b>x</b>");
  EXPECT_EQ(font.family(), Form().font().family());
  EXPECT_EQ(font.pixelSize(), Form().font().pixelSize());
}

// How much ink a text takes in a font: the sum of its pixels' darkness.
double Ink(const QFont& font, const QString& text) {
  QImage image(QFontMetrics(font).horizontalAdvance(text) + 8, font.pixelSize() * 2,
               QImage::Format_Grayscale8);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::black);
  painter.drawText(4, font.pixelSize() + 2, text);
  painter.end();
  double ink = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) ink += 255 - image.constScanLine(y)[x];
  }
  return ink;
}

// The fonts the window draws with, as the program loads them: each has every Polish letter of
// its own (no letter is patched in from another font), none is Wine's Tahoma (its ogoneks hang
// apart from the letters at these sizes), and the bold ones are bold.
TEST_F(WindowPolishTest, EveryFontOfTheWindowDrawsPolishLettersWholeAndBoldIsBold) {
  LoadWindowFonts();
  std::set<std::tuple<QString, int, bool>> used;
  for (const QWidget* widget : Form().findChildren<QWidget*>()) {
    used.insert({widget->font().family(), widget->font().pixelSize(), widget->font().bold()});
  }
  ASSERT_GE(used.size(), 4u);  // MS Sans Serif 11, Tahoma 11 and 13 bold, 16, 16 bold
  for (const auto& [family, pixels, bold] : used) {
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    const QRawFont raw = QRawFont::fromFont(font);
    const std::string name = family.toStdString() + " " + std::to_string(pixels) +
                             (bold ? " bold" : "") + " (drawn with " +
                             raw.familyName().toStdString() + ")";
    EXPECT_TRUE(HasPolishLetters(raw)) << name;
    EXPECT_FALSE(raw.familyName() == "Tahoma" && FontVendor(raw) == "Wine") << name;
    if (bold) {
      QFont regular = font;
      regular.setBold(false);
      const QString text = QString::fromUtf16(u"Połączono z szafką nr 10");
      EXPECT_GT(Ink(font, text), 1.15 * Ink(regular, text)) << name;
    }
  }
}

// Where the keyboard focus is shows on a button and on a grid also after a mouse click (the
// base style marks it only after keyboard use), and the corner between a grid's scroll bars is
// not the black of the window behind the page.
TEST_F(WindowPolishTest, FocusIsVisibleOnButtonsAndGrids) {
  TForm1& f = Form();
  f.show();
  QApplication::setActiveWindow(&f);
  ASSERT_TRUE(ProcessUntil([&] { return f.isActiveWindow(); }));
  for (QWidget* widget : std::initializer_list<QWidget*>{f.Button14, f.StringGrid3}) {
    f.Edit8->setFocus(Qt::MouseFocusReason);
    ProcessUntil([&] { return f.Edit8->hasFocus(); });
    const QImage before = widget->grab().toImage();
    widget->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(ProcessUntil([&] { return widget->hasFocus(); }))
        << widget->objectName().toStdString();
    EXPECT_NE(widget->grab().toImage(), before) << widget->metaObject()->className();
  }

  f.PageControl1->setCurrentWidget(f.TabSheet2);
  const QImage grid = f.StringGrid3->grab().toImage();
  const QPoint corner(grid.width() - 4, grid.height() - 4);  // between the two scroll bars
  EXPECT_GT(qGray(grid.pixel(corner)), 128) << std::hex << grid.pixel(corner);
}

}  // namespace
}  // namespace veldoran::app
