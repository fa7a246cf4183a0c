#!/usr/bin/env bash
# What only hardware proves: two real serial ports of this machine joined by
# a null-modem cable (TX-RX, RTS-CTS and DTR-DSR crossed), driven through
# the engine's RS-232 library and its serial VISA component.
#
#   tools/serial-loopback-test.sh DEVICE_A DEVICE_B [BAUD ...]
#   e.g. tools/serial-loopback-test.sh /dev/ttyUSB0 /dev/ttyUSB1
#
# Builds the engine optimised (preset dist) with examples/serial/serial_loopback.c,
# links the two devices as COM1 and COM2 in a directory of its own
# (KEZ_SERIAL_DIR), and runs the checks: a pattern each way at once at each
# baud rate (default 9600 19200 57600 115200), RTS/CTS holding and releasing
# output, DTR seen as DSR, and a break. The user needs read and write access
# to both devices (Debian: the dialout group). Exit status 0 when every
# check passed.
#
# On Windows run build/dist-mingw/bin/kez_serial_loopback.exe A B with the
# COM port numbers, next to visa32.dll (the engine's or a vendor's VISA).
set -euo pipefail
if (($# < 2)); then
  sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
fi
device_a=$1
device_b=$2
shift 2
for device in "$device_a" "$device_b"; do
  if [[ ! -c $device ]]; then
    echo "$device is not a character device" >&2
    exit 2
  fi
  if [[ ! -r $device || ! -w $device ]]; then
    echo "no read and write access to $device (Debian: sudo adduser $USER dialout, then log in again)" >&2
    exit 2
  fi
done
if [[ $(readlink -f "$device_a") == $(readlink -f "$device_b") ]]; then
  echo "the two devices are one" >&2
  exit 2
fi

cd "$(dirname "$0")/.."
cmake --preset dist >/dev/null
cmake --build --preset dist --target kez_serial_loopback visa32 >/dev/null
bin=$PWD/build/dist/bin

dir=$(mktemp -d "${TMPDIR:-/tmp}/kez-serial-loopback-XXXXXX")
trap 'rm -rf "$dir"' EXIT
ln -s "$(readlink -f "$device_a")" "$dir/com1"
ln -s "$(readlink -f "$device_b")" "$dir/com2"
echo "COM1 = $device_a, COM2 = $device_b"
KEZ_SERIAL_DIR=$dir KEZ_COMPONENT_PATH=$bin timeout 600 "$bin/kez_serial_loopback" 1 2 "$@"
