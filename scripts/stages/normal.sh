# scripts/test normal: the normal build and every test.
stage_normal() {
    need_packages "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"
    # The Debian 13 chroot repeats this stage without the browser.
    [ -n "${SD_NO_BROWSER:-}" ] || need_packages "${BROWSER_PACKAGES[@]}"
    run_build normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
}
