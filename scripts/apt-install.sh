#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (run as root or via sudo).
# A name ending in :i386 adds that architecture first. The package lists are fetched only when
# there are none, when an architecture was just added, or when installing from the lists at hand
# failed. A fetch that fails, as it does while a mirror is syncing, is retried with growing pauses;
# if it still fails, the install is tried with the lists that did arrive, and only a failed install
# fails this script.
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
fresh_lists=0
compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || fresh_lists=1
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  fresh_lists=1
fi
fetch_lists() {
  local pause
  # APT_INSTALL_PAUSES: the pauses between attempts; empty for a caller with a way around failure.
  # Each attempt is bounded: a mirror that stops answering must not hold the run.
  for pause in ${APT_INSTALL_PAUSES-10 30 60 120} 0; do
    $SUDO timeout 600 apt-get -o Acquire::Retries=3 -o Acquire::http::Timeout=30 \
      -o Acquire::https::Timeout=30 update && return
    ((pause)) || break
    echo "apt-install: fetching the package lists failed; trying again in ${pause} s" >&2
    sleep "$pause"  # a mirror mid-sync gives no signal to wait on
  done
  echo "apt-install: some package lists did not arrive; installing with those that did" >&2
}
install_missing() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; }
echo "apt-install: ${missing[*]}"
if ((fresh_lists)); then
  fetch_lists
  install_missing
else
  # Lists fetched on an earlier day may name files the mirror no longer has.
  install_missing || { fetch_lists; install_missing; }
fi
