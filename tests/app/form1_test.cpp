// The window as the operator first sees it: controls, texts, geometry and start-up state.
#include "app/form1.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRawFont>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>

#include "app/fonts.h"
#include "app/translations.h"
#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/dialogs.h"
#include "ui/page_control.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::app {
namespace {

class Form1Test : public testing::WindowTest {
 protected:
  Form1Test() { Form(); }
};

TEST_F(Form1Test, TitleBarTextCountsItsSpaces) {
  const QString title = form_->windowTitle();
  EXPECT_EQ(title, QStringLiteral("VELDORAN 2020") + QString(72, ' ') + "MORVENTAL" +
                       QString(54, ' ') + "ver 1.3");
  EXPECT_EQ(title.size(), 13 + 72 + 9 + 54 + 7);
  EXPECT_EQ(title.indexOf("MORVENTAL"), 85);
}

TEST_F(Form1Test, WindowPositionSizeAndColours) {
  EXPECT_EQ(form_->pos(), QPoint(338, 167));
  EXPECT_EQ(form_->size(), QSize(840, 550));  // client area of an 856 x 589 window
  EXPECT_EQ(form_->palette().color(QPalette::Window), QColor(Qt::black));
  EXPECT_EQ(form_->font().family(), "MS Sans Serif");
  EXPECT_EQ(form_->font().pixelSize(), 11);
}

struct Placed {
  const char* name;
  QWidget* widget;
  QRect rect;
};

TEST_F(Form1Test, ControlsSitWhereTheLayoutPutsThem) {
  TForm1& f = *form_;
  const Placed placed[] = {
      {"SpeedButton2", f.SpeedButton2, {8, 96, 97, 41}},
      {"SpeedButton1", f.SpeedButton1, {8, 144, 97, 41}},
      {"PageControl1", f.PageControl1, {112, 8, 729, 497}},
      {"Button3", f.Button3, {8, 16, 145, 25}},
      {"Button5", f.Button5, {160, 16, 145, 25}},
      {"Button6", f.Button6, {312, 16, 145, 25}},
      {"StringGrid1", f.StringGrid1, {8, 48, 689, 345}},
      {"ProgressBar2", f.ProgressBar2, {8, 400, 689, 17}},
      {"Button1", f.Button1, {560, 424, 145, 25}},
      {"Memo1", f.Memo1, {392, 0, 337, 25}},
      {"GroupBox2", f.GroupBox2, {16, 16, 337, 145}},
      {"Edit8", f.Edit8, {64, 16, 121, 21}},
      {"Edit9", f.Edit9, {64, 48, 121, 21}},
      {"Edit6", f.Edit6, {64, 76, 121, 21}},
      {"Button14", f.Button14, {64, 104, 75, 25}},
      {"Button15", f.Button15, {144, 104, 75, 25}},
      {"GroupBox1", f.GroupBox1, {16, 160, 337, 241}},
      {"Button12", f.Button12, {64, 200, 75, 25}},
      {"Button13", f.Button13, {144, 200, 75, 25}},
      {"StringGrid3", f.StringGrid3, {368, 24, 337, 377}},
      {"Button17", f.Button17, {368, 408, 337, 25}},
      {"ProgressBar1", f.ProgressBar1, {368, 440, 337, 17}},
      {"StringGrid2", f.StringGrid2, {24, 16, 345, 241}},
      {"Edit7", f.Edit7, {24, 264, 345, 21}},
      {"Button11", f.Button11, {32, 296, 169, 25}},
      {"Button16", f.Button16, {208, 296, 169, 25}},
  };
  for (const auto& p : placed) EXPECT_EQ(p.widget->geometry(), p.rect) << p.name;
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(f.CheckBoxes[k]->geometry(), QRect(24, 32 + 16 * k, 300, 17)) << k;
    EXPECT_EQ(f.LockerLabels[k]->pos(), QPoint(8, 32 + 16 * k)) << k;
    EXPECT_EQ(f.LockerLabels[k]->text(), QString::number(k + 1));
  }
  // Labels size themselves to their text but start where they were put.
  EXPECT_EQ(f.Label17->pos(), QPoint(8, 16));
  EXPECT_EQ(f.Label16->pos(), QPoint(120, 512));
  EXPECT_EQ(f.Label14->pos(), QPoint(280, 512));
  EXPECT_EQ(f.Label1->pos(), QPoint(24, 24));
  EXPECT_EQ(f.Label2->pos(), QPoint(8, 48));
  EXPECT_EQ(f.Label3->pos(), QPoint(8, 76));
  EXPECT_GE(f.Label14->width(), 129);
}

