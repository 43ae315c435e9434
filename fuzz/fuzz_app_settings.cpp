// orvane.ini as the dialog reads it at start-up: any text. The settings in
// force are always ones the program can use (ports 1..65535, a dotted
// address, a time scale the clock accepts), and every problem names its
// line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/app_settings.h"
#include "net/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // exact size: ASan sees any overread
  const orvane::app::AppSettings settings = orvane::app::ParseSettings(text);

  const orvane::NetworkProfile& p = settings.profile;
  if (p.relayTcpPort == 0 || p.controlUdpPort == 0 || p.telnetPort == 0) std::abort();
  orvane::Ipv4Address address{};
  if (!orvane::ParseIpv4(p.broadcastAddress, &address)) std::abort();
  if (!(settings.timeScale > 0.0 && settings.timeScale <= 1000.0)) std::abort();

  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n';
  if (settings.problems.size() > lines) std::abort();
  for (const std::string& problem : settings.problems) {
    if (problem.rfind("line ", 0) != 0) std::abort();
    const std::size_t number = std::stoul(problem.substr(5));
    if (number == 0 || number > lines) std::abort();
  }
  (void)orvane::app::DescribeSettings(settings);
  return 0;
}
