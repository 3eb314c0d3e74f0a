# scripts/test qt6: the console and its tests with Qt 6 (-DSD_QT=6), which
# are all that Qt touches; the rest does not change with Qt and runs in the
# normal stage. The console's targets are the CMake target cardtest_all.
stage_qt6() {
    need_packages "${BUILD_PACKAGES[@]}" "${QT6_PACKAGES[@]}"
    echo "=== build: qt6 ==="
    cmake -S . -B "$builds/qt6" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSD_QT=6 >/dev/null
    cmake --build "$builds/qt6" -j "$jobs" --target cardtest_all
    ctest --test-dir "$builds/qt6" --output-on-failure -j "$test_jobs" -R '^cardtest\.'
}
