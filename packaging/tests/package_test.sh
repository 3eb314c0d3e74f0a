#!/bin/sh
# Builds the Debian package from a finished build, checks what it holds and
# that the installed files work from where they are installed: unpacked into
# a scratch root, the driver is found through pkg-config, the command-line
# tool reads a card from the installed simulated reader, and the launcher
# starts the console (offscreen) with the installed libraries loaded.
#
#   package_test.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d /tmp/stripedrv-package-XXXXXX)
sim_pid=
console_pid=
cleanup() {
    [ -n "$console_pid" ] && kill "$console_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

# ---------------------------------------------------------------- build it
# cpack on the build tree would first run the "preinstall" target, that is,
# rebuild whatever changed, under the feet of the other tests running from
# the same tree. So: the project's install rules into a scratch tree, and
# cpack with the project's package settings on that tree.
if ! DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" \
        -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$work/stage;." \
        >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no .deb made"; exit 1; }
pass "built $(basename "$deb")"

# ---------------------------------------------------------------- contents
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/contents"
for pattern in \
    '^/usr/include/stripedrv\.h$' \
    '^/usr/lib/([^/]+/)?stripedrv\.so$' \
    '^/usr/lib/([^/]+/)?pkgconfig/stripedrv\.pc$' \
    '^/usr/bin/stripectl$' \
    '^/usr/bin/readersim$' \
    '^/usr/bin/cardtest-launch$' \
    '^/usr/lib/([^/]+/)?stripedrv/cardtest$' \
    '^/usr/lib/([^/]+/)?stripedrv/chipdrv\.so$' \
    '^/usr/lib/([^/]+/)?stripedrv/idcarddrv\.so$' \
    '^/usr/lib/([^/]+/)?stripedrv/QOVA/libreqjson\.so$' \
    '^/usr/lib/udev/rules\.d/60-stripe-reader\.rules$' \
    '^/usr/share/stripedrv/CONFIG\.ini$' \
    '^/usr/share/applications/cardtest\.desktop$' \
    '^/usr/share/doc/stripedrv/README\.md$' \
    '^/usr/share/doc/stripedrv/hardware\.md$' \
    '^/usr/share/doc/stripedrv/tools\.md$' \
    '^/usr/share/man/man1/stripectl\.1$' \
    '^/usr/share/man/man1/cardtest-launch\.1$'; do
    if grep -Eq "$pattern" "$work/contents"; then pass "holds $pattern"; else fail "missing $pattern"; fi
done
# Nothing from the build tree or the tests.
if grep -Eq '_test$|/tests?/|CMakeFiles' "$work/contents"; then
    fail "test or build files in the package: $(grep -E '_test$|/tests?/|CMakeFiles' "$work/contents" | head -3)"
fi

depends=$(dpkg-deb -f "$deb" Depends)
for need in libc6 libstdc++6 libqt5widgets5 libqt5core5a; do
    case $depends in
        *"$need"*) pass "depends on $need" ;;
        *) fail "Depends lacks $need: $depends" ;;
    esac
done
case $(dpkg-deb -f "$deb" Package):$(dpkg-deb -f "$deb" Architecture) in
    stripedrv:*?) pass "package stripedrv, $(dpkg-deb -f "$deb" Architecture)" ;;
    *) fail "package name or architecture" ;;
esac

# ---------------------------------------------------------------- unpacked
root=$work/root
dpkg-deb -x "$deb" "$root"
lib=$(dirname "$(find "$root/usr/lib" -name stripedrv.so | head -n 1)")

# A client program built with pkg-config against the unpacked header and driver.
cat >"$work/client.c" <<'EOF'
#include <stripedrv.h>
#include <stdio.h>
int main(void)
{
    char t2[256] = "", t3[256] = "";
    int rc = MS_ReadCard("ttyNoSuchReader9", "", 9600, 1, SD_TRACKS_2_3, 0, t2, t3);
    printf("%d\n", rc);
    return rc == SD_ERR_PORT ? 0 : 1;
}
EOF
flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs stripedrv 2>&1)
if cc "$work/client.c" -o "$work/client" $flags 2>"$work/cc.log" &&
    (cd "$work" && LD_LIBRARY_PATH="$lib" ./client >/dev/null); then
    pass "pkg-config client builds and runs ($flags)"
else
    cat "$work/cc.log"; fail "pkg-config client ($flags)"
fi

# The installed tool finds the installed driver, and reads from the
# installed simulated reader.
if ldd "$root/usr/bin/stripectl" | grep 'stripedrv\.so' | grep -q "$root"; then
    pass "stripectl loads the unpacked stripedrv.so"
else
    fail "stripectl resolves stripedrv.so elsewhere: $(ldd "$root/usr/bin/stripectl" | grep stripedrv)"
fi
"$root/usr/bin/readersim" --no-pacing >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=
for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    port=$(head -n 1 "$work/sim.out")
    [ -n "$port" ] && break
    sleep 0.25
done
read_out=$(cd "$work" && timeout 30 "$root/usr/bin/stripectl" read --port "$port" --tracks 2 --quiet 2>&1)
case $read_out in
    "track2: 222233021234567654321=44212038899913311") pass "installed stripectl reads the installed readersim" ;;
    *) fail "stripectl read on '$port': $read_out" ;;
esac

# The launcher lays out the user's working directory ...
home=$work/home
if HOME=$home "$root/usr/bin/cardtest-launch" --prepare-only --trace on >"$work/launch.out" 2>&1; then
    wd=$(cat "$work/launch.out")
    for name in stripedrv.so chipdrv.so idcarddrv.so QOVA/libreqjson.so; do
        want=$lib/stripedrv/$name
        [ "$name" = stripedrv.so ] && want=$lib/stripedrv.so
        if [ -e "$wd/$name" ] && [ "$(readlink -f "$wd/$name")" = "$(readlink -f "$want")" ]; then
            pass "working directory links $name"
        else
            fail "working directory link $name -> $(readlink -f "$wd/$name"), not $want"
        fi
    done
    if grep -q '^Switch=1$' "$wd/CONFIG.ini"; then pass "--trace on sets Switch=1"; else fail "CONFIG.ini: $(cat "$wd/CONFIG.ini")"; fi
else
    cat "$work/launch.out"; fail "cardtest-launch --prepare-only"
fi

# ... and starts the console there, which loads the three libraries and
# stays up.
HOME=$home QT_QPA_PLATFORM=offscreen "$root/usr/bin/cardtest-launch" >"$work/console.log" 2>&1 &
console_pid=$!
loaded=no
for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    sleep 0.25
    maps=$(cat "/proc/$console_pid/maps" 2>/dev/null) || break
    case $maps in
        *"$root"*stripedrv.so*) ;;
        *) continue ;;
    esac
    if echo "$maps" | grep -q "$root.*chipdrv\.so" && echo "$maps" | grep -q "$root.*idcarddrv\.so"; then
        loaded=yes
        break
    fi
done
sleep 1
if [ "$loaded" = yes ] && kill -0 "$console_pid" 2>/dev/null; then
    pass "console started offscreen with the installed libraries"
else
    cat "$work/console.log"; fail "console did not start with the installed libraries loaded"
fi
case $(readlink "/proc/$console_pid/cwd" 2>/dev/null) in
    "$home/.local/share/cardtest") pass "console runs in ~/.local/share/cardtest" ;;
    *) fail "console's working directory: $(readlink "/proc/$console_pid/cwd" 2>/dev/null)" ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all package checks passed"
