// Start-up and the work loop of netvigil.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "watchdog/netvigil.h"

namespace nv {

ping_step next_step(bool success, int32_t i, int32_t k, int32_t K, int32_t N) {
  if (success) return {STEP_SUCCESS, 1, 1};
  // Both limits are equality tests: a counter that is already past its limit
  // (K missing reads as 0, an index above N) only grows.
  if (K != k) return {STEP_NEXT_ATTEMPT, i, k < INT32_MAX ? k + 1 : k};
  if (N != i) return {STEP_NEXT_SERVER, i < INT32_MAX ? i + 1 : i, 1};
  return {STEP_REBOOT, i, k};
}

namespace {

int g_sock = -1;
char* g_server = nullptr;  // the current server's text, kept for the log lines

bool link_up() {
  struct stat info;
  return stat(g_link_marker, &info) == 0;
}

// Dialling on demand: the link may be down on purpose.
bool dial_on_demand() {
  return strcmp(setting_text("wan_ppp_demand"), "2") == 0;
}

void close_socket() {
  if (g_sock >= 0) close(g_sock);
  g_sock = -1;  // a later ping opens a new one
}

void reboot_router() {
  close_socket();
  const int status = system("reboot");  // the reboot ends this process, or not
  (void)status;
}

void no_server_wait() {
  log_line("main", 350,
           "No IP addres configurate, wait for %s seconds to establish the PPP connection!\n",
           setting_text("reboot_interval"));
  __msleep(seconds_to_ms(setting_int("reboot_interval")));
  if (link_up() || dial_on_demand()) return;
  log_line("main", 363, "PPP can not be establish in %s seconds, need reboot!\n",
           setting_text("reboot_interval"));
  reboot_router();
}

void link_wait() {
  log_line("main", 433, "Wait for %s seconds to establish the PPP connection!\n",
           setting_text("reboot_interval"));
  __msleep(seconds_to_ms(setting_int("reboot_interval")));
  if (link_up() || dial_on_demand()) return;
  log_line("main", 440, "PPP can not be establish in %s seconds!\n",
           setting_text("reboot_interval"));
  reboot_router();
}

// Copies the server text of index `index` ("" when the key is missing).
const char* load_server(int32_t index) {
  char key[32];
  snprintf(key, sizeof key, "%s%d", "remote_server", static_cast<int>(index));
  free(g_server);
  g_server = strdup(setting_text(key));
  return g_server != nullptr ? g_server : "";
}

void ping_once() {
  const char* server = load_server(g_ping_address_index);
  log_line("main", 381, "ping %s\n", server);
  if (g_sock < 0) g_sock = create_icmp_socket();  // closed by a reboot command
  const bool success = netvigil(server, g_sock) == 0;
  if (success) {
    const ping_step step = next_step(true, g_ping_address_index, g_ping_timeout, 0, 0);
    g_ping_address_index = step.index;
    g_ping_timeout = step.attempt;
    store_int("ping_address_index", g_ping_address_index);
    store_int("ping_times", g_ping_timeout);
    log_line("main", 391, "ping %s success\n", server);
    __msleep(seconds_to_ms(setting_int("success_interval")));
    exit(0);
  }

  log_line("main", 399, "ping %s failure\n", server);
  const int32_t K = setting_int("ping_out_times");
  const int32_t N = setting_int("remote_server_number");
  const ping_step step = next_step(false, g_ping_address_index, g_ping_timeout, K, N);
  switch (step.kind) {
    case STEP_NEXT_ATTEMPT:
      g_ping_timeout = step.attempt;
      store_int("ping_times", g_ping_timeout);
      exit(0);
    case STEP_NEXT_SERVER:
      g_ping_address_index = step.index;
      g_ping_timeout = step.attempt;
      store_int("ping_address_index", g_ping_address_index);
      store_int("ping_times", g_ping_timeout);
      exit(0);
    case STEP_SUCCESS:
    case STEP_REBOOT:
      break;
  }
  log_line("main", 404, "ping %s fail, need reboot after %s seconds!\n", server, kRebootDelayText);
  __msleep(kRebootDelayMs);
  reboot_router();
  __msleep(seconds_to_ms(setting_int("ping_interval")));
  // Counters unchanged: the next pass pings the same server again.
}

}  // namespace

void netvigil_main() {
  load_environment();
  g_ping_address_index = setting_int("ping_address_index");
  g_ping_timeout = setting_int("ping_times");
  log_line("main", 341, "Netvigil start!\n");  // still in the foreground
  daemon(1, 1);
  g_sock = create_icmp_socket();
  for (;;) {
    if (setting_int("remote_server_number") == 0) {
      no_server_wait();
    } else if (!link_up()) {
      link_wait();
    } else {
      ping_once();
    }
  }
}

}  // namespace nv
