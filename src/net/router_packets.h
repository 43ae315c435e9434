#pragma once
// The router's own packets on the relay connection, as pure builders and
// parsers: the trigger the updater sends before a router image or a module
// download, and the router's verdict on an image. Control packet types for
// the router's control port are named here too; their layout is the control
// channel's.
//
//   trigger  FF, magic text (29), total length (4, little-endian), 00 x 6
//   verdict  FF, not examined (29), result code (4, little-endian), not examined (6)
#include <array>
#include <cstddef>
#include <cstdint>

namespace orvane {

enum TriggerKind { TRIGGER_RUT_BEGIN = 0, TRIGGER_FWT_BEGIN = 1, TRIGGER_FWT_FORCE = 2 };

// Trigger and result packets: 0xFF, a 29-character magic text (not examined
// in results), a 32-bit little-endian length or result code, 6 zero bytes.
inline constexpr std::size_t kTriggerPacketSize = 40;
inline constexpr std::uint8_t kRouterPacketLead = 0xFF;
inline constexpr std::size_t kTriggerMagicLength = 29;
inline constexpr std::size_t kTriggerLengthOffset = 30;
inline constexpr std::size_t kResultCodeOffset = 30;
inline constexpr std::uint32_t ROUTER_RESULT_OK = 4;
inline constexpr std::size_t ROUTER_BLOCK_SIZE = 7300;

// Control packet types the router echoes.
inline constexpr std::uint8_t CTRL_ERASE_NVRAM = 6;
inline constexpr std::uint8_t CTRL_FORCE_DOWNLOAD = 7;
inline constexpr std::uint8_t CTRL_PROBE = 10;

// The trigger packet of `kind` announcing `totalLength` bytes.
std::array<std::uint8_t, kTriggerPacketSize> BuildTriggerPacket(TriggerKind kind, std::uint32_t totalLength);
// A router verdict: 40 bytes led by 0xFF; its result code out.
bool ParseResultPacket(const std::uint8_t* packet, std::size_t length, std::uint32_t* code);

}  // namespace orvane
