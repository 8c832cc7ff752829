#include "app/form1.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>

#include "app/history_page.h"
#include "discovery/device_watch.h"
#include "discovery/port_keeper.h"
#include "discovery/spcommbox.h"
#include "link/connection.h"
#include "link/csv_export.h"
#include "link/event_log.h"
#include "link/events_grid.h"
#include "link/protocol.h"
#include "link/receive_dispatcher.h"
#include "records/card_code_check.h"
#include "records/card_upload.h"
#include "records/config.h"
#include "records/config_values.h"
#include "records/lockers_page.h"
#include "records/port_choice.h"
#include "records/users_import.h"
#include "records/users_page.h"
#include "serial/qt/qt_main_thread.h"
#include "serial/spcomm.h"
#include "site/lockers_status.h"
#include "site/read_archive.h"
#include "site/site_database.h"
#include "ui/focus_style.h"
#include "ui/page_control.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/text.h"
#include "ui/timer.h"

namespace veldoran::app {
namespace {

// The window's client area: the outer size 856 x 589 less a standard frame (8 px at each side
// and the bottom) and title bar (31 px).
constexpr int kClientWidth = 840;
constexpr int kClientHeight = 550;

QFont Font(const QString& family, int pixel_size, bool bold = false) {
  QFont font(family);
  font.setPixelSize(pixel_size);
  font.setBold(bold);
  return font;
}

void SetTextColor(QWidget* widget, const QColor& color) {
  QPalette pal = widget->palette();
  pal.setColor(QPalette::WindowText, color);
  pal.setColor(QPalette::ButtonText, color);
  widget->setPalette(pal);
}

QPushButton* Button(QWidget* parent, const QString& text, int x, int y, int w, int h) {
  auto* button = new QPushButton(text, parent);
  button->setGeometry(x, y, w, h);
  button->setAutoDefault(false);
  return button;
}

// A substitute for the designed font may be wider: a button's caption that would not fit its
// fixed width gets a smaller font rather than being cut off.
void FitCaption(QPushButton* button) {
  QFont font = button->font();
  const int room = button->width() - 8;
  while (font.pixelSize() > 8 &&
         QFontMetrics(font).horizontalAdvance(button->text().trimmed()) > room) {
    font.setPixelSize(font.pixelSize() - 1);
  }
  if (font != button->font()) button->setFont(font);
}

// A label sized as given, or larger when its text needs more room (a substitute font may be
// wider than the designed one): labels size themselves to their text.
QLabel* Label(QWidget* parent, const QString& text, int x, int y, int w = 0, int h = 0,
              const QFont* font = nullptr) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  if (font) label->setFont(*font);
  const QSize hint = label->sizeHint();
  label->setGeometry(x, y, std::max(w, hint.width()), std::max(h, hint.height()));
  return label;
}

QLineEdit* Edit(QWidget* parent, int x, int y, int w, int h) {
  auto* edit = new QLineEdit(parent);
  edit->setGeometry(x, y, w, h);
  ui::MakeAnsiEdit(edit);
  return edit;
}

QProgressBar* ProgressBar(QWidget* parent, int x, int y, int w, int h) {
  auto* bar = new QProgressBar(parent);
  bar->setGeometry(x, y, w, h);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  return bar;
}

}  // namespace

QString TForm1::Caption() {
  return QStringLiteral("VELDORAN 2020") + QString(72, QLatin1Char(' ')) +
         QStringLiteral("MORVENTAL") + QString(54, QLatin1Char(' ')) + QStringLiteral("ver 1.3");
}

