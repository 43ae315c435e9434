#pragma once
// A wireless module behind the simulated router: its normal firmware speaks
// the DIAG commands the updater uses, its downloader the download protocol
// (unlock, 32-bit-address writes, reset). Requests are parsed from the
// bytes on the wire by the protocol tables, independently of the updater.
//
//   normal firmware   0x26 handshake (133 bytes), 0x4B C9 03 FF firmware
//                     version (66-byte answer), 0x4B C9 24 FF dashboard
//                     version (260), 0x4B C8 1E FF NV backup/restore (8),
//                     0x4B C9 21 FF restore status (36), 0x29 mode change
//                     (echo), 0x3A switch to the downloader (echo, then a
//                     restart into the downloader)
//   downloader        0x26 handshake (in-downloader flag set), 0x0B unlock,
//                     0x0F write, 0x0A reset (ack, then a restart into the
//                     normal firmware, which reports the versions "after")
//   anything else     0x13 followed by the request's first bytes
//
// While the module restarts it answers nothing, and the router's probe goes
// unanswered too. All times are system milliseconds (platform/clock.h).
//
// Thread safety: the router's service thread calls the IModule methods; the
// inspection methods may be called from any thread.
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "routersim/module.h"

namespace orvane::routersim {

enum class ModuleStart { kAbsent, kNormal, kOffline, kDownloader };

struct ModuleFaults {
  std::optional<std::uint8_t> errorByteTo;      // answer 0x13 + echo to requests beginning with this byte
  std::optional<std::uint32_t> nakWrite;        // negative acknowledgement to the N-th write (1-based)
  std::optional<std::uint32_t> silentRequest;   // no answer to the N-th request (1-based, all requests counted)
  std::optional<std::uint8_t> nvBackupReason;   // 1..4: NV backup fails with this reason
  bool restoreStatusFail = false;               // the restore status reports a failed restore
  bool stayInDownloader = false;                // after a reset the downloader starts again
  std::uint32_t failUnlocks = 0;                // the first N unlock requests get a negative acknowledgement
  bool restoreFail = false;                     // the NV restore command fails (reason 4, NV operation failed)
};

struct ModuleConfig {
  ModuleStart start = ModuleStart::kNormal;
  std::string firmwareVersion = "11.608.12.01.00";
  std::string firmwareVersionAfter = "11.608.13.02.00";
  std::string dashboardVersion = "11.002.03.04.00";
  std::string dashboardVersionAfter = "11.002.03.05.00";
  std::array<std::uint8_t, 8> unlockCode{'1', '2', '3', '4', '5', '6', '7', '8'};
  std::uint32_t restartMs = 3000;  // how long a restart (either way) takes
  ModuleFaults faults;
};

// One stretch of memory written by consecutive writes.
struct MemorySegment {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> data;
};

enum class ModuleMode { kAbsent, kNormal, kDownloader, kRestarting };

class SimModule : public IModule {
 public:
  explicit SimModule(ModuleConfig config = {});

  std::vector<std::uint8_t> OnRelayBytes(std::span<const std::uint8_t> wire,
                                         std::span<const std::uint8_t> packet) override;
  bool AnswersProbe() override;

  // Inspection.
  ModuleMode Mode();
  bool Offline();
  std::string FirmwareVersion();
  std::string DashboardVersion();
  std::vector<MemorySegment> Memory();       // in write order, merged where contiguous
  std::uint32_t WritesAccepted();
  std::uint32_t Requests();                  // every decoded request, answered or not
  std::uint32_t Resets();
  bool NvBackedUp();
  bool NvRestored();
  // Bytes of `data` at `address` as written; false where anything differs
  // or was not written.
  bool Holds(std::uint32_t address, const std::uint8_t* data, std::size_t length);

 private:
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t> p);
  std::vector<std::uint8_t> AnswerNormal(std::span<const std::uint8_t> p);
  std::vector<std::uint8_t> AnswerDownloader(std::span<const std::uint8_t> p);
  std::vector<std::uint8_t> HandShake(bool inDownloader);
  void Restart(ModuleMode into);
  void SettleRestart();  // ends a restart whose time has come; lock held

  std::mutex m_lock;
  ModuleConfig m_config;
  ModuleMode m_mode;
  ModuleMode m_after = ModuleMode::kNormal;  // what a running restart ends in
  std::uint32_t m_restartStart = 0;
  bool m_offline;
  bool m_unlocked = false;
  bool m_wroteSinceUnlock = false;
  bool m_nvBackedUp = false;
  bool m_nvRestored = false;
  std::string m_firmware;
  std::string m_dashboard;
  std::vector<MemorySegment> m_memory;
  std::uint32_t m_writes = 0;        // write requests seen
  std::uint32_t m_writesAccepted = 0;
  std::uint32_t m_requests = 0;
  std::uint32_t m_resets = 0;
  std::uint32_t m_unlocks = 0;       // unlock requests seen
};

}  // namespace orvane::routersim
