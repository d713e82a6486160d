# Package helpers shared by the install scripts (sourced, not run).
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"; }

# Names of the packages (pkg or pkg:arch) that the loaded indexes offer no version of.
apt_unavailable() {
  local p
  for p in "$@"; do
    [[ "$(apt-cache policy "$p" 2>/dev/null)" =~ Candidate:\ [^\(] ]] || echo "$p"
  done
}

# apt_update PKG...: reads the package indexes again. A mirror in the middle of
# a sync fails an index now and then: tried a few times with a pause, then
# going on when the indexes that did load still offer every PKG.
apt_update() {
  local try
  for try in 1 2 3; do
    apt_get update -qq && return 0
    [ $try = 3 ] || { echo "apt-get update failed (try $try of 3); trying again in $((5 * try)) s" >&2; sleep $((5 * try)); }
  done
  local missing
  missing=$(apt_unavailable "$@")
  if [ -n "$missing" ]; then
    echo "apt-get update failed and these packages are not in the indexes that loaded:" $missing >&2
    return 1
  fi
  echo "apt-get update failed for some indexes; the packages needed are in those that loaded: going on" >&2
}
