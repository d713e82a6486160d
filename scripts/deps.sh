#!/usr/bin/env bash
# Installs what building, running and testing the simulated card needs
# (Debian 12). Does nothing when everything is there already.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libcjson-dev libsnmp-dev
      python3 python3-crcmod libdvbpsi-dev dvbpsi-utils curl snmp
      python3-pysnmp4 python3-h11 slowhttptest clang-14 libfuzzer-14-dev libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
