#pragma once
// The seam between the router's relay and the wireless module behind it.
//
// The relay takes the updater's TCP byte stream apart at frame flags. What
// is addressed to the router itself (the triggers, and the raw bytes of a
// router image) it keeps; every other piece goes to the module exactly as it
// arrived. The module answers with bytes that go back on the same
// connection as they stand (the module frames its own replies).
//
// All calls come from the simulator's service thread, one at a time; an
// implementation needs no lock of its own for them.
#include <cstdint>
#include <span>
#include <vector>

#include "routersim/wire.h"

namespace orvane::routersim {

class IModule {
 public:
  virtual ~IModule() = default;

  // One piece of the relay stream: the bytes up to and including a 0x7E,
  // exactly as received (opening flags included), for example the 10 bytes
  // "AT$QCDMG\r~". `packet` holds the decoded packet when those bytes form a
  // good frame, and is empty otherwise. Returns the bytes to send back
  // (empty for no answer).
  virtual std::vector<std::uint8_t> OnRelayBytes(std::span<const std::uint8_t> wire,
                                                 std::span<const std::uint8_t> packet) = 0;

  // A module trigger ("Kavrin FWT ... Download Pkt") arrived on the relay.
  // The router never answers it; the module may change its mode.
  virtual void OnModuleTrigger(TriggerKind /*kind*/) {}

  // The control responder echoed an erase-NVRAM (6) or forced-download (7)
  // request, which the router passes on to its module.
  virtual void OnControl(std::uint8_t /*type*/) {}

  // Whether the router answers a probe (control type 10) now. The updater
  // probes to learn that the router can serve it again; while the module
  // restarts, the router keeps quiet.
  virtual bool AnswersProbe() { return true; }
};

}  // namespace orvane::routersim
