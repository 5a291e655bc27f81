#!/usr/bin/env bash
# Installs what building and testing QuillMark needs. Idempotent: installs only what is missing.
# Usage: scripts/setup.sh [--i386]   (--i386 adds the 32-bit x86 libraries and qemu-user)
# Also fetches the Breakpad sources and tools (npm package minidump) into third_party/.
# Every step that fails says what failed and what to do, and the script exits non-zero; its
# temporary files go with it, however it ends.
set -Eeuo pipefail

say() { echo "setup: $*"; }
fail() {
  echo "setup: $*" >&2
  exit 1
}
scratch="$(mktemp -d /tmp/quillmark-setup.XXXXXX)"
# apt's downloads run as the user _apt, which must be able to write where they go.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$scratch"; fi
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'echo "setup: failed: $BASH_COMMAND (line $LINENO)" >&2' ERR

want_i386=0
[ "${1:-}" = "--i386" ] && want_i386=1

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || need_root=1
  sudo_cmd=(sudo)
fi
# apt-get update, once, when something is to be installed. A mirror caught mid-sync fails one
# index; the others still serve what is missing.
apt_updated=0
apt_update() {
  [ "$apt_updated" = 1 ] && return 0
  [ -z "${need_root:-}" ] || fail "installing packages needs root: run scripts/setup.sh as root or install sudo"
  say "reading the package lists (apt-get update)"
  if ! "${sudo_cmd[@]}" apt-get update -q 2>&1 | { grep -v '^Reading' || true; }; then
    say "apt-get update reported errors (above); going on with the lists it could read"
  fi
  apt_updated=1
}

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
  if [ "$want_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    [ -z "${need_root:-}" ] || fail "installing packages needs root: run scripts/setup.sh as root or install sudo"
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  apt_update
  say "installing ${#missing[@]} packages with apt-get (minutes on a fresh machine): ${missing[*]}"
  # apt's own lines show the progress; they are kept to tell a failure's cause.
  install_packages() {
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --allow-downgrades \
      --no-remove --no-install-recommends "$@" 2>&1 | tee "$scratch/install.log" |
      { grep -Ev '^(Selecting previously unselected|Preparing to unpack|\(Reading database)' || true; }
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
  if ! install_packages "${missing[@]}"; then
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
    if [ "${#align[@]}" -gt 0 ]; then
      say "retrying with the amd64 libraries pinned to match the i386 ones: ${align[*]}"
    fi
    if [ "${#align[@]}" -eq 0 ] || ! install_packages "${missing[@]}" "${align[@]}"; then
      reason="$(grep -E '^E:' "$scratch/install.log" | tail -1)"
      fail "apt-get could not install the packages (${reason:-see its messages above}):" \
           "check the network and the sources in /etc/apt, then run scripts/setup.sh again"
    fi
  fi
fi
# Breakpad is not packaged by Debian; the npm package "minidump" ships its source and prebuilt
# Linux tools (minidump_stackwalk, dump_syms). Only the exact tarball below is accepted.
breakpad_version="0.26.0"
breakpad_integrity="sha512-1CJ6kQDd1UawXgmht3pHKzLPuZPb8xrZlgrN+H6/3zKWsUKapTSF2FE7g2Nji/NnVi+GOsVwM8sm2md6BjJUgg=="
repo="$(cd "$(dirname "$0")/.." && pwd)"
breakpad_dir="$repo/third_party/minidump-$breakpad_version"

integrity_of() { echo "sha512-$(openssl dgst -sha512 -binary "$1" | base64 -w0)"; }

fetch_breakpad() {
  if ! command -v npm >/dev/null 2>&1; then
    apt_update
    say "installing nodejs and npm with apt-get, to fetch Breakpad"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q \
      --no-install-recommends nodejs npm >"$scratch/npm-install.log" 2>&1 ||
      fail "apt-get could not install nodejs and npm ($(grep -E '^E:' "$scratch/npm-install.log" |
           tail -1)): check the network and the sources in /etc/apt, then run scripts/setup.sh again"
  fi
  local registry
  registry="$(npm config get registry 2>/dev/null || echo "the npm registry")"
  say "fetching Breakpad, npm package minidump@$breakpad_version, from $registry"
  mkdir "$scratch/npm"
  # npm pack, not npm install: the package's install script needs yarn.
  if ! (cd "$scratch/npm" && npm pack "minidump@$breakpad_version" --silent \
          >/dev/null 2>"$scratch/npm.log"); then
    grep -E 'npm (ERR!|error) (code|errno|network)' "$scratch/npm.log" | head -3 >&2 || true
    fail "npm could not fetch minidump@$breakpad_version from $registry (offline, a proxy, or" \
         "the registry unreachable): check the network or npm's registry and proxy settings" \
         "(npm config get registry), then run scripts/setup.sh again"
  fi
  local tarball="$scratch/npm/minidump-$breakpad_version.tgz"
  [ -f "$tarball" ] || fail "npm pack left no minidump-$breakpad_version.tgz: run scripts/setup.sh again"
  local found
  found="$(integrity_of "$tarball")"
  if [ "$found" != "$breakpad_integrity" ]; then
    fail "minidump-$breakpad_version.tgz from $registry has integrity $found, expected" \
         "$breakpad_integrity: refused; check which registry npm uses (npm config get registry)"
  fi
  rm -rf "$breakpad_dir"
  mkdir -p "$breakpad_dir"
  tar -xzf "$tarball" -C "$breakpad_dir" ||
    fail "could not unpack minidump-$breakpad_version.tgz into $breakpad_dir: check the disk space"
  echo "$breakpad_integrity" >"$breakpad_dir/INTEGRITY"
  say "Breakpad unpacked into ${breakpad_dir#"$repo/"}"
}

if [ "$(cat "$breakpad_dir/INTEGRITY" 2>/dev/null)" != "$breakpad_integrity" ]; then
  fetch_breakpad
fi

# libhttp-parser-dev cannot be installed for amd64 and i386 at once (the two conflict), so the
# i386 build takes the static archive out of the i386 package without installing it; the header
# is the amd64 package's, which is the same file.
i386_root="$repo/third_party/i386-root"
if [ "$want_i386" = 1 ] && [ ! -f "$i386_root/usr/lib/i386-linux-gnu/libhttp_parser.a" ]; then
  say "fetching libhttp-parser-dev:i386 (its static archive only)"
  mkdir "$scratch/deb"
  [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1 && chown _apt "$scratch/deb"
  (cd "$scratch/deb" && apt-get download -q libhttp-parser-dev:i386 >"$scratch/download.log" 2>&1) ||
    fail "apt-get download libhttp-parser-dev:i386 failed ($(grep -E '^E:' "$scratch/download.log" |
         tail -1)): check the network, then run scripts/setup.sh --i386 again"
  mkdir -p "$i386_root"
  dpkg-deb -x "$scratch"/deb/libhttp-parser-dev_*_i386.deb "$i386_root"
fi
say "dependencies present"
