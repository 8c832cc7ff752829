// The heartbeat's timers and the connection state shown to the operator: the two shared steps
// every controller operation and the receive dispatcher use.
#pragma once

#include <QString>

class QLabel;

namespace veldoran::ui {
class TStatusBar;
class TTimer;
}  // namespace veldoran::ui

namespace veldoran::link {

// Timer1 sends the status query every second; Timer2 ends a pause of the heartbeat.
struct Heartbeat {
  ui::TTimer* Timer1;
  ui::TTimer* Timer2;

  // Keeps status queries off the line for `ms`: Timer2 resumes the heartbeat when it fires.
  // A pause of the length already running does not lengthen it.
  void Pause(int ms);
  // Starts the pause afresh at `ms`, whatever was left of the one running.
  void RestartPause(int ms);
  void Resume();
};

// Label14 and status bar panel 0.
struct ConnectionDisplay {
  QLabel* Label14;
  ui::TStatusBar* StatusBar1;

  void ShowConnected(int controller_number);
  void ShowLost();
};

QString ConnectedText(int controller_number);

}  // namespace veldoran::link