TForm1::TForm1(const Services& services, QWidget* parent) : QWidget(parent), services_(services) {
  if (!services_.dialogs) {
    own_dialogs_ = std::make_unique<ui::QtDialogs>(this);
    services_.dialogs = own_dialogs_.get();
  }
  if (!services_.clock) {
    own_clock_ = std::make_unique<ui::SystemClock>();
    services_.clock = own_clock_.get();
  }
  if (!services_.main_thread) {
    auto main_thread = std::make_unique<serial::QtMainThread>();
    ui::Dialogs* dialogs = services_.dialogs;
    main_thread->SetExceptionHandler([dialogs](const std::string& message) {
      dialogs->ShowError(QString::fromLocal8Bit(message.c_str()));
    });
    own_main_thread_ = std::move(main_thread);
    services_.main_thread = own_main_thread_.get();
  }
  if (!services_.serial_api) services_.serial_api = win::SystemSerialApi();
  BuildWindow();
  BuildPort();
  port_keeper_ = std::make_unique<discovery::PortKeeper>(*spComm1);
  const link::Heartbeat heartbeat{Timer1, Timer2};
  const link::ConnectionDisplay connection{Label14, StatusBar1};
  dispatcher_ = std::make_unique<link::ReceiveDispatcher>(
      link::DispatcherControls{Edit6, connection, StatusBar1, ProgressBar1, ProgressBar2, heartbeat,
                               StringGrid2, StringGrid3},
      *this, Users, *services_.dialogs, services_.formats, [this] { FillEventsGrid(); });
  config_ = std::make_unique<records::Config>(
      records::ConfigControls{StringGrid2, StringGrid3, CheckBoxes}, Users, *services_.dialogs);
  users_page_ = std::make_unique<records::UsersPage>(
      records::UsersPageControls{StringGrid3, Edit8, Edit9, Edit6, CheckBoxes}, Users,
      *services_.dialogs, [this] { SaveConfig(); });
  users_csv_ = std::make_unique<records::UsersCsvPage>(
      records::UsersCsvControls{StringGrid3, StringGrid2}, Users, *services_.dialogs,
      [this] { SaveConfig(); }, [this] { ShowSelectedUser(); });
  connection_ = std::make_unique<link::Connection>(*spComm1, heartbeat, connection, *this);
  event_log_ = std::make_unique<link::EventLog>(*spComm1, heartbeat, *this, *services_.dialogs,
                                                *services_.clock, *services_.main_thread);
  card_upload_ = std::make_unique<records::CardUpload>(
      records::CardUploadControls{StringGrid3, ProgressBar1, heartbeat}, *spComm1, *this,
      *services_.dialogs, *services_.clock, *services_.main_thread);
  lockers_page_ = std::make_unique<records::LockersPage>(
      records::LockersPageControls{StringGrid2, Edit7, heartbeat}, *spComm1, *this,
      *services_.dialogs, *services_.clock, *services_.main_thread,
      [this] { UpdateLockerCaptions(); }, [this] { SaveConfig(); });
  BuildSiteRecords();
  FormCreate();
  lockers_status_->Refresh();
  ConnectHandlers();
  if (services_.watch_devices) {
    device_watch_ = std::make_unique<discovery::DeviceChangeWatch>(
        discovery::DeviceChangeWatch::SystemFolders(), [this](const serial::TMessage& message) {
          Guarded([&] { spDeviceBox1->DeviceChange(message); });
        });
  }
}

void TForm1::Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    services_.dialogs->ShowError(QString::fromLocal8Bit(e.what()));
  }
}

