#!/usr/bin/env bash
# Installs, with apt-get and only when missing, the Debian packages that the
# given build kinds need. Usage: scripts/ensure-packages.sh KIND...
# KIND is a kind of scripts/test.sh (native, sanitize, m32, tsan, fuzz), or
# demo: what scripts/demo.sh needs.
set -euo pipefail

# Building the library, CamStoreConfig and the examples; python3 also picks
# the demo's free ports.
packages=(cmake g++ make python3)
# The tests: GoogleTest's sources and the outside programs they use as
# peers and oracles.
test_packages=(googletest openssl gnutls-bin curl iproute2 tshark libxml2-utils ffmpeg)
for kind in "$@"; do
  [ "$kind" = demo ] || packages+=("${test_packages[@]}")
  case "$kind" in
    native) packages+=(doxygen pkgconf) ;;
    m32) packages+=(g++-multilib qemu-user pkgconf) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# python3 may come from elsewhere than Debian (pyenv and the like).
if command -v python3 >/dev/null 2>&1; then
  missing=("${missing[@]/python3}")
fi
missing=($(printf '%s\n' "${missing[@]}" | sed '/^$/d'))

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "Missing Debian packages: ${missing[*]}" >&2
      echo "Install them as root: apt-get install ${missing[*]}" >&2
      exit 1
    fi
    sudo_cmd="sudo"
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
