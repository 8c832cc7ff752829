#include "link/heartbeat.h"

#include <QLabel>

#include "ui/status_bar.h"
#include "ui/timer.h"

namespace veldoran::link {

void Heartbeat::Pause(int ms) {
  Timer1->SetEnabled(false);
  Timer2->SetInterval(ms);
  Timer2->SetEnabled(true);
}

void Heartbeat::RestartPause(int ms) {
  Timer1->SetEnabled(false);
  Timer2->SetEnabled(false);
  Timer2->SetInterval(ms);
  Timer2->SetEnabled(true);
}

void Heartbeat::Resume() { Timer1->SetEnabled(true); }

QString ConnectedText(int controller_number) {
  return QStringLiteral("Połączono z szafką nr %1").arg(controller_number);
}

namespace {
void Show(QLabel* label, const QString& text, const QColor& color) {
  label->setText(text);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, color);
  label->setPalette(pal);
}
}  // namespace

void ConnectionDisplay::ShowConnected(int controller_number) {
  const QString text = ConnectedText(controller_number);
  Show(Label14, text, QColor(0, 255, 0));
  StatusBar1->SetPanelText(0, text);
}

void ConnectionDisplay::ShowLost() {
  const QString text = QStringLiteral("Rozłączony");
  Show(Label14, text, QColor(255, 0, 0));
  StatusBar1->SetPanelText(0, text);
}

}  // namespace veldoran::link
