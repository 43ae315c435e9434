#include "catalogue/string_table.h"

#include <algorithm>
#include <iterator>

namespace orvane {
namespace {

struct Entry {
  std::uint16_t id;
  const char* text;
};

// In id order; LoadText searches it by bisection.
constexpr Entry kTexts[] = {
    {102, "Rebooting datacard"},
    {103, "Download success"},
    {105, "Enter offline mode"},
    {106, "Switch to downloader"},
    {107, "Backup NV"},
    {109, "Checking NV auto restoring's status"},
    {110, "Unlock wireless module"},
    {111, "Erase router module's NVRAM"},
    {112, "Waiting router updating"},
    {113, "Waiting wireless module ready"},
    {114, "Downloading wireless module's firmware"},
    {115, "Downloading wireless module's dashboard"},
    {116, "Sending router module's update data "},
    {117, "Enterforcing download mode"},
    {119, "Create TCP connect fail"},
    {120, "Send TCP download command fail"},
    {121, "Send router's upgrade data fail"},
    {122, "Router's response indicate fail"},
    {123, "Router return response timeout"},
    {124, "Handshake fail"},
    {125, "Backup NV fail"},
    {127, "Switch to downloader fail"},
    {128, "Unlock wireless module fail"},
    {129, "Midway download fail"},
    {130, "Reboot wireless module fail"},
    {131, "Wireless module reboot timeout"},
    {132, "Query NV restore status fail"},
    {134, "Same type more than one"},
    {135, "Found none valid .bin file under current directory"},
    {137, "Detect none router"},
    {138, "Winsock's version error\nExpected: 2.2, Actual: %d.%d"},
    {139, "&Update"},
    {140, "Download is still running!\nPlease wait!"},
    {141, "Type"},
    {143, "Original version"},
    {144, "Update version"},
    {145, "Status"},
    {146, "%"},
    {147, "Router's BOOT"},
    {148, "Router's APP"},
    {149, "Router's Resource"},
    {150, "Firmware"},
    {151, "Dashboard"},
    {152, "Allow update version lower or equal than original version"},
    {153, "Version unmatched"},
    {154, "Skip update"},
    {155, "Waiting update"},
    {157, "&Check"},
    {158, "Not found"},
    {159, "Read version fail after update"},
    {160, "Image not signed by a trusted key"},
};

constexpr bool SortedById() {
  for (std::size_t i = 1; i < std::size(kTexts); ++i)
    if (kTexts[i - 1].id >= kTexts[i].id) return false;
  return true;
}
static_assert(SortedById(), "the string table must stay in id order");

}  // namespace

const char* LoadText(std::uint16_t id) {
  const auto it = std::lower_bound(std::begin(kTexts), std::end(kTexts), id,
                                   [](const Entry& e, std::uint16_t key) { return e.id < key; });
  return (it != std::end(kTexts) && it->id == id) ? it->text : "";
}

}  // namespace orvane
