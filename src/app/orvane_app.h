#pragma once
// COrvaneApp: start-up and teardown of the dialog program.
//
//   window class "LumtarDialog" (the standard dialog class under a name of
//   its own, so that a second copy can find the first)
//   -> single-instance mutex (a second copy restores a minimised first copy
//      and ends without a word)
//   -> Windows Sockets 2.2 -> the settings file -> the modal dialog
//   -> mutex released -> sockets shut down
#include <windows.h>

namespace orvane::app {

inline constexpr const wchar_t* kDialogClassName = L"LumtarDialog";
inline constexpr const wchar_t* kInstanceMutexName = L"87F8A3C7-65EF-4cf8-B947-0EC89C2774B3";

class COrvaneApp {
 public:
  explicit COrvaneApp(HINSTANCE instance) : m_hInstance(instance) {}
  // The whole program; returns the process exit code.
  int Run();

 private:
  // Always false: the program ends when it returns (the dialog has run by
  // then, or start-up stopped).
  bool InitInstance();
  int ExitInstance();
  bool StartSockets();

  HINSTANCE m_hInstance;
  bool m_bSocketsStarted = false;
};

}  // namespace orvane::app
