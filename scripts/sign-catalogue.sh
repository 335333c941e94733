#!/usr/bin/env bash
# Signs a firmware catalogue for the hosts that trust the key:
#   sign-catalogue.sh [--serial N] [--expires YYYY-MM-DD] [--require-serial] KEY FOLDER
# KEY is the ECDSA P-256 private key (PEM); FOLDER the firmware folder, the
# "fwimage" that holds firmware.cfg and the images it names.
#
# The signature covers the images only through their checksums, so every
# data line of FOLDER/firmware.cfg must carry its image's checksum (the fourth
# field, sha256:<64 hex digits>) and the checksum must match the image.
#
# Hosts refuse a signed catalogue older than one they accepted, by its
# "$serial" header line, and one past its "$expires" day (UTC). The catalogue
# gets "$serial N" (N as given, else one above the serial it holds; none when
# it holds none and none is given, which --require-serial refuses) and, with
# --expires, "$expires YYYY-MM-DD" in place of any earlier one.
#
# The script works on a private copy of the catalogue, in a folder of its
# own made with mktemp: the bytes checked are the bytes signed, and nothing
# is written into FOLDER until the signature verifies. Then firmware.cfg and
# firmware.cfg.sig are replaced; neither may be a symbolic link.
set -euo pipefail

fail() {
  echo "sign-catalogue: $*" >&2
  exit 1
}

usage="usage: sign-catalogue.sh [--serial N] [--expires YYYY-MM-DD] [--require-serial] KEY FOLDER"
serial="" expires="" require_serial=0
while [ $# -gt 0 ]; do
  case $1 in
    --serial) [ $# -ge 2 ] || fail "$usage"; serial=$2; shift 2 ;;
    --expires) [ $# -ge 2 ] || fail "$usage"; expires=$2; shift 2 ;;
    --require-serial) require_serial=1; shift ;;
    --) shift; break ;;
    -*) fail "$usage" ;;
    *) break ;;
  esac
done
[ $# -eq 2 ] || fail "$usage"
key=$1 folder=$2
catalogue=$folder/firmware.cfg
signature=$folder/firmware.cfg.sig
[ -f "$key" ] || fail "no key file $key"
[ -f "$catalogue" ] || fail "no catalogue $catalogue"
[ ! -L "$catalogue" ] || fail "$catalogue is a symbolic link; not signed"
[ ! -L "$signature" ] || fail "$signature is a symbolic link; not signed"
openssl pkey -in "$key" -noout -text 2>/dev/null | grep -q 'ASN1 OID: prime256v1' \
  || fail "$key is not an ECDSA P-256 private key"
if [ -n "$serial" ]; then
  [[ $serial =~ ^[0-9]+$ ]] && [ "${#serial}" -le 10 ] && [ "$serial" -le 4294967295 ] \
    || fail "--serial $serial is not a decimal number from 0 to 4294967295"
fi
if [ -n "$expires" ]; then
  [[ $expires =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] && [ "$(date -u -d "$expires" +%F 2>/dev/null)" = "$expires" ] \
    || fail "--expires $expires is not a date YYYY-MM-DD"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/firmware.cfg
cp -- "$catalogue" "$copy"

# The serial it holds (the program reads "$serial" in any letter case).
held=$(grep -aiE '^\$serial[ '$'\t'']' "$copy" | head -1 | tr -dc '0-9' || true)
if [ -z "$serial" ] && [ -n "$held" ]; then
  [ "$held" -lt 4294967295 ] || fail "$catalogue holds the highest serial, $held"
  serial=$((held + 1))
fi
[ -n "$serial" ] || [ "$require_serial" -eq 0 ] || fail "$catalogue has no \$serial and none is given; not signed"
# The header lines go first, in place of any earlier ones.
{
  [ -z "$serial" ] || echo "\$serial $serial"
  if [ -n "$expires" ]; then
    echo "\$expires $expires"
  else
    grep -aiE '^\$expires[ '$'\t'']' "$copy" | head -1 || true
  fi
  grep -aviE '^\$(serial|expires)[ '$'\t'']' "$copy" || true
} >"$work/headed"
mv "$work/headed" "$copy"

# The image a catalogue line names, as kvtapefw finds it: the name as written
# (the program reads it upper-cased), letter case aside.
find_image() {
  local wanted=${1,,} file
  for file in "$folder"/*; do
    [ -f "$file" ] || continue
    local name=${file##*/}
    [ "${name,,}" = "$wanted" ] && { echo "$file"; return 0; }
  done
  return 1
}

problems=0 entries=0 number=0
while IFS= read -r line || [ -n "$line" ]; do
  number=$((number + 1))
  line=${line%$'\r'}
  # Empty lines and lines whose very first character is "$" are no entries.
  [ -z "$line" ] || [ "${line:0:1}" = '$' ] && continue
  entries=$((entries + 1))
  # Fields are split at runs of "|"; an empty field is not seen at all.
  fields=()
  IFS='|' read -r -a parts <<<"$line"
  for part in "${parts[@]}"; do [ -n "$part" ] && fields+=("$part"); done
  name=${fields[1]:-}
  checksum=$(echo "${fields[3]:-}" | tr -d ' \t' | tr 'A-F' 'a-f')
  if ! [[ $checksum =~ ^sha256:[0-9a-f]{64}$ ]]; then
    echo "sign-catalogue: $catalogue line $number has no sha256:<64 hex digits> checksum: $line" >&2
    problems=$((problems + 1))
  elif ! image=$(find_image "$name"); then
    echo "sign-catalogue: $catalogue line $number names no image in $folder: $line" >&2
    problems=$((problems + 1))
  elif [ "sha256:$(sha256sum <"$image" | cut -d' ' -f1)" != "$checksum" ]; then
    echo "sign-catalogue: $catalogue line $number: $image does not match its checksum" >&2
    problems=$((problems + 1))
  fi
done <"$copy"
[ "$entries" -gt 0 ] || fail "$catalogue has no entry"
[ "$problems" -eq 0 ] || fail "$catalogue not signed: $problems line(s) to mend"

openssl dgst -sha256 -sign "$key" -out "$work/firmware.cfg.sig" "$copy"
openssl pkey -in "$key" -pubout -out "$work/key.pub"
verified=$(openssl dgst -sha256 -verify "$work/key.pub" -signature "$work/firmware.cfg.sig" "$copy" || true)
[ "$verified" = "Verified OK" ] || fail "the new signature does not verify"
[ ! -L "$catalogue" ] && [ ! -L "$signature" ] || fail "a symbolic link appeared in $folder; not signed"
cp -- "$copy" "$catalogue"
cp -- "$work/firmware.cfg.sig" "$signature"
echo "signed $catalogue${serial:+ (serial $serial)}${expires:+ (expires $expires)}: $signature"
