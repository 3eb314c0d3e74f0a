# scripts/test asan: every test again with AddressSanitizer and
# UndefinedBehaviorSanitizer.
stage_asan() {
    need_packages "${BUILD_PACKAGES[@]}"
    run_build asan -DCMAKE_BUILD_TYPE=Debug -DSD_SANITIZE=ON
}