TEST_F(Form1Test, FixedTextsAndFonts) {
  TForm1& f = *form_;
  EXPECT_EQ(f.Label17->text(), "Port COM");
  EXPECT_EQ(f.SpeedButton2->text(), "Połącz");
  EXPECT_EQ(f.SpeedButton1->text(), "Rozłącz");
  EXPECT_EQ(f.Label16->text(), "Status połączenia:");
  EXPECT_EQ(f.Label14->text(), "brak połączenia");
  EXPECT_EQ(f.Button3->text(), "Odczytaj zdarzenia");
  EXPECT_EQ(f.Button5->text(), "Kasuj zdarzenia z pamięci ");
  EXPECT_EQ(f.Button6->text(), "Aktualizuj czas ");
  EXPECT_EQ(f.Button1->text(), "Zapisz do pliku CSV");
  EXPECT_EQ(f.GroupBox2->title(), "Dane użytkownika");
  EXPECT_EQ(f.Label1->text(), "Imię");
  EXPECT_EQ(f.Label2->text(), "Nazwisko");
  EXPECT_EQ(f.Label3->text(), "Kod karty");
  EXPECT_EQ(f.Button14->text(), "Zapisz");
  EXPECT_EQ(f.Button15->text(), "Usuń");
  EXPECT_EQ(f.GroupBox1->title(), "Dostęp do szafek");
  EXPECT_EQ(f.Button12->text(), "Wszystkie");
  EXPECT_EQ(f.Button13->text(), "Wyczyść");
  EXPECT_EQ(f.Button17->text(), "Prześlij kody kart do kontrolera");
  EXPECT_EQ(f.Button11->text(), "Zmień opis kontrolera");
  EXPECT_EQ(f.Button16->text(), "Zaprogramuj numer kontrolera");

  const auto font_is = [](QWidget* w, const char* family, int px, bool bold) {
    return w->font().family() == family && w->font().pixelSize() == px && w->font().bold() == bold;
  };
  EXPECT_TRUE(font_is(f.Label17, "Tahoma", 13, true));
  EXPECT_TRUE(font_is(f.SpeedButton2, "Tahoma", 13, true));
  EXPECT_TRUE(font_is(f.SpeedButton1, "Tahoma", 11, true));
  EXPECT_TRUE(font_is(f.Label16, "Tahoma", 16, false));
  EXPECT_TRUE(font_is(f.Label14, "Tahoma", 16, true));
  EXPECT_EQ(f.Label17->palette().color(QPalette::WindowText), QColor(Qt::white));
  EXPECT_EQ(f.Label16->palette().color(QPalette::WindowText), QColor(Qt::white));
  EXPECT_EQ(f.Label14->palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

TEST_F(Form1Test, FourPagesWithUsersInFront) {
  ASSERT_EQ(form_->PageControl1->count(), 4);
  EXPECT_EQ(form_->PageControl1->tabText(0), "Zdarzenia");
  EXPECT_EQ(form_->PageControl1->tabText(1), "Użytkownicy");
  EXPECT_EQ(form_->PageControl1->tabText(2), "Szafki");
  EXPECT_EQ(form_->PageControl1->tabText(3), "Historia");
  EXPECT_EQ(form_->PageControl1->currentIndex(), 1);
  EXPECT_FALSE(form_->PageControl1->isMovable());
}

TEST_F(Form1Test, LatchingButtonsAreOneExclusiveGroupWithDisconnectDown) {
  TForm1& f = *form_;
  EXPECT_TRUE(f.SpeedButton1->isChecked());
  EXPECT_FALSE(f.SpeedButton2->isChecked());
  EXPECT_TRUE(f.SpeedButtonGroup1->exclusive());
  f.SpeedButton2->click();
  EXPECT_TRUE(f.SpeedButton2->isChecked());
  EXPECT_FALSE(f.SpeedButton1->isChecked());
  f.SpeedButton2->click();  // pressing the pressed one keeps it down
  EXPECT_TRUE(f.SpeedButton2->isChecked());
  f.SpeedButton1->click();
  EXPECT_TRUE(f.SpeedButton1->isChecked());
  EXPECT_FALSE(f.SpeedButton2->isChecked());
}

TEST_F(Form1Test, HiddenMemoHoldsTheCsvHeading) {
  EXPECT_FALSE(form_->Memo1->isVisibleTo(form_.get()));
  EXPECT_EQ(form_->Memo1->toPlainText(), "NAZWISKO;IMIĘ;DATA;CZAS;NR;LOKALIZACJA;KARTA");
  form_->show();
  form_->PageControl1->setCurrentIndex(0);
  EXPECT_FALSE(form_->Memo1->isVisible());
}

TEST_F(Form1Test, StatusBarPanelsAndTimers) {
  TForm1& f = *form_;
  ASSERT_EQ(f.StatusBar1->PanelCount(), 6);
  const int widths[] = {150, 150, 100, 130, 150, 50};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(f.StatusBar1->PanelWidth(i), widths[i]) << i;
  EXPECT_EQ(f.StatusBar1->height(), 19);
  EXPECT_EQ(f.StatusBar1->geometry().bottom(), f.height() - 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(f.StatusBar1->PanelText(i), "") << i;
  EXPECT_FALSE(f.StatusBar1->PanelText(5).isEmpty());
  EXPECT_TRUE(f.Timer1->Enabled());
  EXPECT_EQ(f.Timer1->Interval(), 1000);
  EXPECT_TRUE(f.Timer2->Enabled());
  EXPECT_EQ(f.Timer2->Interval(), 1000);
}

TEST_F(Form1Test, PortComponentTerminalSettingsWithoutATerminal) {
  const serial::TspComm& com = *form_->spComm1;
  EXPECT_EQ(com.TerminalUsage(), serial::tuBoth);
  EXPECT_FALSE(com.TerminalEcho());
  EXPECT_EQ(com.Terminal(), nullptr);
  EXPECT_EQ(com.DataProcessor(), nullptr);
}

TEST_F(Form1Test, StartUpFillsHeadingsWidthsAndRowNumbers) {
  TForm1& f = *form_;
  EXPECT_EQ(f.ControllerNumber, 1);
  EXPECT_TRUE(f.ReceiveBuffer.empty());

  EXPECT_EQ(f.StringGrid2->ColCount(), 2);
  EXPECT_EQ(f.StringGrid2->RowCount(), 11);
  EXPECT_EQ(f.StringGrid2->Cell(0, 0), "nr");
  EXPECT_EQ(f.StringGrid2->Cell(1, 0), "Lokalizacja szafki");
  EXPECT_EQ(f.StringGrid2->ColWidth(0), 40);
  EXPECT_EQ(f.StringGrid2->ColWidth(1), 300);
  EXPECT_EQ(f.StringGrid2->Cell(0, 1), "1.");
  EXPECT_EQ(f.StringGrid2->Cell(0, 10), "10.");

  EXPECT_EQ(f.StringGrid3->ColCount(), 5);
  EXPECT_EQ(f.StringGrid3->RowCount(), 101);
  const char* users[] = {"nr", "Nazwisko", "Imię", "Kod karty", "Uprawnienia"};
  const int users_widths[] = {40, 100, 100, 80, 64};
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(f.StringGrid3->Cell(c, 0), QString::fromUtf8(users[c]));
    EXPECT_EQ(f.StringGrid3->ColWidth(c), users_widths[c]) << c;
  }
  for (int r = 1; r <= 100; ++r) EXPECT_EQ(f.StringGrid3->Cell(0, r), QString("%1.").arg(r));

  EXPECT_EQ(f.StringGrid1->ColCount(), 8);
  EXPECT_EQ(f.StringGrid1->RowCount(), 2);  // heading and one empty row
  const char* events[] = {"nr",   "Nazwisko",  "Imię",        "Data",
                          "Czas", "nr szafki", "Lokalizacja", "Kod karty"};
  const int events_widths[] = {40, 100, 100, 60, 60, 60, 160, 60};
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(f.StringGrid1->Cell(c, 0), QString::fromUtf8(events[c]));
    EXPECT_EQ(f.StringGrid1->ColWidth(c), events_widths[c]) << c;
    EXPECT_EQ(f.StringGrid1->Cell(c, 1), "") << c;
  }
  EXPECT_EQ(f.StringGrid1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(f.Events.size(), 1001u);
  EXPECT_EQ(f.Users.size(), 101u);
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
}

TEST_F(Form1Test, GridsCannotBeEditedByTheOperator) {
  for (ui::TStringGrid* grid : {form_->StringGrid1, form_->StringGrid2, form_->StringGrid3}) {
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    const QModelIndex cell = grid->model()->index(0, 1);
    EXPECT_FALSE(grid->model()->flags(cell) & Qt::ItemIsEditable);
  }
}

TEST_F(Form1Test, QtsOwnButtonsSpeakPolishWhateverTheLocale) {
  QTranslator* translator = InstallPolishQtTranslation(*qApp);
  ASSERT_NE(translator, nullptr) << "not in " << QtTranslationFolders().join(", ").toStdString();
  QMessageBox box(QMessageBox::Warning, "t", "q", QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box.button(QMessageBox::Yes)->text(), "&Tak");
  EXPECT_EQ(box.button(QMessageBox::No)->text(), "&Nie");
  QCoreApplication::removeTranslator(translator);
  delete translator;
}

// Names and codes come from Config.ini and the wire: what looks like markup is shown as it
// stands, blanks and all, in panels and boxes (in the window's font), and an "&" in a locker
// name is no shortcut mark.
TEST_F(Form1Test, DataIsShownAsPlainText) {
  TForm1& f = *form_;
  f.Users[12] = {"<b>Anna</b>", "Nowak", "", ""};
  f.StringGrid3->SetCell(3, 12, "<b>12345");
  Deliver("W......<b>12345...");
  const QLabel* panel = f.StatusBar1->findChildren<QLabel*>(Qt::FindDirectChildrenOnly).at(3);
  ASSERT_EQ(panel->text(), "<b>Anna</b>  Nowak");
  EXPECT_GE(panel->sizeHint().width(),
            QFontMetrics(panel->font()).horizontalAdvance(panel->text()));
  f.StringGrid2->SetCell(1, 4, "Hala A&B");
  f.UpdateLockerCaptions();
  EXPECT_TRUE(f.CheckBoxes[3]->shortcut().isEmpty());

  const QLabel* label = nullptr;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(QFontInfo(label->font()).family(), QFontInfo(f.font()).family());
    box->button(QMessageBox::Ok)->click();
  });
  ui::QtDialogs(&f).ShowError("Plik <b>x</b>");
  EXPECT_NE(label, nullptr);
}