void TForm1::ConnectHandlers() {
  const auto on_click = [this](QPushButton* button, void (TForm1::*handler)()) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  on_click(SpeedButton2, &TForm1::SpeedButton2Click);
  on_click(SpeedButton1, &TForm1::SpeedButton1Click);
  on_click(Button3, &TForm1::Button3Click);
  on_click(Button5, &TForm1::Button5Click);
  on_click(Button6, &TForm1::Button6Click);
  on_click(Button17, &TForm1::Button17Click);
  on_click(Button11, &TForm1::Button11Click);
  on_click(Button16, &TForm1::Button16Click);
  on_click(Button1, &TForm1::Button1Click);
  on_click(Button14, &TForm1::Button14Click);
  on_click(Button15, &TForm1::Button15Click);
  on_click(Button12, &TForm1::Button12Click);
  on_click(Button13, &TForm1::Button13Click);
  on_click(ButtonImportCsv, &TForm1::ButtonImportCsvClick);
  on_click(ButtonExportCsv, &TForm1::ButtonExportCsvClick);
  Timer1->OnTimer = [this] { Guarded([this] { Timer1Timer(); }); };
  Timer2->OnTimer = [this] { Guarded([this] { Timer2Timer(); }); };
  connect(StringGrid3, &ui::TStringGrid::SelectionChanged, this,
          [this] { Guarded([this] { StringGrid3Click(); }); });
  connect(StringGrid2, &ui::TStringGrid::SelectionChanged, this,
          [this] { Guarded([this] { StringGrid2Click(); }); });
  // A pick that cannot open its port shows the open error as a failed "Połącz" does.
  // The picked port is the one to stand on, also when it did not open.
  spDeviceBox1->SetGuard([this](const std::function<void()>& action) {
    Guarded(action);
    port_keeper_->Chosen();
  });
  spDeviceBox1->SetOnChange([this](serial::TObject*) { KeepPickedPort(); });
  // An adapter pulled out while connected is opened again when it comes back, unless the
  // operator pressed "Rozłącz" since "Połącz".
  port_keeper_->SetReopen([this] { return SpeedButton2->isChecked(); },
                          [this] { connection_->Connect(); });
}

void TForm1::KeepPickedPort() {
  const ini::Result saved = records::SavePortChoice(records::ConfigPath(), spComm1->ComPortNo());
  if (saved.ok) return;
  services_.dialogs->ShowError(
      QStringLiteral("Unable to write to %1.\n\n%2")
          .arg(QDir::toNativeSeparators(QString::fromStdString(records::ConfigPath().string())),
               QString::fromLocal8Bit(saved.error.c_str())));
}

void TForm1::BuildSiteRecords() {
  site_db_ = std::make_unique<site::SiteDatabase>(records::ConfigPath().parent_path() /
                                                  site::kDatabaseFileName);
  ui::Dialogs* dialogs = services_.dialogs;
  site_db_->SetOnProblem([dialogs](const QString& message) { dialogs->ShowMessage(message); });
  site_db_->Open();
  // Beside the names of StringGrid2 (rows 20 px apart below its heading row).
  lockers_status_ = std::make_unique<site::LockersStatus>(*site_db_, Users, TabSheet3, 376, 38, 20,
                                                          LabelCardsNotice);
  read_archive_ = std::make_unique<site::ReadArchive>(*site_db_, Users);
  history_page_ = std::make_unique<HistoryPage>(TabSheet4, *site_db_, services_.formats,
                                                SaveDialog1, *services_.dialogs);
  connect(PageControl1, &QTabWidget::currentChanged, history_page_.get(), [this] {
    if (PageControl1->currentWidget() == TabSheet4) history_page_->Refresh();
  });
  card_upload_->SetOnFinished([this](int controller_number, bool ok) {
    lockers_status_->UploadFinished(controller_number, ok,
                                    protocol::DateTimeToControllerSeconds(services_.clock->Now()));
    ShowCardsNotice();
  });
}

void TForm1::ShowCardsNotice() {
  lockers_status_->ShowConnection(spComm1->Active(), ControllerNumber);
}

TForm1::~TForm1() {
  device_watch_.reset();
  port_keeper_.reset();
  // The port goes first: its threads deliver through the main thread and the handlers below.
  // The picker hears of it and lets go of the port.
  spComm1.reset();
}

