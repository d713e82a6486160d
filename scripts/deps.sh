#!/usr/bin/env bash
# Installs what building, running and testing the simulated card needs
# (Debian 12), the test command's tools with it: ccache for builds, wrk for
# the HTTP benchmark, slowhttptest for the hostile-client test, ip and unshare
# for the tests' network namespaces. Does nothing when everything is there.
set -euo pipefail
pkgs=(cmake g++ make pkg-config ccache libgtest-dev libgmock-dev libcjson-dev libsnmp-dev
      python3 python3-crcmod python3-h11 libdvbpsi-dev dvbpsi-utils curl snmp
      python3-pysnmp4 clang-14 libfuzzer-14-dev libclang-rt-14-dev
      iproute2 util-linux procps wrk slowhttptest)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  . "$(dirname "${BASH_SOURCE[0]}")/apt.sh"
  apt_update "${missing[@]}"
  apt_get install -y -qq "${missing[@]}"
fi
