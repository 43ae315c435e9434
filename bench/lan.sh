#!/usr/bin/env bash
# The benchmark LAN: two network namespaces of their own joined by a veth
# pair, the PC (192.168.1.2) and the router (192.168.1.1), the PC's side
# shaped to 100 Mbit/s with a token bucket. Nothing of it touches the
# machine's own network: both addresses live only inside these namespaces.
#
#   bench/lan.sh up      creates the pair (root only); prints nothing
#   bench/lan.sh down    removes both namespaces (and with them the pair)
#
# The names can be changed through ORVANE_LAN_PC and ORVANE_LAN_ROUTER.
set -euo pipefail

pc="${ORVANE_LAN_PC:-orvane-bench-pc}"
router="${ORVANE_LAN_ROUTER:-orvane-bench-router}"
rate="${ORVANE_LAN_RATE:-100mbit}"

down() {
  ip netns del "$pc" 2>/dev/null || true
  ip netns del "$router" 2>/dev/null || true
}

up() {
  down
  ip netns add "$pc"
  ip netns add "$router"
  ip -n "$pc" link add lan0 type veth peer name lan0 netns "$router"
  ip -n "$pc" addr add 192.168.1.2/24 brd 192.168.1.255 dev lan0
  ip -n "$router" addr add 192.168.1.1/24 brd 192.168.1.255 dev lan0
  for ns in "$pc" "$router"; do
    ip -n "$ns" link set lo up
    ip -n "$ns" link set lan0 up
    # Where ethtool is installed, no offloads that would hand the shaper 64 KB
    # segments (without it the token bucket splits them itself).
    ip netns exec "$ns" ethtool -K lan0 tso off gso off gro off >/dev/null 2>&1 || true
  done
  # The PC's way out: 100 Mbit/s, a bucket of a few frames, at most a few
  # milliseconds queued (a switch port's worth).
  tc -n "$pc" qdisc add dev lan0 root tbf rate "$rate" burst 16kb latency 5ms
}

case "${1:-}" in
  up) up ;;
  down) down ;;
  *) echo "usage: bench/lan.sh up|down" >&2; exit 2 ;;
esac
