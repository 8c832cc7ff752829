// A port component on the fake driver (COM1, COM3 and COM5 plugged in) whose serial-port map
// in an in-memory registry also lists COM7, where nothing answers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/fake/fake_device_setup.h"
#include "platform/fake/fake_serial.h"
#include "platform/memory_registry.h"
#include "ports/port_enumeration.h"
#include "serial/spcomm.h"

namespace veldoran::testing {

class FakePortsTest : public ::testing::Test {
 protected:
  FakePortsTest() {
    for (const char* port : {"COM1", "COM3", "COM5"}) driver->AddPort(port);
    Map({"COM5", "COM1", "COM3", "COM7"});
    setup->InstallModules();
  }
  ~FakePortsTest() override {
    comm.reset();
    main.ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; });
  }

  // The serial-port map, in this order.
  void Map(const std::vector<std::string>& ports) {
    std::vector<win::MemoryRegistry::Value> values;
    for (const std::string& port : ports) {
      values.push_back({"\\Device\\" + port, win::REG_SZ, win::SzBytes(port)});
    }
    registry->ReplaceValues(win::HKEY_LOCAL_MACHINE, ports::kSerialCommKey, values);
  }

  const std::shared_ptr<win::FakeSerialDriver> driver = std::make_shared<win::FakeSerialDriver>();
  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
  const std::shared_ptr<win::FakeDeviceSetup> setup =
      std::make_shared<win::FakeDeviceSetup>(registry);
  serial::LoopMainThread main;
  std::unique_ptr<serial::TspComm> comm =
      std::make_unique<serial::TspComm>(nullptr, main, driver, registry, setup);
};

}  // namespace veldoran::testing
