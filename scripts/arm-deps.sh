#!/usr/bin/env bash
# Installs what the card build (32-bit ARM, hard float) needs: the cross
# compiler and qemu-user on the host, and the armhf libraries unpacked into a
# sysroot folder (never installed, so the host's own -dev packages stay).
#   scripts/arm-deps.sh DEPS_DIR      (sysroot in DEPS_DIR/sysroot, .debs cached in DEPS_DIR/debs)
# Does nothing when everything is there already.
set -euo pipefail
deps=${1:?usage: arm-deps.sh DEPS_DIR}
mkdir -p "$deps"
deps=$(cd "$deps" && pwd)
sysroot=$deps/sysroot
debs=$deps/debs
# -dev packages whose headers, static libraries and pkg-config files the
# build uses (net-snmp's headers include OpenSSL's); their runtime libraries
# follow from the package dependencies.
dev=(libcjson-dev libgtest-dev libgmock-dev libdvbpsi-dev libsnmp-dev libssl-dev libcrypt-dev)
runtime_roots=(libcjson1 libdvbpsi10 libsnmp40 libcrypt1)
# The cross toolchain brings its own C and C++ runtime: the loader and libc
# must come from one package, so these never enter the sysroot.
skip_re='^(libc6|libgcc-s1|libstdc\+\+6|libc6-dev)$'

. "$(dirname "${BASH_SOURCE[0]}")/apt.sh"

# The sysroot is made again whenever this script changes.
want_stamp=$(sha1sum < "${BASH_SOURCE[0]}")
if [ -f "$sysroot/.complete" ] && [ "$(cat "$sysroot/.complete")" = "$want_stamp" ] &&
   command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null; then
  exit 0
fi

host=(g++-arm-linux-gnueabihf qemu-user)
host_missing=()
for p in "${host[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || host_missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx armhf || [ ${#host_missing[@]} -gt 0 ] ||
   [ -n "$(apt_unavailable libcjson1:armhf)" ]; then
  dpkg --print-foreign-architectures | grep -qx armhf || $SUDO dpkg --add-architecture armhf
  apt_update "${host_missing[@]}" "${dev[@]/%/:armhf}" "${runtime_roots[@]/%/:armhf}"
fi
[ ${#host_missing[@]} = 0 ] || apt_get install -y -qq "${host_missing[@]}"

# Runtime library closure of the roots (lib* packages and zlib built for armhf).
mapfile -t libs < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "${runtime_roots[@]/%/:armhf}" 2>/dev/null |
  sed -n 's/^\(lib[^ <>]*\|zlib1g\):armhf$/\1/p' | sort -u | grep -Ev "$skip_re")
pkgs=("${dev[@]}" "${libs[@]}")

# One query for every candidate version ("pkg version" lines).
mapfile -t versions < <(apt-cache policy "${pkgs[@]/%/:armhf}" |
  awk '/^[^ ].*:armhf:$/ { sub(/:armhf:$/, ""); p = $0 } /^ *Candidate:/ { print p, $2 }')
mkdir -p "$debs"
need=()
for pv in "${versions[@]}"; do
  read -r p ver <<< "$pv"
  [ "$ver" != "(none)" ] || { echo "no armhf candidate for $p" >&2; exit 1; }
  ls "$debs/${p}_${ver//:/%3a}_armhf.deb" >/dev/null 2>&1 || need+=("$p:armhf=$ver")
done
[ ${#versions[@]} = ${#pkgs[@]} ] || { echo "armhf package lists incomplete" >&2; exit 1; }
if [ ${#need[@]} -gt 0 ]; then
  (cd "$debs" && apt-get -o Acquire::Retries=3 -o APT::Sandbox::User=root download -qq "${need[@]}")
fi

rm -rf "$sysroot"
mkdir -p "$sysroot"
for pv in "${versions[@]}"; do
  read -r p ver <<< "$pv"
  dpkg -x "$debs/${p}_${ver//:/%3a}_armhf.deb" "$sysroot"
done
# Links that name an absolute path (libcrypt.so -> /lib/...) point into the sysroot.
while IFS= read -r link; do
  ln -sfn "$sysroot$(readlink "$link")" "$link"
done < <(find "$sysroot" -type l -lname '/*')
echo "$want_stamp" > "$sysroot/.complete"
echo "armhf sysroot ready: ${#pkgs[@]} packages in $sysroot"
