#!/usr/bin/env bash
# Signs a firmware catalogue for the hosts that trust the key:
#   sign-catalogue.sh KEY FOLDER
# KEY is the ECDSA P-256 private key (PEM); FOLDER the firmware folder, the
# "fwimage" that holds firmware.cfg and the images it names.
#
# The signature covers the images only through their checksums, so every
# data line of FOLDER/firmware.cfg must carry its image's checksum (the fourth
# field, sha256:<64 hex digits>) and the checksum must match the image. Only
# then is FOLDER/firmware.cfg.sig written: the DER ECDSA signature of the
# catalogue's SHA-256, checked against the key's public half before it
# replaces an older one.
set -euo pipefail

fail() {
  echo "sign-catalogue: $*" >&2
  exit 1
}

[ $# -eq 2 ] || fail "usage: sign-catalogue.sh KEY FOLDER"
key=$1 folder=$2
catalogue=$folder/firmware.cfg
[ -f "$key" ] || fail "no key file $key"
[ -f "$catalogue" ] || fail "no catalogue $catalogue"
openssl pkey -in "$key" -noout -text 2>/dev/null | grep -q 'ASN1 OID: prime256v1' \
  || fail "$key is not an ECDSA P-256 private key"

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
done <"$catalogue"
[ "$entries" -gt 0 ] || fail "$catalogue has no entry"
[ "$problems" -eq 0 ] || fail "$catalogue not signed: $problems line(s) to mend"

signature=$folder/firmware.cfg.sig
openssl dgst -sha256 -sign "$key" -out "$signature.new" "$catalogue"
openssl pkey -in "$key" -pubout -out "$signature.pub"
verified=$(openssl dgst -sha256 -verify "$signature.pub" -signature "$signature.new" "$catalogue" || true)
rm -f "$signature.pub"
[ "$verified" = "Verified OK" ] || { rm -f "$signature.new"; fail "the new signature does not verify"; }
mv "$signature.new" "$signature"
echo "signed $catalogue: $signature"
