#!/usr/bin/env bash
# Installs the Debian packages the native build and tests need; with the
# argument "demo" only what building and running the program needs (the demo:
# compilers and the program's libraries, nothing of the tests); with
# "windows" also those of the Windows cross build and of running it under
# Wine. Quiet and quick when everything is already there.
set -euo pipefail

install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "Installing: ${missing[*]}"
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq $apt_options "${missing[@]}" >/dev/null
}

apt_options=
# The program itself: compilers, CMake and the libraries it links.
install_missing g++ cmake make libxerces-c-dev nlohmann-json3-dev libssl-dev
[ "${1:-}" = demo ] && exit 0
install_missing libgtest-dev
# The tests check every run report against its schema with a validator that
# is not the program's own.
install_missing python3 python3-jsonschema
# The fleet rollout (deploy/ansible) and its test. Debian's ansible ships the
# ansible.windows collection the role needs; what the two packages only
# recommend (WinRM and other connection libraries, documentation) is for
# managing real hosts, not for the test on this machine. The test's
# unreachable host is an SSH connection refused on the loopback
# (openssh-client).
apt_options=--no-install-recommends
install_missing ansible ansible-lint openssh-client
# The rollout test renders reports/rollout.html in a headless browser, takes a
# screenshot and reads the page back as the browser built it.
install_missing chromium
# The Debian package (scripts/package.sh, scripts/package-test.sh): CPack
# needs file and dpkg-shlibdeps (dpkg-dev), which also gives dpkg-buildflags;
# lintian and mandoc check the package and its manual page; logrotate reads
# the package's rotation rule.
install_missing dpkg-dev file lintian mandoc logrotate
apt_options=
if [ "${1:-}" = real-stack ]; then
  # scripts/real-stack.sh: the VM (QEMU), the initramfs's shell (busybox) and
  # the independent SCSI client that checks the drive model (sg3-utils).
  apt_options=--no-install-recommends
  install_missing qemu-system-x86 busybox-static sg3-utils
  exit 0
fi
if [ "${1:-}" = windows ]; then
  # MinGW-w64 with the posix thread model (std::mutex, needed by GoogleTest);
  # googletest's sources are cross-built; dpkg-dev unpacks Xerces-C's source
  # package; "wine" is the package that puts /usr/bin/wine on the path. Wine's
  # recommended extras (fonts, desktop integration) are of no use here. zip
  # and unzip make and check the release archive.
  apt_options=--no-install-recommends
  install_missing g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest dpkg-dev wine wine64 zip unzip
fi
