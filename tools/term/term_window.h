// The terminal's window: a port picker, the line settings, Open/Close, the terminal itself
// (what is typed goes to the line, what arrives is shown, in Windows-1250), the modem lines,
// and the two device checks. The settings are kept in the registry between runs.
#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <memory>

#include "serial/qt/qt_checked_control.h"
#include "serial/qt/qt_main_thread.h"
#include "serial/qt/qt_terminal_edit.h"
#include "serial/spcomm.h"

class QCheckBox;
class QComboBox;
class QPlainTextEdit;
class QPushButton;

namespace veldoran::discovery {
class DeviceChangeWatch;
class TspDeviceBox;
}  // namespace veldoran::discovery

namespace veldoran::term {

class TermWindow : public QMainWindow {
  Q_OBJECT

 public:
  TermWindow(std::shared_ptr<win::SerialApi> api, std::shared_ptr<win::RegistryApi> registry);
  ~TermWindow() override;

  serial::TspComm& Port() const { return *comm_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  // A modal message to the user.
  virtual void ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text);

 private:
  void BuildWidgets();
  void ShowSettings();   // the component's settings into the controls
  void ApplySettings();  // the controls' settings to the component (at once while open)
  void ShowState();
  void PortNotify(serial::TObject* sender, std::int32_t code);
  void OpenOrClose();
  void TestConnection();
  void ReadPnPId();
  void SaveSettings();
  // Runs `action`, showing what it raises in a message box; false when it raised.
  bool Guarded(const QString& title, const std::function<void()>& action);

  serial::QtMainThread main_;
  std::unique_ptr<serial::TspComm> comm_;
  discovery::TspDeviceBox* port_ = nullptr;
  QComboBox* baud_ = nullptr;
  QComboBox* data_bits_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stop_bits_ = nullptr;
  QComboBox* flow_ = nullptr;
  QPushButton* open_ = nullptr;
  QCheckBox* echo_ = nullptr;
  QPushButton* test_ = nullptr;
  QPushButton* pnp_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  std::unique_ptr<serial::QtTerminalEdit> terminal_;
  std::vector<std::unique_ptr<serial::QtCheckedControl>> monitors_;
  std::unique_ptr<discovery::DeviceChangeWatch> watch_;
  bool showing_ = false;  // the controls are being filled: their changes are not applied
  bool closing_ = false;  // the user closes the port (not the line going away)
};

}  // namespace veldoran::term