void TForm1::BuildPort() {
  spComm1 = std::make_unique<serial::TspComm>(nullptr, *services_.main_thread, services_.serial_api,
                                              services_.registry, services_.device_setup);
  serial::TspComm& com = *spComm1;
  com.SetName("spComm1");
  com.BeginLoading();
  com.SetActive(false);
  com.SetBaudRate(57600);
  com.SetParity(serial::pNone);
  com.SetStopBits(serial::sbOne);
  com.SetByteSize(8);
  com.SetComPort(serial::cpCOM1);
  // The port the operator picked last, if Config.ini keeps one.
  if (const auto picked = records::ReadPortChoice(records::ConfigPath())) com.SetComPortNo(*picked);
  com.SetTraceStates({});
  com.SetEventChar('\0');
  com.SetStreamProtocol(serial::spNone);
  com.SetBufferInSize(20000);
  com.SetBufferOutSize(8192);
  com.SetTimeoutRead(0);
  com.SetTimeoutWrite(100);
  com.SetRS485Mode(false);
  com.SetEnumPorts(serial::epQuickAll);
  com.SetUseMainThread(true);
  com.SetTerminalUsage(serial::tuBoth);  // no terminal is attached
  com.SetTerminalEcho(false);
  com.SetOnAfterReceive([this](serial::TObject* Com, void* Buffer, std::uint32_t Received) {
    spComm1AfterReceive(Com, Buffer, Received);
  });
  com.EndLoading();
  // The picker is bound once the port has all its settings: this builds the port list and
  // selects the current port.
  spDeviceBox1->SetspComm(&com);
}

void TForm1::BuildWindow() {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(Caption());
  setFont(Font(QStringLiteral("MS Sans Serif"), 11));
  setFixedSize(kClientWidth, kClientHeight);
  move(338, 167);
  setAutoFillBackground(true);
  const QPalette standard = palette();
  QPalette black = standard;
  black.setColor(QPalette::Window, Qt::black);
  setPalette(black);

  const QFont tahoma13b = Font(QStringLiteral("Tahoma"), 13, true);
  Label17 = Label(this, QStringLiteral("Port COM"), 8, 16, 60, 16, &tahoma13b);
  SetTextColor(Label17, Qt::white);

  SpeedButton2 = Button(this, QStringLiteral("Połącz"), 8, 96, 97, 41);
  SpeedButton2->setFont(Font(QStringLiteral("Tahoma"), 13, true));
  SpeedButton1 = Button(this, QStringLiteral("Rozłącz"), 8, 144, 97, 41);
  SpeedButton1->setFont(Font(QStringLiteral("Tahoma"), 11, true));
  for (QPushButton* b : {SpeedButton2, SpeedButton1}) {
    b->setCheckable(true);
    b->setPalette(standard);
  }
  SpeedButtonGroup1 = new QButtonGroup(this);
  SpeedButtonGroup1->setExclusive(true);
  SpeedButtonGroup1->addButton(SpeedButton2);
  SpeedButtonGroup1->addButton(SpeedButton1);
  SpeedButton1->setChecked(true);

  PageControl1 = new ui::TPageControl(this);
  PageControl1->setGeometry(112, 8, 729, 497);
  PageControl1->setPalette(standard);
  PageControl1->setAutoFillBackground(true);
  BuildEventsPage();
  BuildUsersPage();
  BuildLockersPage();
  TabSheet4 = new QWidget;
  PageControl1->addTab(TabSheet4, QStringLiteral("Historia"));
  PageControl1->setCurrentWidget(TabSheet2);

  // After the page control in the focus chain, as its tab order puts it.
  spDeviceBox1 = new discovery::TspDeviceBox(this);
  spDeviceBox1->setObjectName(QStringLiteral("spDeviceBox1"));
  spDeviceBox1->setGeometry(8, 40, 97, 21);
  spDeviceBox1->SetItemHeight(13);
  spDeviceBox1->SetResetOnChanged(false);
  spDeviceBox1->setPalette(standard);

  const QFont tahoma16 = Font(QStringLiteral("Tahoma"), 16);
  Label16 = Label(this, QStringLiteral("Status połączenia:"), 120, 512, 127, 19, &tahoma16);
  SetTextColor(Label16, Qt::white);

  // Wide enough for the longest status text, "Połączono z szafką nr 10".
  const QFont tahoma16b = Font(QStringLiteral("Tahoma"), 16, true);
  Label14 = Label(this, QStringLiteral("brak połączenia"), 280, 512, 129, 19, &tahoma16b);
  Label14->setMinimumWidth(
      QFontMetrics(tahoma16b).horizontalAdvance(QStringLiteral("Połączono z szafką nr 10")) + 4);
  Label14->resize(Label14->minimumWidth(), Label14->height());
  SetTextColor(Label14, Qt::red);

  LabelCardsNotice = Label(this, QString(), 500, 512, 336, 19, &tahoma16b);
  LabelCardsNotice->setObjectName(QStringLiteral("LabelCardsNotice"));
  SetTextColor(LabelCardsNotice, QColor(255, 160, 0));
  LabelCardsNotice->hide();

  StatusBar1 = new ui::TStatusBar({150, 150, 100, 130, 150, 50}, this);
  StatusBar1->setGeometry(0, kClientHeight - 19, kClientWidth, 19);
  StatusBar1->SetPanelText(5, QStringLiteral("ver 1.3"));

  for (QPushButton* button : findChildren<QPushButton*>()) FitCaption(button);
  // Where the keyboard focus is shows on buttons, check boxes and grids.
  for (QWidget* widget : findChildren<QWidget*>()) {
    if (qobject_cast<QAbstractButton*>(widget) || qobject_cast<ui::TStringGrid*>(widget)) {
      widget->setStyle(ui::FocusStyle());
    }
  }

  Timer1 = new ui::TTimer(this);
  Timer1->SetInterval(1000);
  Timer2 = new ui::TTimer(this);
  Timer2->SetInterval(1000);
}

