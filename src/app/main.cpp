// Orvane.exe: the operator's dialog program.
#include <windows.h>

#include "app/orvane_app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  orvane::app::COrvaneApp app(instance);
  return app.Run();
}
