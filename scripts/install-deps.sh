#!/usr/bin/env bash
# Installs the Debian packages Quirel needs to build, test and benchmark.
# Idempotent: packages already present are not touched, apt is only called
# when something is missing. Uses sudo when not run as root.
set -euo pipefail

# locales: the tests compile en_US (inches) and de_DE (decimal comma) with
# localedef into private folders, so they need no locale generated here.
packages=(
  build-essential cmake ninja-build pkg-config
  libusb-1.0-0-dev libtiff-dev libjpeg-dev zlib1g-dev libplist-dev libstb-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qpdf poppler-utils libtiff-tools umockdev libumockdev-dev fonts-dejavu-core python3
  clang libclang-rt-14-dev
  qt6-base-dev qt6-svg-dev libglib2.0-dev pkexec xvfb xauth xdotool locales
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