void TForm1::BuildEventsPage() {
  TabSheet1 = new QWidget;
  PageControl1->addTab(TabSheet1, QStringLiteral("Zdarzenia"));
  Button3 = Button(TabSheet1, QStringLiteral("Odczytaj zdarzenia"), 8, 16, 145, 25);
  Button5 = Button(TabSheet1, QStringLiteral("Kasuj zdarzenia z pamięci "), 160, 16, 145, 25);
  Button6 = Button(TabSheet1, QStringLiteral("Aktualizuj czas "), 312, 16, 145, 25);
  StringGrid1 = new ui::TStringGrid(8, 2, TabSheet1);
  StringGrid1->setGeometry(8, 48, 689, 345);
  StringGrid1->SetRowHeight(20);
  StringGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  ProgressBar2 = ProgressBar(TabSheet1, 8, 400, 689, 17);
  Button1 = Button(TabSheet1, QStringLiteral("Zapisz do pliku CSV"), 560, 424, 145, 25);
  Memo1 = new QPlainTextEdit(TabSheet1);
  Memo1->setGeometry(392, 0, 337, 25);
  Memo1->setPlainText(QString::fromUtf16(link::kCsvHeading));
  Memo1->hide();
}

void TForm1::BuildUsersPage() {
  TabSheet2 = new QWidget;
  PageControl1->addTab(TabSheet2, QStringLiteral("Użytkownicy"));

  GroupBox2 = new QGroupBox(QStringLiteral("Dane użytkownika"), TabSheet2);
  GroupBox2->setGeometry(16, 16, 337, 145);
  Label1 = Label(GroupBox2, QStringLiteral("Imię"), 24, 24);
  Edit8 = Edit(GroupBox2, 64, 16, 121, 21);
  Label2 = Label(GroupBox2, QStringLiteral("Nazwisko"), 8, 48);
  Edit9 = Edit(GroupBox2, 64, 48, 121, 21);
  Label3 = Label(GroupBox2, QStringLiteral("Kod karty"), 8, 76);
  Edit6 = Edit(GroupBox2, 64, 76, 121, 21);
  CardCodeHint = Label(GroupBox2, QString(), 190, 72, 145, 30);
  CardCodeHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  SetTextColor(CardCodeHint, QColor(0xC0, 0, 0));
  Button14 = Button(GroupBox2, QStringLiteral("Zapisz"), 64, 104, 75, 25);
  Button15 = Button(GroupBox2, QStringLiteral("Usuń"), 144, 104, 75, 25);

  GroupBox1 = new QGroupBox(QStringLiteral("Dostęp do szafek"), TabSheet2);
  GroupBox1->setGeometry(16, 160, 337, 241);
  for (int k = 0; k < 10; ++k) {
    const int y = 32 + 16 * k;
    LockerLabels[k] = Label(GroupBox1, QString::number(k + 1), 8, y);
    LockerLabels[k]->setObjectName(QStringLiteral("Label%1").arg(k + 4));
    CheckBoxes[k] = new QCheckBox(GroupBox1);
    CheckBoxes[k]->setObjectName(QStringLiteral("CheckBox%1").arg(k + 1));
    CheckBoxes[k]->setGeometry(24, y, 300, 17);
    CheckBoxes[k]->setChecked(true);
  }
  Button12 = Button(GroupBox1, QStringLiteral("Wszystkie"), 64, 200, 75, 25);
  Button13 = Button(GroupBox1, QStringLiteral("Wyczyść"), 144, 200, 75, 25);
  // Below the frame "Dostęp do szafek", beside the upload button.
  ButtonImportCsv = Button(TabSheet2, QStringLiteral("Importuj z CSV"), 16, 408, 165, 25);
  ButtonExportCsv = Button(TabSheet2, QStringLiteral("Eksportuj do CSV"), 188, 408, 165, 25);

  StringGrid3 = new ui::TStringGrid(5, 101, TabSheet2);
  StringGrid3->setGeometry(368, 24, 337, 377);
  StringGrid3->SetRowHeight(20);
  records::WatchCardCodeField(Edit6, CardCodeHint);
  records::MarkUnsendableCardCodes(*StringGrid3, 3);
  Button17 =
      Button(TabSheet2, QStringLiteral("Prześlij kody kart do kontrolera"), 368, 408, 337, 25);
  ProgressBar1 = ProgressBar(TabSheet2, 368, 440, 337, 17);
}

