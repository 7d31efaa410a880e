#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Sourced by the other scripts, which then call zelkord_install_packages
# with any extra package names. Sourcing takes no arguments: a script's own
# arguments must never be read as package names.
set -euo pipefail

zelkord_packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libssl-dev libsystemd-dev liburing-dev libsqlite3-dev qt6-base-dev fonts-ipafont-gothic)

zelkord_install_packages() {
  local missing=()
  for package in "${zelkord_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -eq 0 ]; then return 0; fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q "${missing[@]}"
}
