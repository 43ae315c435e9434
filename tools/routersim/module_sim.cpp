#include "routersim/module_sim.h"

#include <algorithm>
#include <cstring>

#include "diag/framing.h"
#include "platform/clock.h"

namespace orvane::routersim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Request and reply bytes of the two protocols, from their tables.
constexpr std::uint8_t kBadCommand = 0x13;
constexpr std::uint8_t kAck = 0x02;
constexpr std::uint8_t kNak = 0x03;
constexpr std::uint8_t kNakInvalidAddress = 0x05;
constexpr std::uint8_t kNakNotUnlocked = 0x0A;  // reason code of a write before the unlock
constexpr std::uint8_t kNakBadCode = 0x08;
constexpr std::uint8_t kNakBadLength = 0x0C;

constexpr std::size_t kHandShakeLength = 133;
constexpr std::size_t kBoardVersionAnswer = 66;
constexpr std::size_t kIsoVersionAnswer = 260;
constexpr std::size_t kNvAnswer = 8;
constexpr std::size_t kRestoreStatusAnswer = 36;
constexpr std::size_t kWriteHeader = 7;
constexpr std::size_t kMaxWriteData = 4096;
constexpr std::size_t kErrorEchoBytes = 16;

bool Begins(std::span<const std::uint8_t> p, std::initializer_list<std::uint8_t> head) {
  if (p.size() < head.size()) return false;
  return std::equal(head.begin(), head.end(), p.begin());
}

Bytes ErrorEcho(std::span<const std::uint8_t> p) {
  Bytes reply{kBadCommand};
  reply.insert(reply.end(), p.begin(), p.begin() + static_cast<long>(std::min(p.size(), kErrorEchoBytes)));
  return reply;
}

Bytes WithText(std::initializer_list<std::uint8_t> head, std::size_t textAt, const std::string& text,
               std::size_t total) {
  Bytes reply(head);
  reply.resize(total, 0);
  std::memcpy(reply.data() + textAt, text.data(), std::min(text.size(), total - textAt - 1));
  return reply;
}

Bytes Frame(const Bytes& packet, bool leadingFlag) {
  Bytes out(MaxFrameSize(packet.size()));
  out.resize(EncodeFrame(packet.data(), packet.size(), out.data(), leadingFlag ? 1 : 0));
  return out;
}

}  // namespace

SimModule::SimModule(ModuleConfig config)
    : m_config(std::move(config)),
      m_mode(m_config.start == ModuleStart::kAbsent       ? ModuleMode::kAbsent
             : m_config.start == ModuleStart::kDownloader ? ModuleMode::kDownloader
                                                          : ModuleMode::kNormal),
      m_offline(m_config.start == ModuleStart::kOffline || m_config.start == ModuleStart::kDownloader),
      m_firmware(m_config.firmwareVersion),
      m_dashboard(m_config.dashboardVersion) {}

void SimModule::Restart(ModuleMode into) {
  m_mode = ModuleMode::kRestarting;
  m_after = into;
  m_restartStart = platform::TickCount();
}

void SimModule::SettleRestart() {
  if (m_mode != ModuleMode::kRestarting || !platform::TicksElapsed(m_restartStart, m_config.restartMs)) return;
  m_mode = m_after;
  m_unlocked = false;
  if (m_mode == ModuleMode::kNormal) m_offline = false;
}

bool SimModule::AnswersProbe() {
  std::lock_guard<std::mutex> guard(m_lock);
  SettleRestart();
  return m_mode != ModuleMode::kRestarting;
}

std::vector<std::uint8_t> SimModule::OnRelayBytes(std::span<const std::uint8_t>,
                                                  std::span<const std::uint8_t> packet) {
  // Pieces that are no good frame (the "AT$QCDMG\r~" wake-up, noise) get no
  // answer; the module only answers whole requests.
  if (packet.empty()) return {};
  std::lock_guard<std::mutex> guard(m_lock);
  SettleRestart();
  if (m_mode == ModuleMode::kAbsent || m_mode == ModuleMode::kRestarting) return {};
  ++m_requests;
  if (m_config.faults.silentRequest && *m_config.faults.silentRequest == m_requests) return {};
  const bool downloader = m_mode == ModuleMode::kDownloader;
  const Bytes reply = Answer(packet);
  if (reply.empty()) return {};
  // The downloader opens its frames with a flag; the normal firmware does not.
  return Frame(reply, downloader);
}

std::vector<std::uint8_t> SimModule::Answer(std::span<const std::uint8_t> p) {
  if (m_config.faults.errorByteTo && p[0] == *m_config.faults.errorByteTo) return ErrorEcho(p);
  return m_mode == ModuleMode::kDownloader ? AnswerDownloader(p) : AnswerNormal(p);
}

std::vector<std::uint8_t> SimModule::HandShake(bool inDownloader) {
  Bytes reply(kHandShakeLength, 0);
  const std::uint8_t head[] = {0x26, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06, 0x00, 0x00};
  std::memcpy(reply.data(), head, sizeof head);
  reply[9] = 0;  // status: read done
  reply[14] = inDownloader ? 1 : 0;
  reply[15] = m_offline ? 1 : 0;
  return reply;
}

