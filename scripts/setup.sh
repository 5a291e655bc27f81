#!/usr/bin/env bash
# Installs what building and testing QuillMark needs. Idempotent: installs only what is missing.
# Usage: scripts/setup.sh [--i386]   (--i386 adds the 32-bit x86 libraries and qemu-user)
set -euo pipefail

want_i386=0
[ "${1:-}" = "--i386" ] && want_i386=1

packages=(build-essential cmake pkg-config clang-format libcurl4-openssl-dev libjsoncpp-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libssl-dev openssl curl)
if [ "$want_i386" = 1 ]; then
  packages+=(g++-multilib qemu-user libcurl4-openssl-dev:i386 libjsoncpp-dev:i386
             libgtest-dev:i386)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  if [ "$want_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
echo "setup: dependencies present"
