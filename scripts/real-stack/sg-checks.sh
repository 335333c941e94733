#!/bin/bash
# Checks the emulated drives from outside, with sg3_utils (an independent
# SCSI client), inside the test VM. Each argument describes one drive:
#
#   ADDRESS:VENDOR:PRODUCT:LAYOUT:FIRMWARE:HW_CONFIG[:IMAGE:NEW_FIRMWARE]
#
# The standard INQUIRY data and the vendor pages C0h and C1h must hold the
# texts at the offsets the drive family uses; with IMAGE, the image is sent
# with WRITE BUFFER mode 4 in 32 KiB chunks and activated with mode 5, after
# which the drive must reboot (NOT READY) and then report NEW_FIRMWARE.
# Prints one line per check; exits 1 when any failed.
set -u
failed=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok   $1: '$3'"; else echo "FAIL $1: expected '$2', got '$3'"; failed=1; fi
}
text_at() {  # text_at FILE OFFSET LENGTH: the bytes, trailing spaces and NULs cut
  dd if="$1" bs=1 skip="$2" count="$3" status=none | tr -d '\0' | sed 's/ *$//'
}
# The pages' length field (bytes 2-3) is zero on these drives, so sg_inq and
# sg_vpd show only their 4-byte header; the whole 96 bytes come with sg_raw.
page() {  # page DEVICE CODE FILE
  sg_raw -r 96 -b -o "$3" "$1" 12 01 "$2" 00 60 00 >/dev/null 2>&1
}
sg_of() { awk -v a="$1" '$1 == a { print "/dev/" $2 }' "$KVFW_REAL_STACK_JOB/devices"; }
scratch=$(mktemp -d)

for spec in "$@"; do
  IFS=: read -r address vendor product layout firmware hw_config image new_firmware <<<"$spec"
  sg=$(sg_of "$address")
  [ -n "$sg" ] || { echo "FAIL drive $address: no sg node"; failed=1; continue; }
  sg_inq -r -l 96 "$sg" >"$scratch/std" 2>/dev/null
  check "drive $address standard data, device type" 01 "$(od -An -tx1 -N1 "$scratch/std" | tr -d ' ')"
  check "drive $address standard data, vendor (8-15)" "$vendor" "$(text_at "$scratch/std" 8 8)"
  check "drive $address standard data, product (16-31)" "$product" "$(text_at "$scratch/std" 16 16)"
  # Page 0 (supported pages) is not served by these drives: ask directly.
  sg_turs "$sg" >/dev/null 2>&1  # takes the unit attention of the LUNs added after this one
  sg_inq -f -p 0xc0 -r "$sg" >"$scratch/c0" 2>/dev/null
  check "drive $address page C0h (sg_inq -p), page code" c0 "$(od -An -tx1 -j1 -N1 "$scratch/c0" | tr -d ' ')"
  page "$sg" c0 "$scratch/c0"
  if [ "$layout" = ultrium ]; then
    check "drive $address page C0h, firmware (30-48)" "FW = $firmware" "$(text_at "$scratch/c0" 30 19)"
    sg_vpd -f -p 0xc1 -r "$sg" >"$scratch/c1" 2>/dev/null
    check "drive $address page C1h (sg_vpd), page code" c1 "$(od -An -tx1 -j1 -N1 "$scratch/c1" | tr -d ' ')"
    page "$sg" c1 "$scratch/c1"
    check "drive $address page C1h, variant (73-95)" "HW_CONF = $hw_config" "$(text_at "$scratch/c1" 73 23)"
  else
    check "drive $address page C0h, firmware (5-29)" "FW = $firmware" "$(text_at "$scratch/c0" 5 25)"
    check "drive $address page C0h, variant (73-93)" "HW_CONF = $hw_config" "$(text_at "$scratch/c0" 73 21)"
  fi
  sg_turs "$sg" >/dev/null 2>&1
  check "drive $address TEST UNIT READY" 0 "$?"
  [ -n "${image:-}" ] || continue
  sg_write_buffer --mode=4 --id=0 --bpw=32768 --in="$image" "$sg" 2>"$scratch/err"
  check "drive $address WRITE BUFFER mode 4, 32 KiB chunks" 0 "$?"
  sg_write_buffer --mode=5 --id=0 "$sg" 2>>"$scratch/err"
  check "drive $address WRITE BUFFER mode 5 (activate)" 0 "$?"
  sg_turs "$sg" >/dev/null 2>&1
  check "drive $address rebooting: TEST UNIT READY says not ready" 2 "$?"
  for _ in $(seq 1 60); do sg_turs "$sg" >/dev/null 2>&1 && break; sleep 1; done
  page "$sg" c0 "$scratch/c0"
  if [ "$layout" = ultrium ]; then at=30 width=19; else at=5 width=25; fi
  check "drive $address page C0h after the reboot" "FW = $new_firmware" "$(text_at "$scratch/c0" "$at" "$width")"
done
rm -rf "$scratch"
exit "$failed"
