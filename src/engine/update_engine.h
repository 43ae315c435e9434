#pragma once
// CUpdateEngine: the updater's connection to the router and everything an
// update run does with it.
//
// The check uses ConnectRouter, ModuleHandShake, the DIAG caller and
// DisconnectRouter to read the module's versions; Run() is the update run:
//
//   connect -> [1 s, BOOT] -> [1 s, APP] -> [1 s, RESOURCE]
//           -> [1 s, erase router NVRAM]     when APP or RESOURCE is selected
//           -> [1 s, FIRMWARE] -> [1 s, DASHBOARD]
//   stop at the first failure; the end always runs: idle, disconnect, log
//   appended to the day's file, front end told.
//
// Each item step shows its progress and result in its row through the item
// view and logs every step. Threads: the run executes on one worker thread;
// the check on the UI thread; never both at once. The framed channel's
// reader runs beside them from ConnectRouter to DisconnectRouter (except
// while a router image is sent raw).
#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "catalogue/prompter.h"
#include "catalogue/update_item.h"
#include "diag/diag_caller.h"
#include "engine/item_view.h"
#include "log/download_log.h"
#include "net/framed_channel.h"
#include "net/network_profile.h"

namespace orvane {

inline constexpr int ROW_NONE = 5;
inline constexpr std::uint8_t RUN_IDLE = 0;
inline constexpr std::uint8_t RUN_BUSY = 3;

// Router update.
enum TriggerKind { TRIGGER_RUT_BEGIN = 0, TRIGGER_FWT_BEGIN = 1, TRIGGER_FWT_FORCE = 2 };
inline constexpr std::size_t kTriggerPacketSize = 40;
inline constexpr std::uint32_t ROUTER_RESULT_OK = 4;
inline constexpr std::size_t ROUTER_BLOCK_SIZE = 7300;
inline constexpr std::uint8_t CTRL_ERASE_NVRAM = 6;
inline constexpr std::uint8_t CTRL_FORCE_DOWNLOAD = 7;
inline constexpr std::uint8_t CTRL_PROBE = 10;
// Module update.
inline constexpr std::size_t DOWNLOAD_BLOCK_SIZE = 4096;

inline constexpr std::uint32_t kItemPauseMs = 1000;  // before each step of the run

// The run's warning when the router refused its NVRAM erase. The string
// table has no text for this failure; it is shown only in the warning and
// the log, never in a row.
inline constexpr const char* kEraseNvramFailText = "Erase router module's NVRAM fail";

// Set once the router echoed a forced-download packet; lives for the process.
extern bool g_bForcedDownload;

// The adapter through which the DIAG caller speaks over the framed channel.
class ChannelTransport : public IFrameTransport {
 public:
  explicit ChannelTransport(CFramedChannel& channel) : m_channel(channel) {}
  void SetResponseKey(std::uint32_t key, std::uint32_t keyLength) override { m_channel.SetResponseKey(key, keyLength); }
  bool Send(bool raw, const std::uint8_t* data, std::size_t length, bool leadingFlag,
            std::uint32_t timeoutMs) override {
    return m_channel.Send(raw, data, length, leadingFlag, timeoutMs);
  }
  bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs) override {
    return m_channel.Receive(buffer, capacity, length, timeoutMs);
  }

 private:
  CFramedChannel& m_channel;
};

class CControlChannel;

class CUpdateEngine {
 public:
  // `items` and `view` must outlive the engine. `logFolder` empty = the
  // platform's default log folder.
  CUpdateEngine(UpdateItems& items, IItemView& view, NetworkProfile profile = {}, std::string logFolder = {});
  ~CUpdateEngine();
  CUpdateEngine(const CUpdateEngine&) = delete;
  CUpdateEngine& operator=(const CUpdateEngine&) = delete;

  // --- shared with the check ------------------------------------------
  // Opens the framed channel to the router's relay port at m_ip and starts
  // its reader; on failure stores 119.
  bool ConnectRouter();
  bool DisconnectRouter();
  // The handshake with the opening flag; refreshes m_bInDownloader and
  // m_bModuleOffline; on failure stores 124.
  bool ModuleHandShake();

  // --- the run -------------------------------------------------------
  // The whole update run (the worker thread's body); returns when the end
  // step has run, after calling the finish callback.
  int Run();
  // Called at the very end of every run (the dialog posts its end message).
  void SetRunFinished(std::function<void()> callback) { m_onRunFinished = std::move(callback); }
  // Where the run reports the failures that have no row (the relay
  // connection refused, the NVRAM erase refused): after the end step, before
  // the finish callback. Optional (null: the log only); not owned.
  void SetPrompter(IPrompter* prompter) { m_pPrompter = prompter; }
  // The warning of the last run (empty when it had none).
  const std::string& RunWarning() const { return m_runWarning; }

  // Status and progress of the current row (m_nRow; ROW_NONE: log only).
  void ShowStatus(std::uint16_t id, std::uint32_t colour = 0);
  void SetStatusText(const std::string& text, std::uint32_t colour);
  void ShowResult();
  void SetProgress(int percent);
  std::string FormatMac() const;
  std::string RouterAddressText() const;

  // --- router update -------------------------------------------------
  bool TransferRouterImage(ImageType item);
  bool SendTrigger(TriggerKind kind, std::uint32_t totalLength);
  bool TCP_GetRouterResult(ImageType type);
  bool EraseRouterNvram();
  bool WaitRouterAlive(std::uint32_t limitMs);
  bool EnterForcedDownload();
  // A control request of `type` from this router's address and MAC.
  void FillControlRequest(CControlChannel& control, std::uint8_t type) const;

  // --- module update -------------------------------------------------
  bool UpdateFirmware();
  bool UpdateDashboard();
  bool EnterDownloadMode();
  bool DownloadImage(const CFirmwareImage& image);
  bool UnlockModule(const std::uint8_t code[8]);
  std::size_t BuildWriteFrame(std::uint32_t address, std::size_t length, const std::uint8_t* data);
  bool CheckNvRestore();
  bool RebootModule();
  bool WaitModuleReady();

  // --- state ---------------------------------------------------------
  CDiagCaller& Diag() { return m_diag; }
  CDownloadLog& Log() { return m_log; }
  CFramedChannel& Channel() { return m_channel; }
  const NetworkProfile& Profile() const { return m_profile; }
  bool IsSelected(ImageType item) const;

  int m_bModuleOffline = 0;
  int m_nRow = ROW_NONE;
  std::time_t m_tStart = 0;
  int m_bInDownloader = 0;
  std::uint8_t m_nState = RUN_IDLE;
  int m_nStatusId = IDS_DOWNLOAD_SUCCESS;
  std::array<std::uint8_t, 6> m_mac{};
  std::array<std::uint8_t, 4> m_ip{};  // most significant byte first

 private:
  UpdateItems& m_items;
  IItemView& m_view;
  NetworkProfile m_profile;
  CFramedChannel m_channel;
  CDownloadLog m_log;
  ChannelTransport m_transport{m_channel};
  CDiagCaller m_diag{m_transport, m_log};
  std::function<void()> m_onRunFinished;
  IPrompter* m_pPrompter = nullptr;
  std::string m_runWarning;
  // The last "%" value written and its row: a repeat for the same row
  // changes nothing on screen and is skipped.
  int m_nLastProgress = -1;
  int m_nLastProgressRow = -1;
};

}  // namespace orvane
