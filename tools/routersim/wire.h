#pragma once
// The router's side of the wire formats, as pure functions over bytes.
//
// These are written from the packet tables, independently of the updater's
// own builders, so that a mistake in one side cannot hide itself in the
// other. Only the framing and its CRC (diag/framing.h, pinned by published
// vectors) are shared.
//
// ControlPacket (32 bytes, one frame per UDP datagram):
//   0 type | 1 IPv4 (4, written order) | 5 MAC (6) | 11 text (21, zero-padded)
// Trigger packet (40 bytes, framed, updater -> router on the relay):
//   0 0xFF | 1 magic text (29 ASCII) | 30 total length u32 LE | 34 zero (6)
// Result packet (40 bytes, framed, router -> updater):
//   0 0xFF | 1 the router trigger's magic text (the updater does not look
//   at it) | 30 result code u32 LE | 34 zero (6)
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::routersim {

inline constexpr std::size_t kControlPacketSize = 32;
inline constexpr std::size_t kControlIpOffset = 1;
inline constexpr std::size_t kControlMacOffset = 5;
inline constexpr std::size_t kControlTextOffset = 11;
inline constexpr std::size_t kControlTextField = 21;

inline constexpr std::uint8_t kControlDiscover = 1;
inline constexpr std::uint8_t kControlEraseNvram = 6;
inline constexpr std::uint8_t kControlForceDownload = 7;
inline constexpr std::uint8_t kControlProbe = 10;

inline constexpr std::size_t kTriggerPacketSize = 40;
inline constexpr std::size_t kTriggerMagicOffset = 1;
inline constexpr std::size_t kTriggerMagicLength = 29;
inline constexpr std::size_t kTriggerLengthOffset = 30;
inline constexpr std::uint8_t kTriggerLead = 0xFF;

inline constexpr std::uint32_t kResultAccepted = 4;

inline constexpr std::string_view kMagicRouterBegin = "Kavrin RUT Begin Download Pkt";
inline constexpr std::string_view kMagicModuleBegin = "Kavrin FWT Begin Download Pkt";
inline constexpr std::string_view kMagicModuleForce = "Kavrin FWT Force Download Pkt";

using Ipv4 = std::array<std::uint8_t, 4>;
using Mac = std::array<std::uint8_t, 6>;
using ControlPacket = std::array<std::uint8_t, kControlPacketSize>;
using TriggerPacket = std::array<std::uint8_t, kTriggerPacketSize>;

enum class TriggerKind { kRouterBegin, kModuleBegin, kModuleForce };

// "a.b.c.d", each 0..255, nothing else.
std::optional<Ipv4> ParseIpv4(std::string_view text);
std::string FormatIpv4(const Ipv4& ip);
// Six hex pairs separated by ':' or '-' ("02:00:5e:10:00:01").
std::optional<Mac> ParseMac(std::string_view text);

// The router's identity as discovery reports it.
struct Identity {
  Ipv4 ip{};
  Mac mac{};
  std::string versionText;  // at most 21 bytes go on the wire (no terminator then)
};

// The reply packet to one decoded control request, or nothing when the
// router does not answer it (wrong length, or a type it does not serve).
// Discovery (1) gets the identity; erase (6), forced download (7) and probe
// (10) get their own 32 bytes back.
std::optional<ControlPacket> AnswerControl(std::span<const std::uint8_t> packet, const Identity& identity);

// A decoded relay packet that is one of the three triggers, with its total
// length; anything else (other length, lead byte or magic) is not a trigger.
struct Trigger {
  TriggerKind kind;
  std::uint32_t totalLength;
};
std::optional<Trigger> ParseTrigger(std::span<const std::uint8_t> packet);

std::array<std::uint8_t, kTriggerPacketSize> BuildResultPacket(std::uint32_t code);

// A router image as the router takes it (the unit's data, raw):
//   12 kind flags u32 LE, bits 1..2: 0 application, 1 boot loader, 2 resource
//   16 version text (32 bytes, NUL-padded): the version the new software
//      reports once it runs (`nvram get cfe_version` / `app_version`)
inline constexpr std::size_t kRouterKindOffset = 12;
inline constexpr std::size_t kRouterVersionOffset = 16;
inline constexpr std::size_t kRouterVersionField = 32;
inline constexpr std::size_t kRouterHeadBytes = kRouterVersionOffset + kRouterVersionField;

enum class RouterImageKind { kApplication = 0, kBootLoader = 1, kResource = 2, kUnknown = 3 };

// From the image's first kRouterHeadBytes bytes (fewer: kUnknown).
RouterImageKind RouterPayloadKind(std::span<const std::uint8_t> head);
// The version text the image carries: printable characters up to the
// first NUL; nothing when the field is empty, cut or holds anything else.
std::optional<std::string> RouterPayloadVersion(std::span<const std::uint8_t> head);
// Writes `version` (shorter than the field) into a payload of at least
// kRouterHeadBytes bytes.
void PutRouterPayloadVersion(std::vector<std::uint8_t>& payload, std::string_view version);

// The frame of a reply packet, opened and closed by a flag. With `corrupt`
// the frame is stuffed correctly but its check sequence is off by one bit,
// so that every receiver must reject it.
std::vector<std::uint8_t> FrameReply(std::span<const std::uint8_t> packet, bool corrupt);

}  // namespace orvane::routersim
