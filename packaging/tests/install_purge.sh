#!/bin/sh
# install_purge.sh DEB...: installs the packages on this machine (as root),
# checks that they are installed and configured, purges them again and
# compares the machine's file list with the one from before: nothing may be
# left behind, and nothing of the machine's may be gone. Their dependencies
# must be installed beforehand, so that only these packages come and go.
set -eu
[ "$(id -u)" -eq 0 ] || { echo "install_purge.sh: needs root" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=
for deb in "$@"; do packages="$packages $(dpkg-deb -f "$deb" Package)"; done

# Everything dpkg's maintainer scripts or triggers may touch, without the
# places that change on their own (dpkg's and apt's records, caches, logs).
snapshot() {
    find /etc /usr /var /opt -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
           -o -path /var/log -o -path /var/tmp -o -path /var/lib/systemd \) -prune \
        -o -print | sort >"$1"
}

for p in $packages; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$'; then
        echo "install_purge.sh: $p is installed already; purge it first" >&2
        exit 1
    fi
done
snapshot "$work/before"
dpkg -i "$@"
status=0
for p in $packages; do
    state=$(dpkg-query -W -f='${Status}' "$p")
    echo "$p: $state"
    [ "$state" = "install ok installed" ] || status=1
done
[ -e /usr/lib/udev/rules.d/60-stripe-reader.rules ] || { echo "no udev rule installed"; status=1; }
# shellcheck disable=SC2086
dpkg --purge $packages
snapshot "$work/after"
if ! diff -u "$work/before" "$work/after" >"$work/diff"; then
    echo "install_purge.sh: the file list changed (- gone, + left behind):"
    grep '^[-+]/' "$work/diff"
    status=1
fi
[ "$status" -eq 0 ] && echo "install_purge.sh: installed, configured and purged without a trace"
exit "$status"
