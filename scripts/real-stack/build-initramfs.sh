#!/usr/bin/env bash
# Prints the folder holding the test VM's kernel ("vmlinuz") and initramfs
# ("initramfs.gz"), building them first when the cache has none for this
# recipe: Debian's kernel package, unpacked without installing it, and a
# busybox initramfs with the modules of the SCSI target, tape and generic
# SCSI drivers, virtio-9p and overlayfs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${KVFW_REAL_STACK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kvtapefw/real-stack}
wanted="virtio_pci 9pnet_virtio 9p overlay configfs target_core_user tcm_loop sg st crct10dif_generic"

recipe=$(cat "$here/init" "$here/build-initramfs.sh" | sha1sum | cut -c1-10)
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9  # side-by-side runs build once
if ! ls "$cache"/deb/linux-image-[0-9]*.deb >/dev/null 2>&1; then
  rm -rf "$cache/deb" && mkdir -p "$cache/deb"
  # The kernel package that linux-image-amd64 stands for; a machine whose
  # package lists were never fetched gets them first.
  kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -1; }
  image=$(kernel_package)
  if [ -z "$image" ] || ! (cd "$cache/deb" && apt-get download "$image" >/dev/null 2>&1); then
    if [ "$(id -u)" -eq 0 ]; then apt-get update -qq; else sudo apt-get update -qq; fi
    image=$(kernel_package)
    (cd "$cache/deb" && apt-get download "$image" >/dev/null 2>&1)
  fi
fi
deb=$(ls "$cache"/deb/linux-image-[0-9]*.deb | head -1)
version=$(basename "$deb" .deb)
out="$cache/$version-$recipe"
if [ ! -f "$out/initramfs.gz" ]; then
  rm -rf "$out.tmp" && mkdir -p "$out.tmp/kernel" "$out.tmp/root/bin" "$out.tmp/root/modules"
  dpkg-deb -x "$deb" "$out.tmp/kernel"
  modules=$(echo "$out.tmp"/kernel/lib/modules/*)
  declare -A done_modules=()
  order=()
  # Dependencies first, from each module's own "depends=" list.
  add_module() {
    local name=${1//-/_} file dep
    [ -z "${done_modules[$name]:-}" ] || return 0
    done_modules[$name]=1
    file=$(find "$modules" -name "$name.ko" -o -name "${name//_/-}.ko" | head -1)
    [ -n "$file" ] || return 0  # built into the kernel
    for dep in $(grep -a -o 'depends=[a-z0-9_,-]*' "$file" | head -1 | cut -d= -f2 | tr ',' ' '); do add_module "$dep"; done
    cp "$file" "$out.tmp/root/modules/"
    order+=("$(basename "$file")")
  }
  for module in $wanted; do add_module "$module"; done
  printf '%s\n' "${order[@]}" >"$out.tmp/root/modules.list"
  cp /bin/busybox "$out.tmp/root/bin/busybox"
  cp "$here/init" "$out.tmp/root/init" && chmod +x "$out.tmp/root/init"
  mkdir -p "$out.tmp/root"/{proc,sys,dev,tmp}
  (cd "$out.tmp/root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out.tmp/initramfs.gz"
  cp "$out.tmp"/kernel/boot/vmlinuz-* "$out.tmp/vmlinuz"
  rm -rf "$out.tmp/kernel" "$out.tmp/root"
  rm -rf "$out" && mv "$out.tmp" "$out"
fi
echo "$out"