void TForm1::BuildLockersPage() {
  TabSheet3 = new QWidget;
  PageControl1->addTab(TabSheet3, QStringLiteral("Szafki"));
  StringGrid2 = new ui::TStringGrid(2, 11, TabSheet3);
  StringGrid2->setGeometry(24, 16, 345, 241);
  StringGrid2->SetRowHeight(20);
  StringGrid2->SetHeadingColor(QColor(0xC0, 0xC0, 0xC0));
  Edit7 = Edit(TabSheet3, 24, 264, 345, 21);
  Button11 = Button(TabSheet3, QStringLiteral("Zmień opis kontrolera"), 32, 296, 169, 25);
  Button16 = Button(TabSheet3, QStringLiteral("Zaprogramuj numer kontrolera"), 208, 296, 169, 25);
}

void TForm1::FormCreate() {
  ControllerNumber = 1;
  ReceiveBuffer.clear();

  StringGrid2->SetColWidth(0, 40);
  StringGrid2->SetColWidth(1, 300);
  StringGrid2->SetCell(0, 0, QStringLiteral("nr"));
  StringGrid2->SetCell(1, 0, QString::fromUtf16(records::kLockersHeading));

  const int users_widths[] = {40, 100, 100, 80};
  for (int c = 0; c < 4; ++c) StringGrid3->SetColWidth(c, users_widths[c]);
  const QString users_headings[] = {QStringLiteral("nr"), QStringLiteral("Nazwisko"),
                                    QStringLiteral("Imię"), QStringLiteral("Kod karty"),
                                    QStringLiteral("Uprawnienia")};
  for (int c = 0; c < 5; ++c) StringGrid3->SetCell(c, 0, users_headings[c]);

  const QString events_headings[] = {QStringLiteral("nr"),          QStringLiteral("Nazwisko"),
                                     QStringLiteral("Imię"),        QStringLiteral("Data"),
                                     QStringLiteral("Czas"),        QStringLiteral("nr szafki"),
                                     QStringLiteral("Lokalizacja"), QStringLiteral("Kod karty")};
  const int events_widths[] = {40, 100, 100, 60, 60, 60, 160, 60};
  for (int c = 0; c < 8; ++c) {
    StringGrid1->SetCell(c, 0, events_headings[c]);
    StringGrid1->SetColWidth(c, events_widths[c]);
  }

  for (int r = 1; r <= 10; ++r) StringGrid2->SetCell(0, r, QStringLiteral("%1.").arg(r));
  for (int r = 1; r <= 100; ++r) StringGrid3->SetCell(0, r, QStringLiteral("%1.").arg(r));

  LoadConfig();
  ShowSelectedUser();
  lockers_page_->ShowSelectedLocker();
}