// The fonts the window draws with, as the program loads them: every Polish letter from the
// font itself, and not Wine's Tahoma (its ogoneks show apart from the letters at these sizes).
TEST_F(Form1Test, EveryFontOfTheWindowDrawsThePolishLettersItself) {
  LoadWindowFonts();
  for (const QWidget* widget : form_->findChildren<QWidget*>()) {
    const QRawFont raw = QRawFont::fromFont(widget->font());
    const std::string name =
        widget->font().family().toStdString() + " drawn with " + raw.familyName().toStdString();
    EXPECT_TRUE(HasPolishLetters(raw)) << name;
    EXPECT_FALSE(raw.familyName() == "Tahoma" && FontVendor(raw) == "Wine") << name;
  }
}

// The focus shows on a button and a grid also after a mouse click (the base style marks it
// only after keyboard use); the corner between a grid's scroll bars is not the window's black.
TEST_F(Form1Test, FocusIsVisibleAndTheScrollBarCornerIsNotBlack) {
  TForm1& f = *form_;
  f.show();
  QApplication::setActiveWindow(&f);
  ASSERT_TRUE(ProcessUntil([&] { return f.isActiveWindow(); }));
  for (QWidget* widget : std::initializer_list<QWidget*>{f.Button14, f.StringGrid3}) {
    f.Edit8->setFocus(Qt::MouseFocusReason);
    const QImage before = widget->grab().toImage();
    widget->setFocus(Qt::MouseFocusReason);
    EXPECT_NE(widget->grab().toImage(), before) << widget->metaObject()->className();
  }
  const QImage grid = f.StringGrid3->grab().toImage();
  EXPECT_GT(qGray(grid.pixel(grid.width() - 4, grid.height() - 4)), 128);
}

}  // namespace
}  // namespace veldoran::app
