# Sourced by the tests: a scratch directory, a simulated reader, checks.
set -u
work=$(mktemp -d)
pids=
trap 'kill $pids 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0

# check WHAT COMMAND...: runs the command, counts a failure.
check() {
    what=$1; shift
    if "$@"; then echo "ok:   $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

not() { ! "$@"; }
has() { case $1 in *"$2"*) ;; *) return 1 ;; esac; }

finish() {
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "all checks passed"
}

# The installed file of a package that ends in NAME, e.g. /stripedrv.so.
installed() {
    dpkg -L "$1" | grep -E "$2\$" | head -n 1
}

# start_readersim: starts the installed simulated reader, sets $port.
start_readersim() {
    readersim --no-pacing "$@" >"$work/sim.out" 2>"$work/sim.log" &
    pids="$pids $!"
    for _ in $(seq 120); do [ -s "$work/sim.out" ] && break; sleep 0.25; done
    port=$(head -n 1 "$work/sim.out")
    [ -n "$port" ] || { cat "$work/sim.log"; echo "FAIL: readersim gave no port"; exit 1; }
}
