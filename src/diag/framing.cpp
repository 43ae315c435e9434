#include "diag/framing.h"

#include <array>
#include <cstring>

namespace orvane {
namespace {

// The 256-entry table of the reflected polynomial 0x8408 (RFC 1662),
// computed at compile time.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t v = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? static_cast<std::uint16_t>((v >> 1) ^ 0x8408) : (v >> 1);
    table[i] = v;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1189 && kCrcTable[255] == 0x0F78, "RFC 1662 FCS-16 table");

// Slicing: kSliceTables[k][b] is the register's contribution of byte b
// followed by k zero bytes, so a run of kSlice bytes folds in with kSlice
// independent look-ups instead of kSlice dependent steps. The register's
// two bytes are mixed into the run's first two bytes (it is reflected: its
// low byte meets the earliest data byte).
constexpr std::size_t kSlice = 16;
using SliceTables = std::array<std::array<std::uint16_t, 256>, kSlice>;

constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  tables[0] = MakeCrcTable();
  for (std::size_t k = 1; k < kSlice; ++k) {
    for (unsigned i = 0; i < 256; ++i) {
      const std::uint16_t v = tables[k - 1][i];
      tables[k][i] = static_cast<std::uint16_t>((v >> 8) ^ tables[0][v & 0xFF]);
    }
  }
  return tables;
}

constexpr SliceTables kSliceTables = MakeSliceTables();

// Folds `length` bytes into the register: whole runs of kSlice bytes by
// slicing, the rest byte by byte. Same result as CrcUpdate on every byte.
std::uint16_t CrcFold(std::uint16_t reg, const std::uint8_t* data, std::size_t length) {
  while (length >= kSlice) {
    std::uint8_t run[kSlice];
    std::memcpy(run, data, kSlice);
    run[0] = static_cast<std::uint8_t>(run[0] ^ (reg & 0xFF));
    run[1] = static_cast<std::uint8_t>(run[1] ^ (reg >> 8));
    std::uint16_t next = 0;
    for (std::size_t k = 0; k < kSlice; ++k) next = static_cast<std::uint16_t>(next ^ kSliceTables[kSlice - 1 - k][run[k]]);
    reg = next;
    data += kSlice;
    length -= kSlice;
  }
  for (std::size_t i = 0; i < length; ++i) reg = static_cast<std::uint16_t>(kCrcTable[(reg ^ data[i]) & 0xFF] ^ (reg >> 8));
  return reg;
}

inline bool NeedsEscape(std::uint8_t b) { return b == FRAME_FLAG || b == FRAME_ESCAPE; }

}  // namespace

std::uint16_t CrcUpdate(std::uint16_t reg, std::uint8_t byte) {
  return static_cast<std::uint16_t>(kCrcTable[(reg ^ byte) & 0xFF] ^ (reg >> 8));
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t length) {
  return static_cast<std::uint16_t>(~CrcFold(CRC_INIT, data, length));
}

void EscapeAppend(std::uint8_t* out, std::size_t* position, const std::uint8_t* data, std::size_t length,
                  std::uint16_t* crc) {
  std::size_t pos = *position;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t b = data[i];
    if (NeedsEscape(b)) {
      out[pos++] = FRAME_ESCAPE;
      out[pos++] = static_cast<std::uint8_t>(b ^ ESCAPE_XOR);
    } else {
      out[pos++] = b;
    }
  }
  *position = pos;
  *crc = CrcFold(*crc, data, length);
}

std::size_t EncodeFrame(const std::uint8_t* packet, std::size_t length, std::uint8_t* out, int leadingFlag) {
  std::size_t pos = 0;
  if (leadingFlag != 0) out[pos++] = FRAME_FLAG;
  std::uint16_t reg = CRC_INIT;
  EscapeAppend(out, &pos, packet, length, &reg);
  const std::uint16_t fcs = static_cast<std::uint16_t>(~reg);
  const std::uint8_t check[2] = {static_cast<std::uint8_t>(fcs & 0xFF), static_cast<std::uint8_t>(fcs >> 8)};
  std::uint16_t unused = 0;
  EscapeAppend(out, &pos, check, sizeof check, &unused);
  out[pos++] = FRAME_FLAG;
  return pos;
}

std::size_t DecodeFrame(const std::uint8_t* frame, std::size_t length, std::uint8_t* out) {
  std::size_t end = length;
  if (end > 0 && frame[end - 1] == FRAME_FLAG) --end;
  std::size_t read = (end > 0 && frame[0] == FRAME_FLAG) ? 1 : 0;
  if (read >= end) return 0;

  std::uint16_t reg = CRC_INIT;
  std::size_t count = 0;
  while (read < end) {
    std::uint8_t b = frame[read++];
    if (b == FRAME_ESCAPE) {
      if (read >= end) return 0;  // a lone escape at the end: nothing to unstuff
      b = static_cast<std::uint8_t>(frame[read++] ^ ESCAPE_XOR);
    }
    // In place, `count` never overtakes `read`: each output byte consumed at
    // least one input byte, and the opening flag only widens the gap.
    out[count++] = b;
    reg = CrcUpdate(reg, b);
  }
  if (reg != CRC_GOOD_RESIDUE || count < 3) return 0;
  return count - 2;
}

}  // namespace orvane
