#pragma once
// CRunStop: the operator's request that a run end early, and the places
// where the run may honour it.
//
// A front end asks from any thread (its signal watcher, a button); the run's
// worker looks at the request at its safe points: before each item and each
// of its steps, between the blocks of a router image, while the router's
// verdict is awaited, and while a module restarts after its reset. From the
// trigger that sends a module to its downloader until its reset went
// through, the stretch is protected: only a request to stop at once ends it,
// leaving the module in its downloader (the next check and update bring it
// back through the forced download).
//
// A request stands until Reset(): a run started while one stands stops at
// its first safe point.
#include <atomic>
#include <cstdint>

namespace orvane {

class CRunStop {
 public:
  // Stop at the next safe point.
  void Request() { m_bRequested = true; }
  // Stop at once, inside a protected stretch too.
  void RequestNow() {
    m_bRequested = true;
    m_bNow = true;
  }
  void Reset() {
    m_bRequested = false;
    m_bNow = false;
  }

  // Whether the run ends here: on any request outside a protected stretch,
  // only on a request to stop at once inside one.
  bool ShouldStop() const { return m_bNow.load() || (m_bRequested.load() && m_nProtected.load() == 0); }

  // A pause of `ms` system milliseconds (platform/clock.h) that ends as soon
  // as ShouldStop() holds. False when it ended early.
  bool Pause(std::uint32_t ms) const;

  // Marks a protected stretch for as long as it lives (worker thread only).
  class Protection {
   public:
    explicit Protection(CRunStop& stop) : m_stop(&stop) { ++m_stop->m_nProtected; }
    ~Protection() { End(); }
    Protection(const Protection&) = delete;
    Protection& operator=(const Protection&) = delete;
    // Ends the stretch before the object goes.
    void End() {
      if (m_stop != nullptr) --m_stop->m_nProtected;
      m_stop = nullptr;
    }

   private:
    CRunStop* m_stop;
  };

 private:
  std::atomic<bool> m_bRequested{false};
  std::atomic<bool> m_bNow{false};
  std::atomic<int> m_nProtected{0};
};

}  // namespace orvane
