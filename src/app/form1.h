// The one window of the tool. It owns every control and the program's state; each handler
// forwards to the unit that holds the behaviour of its page.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "link/link_state.h"
#include "link/user_table.h"
#include "ui/clock.h"
#include "ui/date_formats.h"
#include "ui/dialogs.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace veldoran::ui {
class TPageControl;
class TStatusBar;
class TStringGrid;
class TTimer;
}  // namespace veldoran::ui

namespace veldoran::link {
class Connection;
class EventLog;
class ReceiveDispatcher;
}  // namespace veldoran::link
namespace veldoran::records {
class CardUpload;
class Config;
class LockersPage;
class UsersCsvPage;
class UsersPage;
}  // namespace veldoran::records
namespace veldoran::site {
class LockersStatus;
class ReadArchive;
class SiteDatabase;
}  // namespace veldoran::site
namespace veldoran::serial {
class MainThread;
class TObject;
class TspComm;
}  // namespace veldoran::serial
namespace veldoran::discovery {
class DeviceChangeWatch;
class PortKeeper;
class TspDeviceBox;
}  // namespace veldoran::discovery
namespace veldoran::win {
class DeviceSetupApi;
class RegistryApi;
class SerialApi;
}  // namespace veldoran::win

namespace veldoran::app {

class HistoryPage;

// What the window needs from outside: where modal boxes go, how it sleeps and tells the time,
// and how dates and times are shown. Seams left empty get the real toolkit's.
struct Services {
  ui::Dialogs* dialogs = nullptr;
  ui::Clock* clock = nullptr;
  ui::DateTimeFormats formats = ui::DateTimeFormats::System();
  // Where the port's worker threads deliver (null: the Qt event loop).
  serial::MainThread* main_thread = nullptr;
  // The serial driver (null: the system's).
  std::shared_ptr<win::SerialApi> serial_api;
  // The registry and device-setup interfaces the port list is built from (null: the system's).
  std::shared_ptr<win::RegistryApi> registry;
  std::shared_ptr<win::DeviceSetupApi> device_setup;
  // Whether the port list follows ports that come and go while the window is open.
  bool watch_devices = true;
};

class TForm1 : public QWidget, public link::LinkState, public records::RecordsState {
  Q_OBJECT
 public:
  // Builds the window and runs FormCreate.
  explicit TForm1(const Services& services = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // The window's title bar text.
  static QString Caption();

  // Window created: grid headings, configuration, the selected user.
  void FormCreate();

  // ---- Handlers ----
  // Received bytes from the port (its OnAfterReceive).
  void spComm1AfterReceive(serial::TObject* Com, void* Buffer, std::uint32_t Received);
  // Connection supervision.
  void SpeedButton2Click();  // "Połącz"
  void SpeedButton1Click();  // "Rozłącz"
  void Timer1Timer();        // heartbeat tick
  void Timer2Timer();        // end of a heartbeat pause
  // Events page.
  void Button3Click();  // "Odczytaj zdarzenia"
  void Button5Click();  // "Kasuj zdarzenia z pamięci "
  void Button6Click();  // "Aktualizuj czas "
  // Copies the event table into the events grid.
  void FillEventsGrid();
  void Button1Click();  // "Zapisz do pliku CSV"
  // Users page.
  void StringGrid3Click();
  void Button14Click();         // "Zapisz"
  void Button15Click();         // "Usuń"
  void Button12Click();         // "Wszystkie"
  void Button13Click();         // "Wyczyść"
  void Button17Click();         // "Prześlij kody kart do kontrolera"
  void ButtonImportCsvClick();  // "Importuj z CSV"
  void ButtonExportCsvClick();  // "Eksportuj do CSV"
  // Lockers page.
  void StringGrid2Click();
  void Button11Click();  // "Zmień opis kontrolera"
  void Button16Click();  // "Zaprogramuj numer kontrolera"

  // Configuration file.
  void LoadConfig();
  void SaveConfig();
  void UpdateLockerCaptions();
  void ShowSelectedUser();
  // The page "Historia".
  HistoryPage* history_page() const { return history_page_.get(); }

  // ---- Controls on the window ----
  QLabel* Label17;
  discovery::TspDeviceBox* spDeviceBox1;  // the COM port picker, bound to spComm1
  QPushButton* SpeedButton2;              // "Połącz"
  QPushButton* SpeedButton1;              // "Rozłącz"
  QButtonGroup* SpeedButtonGroup1;
  ui::TPageControl* PageControl1;
  QLabel* Label16;
  QLabel* Label14;           // connection status
  QLabel* LabelCardsNotice;  // the connected locker's cards may not be current
  ui::TStatusBar* StatusBar1;

  // ---- Page "Zdarzenia" ----
  QWidget* TabSheet1;
  QPushButton* Button3;
  QPushButton* Button5;
  QPushButton* Button6;
  ui::TStringGrid* StringGrid1;
  QProgressBar* ProgressBar2;
  QPushButton* Button1;
  QPlainTextEdit* Memo1;

  // ---- Page "Użytkownicy" ----
  QWidget* TabSheet2;
  QGroupBox* GroupBox2;
  QLabel* Label1;
  QLineEdit* Edit8;
  QLabel* Label2;
  QLineEdit* Edit9;
  QLabel* Label3;
  QLineEdit* Edit6;
  QLabel* CardCodeHint;  // shown while Edit6 holds a code that is never sent
  QPushButton* Button14;
  QPushButton* Button15;
  QGroupBox* GroupBox1;
  std::array<QLabel*, 10> LockerLabels;   // Label4 ... Label13
  std::array<QCheckBox*, 10> CheckBoxes;  // CheckBox1 ... CheckBox10
  QPushButton* Button12;
  QPushButton* Button13;
  QPushButton* ButtonImportCsv;  // "Importuj z CSV"
  QPushButton* ButtonExportCsv;  // "Eksportuj do CSV"
  ui::TStringGrid* StringGrid3;
  QPushButton* Button17;
  QProgressBar* ProgressBar1;

  // ---- Page "Szafki" ----
  QWidget* TabSheet3;
  ui::TStringGrid* StringGrid2;
  QLineEdit* Edit7;
  QPushButton* Button11;
  QPushButton* Button16;

  // ---- Page "Historia" (its controls are the page's own) ----
  QWidget* TabSheet4;

  // ---- Components without a face ----
  std::unique_ptr<serial::TspComm> spComm1;
  ui::TTimer* Timer1;  // heartbeat
  ui::TTimer* Timer2;  // end of a heartbeat pause
  ui::TSaveDialog SaveDialog1;

 private:
  void BuildWindow();
  void BuildPort();
  void BuildEventsPage();
  void BuildUsersPage();
  void BuildLockersPage();

  // Runs an operator action; an exception that escapes it is shown in the error box, as the
  // toolkit's default handling of an event would.
  void Guarded(const std::function<void()>& action);
  void ConnectHandlers();
  // The operator picked a port in spDeviceBox1: it is opened again at the next start.
  void KeepPickedPort();
  // The site database beside Config.ini, and the lockers' states it gives.
  void BuildSiteRecords();
  void ShowCardsNotice();

  Services services_;
  std::unique_ptr<serial::MainThread> own_main_thread_;
  std::unique_ptr<link::ReceiveDispatcher> dispatcher_;
  std::unique_ptr<link::Connection> connection_;
  std::unique_ptr<link::EventLog> event_log_;
  std::unique_ptr<records::CardUpload> card_upload_;
  std::unique_ptr<records::LockersPage> lockers_page_;
  std::unique_ptr<records::Config> config_;
  std::unique_ptr<records::UsersPage> users_page_;
  std::unique_ptr<records::UsersCsvPage> users_csv_;
  std::unique_ptr<site::SiteDatabase> site_db_;
  std::unique_ptr<site::LockersStatus> lockers_status_;
  std::unique_ptr<site::ReadArchive> read_archive_;
  std::unique_ptr<HistoryPage> history_page_;
  std::unique_ptr<ui::Dialogs> own_dialogs_;
  std::unique_ptr<ui::Clock> own_clock_;
  std::unique_ptr<discovery::DeviceChangeWatch> device_watch_;
  std::unique_ptr<discovery::PortKeeper> port_keeper_;
};

}  // namespace veldoran::app
