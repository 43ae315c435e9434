#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, and nothing when it
# is all there already. Safe to run any number of times.
#
#   scripts/setup.sh            the native build, tests and fuzzing
#   scripts/setup.sh EXTRA...   also the named extra packages; a name with an
#                               architecture (musl-dev:mipsel) first adds that
#                               architecture to dpkg when it lacks it
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev
  libgcrypt20-dev           # SHA-256 and Ed25519 (src/trust)
  signify-openbsd           # the tests that read and check its key and signature files
  clang libclang-rt-14-dev  # libFuzzer
  python3                   # demo and benchmark scripts
  iproute2 nftables         # the virtual LAN tests (network namespaces, a firewall rule inside one)
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  [ -n "$p" ] || continue
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  for p in "${missing[@]}"; do
    [[ "$p" == *:* ]] || continue
    arch="${p##*:}"
    if [ "$arch" != "$(dpkg --print-architecture)" ] &&
       ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      echo "setup: adding the architecture $arch"
      "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
    fi
  done
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