void TForm1::Button1Click() {
  link::ExportEventsToCsv({Memo1, StringGrid1}, SaveDialog1, *services_.dialogs);
}

void TForm1::LoadConfig() { config_->LoadConfig(); }
void TForm1::SaveConfig() {
  config_->SaveConfig();
  // The users may have changed: so may the lockers' states.
  if (lockers_status_) lockers_status_->Refresh();
}
void TForm1::UpdateLockerCaptions() { config_->UpdateLockerCaptions(); }
void TForm1::ShowSelectedUser() { users_page_->ShowSelectedUser(); }

void TForm1::StringGrid3Click() { users_page_->ShowSelectedUser(); }
void TForm1::Button14Click() { users_page_->SaveSelectedUser(); }
void TForm1::Button15Click() { users_page_->DeleteSelectedUser(); }
void TForm1::Button12Click() { users_page_->CheckAllLockers(); }
void TForm1::Button13Click() { users_page_->ClearAllLockers(); }
void TForm1::ButtonImportCsvClick() { users_csv_->ImportFromCsv(); }
void TForm1::ButtonExportCsvClick() { users_csv_->ExportToCsv(); }
void TForm1::StringGrid2Click() { lockers_page_->ShowSelectedLocker(); }

void TForm1::spComm1AfterReceive(serial::TObject* /*Com*/, void* Buffer, std::uint32_t Received) {
  dispatcher_->Receive(Buffer, Received);
}

void TForm1::SpeedButton2Click() {
  port_keeper_->PrepareOpen();
  connection_->Connect();
  ShowCardsNotice();
}
void TForm1::SpeedButton1Click() {
  connection_->Disconnect();
  ShowCardsNotice();
}
void TForm1::Timer1Timer() {
  connection_->HeartbeatTick();
  ShowCardsNotice();
}
void TForm1::Timer2Timer() {
  connection_->PauseEnded();
  event_log_->PauseEnded();
}
void TForm1::Button3Click() { event_log_->ReadEvents(); }
void TForm1::Button5Click() {
  // Events not in the archive yet would be lost: ask first.
  if (spComm1->Active()) {
    const int unread = read_archive_->Unread(ControllerNumber, EventCount);
    if (unread > 0 && !services_.dialogs->AskYesNo(site::ClearQuestion(unread))) return;
  }
  if (event_log_->ClearMemory()) {
    read_archive_->Cleared(ControllerNumber,
                           protocol::DateTimeToControllerSeconds(services_.clock->Now()));
  }
}
void TForm1::Button6Click() { event_log_->SetClock(); }
void TForm1::Button17Click() { card_upload_->Upload(); }
void TForm1::Button11Click() { lockers_page_->RenameSelectedLocker(); }
void TForm1::Button16Click() { lockers_page_->ProgramControllerNumber(); }

void TForm1::FillEventsGrid() {
  link::FillEventsGrid(Events, EventCount, *StringGrid3, *StringGrid1);
  read_archive_->ReadCompleted(Events, EventCount, ControllerNumber,
                               protocol::DateTimeToControllerSeconds(services_.clock->Now()));
  history_page_->Refresh();
}

}  // namespace veldoran::app
