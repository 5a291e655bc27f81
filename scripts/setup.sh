#!/usr/bin/env bash
# Installs what building and testing QuillMark needs. Idempotent: installs only what is missing.
# Usage: scripts/setup.sh [--i386]   (--i386 adds the 32-bit x86 libraries and qemu-user)
# Also fetches the Breakpad sources and tools (npm package minidump) into third_party/.
set -euo pipefail

want_i386=0
[ "${1:-}" = "--i386" ] && want_i386=1

packages=(build-essential cmake pkg-config clang-format libcurl4-openssl-dev libjsoncpp-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libssl-dev openssl curl jq
          libhttp-parser-dev nginx  # nginx: the real reverse proxy of the transport tests
          rapidjson-dev  # the loopback collector's reader of posts (tools/ only, not the library)
          chromium  # headless browser the native suite loads the collector's page in
          clang-14 libclang-rt-14-dev)  # the last two: libFuzzer and its sanitizers (fuzz/)
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
  # A mirror caught mid-sync fails one index; the others still serve what is missing.
  "${sudo_cmd[@]}" apt-get update -qq || echo "setup: apt-get update reported errors; going on"
  install_packages() {
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --allow-downgrades \
      --no-remove --no-install-recommends "$@" 2>&1
  }
  # The :i386 libraries must have the very version of their amd64 twins. When one index could
  # not be read (a security mirror mid-sync), the amd64 side may be newer than any i386 build
  # apt can see: every library the i386 packages need whose two sides differ is then pinned to
  # the i386 candidate, with the installed amd64 packages of its source (libssl-dev, libssl3).
  align=()
  declare -A pinned=()
  pin_family() {
    local name="$1" version="$2" source sibling
    source="$(dpkg-query -W -f='${source:Package}' "$name:amd64" 2>/dev/null)" || return 0
    align+=("$name:i386=$version")
    while read -r sibling; do
      [ -n "${pinned[$sibling]:-}" ] && continue
      pinned[$sibling]=1
      apt-cache madison "$sibling" | grep -qF "| $version |" && align+=("$sibling=$version")
    done < <(dpkg-query -W -f='${Package} ${source:Package} ${Architecture} ${Status}\n' |
             awk -v s="$source" '$2 == s && $3 != "i386" && $NF == "installed" {print $1}')
  }
  if ! output="$(install_packages "${missing[@]}")"; then
    wanted_i386=()
    for p in "${missing[@]}"; do [[ "$p" == *:i386 ]] && wanted_i386+=("$p"); done
    if [ "${#wanted_i386[@]}" -gt 0 ]; then
      for name in $(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
                      --no-breaks --no-replaces --no-enhances "${wanted_i386[@]}" 2>/dev/null |
                    sed -nE 's/^([a-z0-9][a-z0-9.+-]*):i386$/\1/p' | sort -u); do
        have="$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null)" || continue
        want="$(apt-cache policy "$name:i386" | awk '/Candidate:/{print $2}')"
        [ -n "$want" ] && [ "$want" != "(none)" ] && [ "$have" != "$want" ] &&
          pin_family "$name" "$want"
      done
    fi
    if [ "${#align[@]}" -eq 0 ] || ! output="$(install_packages "${missing[@]}" "${align[@]}")"; then
      echo "$output" | tail -20 >&2
      echo "setup: could not install ${missing[*]}" >&2
      exit 1
    fi
    echo "setup: pinned to match the i386 libraries: ${align[*]}"
  fi
fi
# Breakpad is not packaged by Debian; the npm package "minidump" ships its source and prebuilt
# Linux tools (minidump_stackwalk, dump_syms). Only the exact tarball below is accepted.
breakpad_version="0.26.0"
breakpad_integrity="sha512-1CJ6kQDd1UawXgmht3pHKzLPuZPb8xrZlgrN+H6/3zKWsUKapTSF2FE7g2Nji/NnVi+GOsVwM8sm2md6BjJUgg=="
breakpad_dir="$(cd "$(dirname "$0")/.." && pwd)/third_party/minidump-$breakpad_version"

integrity_of() { echo "sha512-$(openssl dgst -sha512 -binary "$1" | base64 -w0)"; }

fetch_breakpad() {
  if ! command -v npm >/dev/null 2>&1; then
    local sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    echo "setup: installing nodejs npm"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends nodejs npm >/dev/null
  fi
  local work
  work="$(mktemp -d)"
  # npm pack, not npm install: the package's install script needs yarn.
  (cd "$work" && npm pack "minidump@$breakpad_version" --silent >/dev/null)
  local tarball="$work/minidump-$breakpad_version.tgz"
  local found
  found="$(integrity_of "$tarball")"
  if [ "$found" != "$breakpad_integrity" ]; then
    echo "setup: minidump-$breakpad_version.tgz has integrity $found, expected" \
         "$breakpad_integrity; refusing it" >&2
    rm -rf "$work"
    exit 1
  fi
  rm -rf "$breakpad_dir"
  mkdir -p "$breakpad_dir"
  tar -xzf "$tarball" -C "$breakpad_dir"
  echo "$breakpad_integrity" >"$breakpad_dir/INTEGRITY"
  rm -rf "$work"
}

if [ "$(cat "$breakpad_dir/INTEGRITY" 2>/dev/null)" != "$breakpad_integrity" ]; then
  fetch_breakpad
fi

# libhttp-parser-dev cannot be installed for amd64 and i386 at once (the two conflict), so the
# i386 build takes the static archive out of the i386 package without installing it; the header
# is the amd64 package's, which is the same file.
i386_root="$(cd "$(dirname "$0")/.." && pwd)/third_party/i386-root"
if [ "$want_i386" = 1 ] && [ ! -f "$i386_root/usr/lib/i386-linux-gnu/libhttp_parser.a" ]; then
  work="$(mktemp -d)"
  (cd "$work" && apt-get download -q libhttp-parser-dev:i386 >/dev/null)
  mkdir -p "$i386_root"
  dpkg-deb -x "$work"/libhttp-parser-dev_*_i386.deb "$i386_root"
  rm -rf "$work"
fi
echo "setup: dependencies present"
