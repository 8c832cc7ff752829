#include "term_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "discovery/device_watch.h"
#include "discovery/spcommbox.h"
#include "platform/cp1250.h"

namespace veldoran::term {

using serial::TspComm;

namespace {

constexpr char kKey[] = "Software\\Veldoran\\Terminal";
constexpr char kValue[] = "Port";
// The port's value leaves flow control to the component's StreamProtocol: kept beside it.
constexpr char kFlowValue[] = "FlowControl";

// The port layer's texts use "\r" for a line break.
QString Text(const std::string& bytes) {
  return QString::fromStdU16String(cp1250::Decode(bytes)).replace('\r', '\n');
}

QComboBox* Combo(const QStringList& items) {
  auto* box = new QComboBox;
  box->addItems(items);
  return box;
}

// The stored flow control, if there is one.
std::optional<serial::TStreamProtocol> LoadFlow(win::RegistryApi& registry) {
  win::HKEY key = nullptr;
  if (registry.RegOpenKeyExA(win::HKEY_CURRENT_USER, kKey, 0, win::KEY_READ, &key) !=
      win::ERROR_SUCCESS) {
    return std::nullopt;
  }
  win::BYTE data[4] = {};
  win::DWORD type = 0, size = sizeof data;
  const bool read =
      registry.RegQueryValueExA(key, kFlowValue, &type, data, &size) == win::ERROR_SUCCESS &&
      type == win::REG_DWORD && size == 4 && data[0] <= serial::spHardware;
  registry.RegCloseKey(key);
  if (!read) return std::nullopt;
  return static_cast<serial::TStreamProtocol>(data[0]);
}

void SaveFlow(win::RegistryApi& registry, serial::TStreamProtocol flow) {
  win::HKEY key = nullptr;
  win::DWORD disposition = 0;
  if (registry.RegCreateKeyExA(win::HKEY_CURRENT_USER, kKey, win::REG_OPTION_NON_VOLATILE,
                               win::KEY_WRITE, &key, &disposition) != win::ERROR_SUCCESS) {
    throw std::runtime_error("The flow control could not be saved.");
  }
  const win::BYTE data[4] = {static_cast<win::BYTE>(flow), 0, 0, 0};
  const bool written =
      registry.RegSetValueExA(key, kFlowValue, win::REG_DWORD, data, 4) == win::ERROR_SUCCESS;
  registry.RegCloseKey(key);
  if (!written) throw std::runtime_error("The flow control could not be saved.");
}

}  // namespace

TermWindow::TermWindow(std::shared_ptr<win::SerialApi> api,
                       std::shared_ptr<win::RegistryApi> registry) {
  comm_ = std::make_unique<TspComm>(nullptr, main_, std::move(api), std::move(registry));
  comm_->SetStreamProtocol(serial::spNone);
  // Until settings are stored, the line of the locker controller: 57600 baud, 8N1.
  comm_->SetBaudRate(57600);
  comm_->SetByteSize(8);
  comm_->SetParity(serial::pNone);
  comm_->SetStopBits(serial::sbOne);
  BuildWidgets();
  comm_->SetTerminal(terminal_.get());
  comm_->SetTerminalUsage(serial::tuBoth);
  comm_->SetTraceStates({serial::tsCTS, serial::tsDSR, serial::tsRLSD, serial::tsRing});
  comm_->AddListener(serial::TspNotifyEvent::Of<TermWindow, &TermWindow::PortNotify>(this));
  try {
    comm_->LoadFromRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
    if (const auto flow = LoadFlow(*comm_->Registry())) comm_->SetStreamProtocol(*flow);
  } catch (const std::exception& e) {
    statusBar()->showMessage(tr("Stored settings not loaded: %1").arg(Text(e.what())));
  }
  port_->SetspComm(comm_.get());
  ShowSettings();
  ShowState();
  // Adapters plugged in or out while the terminal runs come and go in the port list.
  watch_ = std::make_unique<discovery::DeviceChangeWatch>(
      discovery::DeviceChangeWatch::SystemFolders(),
      [this](const serial::TMessage& message) { port_->DeviceChange(message); });
}

TermWindow::~TermWindow() {
  watch_.reset();
  comm_->RemoveListener(serial::TspNotifyEvent::Of<TermWindow, &TermWindow::PortNotify>(this));
  comm_.reset();  // closes the port; the terminal and monitors go after it
}

void TermWindow::BuildWidgets() {
  setWindowTitle(tr("Veldoran terminal"));
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  auto* line = new QHBoxLayout;
  // Lists the ports present; picking one moves an open port there.
  port_ = new discovery::TspDeviceBox;
  port_->setMinimumContentsLength(6);
  port_->SetGuard([this](const std::function<void()>& action) {
    closing_ = true;  // the old port is closed on the way
    Guarded(tr("Port"), action);
    closing_ = false;
    ShowState();
  });
  baud_ = Combo({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
  baud_->setEditable(true);
  baud_->setValidator(new QIntValidator(1, 4000000, baud_));
  data_bits_ = Combo({"5", "6", "7", "8"});
  parity_ = Combo({tr("None"), tr("Odd"), tr("Even"), tr("Mark"), tr("Space")});
  stop_bits_ = Combo({"1", "1.5", "2"});
  flow_ = Combo({tr("None"), tr("XON/XOFF"), tr("RTS/CTS")});
  const std::pair<QString, QWidget*> fields[] = {
      {tr("Port"), port_},     {tr("Baud"), baud_},           {tr("Data bits"), data_bits_},
      {tr("Parity"), parity_}, {tr("Stop bits"), stop_bits_}, {tr("Flow control"), flow_}};
  for (const auto& [caption, widget] : fields) {
    line->addWidget(new QLabel(caption));
    line->addWidget(widget);
  }
  open_ = new QPushButton;
  line->addWidget(open_);
  layout->addLayout(line);

  auto* checks = new QHBoxLayout;
  for (const auto& [caption, setter] : {std::pair{tr("CTS"), &TspComm::SetMonitorCTS},
                                        std::pair{tr("DSR"), &TspComm::SetMonitorDSR},
                                        std::pair{tr("CD"), &TspComm::SetMonitorRLSD},
                                        std::pair{tr("RI"), &TspComm::SetMonitorRing}}) {
    auto* box = new QCheckBox(caption);
    box->setAttribute(Qt::WA_TransparentForMouseEvents);  // shows the line, is not a switch
    box->setFocusPolicy(Qt::NoFocus);
    checks->addWidget(box);
    monitors_.push_back(std::make_unique<serial::QtCheckedControl>(box));
    ((*comm_).*setter)(monitors_.back().get());
  }
  checks->addStretch();
  echo_ = new QCheckBox(tr("Echo"));
  test_ = new QPushButton(tr("Test connection"));
  pnp_ = new QPushButton(tr("Read PnP id"));
  auto* clear = new QPushButton(tr("Clear"));
  for (QWidget* w : std::initializer_list<QWidget*>{echo_, test_, pnp_, clear})
    checks->addWidget(w);
  layout->addLayout(checks);

  text_ = new QPlainTextEdit;
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text_->setMaximumBlockCount(10000);
  text_->setPlaceholderText(tr("Open a port and type here: what you type is sent."));
  layout->addWidget(text_);
  terminal_ = std::make_unique<serial::QtTerminalEdit>(text_);
  setCentralWidget(central);
  resize(900, 520);

  for (QComboBox* box : {baud_, data_bits_, parity_, stop_bits_, flow_}) {
    connect(box, &QComboBox::currentIndexChanged, this, [this] { ApplySettings(); });
  }
  connect(baud_->lineEdit(), &QLineEdit::editingFinished, this, [this] { ApplySettings(); });
  connect(open_, &QPushButton::clicked, this, [this] { OpenOrClose(); });
  connect(echo_, &QCheckBox::toggled, this, [this](bool on) { comm_->SetTerminalEcho(on); });
  connect(test_, &QPushButton::clicked, this, [this] { TestConnection(); });
  connect(pnp_, &QPushButton::clicked, this, [this] { ReadPnPId(); });
  connect(clear, &QPushButton::clicked, text_, &QPlainTextEdit::clear);

  // Names to find them by (tests, accessibility tools).
  const std::pair<QWidget*, const char*> names[] = {
      {port_, "port"},          {baud_, "baud"}, {data_bits_, "dataBits"}, {parity_, "parity"},
      {stop_bits_, "stopBits"}, {flow_, "flow"}, {open_, "open"},          {echo_, "echo"},
      {test_, "test"},          {pnp_, "pnp"},   {text_, "terminal"}};
  for (const auto& [widget, name] : names) widget->setObjectName(QString::fromLatin1(name));
}

void TermWindow::ShowSettings() {
  showing_ = true;
  const QString baud = QString::number(comm_->BaudRate());
  if (baud_->findText(baud) >= 0) {
    baud_->setCurrentIndex(baud_->findText(baud));
  } else {
    baud_->setEditText(baud);
  }
  data_bits_->setCurrentText(QString::number(comm_->ByteSize()));
  parity_->setCurrentIndex(comm_->Parity());
  stop_bits_->setCurrentIndex(comm_->StopBits());
  flow_->setCurrentIndex(comm_->StreamProtocol());
  echo_->setChecked(comm_->TerminalEcho());
  showing_ = false;
}

void TermWindow::ApplySettings() {
  if (showing_) return;
  Guarded(tr("Port settings"), [&] {
    const unsigned baud = baud_->currentText().toUInt();
    if (baud != 0 && baud != comm_->BaudRate()) comm_->SetBaudRate(baud);
    comm_->SetByteSize(static_cast<std::uint8_t>(data_bits_->currentText().toUInt()));
    comm_->SetParity(static_cast<serial::TParity>(parity_->currentIndex()));
    comm_->SetStopBits(static_cast<serial::TStopBits>(stop_bits_->currentIndex()));
    comm_->SetStreamProtocol(static_cast<serial::TStreamProtocol>(flow_->currentIndex()));
  });
  ShowState();
}

void TermWindow::ShowState() {
  const bool open = comm_->Active();
  open_->setText(open ? tr("Close") : tr("Open"));
  test_->setEnabled(open);
  text_->setReadOnly(!open);  // nothing to type into while there is no line
  const QString name = QString::fromStdString(comm_->GetDeviceName());
  statusBar()->showMessage(open ? tr("%1 open").arg(name) : tr("%1 closed").arg(name));
}

void TermWindow::PortNotify(serial::TObject*, std::int32_t code) {
  ShowState();
  if (code == serial::kNotifyClosed && !closing_) {
    statusBar()->showMessage(tr("%1 closed: the line went away (adapter unplugged?)")
                                 .arg(QString::fromStdString(comm_->GetDeviceName())));
  }
}

void TermWindow::OpenOrClose() {
  const bool open = !comm_->Active();
  closing_ = !open;
  if (Guarded(tr("Open"), [&] { comm_->SetActive(open); }) && open) SaveSettings();
  closing_ = false;
  ShowState();
}

void TermWindow::TestConnection() {
  setEnabled(false);  // the check lets the window handle events while it waits
  if (Guarded(tr("Test connection"), [&] { comm_->TestConnection(); })) {
    ShowMessage(QMessageBox::Information, tr("Test connection"),
                tr("The device answered with DSR."));
  }
  setEnabled(true);
  ShowState();
}

void TermWindow::ReadPnPId() {
  setEnabled(false);
  std::string id;
  if (Guarded(tr("Read PnP id"), [&] { comm_->ReadPnPId(id); })) {
    QString shown;
    for (const char c : id) {
      const auto byte = static_cast<unsigned char>(c);
      shown += byte >= 0x20 ? QString(QChar(cp1250::ToUnicode(byte)))
                            : QStringLiteral("<%1>").arg(byte, 2, 16, QChar('0'));
    }
    ShowMessage(QMessageBox::Information, tr("Read PnP id"),
                id.empty() ? tr("The device sent no identification.") : shown);
  }
  setEnabled(true);
  ShowState();
}

void TermWindow::SaveSettings() {
  Guarded(tr("Save settings"), [&] {
    comm_->SaveToRegistry(win::HKEY_CURRENT_USER, kKey, kValue);
    SaveFlow(*comm_->Registry(), comm_->StreamProtocol());
  });
}

bool TermWindow::Guarded(const QString& title, const std::function<void()>& action) {
  try {
    action();
    return true;
  } catch (const std::exception& e) {
    ShowSettings();  // the controls show what the port has, not what was asked for
    ShowMessage(QMessageBox::Critical, title, Text(e.what()));
    return false;
  }
}

void TermWindow::ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, this);
  box.exec();
}

void TermWindow::closeEvent(QCloseEvent* event) {
  SaveSettings();
  event->accept();
}

}  // namespace veldoran::term
