// What the controller link keeps for the life of the window: the received bytes not yet
// consumed, what the controller last reported, the event table and the upload counters. It is
// touched only on the main thread.
#pragma once

#include <string>

#include "link/event_table.h"

namespace veldoran::link {

struct LinkState {
  std::string ReceiveBuffer;  // received bytes not yet consumed
  bool ReplySeen = false;     // a status line was handled since it was last cleared
  int ControllerNumber = 1;   // as the controller last reported it
  int EventCount = 0;         // stored events, as the last status line reported
  // Status lines handled so far: an operation that must see the controller answer after its
  // command compares it before and after.
  unsigned StatusLinesHandled = 0;
  EventTable Events;  // by event slot
  // An event read is under way (from "5\r" until its last record or the end of its pause), and
  // the event records handled since it began.
  bool ReadRunning = false;
  int ReadRecords = 0;
  // Card code upload bookkeeping.
  std::string LastSentCode;
  std::string EchoedCode;
  int AckCount = 0;
  int SavedCount = 0;
};

}  // namespace veldoran::link
