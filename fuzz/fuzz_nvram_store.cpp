// netvigil's settings store read from a file of any content (a store
// another program wrote, cut short by a power loss, or garbage): every
// setting the daemon reads, a walk over all of them, and one change and
// its removal. Never a read outside the file's text; a stored value reads
// back as it was set; a change leaves every other setting as it was.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "watchdog/nvram/nvram_file.h"

namespace {

// The keys the daemon reads, and the key the fuzzer changes.
constexpr const char* kDaemonKeys[] = {
    "remote_server_number", "remote_server1",   "remote_server2",   "ping_address_index",
    "ping_times",           "ping_out_times",   "success_interval", "reboot_interval",
    "ping_interval",        "wan_ppp_demand",   "sys_log_level",
};
constexpr const char* kChangedKey = "ping_times";

std::string g_dir;
std::string g_store;

void RemoveDir() {
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
}

void Prepare() {
  if (!g_dir.empty()) return;
  // A memory-backed folder when there is one: every change is synced to disk.
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/orvane-fuzz-nvram-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  g_dir = pattern;
  g_store = g_dir + "/nvram.txt";
  setenv("NVRAM_FILE", g_store.c_str(), 1);
  std::atexit(RemoveDir);
}

std::optional<std::string> Get(const char* key) {
  const char* value = nvram_get(key);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void CountSetting(const char* name, const char* value, void* context) {
  if (name == nullptr || value == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) std::abort();
  if (std::strchr(name, '\n') != nullptr || std::strchr(value, '\n') != nullptr) std::abort();
  ++*static_cast<std::size_t*>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Prepare();
  const int fd = open(g_store.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);

  std::size_t settings = 0;
  if (nvram_visit(CountSetting, &settings) != 0) std::abort();
  if (settings > size) std::abort();

  std::map<std::string, std::optional<std::string>> before;
  for (const char* key : kDaemonKeys) before[key] = Get(key);

  // A value from the input (without line feeds), stored and read back.
  std::string value(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 24));
  value = value.substr(0, value.find_first_of(std::string("\n\0", 2)));
  if (nvram_set(kChangedKey, value.c_str()) != 0) std::abort();
  if (Get(kChangedKey) != value) std::abort();
  for (const char* key : kDaemonKeys) {
    if (std::strcmp(key, kChangedKey) != 0 && Get(key) != before[key]) std::abort();
  }
  if (nvram_unset(kChangedKey) != 0 || Get(kChangedKey).has_value()) std::abort();
  for (const char* key : kDaemonKeys) {
    if (std::strcmp(key, kChangedKey) != 0 && Get(key) != before[key]) std::abort();
  }
  // Values that cannot be stored are refused, and change nothing.
  if (nvram_set("a=b", "1") == 0 || nvram_set("", "1") == 0 || nvram_set(kChangedKey, "1\n2") == 0) std::abort();
  return 0;
}
