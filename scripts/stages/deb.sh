# scripts/test deb: the Debian packages, built and tested as installed (as
# root): builds them (scripts/build-deb), runs lintian on all of them,
# installs and purges them leaving no file behind, and runs debian/tests
# (autopkgtest) on this machine against the installed packages. The other
# stages ran the test suite, so the package build skips it (nocheck), unless
# SD_DEB_CHECK=1 asks for it (the Debian 13 chroot, which runs no normal
# stage of its own).
stage_deb() {
    need_packages "${BUILD_PACKAGES[@]}" "${DEB_PACKAGES[@]}"
    echo "=== deb ==="
    if [ "$(id -u)" -ne 0 ]; then
        echo "deb: installs the packages to test them, so it runs as root only" >&2
        return 1
    fi
    mkdir -p "$builds"
    local options="nocheck parallel=$jobs"
    [ "${SD_DEB_CHECK:-0}" != 1 ] || options="parallel=$jobs"
    DEB_BUILD_OPTIONS=$options SD_BUILD_ROOT=$builds scripts/build-deb \
        >"$builds/deb.log" 2>&1 ||
        { tail -40 "$builds/deb.log"; echo "deb: the package build failed ($builds/deb.log)"; return 1; }
    local -a debs=()
    mapfile -t debs < <(ls "$builds"/deb/*.deb | grep -v -- -dbgsym_)
    local packages failed=0
    packages=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done)
    echo "--- lintian"
    lintian --fail-on error,warning \
        "$builds"/deb/*.changes 2>&1 || { echo "deb: lintian found errors or warnings"; failed=1; }
    echo "--- dependency kinds"
    sh packaging/tests/dependency_kinds.sh "${debs[@]}" || failed=1
    echo "--- no path of the build machine"
    sh packaging/tests/no_build_paths.sh "$(pwd)" "$(cd "$builds" && pwd)" -- "${debs[@]}" || failed=1
    echo "--- install and purge"
    # shellcheck disable=SC2086
    dpkg --purge $packages >/dev/null 2>&1 || true
    sh packaging/tests/install_purge.sh "${debs[@]}" >"$builds/deb-install.log" 2>&1 ||
        { cat "$builds/deb-install.log"; failed=1; }
    tail -1 "$builds/deb-install.log"
    echo "--- autopkgtest"
    # apt waits for a dpkg lock that another apt run holds, instead of failing.
    local apt_conf
    apt_conf=$(cd "$builds" && pwd)/deb-apt.conf
    printf 'DPkg::Lock::Timeout "300";\n' >"$apt_conf"
    APT_CONFIG=$apt_conf autopkgtest --summary-file="$builds/deb-autopkgtest.summary" \
        "${debs[@]}" "$builds/deb/src/stripedrv/" \
        -- null >"$builds/deb-autopkgtest.log" 2>&1 || { tail -60 "$builds/deb-autopkgtest.log"; failed=1; }
    cat "$builds/deb-autopkgtest.summary"
    # shellcheck disable=SC2086
    dpkg --purge $packages >/dev/null 2>&1 || true
    return $failed
}
