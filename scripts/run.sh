#!/usr/bin/env bash
# The main job. Until the firmware updater exists, this builds the whole
# suite and runs what there is: the board access library scans this host's
# PCI buses and lists every function, then the scan is timed against lspci.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
echo "== PCI functions of this host, as the uba library lists them"
build/bench/pci_scan_vs_lspci --list
echo "== bus scan against lspci -n"
build/bench/pci_scan_vs_lspci 100
