#!/usr/bin/env bash
# The main job: builds the suite, updates the firmware of a modeled host's
# two cards with nicflash on the virtual host, and shows with eeprom_info
# what each card's EEPROM holds afterwards: the 0x5e0a card the new image,
# the 0x5e0b card (which nicflash skips) its old content. Runs as root
# (simhost needs a mount namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The build speaks only when it fails.
if ! { cmake -S . -B build && cmake --build build -j"$(nproc)"; } >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "run.sh: the build failed" >&2
  exit 1
fi

echo "== nicflash on a virtual host with two cards: 0x5e0a at 01:00.0, 0x5e0b at 02:00.0"
build/sim/simhost --nic "device=5e0a,save=$work/card-5e0a.bin" --nic "device=5e0b,save=$work/card-5e0b.bin" \
  -- build/eeprom_ze/nicflash
echo
echo "== the 0x5e0a card's EEPROM afterwards: the new image"
build/sim/eeprom_info "$work/card-5e0a.bin"
echo
echo "== the 0x5e0b card's EEPROM afterwards: skipped, its old content"
# Its second area holds the model's stand-in bytes, not an image: status 1.
build/sim/eeprom_info "$work/card-5e0b.bin" || [ $? -eq 1 ]
