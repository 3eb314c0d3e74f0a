#!/bin/sh
# package_test.sh BUILD_DIR: builds the Debian package from a finished build,
# checks what it holds, and that the files work where they are installed
# (unpacked into a scratch root): pkg-config, stripectl on the simulated
# reader, and the launcher starting the console offscreen.
set -u
build=$1
work=$(mktemp -d /tmp/stripedrv-package-XXXXXX)
pids=
trap 'kill $pids 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failures=0
check() { # check WHAT COMMAND...: runs the command, counts a failure
    what=$1; shift
    if "$@"; then echo "ok:   $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
die() { cat "$work/log"; echo "FAIL: $*"; exit 1; }
not() { ! "$@"; }
has() { case $1 in *"$2"*) ;; *) return 1 ;; esac; }

# cpack on the build tree would first run the "preinstall" target, that is,
# rebuild whatever changed, under the feet of the other tests running from
# the same tree. So: the project's install rules into a scratch tree, and
# cpack with the project's package settings on that tree.
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >"$work/log" 2>&1 ||
    die "cmake --install"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_INSTALL_CMAKE_PROJECTS= \
    -D "CPACK_INSTALLED_DIRECTORIES=$work/stage;." >"$work/log" 2>&1 || die cpack
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || die "no .deb made"

# ---------------------------------------------------------------- contents
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/contents"
L='/usr/lib/([^/]+/)?' # with or without the multiarch directory
for file in /usr/include/stripedrv.h "${L}stripedrv.so" "${L}pkgconfig/stripedrv.pc" \
    /usr/bin/stripectl /usr/bin/readersim /usr/bin/cardtest-launch "${L}stripedrv/cardtest" \
    "${L}stripedrv/chipdrv.so" "${L}stripedrv/idcarddrv.so" \
    "${L}stripedrv/QOVA/libreqjson.so" /usr/lib/udev/rules.d/60-stripe-reader.rules \
    /usr/share/stripedrv/CONFIG.ini /usr/share/applications/cardtest.desktop \
    /usr/share/doc/stripedrv/README.md /usr/share/doc/stripedrv/hardware.md \
    /usr/share/doc/stripedrv/tools.md /usr/share/man/man1/stripectl.1 \
    /usr/share/man/man1/cardtest-launch.1; do
    check "holds $file" grep -Eq "^$(echo "$file" | sed 's/\./\\./g')\$" "$work/contents"
done
check "no test or build files" not grep -E '_test$|/tests?/|CMakeFiles' "$work/contents"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for need in libc6 libstdc++6 libqt5widgets5 libqt5core5a libudev1; do
    check "depends on $need" has "$depends" "$need"
done
arch=$(dpkg-deb -f "$deb" Architecture)
check "package stripedrv for $arch" [ "$(dpkg-deb -f "$deb" Package)" = stripedrv -a -n "$arch" ]

# ---------------------------------------------------------------- unpacked
root=$work/root
dpkg-deb -x "$deb" "$root"
lib=$(dirname "$(find "$root/usr/lib" -name stripedrv.so | head -n 1)")

# A client program built with pkg-config against the unpacked header and driver.
printf '#include <stripedrv.h>\nint main(void) { char t2[256], t3[256]; return %s != SD_ERR_PORT; }\n' \
    'MS_ReadCard("ttyNoSuchReader9", "", 9600, 1, SD_TRACKS_2_3, 0, t2, t3)' >"$work/client.c"
flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs stripedrv 2>&1)
check "pkg-config client builds and runs ($flags)" sh -c \
    "cc '$work/client.c' -o '$work/client' $flags && cd '$work' && LD_LIBRARY_PATH='$lib' ./client"

# The installed tool finds the installed driver, and reads from the
# installed simulated reader.
check "stripectl loads the unpacked stripedrv.so" \
    has "$(ldd "$root/usr/bin/stripectl" | grep stripedrv)" "=> $root/"
"$root/usr/bin/readersim" --no-pacing >"$work/sim.out" 2>/dev/null &
pids="$pids $!"
for _ in $(seq 20); do [ -s "$work/sim.out" ] && break; sleep 0.25; done
port=$(head -n 1 "$work/sim.out")
read_out=$(cd "$work" && timeout 30 "$root/usr/bin/stripectl" read --port "$port" --tracks 2 --quiet 2>&1)
check "installed stripectl reads the installed readersim: $read_out" \
    [ "$read_out" = "track2: 222233021234567654321=44212038899913311" ]

# The launcher lays out the user's working directory ...
home=$work/home
wd=$(HOME=$home "$root/usr/bin/cardtest-launch" --prepare-only --trace on 2>"$work/log")
check "cardtest-launch --prepare-only: $wd" [ -d "$wd" ]
for name in stripedrv.so stripedrv/chipdrv.so stripedrv/idcarddrv.so stripedrv/QOVA/libreqjson.so; do
    link=$wd/${name#stripedrv/}
    check "working directory links $name" [ "$(readlink -f "$link")" = "$(readlink -f "$lib/$name")" ]
done
check "--trace on sets Switch=1" grep -q '^Switch=1$' "$wd/CONFIG.ini"

# ... and starts the console there, which loads the three libraries and
# stays up.
HOME=$home QT_QPA_PLATFORM=offscreen "$root/usr/bin/cardtest-launch" >"$work/log" 2>&1 &
console=$!
pids="$pids $console"
loaded() {
    for so in stripedrv chipdrv idcarddrv; do grep -q "$root.*/$so\.so" "/proc/$console/maps" || return 1; done
}
for _ in $(seq 20); do sleep 0.25; loaded && break; done
check "console loads the installed libraries" loaded
sleep 1
check "console stays up (offscreen)" kill -0 "$console"
check "console runs in ~/.local/share/cardtest" \
    [ "$(readlink "/proc/$console/cwd")" = "$home/.local/share/cardtest" ]

[ "$failures" -eq 0 ] || { cat "$work/log"; echo "$failures check(s) failed"; exit 1; }
echo "all package checks passed"
