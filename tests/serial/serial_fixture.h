// Shared pieces of the port component tests: a component on the fake driver with a loop main
// thread, a log sink that records its lines, and a monitor control that records its state.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fake/fake_serial.h"
#include "serial/spcomm.h"

namespace veldoran::serial::testing {

class RecordingLog : public TspCustomLogFile {
 public:
  using TspCustomLogFile::TspCustomLogFile;
  void WriteText(int level, std::string_view text) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::to_string(level) + " " + std::string(text));
  }
  void WriteEmpty() override {
    std::lock_guard lock(mutex_);
    lines_.push_back("");
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class RecordingControl : public TControl {
 public:
  explicit RecordingControl(bool has_checked = true) : has_checked_(has_checked) {}
  bool SetChecked(bool checked) override {
    if (!has_checked_) return false;
    checked_ = checked;
    ++writes_;
    return true;
  }
  bool checked() const { return checked_; }
  int writes() const { return writes_; }

 private:
  bool has_checked_;
  bool checked_ = false;
  int writes_ = 0;
};

// An edit control that records what it is given to show, and what the user types into it.
class RecordingEdit : public TCustomEdit {
 public:
  using TCustomEdit::TCustomEdit;
  // Types a character as the user would; true when the edit got to handle the key itself.
  bool Type(char c) {
    typing_ = true;
    handled_ = false;
    TEditMessage message{WM_CHAR, static_cast<unsigned char>(c), 1};
    Perform(message);
    typing_ = false;
    return handled_;
  }
  std::string Shown() const {
    std::string all;
    for (const auto& piece : pieces) all += piece;
    return all;
  }
  std::vector<std::string> pieces;  // each WM_CHAR or EM_REPLACESEL received
  std::string keys;                 // typed characters the edit handled

 protected:
  void WndProc(TEditMessage& message) override {
    if (message.Msg == WM_CHAR && typing_) {
      handled_ = true;
      keys += static_cast<char>(message.WParam);
    } else if (message.Msg == WM_CHAR) {
      pieces.emplace_back(1, static_cast<char>(message.WParam));
    } else if (message.Msg == EM_REPLACESEL) {
      pieces.emplace_back(reinterpret_cast<const char*>(message.LParam));
    }
  }

 private:
  bool typing_ = false;
  bool handled_ = false;
};

class FakePortTest : public ::testing::Test {
 protected:
  FakePortTest() {
    driver->AddPort("COM3");
    driver->AddPort("COM4");
    comm = std::make_unique<TspComm>(nullptr, main, driver);
    comm->SetComPortNo(3);
  }
  ~FakePortTest() override {
    comm.reset();
    // Every worker thread ends once its port is closed and nothing holds it back.
    main.ProcessUntil([] { return detail::RunningCommThreads() == 0; });
  }

  void Open() {
    comm->SetActive(true);
    ASSERT_TRUE(comm->Active());
  }

  // Waits until a delivery is queued for the main thread, without running it.
  bool WaitForDelivery() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (main.PendingSynchronizeCount() == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      main.Queue()->WaitForRequest(deadline);
    }
    return true;
  }

  const std::shared_ptr<win::FakeSerialDriver> driver = std::make_shared<win::FakeSerialDriver>();
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;
};

}  // namespace veldoran::serial::testing