std::vector<std::uint8_t> SimModule::AnswerNormal(std::span<const std::uint8_t> p) {
  if (p.size() == kHandShakeLength && Begins(p, {0x26, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06})) return HandShake(false);
  if (p.size() == 4 && Begins(p, {0x4B, 0xC9, 0x03, 0xFF})) {
    return WithText({0x4B, 0xC9, 0x03, 0xFF}, 4, m_firmware, kBoardVersionAnswer);
  }
  if (p.size() == 36 && Begins(p, {0x4B, 0xC9, 0x24, 0xFF})) {
    return WithText({0x4B, 0xC9, 0x24, 0xFF, 0x00}, 5, m_dashboard, kIsoVersionAnswer);
  }
  if (p.size() == 8 && Begins(p, {0x4B, 0xC8, 0x1E, 0xFF})) {
    Bytes reply{0x4B, 0xC8, 0x1E, 0xFF, p[4], 0x00, 0x00, 0x00};
    if (p[4] == 0x00) {  // backup
      if (m_config.faults.nvBackupReason) {
        reply[5] = 1;
        reply[6] = *m_config.faults.nvBackupReason;
      } else {
        m_nvBackedUp = true;
      }
    } else if (!m_nvBackedUp) {
      reply[5] = 1;
      reply[6] = 2;  // no valid backup
    } else if (m_config.faults.restoreFail) {
      reply[5] = 1;
      reply[6] = 4;  // NV operation failed
    } else {
      m_nvRestored = true;
    }
    return reply;
  }
  if (p.size() == 36 && Begins(p, {0x4B, 0xC9, 0x21, 0xFF})) {
    Bytes reply(kRestoreStatusAnswer, 0);
    reply[0] = 0x4B, reply[1] = 0xC9, reply[2] = 0x21, reply[3] = 0xFF;
    reply[5] = m_nvBackedUp ? 1 : 0;
    reply[6] = m_config.faults.restoreStatusFail ? 1 : 0;
    if (m_nvBackedUp && !m_config.faults.restoreStatusFail) m_nvRestored = true;
    return reply;
  }
  if (p.size() == 3 && p[0] == 0x29) {
    if (p[1] == 1 && p[2] == 0) m_offline = true;
    return Bytes(p.begin(), p.end());
  }
  if (p.size() == 1 && p[0] == 0x3A) {
    // The echo goes out, then the module restarts into its downloader.
    Restart(ModuleMode::kDownloader);
    return {0x3A};
  }
  return ErrorEcho(p);
}

std::vector<std::uint8_t> SimModule::AnswerDownloader(std::span<const std::uint8_t> p) {
  if (p.size() == kHandShakeLength && Begins(p, {0x26, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06})) return HandShake(true);
  if (p[0] == 0x0B && p.size() == 9) {
    if (++m_unlocks <= m_config.faults.failUnlocks) return {kNak, 0x00, kNakBadCode};
    if (!std::equal(p.begin() + 1, p.end(), m_config.unlockCode.begin())) return {kNak, 0x00, kNakBadCode};
    m_unlocked = true;
    m_wroteSinceUnlock = false;
    return {kAck};
  }
  if (p[0] == 0x0F && p.size() >= kWriteHeader) {
    ++m_writes;
    const std::uint32_t address = (static_cast<std::uint32_t>(p[1]) << 24) | (static_cast<std::uint32_t>(p[2]) << 16) |
                                  (static_cast<std::uint32_t>(p[3]) << 8) | p[4];
    const std::size_t length = (static_cast<std::size_t>(p[5]) << 8) | p[6];
    if (length == 0 || length > kMaxWriteData || p.size() != kWriteHeader + length) return {kNak, 0x00, kNakBadLength};
    if (!m_unlocked) return {kNak, 0x00, kNakNotUnlocked};
    if (m_config.faults.nakWrite && *m_config.faults.nakWrite == m_writes) return {kNak, 0x00, kNakInvalidAddress};
    const auto data = p.subspan(kWriteHeader);
    if (!m_memory.empty() && m_memory.back().address + m_memory.back().data.size() == address) {
      m_memory.back().data.insert(m_memory.back().data.end(), data.begin(), data.end());
    } else {
      m_memory.push_back({address, Bytes(data.begin(), data.end())});
    }
    ++m_writesAccepted;
    m_wroteSinceUnlock = true;
    return {kAck};
  }
  if (p.size() == 1 && p[0] == 0x0A) {
    ++m_resets;
    if (m_wroteSinceUnlock) {
      // The new software starts with the reset.
      m_firmware = m_config.firmwareVersionAfter;
      m_dashboard = m_config.dashboardVersionAfter;
    }
    Restart(m_config.faults.stayInDownloader ? ModuleMode::kDownloader : ModuleMode::kNormal);
    return {kAck};
  }
  return ErrorEcho(p);
}

ModuleMode SimModule::Mode() {
  std::lock_guard<std::mutex> guard(m_lock);
  SettleRestart();
  return m_mode;
}

bool SimModule::Offline() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_offline;
}

std::string SimModule::FirmwareVersion() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_firmware;
}

std::string SimModule::DashboardVersion() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_dashboard;
}

std::vector<MemorySegment> SimModule::Memory() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_memory;
}

std::uint32_t SimModule::WritesAccepted() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_writesAccepted;
}

std::uint32_t SimModule::Requests() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests;
}

std::uint32_t SimModule::Resets() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_resets;
}

bool SimModule::NvBackedUp() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nvBackedUp;
}

bool SimModule::NvRestored() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nvRestored;
}

bool SimModule::Holds(std::uint32_t address, const std::uint8_t* data, std::size_t length) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const MemorySegment& s : m_memory) {
    if (address >= s.address && address - s.address + length <= s.data.size()) {
      return std::memcmp(s.data.data() + (address - s.address), data, length) == 0;
    }
  }
  return false;
}

}  // namespace orvane::routersim
