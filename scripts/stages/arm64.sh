# scripts/test arm64: cross build for arm64 (Debian multiarch), every test
# under qemu-user, and the arm64 packages (dpkg-buildpackage -a arm64) in
# $builds/arm64/deb. The packages come from debian/ as any cross build of a
# Debian source package does; its tests ran just before (nocheck).
stage_arm64() {
    need_architecture arm64
    # The host's prometheus-cpp-dev gives way to the arm64 one (not
    # multi-arch): the cross build needs only the latter.
    local -a host=()
    local p
    for p in "${BUILD_PACKAGES[@]}"; do
        [ "$p" = prometheus-cpp-dev ] || host+=("$p")
    done
    need_packages "${host[@]}" "${ARM64_PACKAGES[@]}"
    run_build arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    echo "=== arm64 packages ==="
    # build-deb puts them in $builds/arm64/deb.
    DEB_BUILD_OPTIONS="nocheck parallel=$jobs" SD_BUILD_ROOT=$builds/arm64 \
        scripts/build-deb -a arm64 -Pnocheck,nopython >"$builds/arm64/deb.log" 2>&1 ||
        { tail -40 "$builds/arm64/deb.log"; echo "arm64: the package build failed"; return 1; }
    local deb failed=0
    for deb in "$builds"/arm64/deb/*.deb; do
        echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Architecture)"
        case $(dpkg-deb -f "$deb" Architecture) in arm64|all) ;; *) failed=1 ;; esac
    done
    sh packaging/tests/dependency_kinds.sh "$builds"/arm64/deb/*.deb || failed=1
    return $failed
}
