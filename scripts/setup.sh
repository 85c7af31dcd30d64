#!/usr/bin/env bash
# Installs what the suite needs to build, test and benchmark on Debian 12.
# Idempotent: installs only the packages that are missing.
set -euo pipefail

packages=(
  g++ clang cmake make        # compilers (g++ builds, clang for the fuzz targets) and build
  libgtest-dev libgmock-dev   # unit tests
  pciutils                    # lspci, the peer of the bus-scan benchmark
  libfuse3-dev fuse3 pkg-config  # the virtual host serves /sys/bus/pci through FUSE
  iperf3 iproute2             # the peer of the loopback-test benchmark; veth pairs and namespaces
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "setup: installing ${missing[*]}" >&2
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
