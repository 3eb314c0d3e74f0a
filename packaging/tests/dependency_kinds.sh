#!/bin/sh
# Checks the kinds of dependency each binary package declares, whatever the
# release calls them (libqt5core5a on Debian 12, libqt5core5t64 on 13,
# libqt6core6 with Qt 6): the C library and C++ runtime where they are
# linked, Qt Core/Gui/Widgets in the console and nowhere else, libudev in
# stripectl, the driver and Python 3 in the Python binding, and no package
# pulling in the simulator.
#
#   dependency_kinds.sh PACKAGE.deb...
set -u
failed=0

# has DEPENDS PATTERN WHAT: the Depends line names a package matching PATTERN.
has() {
    printf '%s\n' "$1" | tr ',|' '\n\n' | sed 's/^ *//; s/ .*//' | grep -Eq "^($2)\$" && return 0
    echo "$package: no dependency on $3 in: $1"
    failed=1
}
lacks() {
    printf '%s\n' "$1" | tr ',|' '\n\n' | sed 's/^ *//; s/ .*//' | grep -Eq "^($2)\$" || return 0
    echo "$package: must not depend on $3: $1"
    failed=1
}

libc='libc6'
cxx='libstdc\+\+6'
qt_core='libqt5core5(a|t64)|libqt6core6(t64)?'
qt_gui='libqt5gui5(t64)?|libqt6gui6(t64)?'
qt_widgets='libqt5widgets5(t64)?|libqt6widgets6(t64)?'
qt_any='libqt[56].*'

for deb in "$@"; do
    package=$(dpkg-deb -f "$deb" Package)
    depends=$(dpkg-deb -f "$deb" Depends)
    case $package in
        *-dbgsym) continue ;;
        stripedrv0)
            has "$depends" "$libc" "the C library" ;;
        stripedrv-tools)
            has "$depends" "$libc" "the C library"
            has "$depends" "$cxx" "the C++ runtime"
            has "$depends" "libudev1" "the udev library"
            has "$depends" "stripedrv0" "the driver" ;;
        stripedrv-console)
            has "$depends" "$libc" "the C library"
            has "$depends" "$cxx" "the C++ runtime"
            has "$depends" "$qt_core" "Qt Core"
            has "$depends" "$qt_gui" "Qt Gui"
            has "$depends" "$qt_widgets" "Qt Widgets" ;;
        stripedrvd)
            has "$depends" "$libc" "the C library"
            has "$depends" "$cxx" "the C++ runtime" ;;
        stripedrv-sim)
            has "$depends" "$libc" "the C library" ;;
        python3-stripedrv)
            has "$depends" "$libc" "the C library"
            has "$depends" "$cxx" "the C++ runtime"
            has "$depends" "stripedrv0" "the driver"
            has "$depends" "python3" "Python 3" ;;
    esac
    [ "$package" = stripedrv-console ] || lacks "$depends" "$qt_any" "Qt"
    lacks "$depends" "stripedrv-sim" "the simulator"
done
[ $failed -eq 0 ] && echo "dependency_kinds.sh: every package depends on the kinds it needs"
exit $failed
