#!/bin/sh
# unit_security.sh SYSTEM-UNIT USER-UNIT [PROGRAM]: the reader service's two
# systemd units as systemd itself judges them, without a running systemd:
#  - systemd-analyze security --offline: the system unit's exposure at most
#    1.5, the user unit's (as a user manager applies it) at most 2.0;
#  - systemd-analyze verify: both parse without a complaint (a warning
#    fails too), and what they name exists (the program; PROGRAM in its place, when given, for units
#    not installed yet).
# Any line that starts with "ok:" passed, "FAIL:" failed.
set -u
system_unit=$1 user_unit=$2 program=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {
    what=$1; shift
    if "$@" >"$work/out" 2>&1; then echo "ok:   $what"
    else echo "FAIL: $what"; cat "$work/out"; failures=$((failures + 1)); fi
}
# A user manager's view needs a runtime directory, which a build machine or
# a test bed has not.
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"

# Both are called stripedrvd.service, as installed: the name decides which
# unit verify reads, and the exposure is reported under it.
mkdir "$work/system" "$work/user"
for kind in system user; do
    eval "unit=\$${kind}_unit"
    if [ -n "$program" ]; then
        sed "s|^ExecStart=[^ ]*|ExecStart=$program|" "$unit" >"$work/$kind/stripedrvd.service"
    else
        cp "$unit" "$work/$kind/stripedrvd.service"
    fi
done

# verify [--user] UNIT: systemd-analyze verify, which also warns (an unknown
# or misspelt setting, one that does not apply) with a success status.
verify() {
    systemd-analyze verify --man=no "$@" 2>&1 | tee "$work/verify" >&2
    [ ! -s "$work/verify" ]
}

score() { # score [--user]: the exposure line of the unit in the current folder
    systemd-analyze security --offline=true "$@" stripedrvd.service 2>&1 | grep 'Overall exposure'
}
cd "$work/system"
echo "system unit: $(score)"
check "the system unit's exposure is 1.5 or lower" \
    systemd-analyze security --offline=true --threshold=15 stripedrvd.service
check "the system unit verifies" verify ./stripedrvd.service
cd "$work/user"
echo "user unit: $(score --user)"
check "the user unit's exposure (as a user manager applies it) is 2.0 or lower" \
    systemd-analyze security --offline=true --user --threshold=20 stripedrvd.service
check "the user unit verifies" verify --user ./stripedrvd.service

# What the scores take on trust: the settings that keep the reader usable
# are there (a sandbox that scores well by hiding the tty is no use).
for want in '^DynamicUser=yes' '^SupplementaryGroups=dialout' '^DevicePolicy=closed' \
    '^DeviceAllow=char-ttyUSB rw' '^DeviceAllow=char-ttyACM rw' \
    '^RestrictAddressFamilies=.*AF_NETLINK' '^LimitCORE=0' '^StateDirectory=stripedrvd'; do
    check "system unit: $want" grep -q "$want" "$work/system/stripedrvd.service"
done
check "system unit: no PrivateDevices=, PrivateNetwork= or PrivateUsers=" \
    sh -c "! grep -q '^Private\(Devices\|Network\|Users\)=yes' $work/system/stripedrvd.service"
check "user unit: LimitCORE=0" grep -q '^LimitCORE=0' "$work/user/stripedrvd.service"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
