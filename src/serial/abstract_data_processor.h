// What a port component needs of the packet processor attached to its DataProcessor property.
// The processor itself (TspCustomDataProcessor) belongs to the layer above; it derives from
// this.
#pragma once

#include <cstdint>

#include "serial/component.h"

namespace veldoran::serial {

class TspBaseIO;

class TspAbstractDataProcessor : public TComponent {
 public:
  using TComponent::TComponent;

  // Attaches the processor to `port` (listening to it), or with null detaches it.
  virtual void SetComm(TspBaseIO* port) = 0;
  // Every block the port reads, before the terminal and OnAfterReceive; setting `handled`
  // keeps the block out of the terminal.
  virtual void DataReceived(void* buffer, std::uint32_t count, bool& handled) = 0;
  // The port's output queue ran empty; setting `handled` keeps OnAfterSend from firing.
  virtual void TxEmpty(bool& handled) = 0;
};

}  // namespace veldoran::serial
