# scripts/test fuzz: the clang build of fuzz/, each libFuzzer target 30 s
# on a scratch copy of its corpus (the repository is not touched), two at a
# time. The targets are whatever fuzz_all builds (fuzz/CMakeLists.txt holds
# the list). Any finding (a crash, a sanitizer report, a broken promise)
# fails the stage.
stage_fuzz() {
    need_packages "${BUILD_PACKAGES[@]}" clang
    need_packages "$(clang_runtime_package)"
    echo "=== fuzz ==="
    CC=clang CXX=clang++ cmake -S . -B "$builds/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$builds/fuzz" -j "$jobs" --target fuzz_all
    local work failed=0 t bin
    bin=$(cd "$builds/fuzz/fuzz" && pwd)
    work=$(mktemp -d)
    local -a targets=()
    for t in "$bin"/fuzz_*; do
        [ -x "$t" ] && targets+=("${t##*/fuzz_}")
    done
    run_target() {
        cp -r "fuzz/corpus/$1" "$work/$1"
        (cd "$work" && "$bin/fuzz_$1" -max_total_time=30 -timeout=10 \
            -print_final_stats=1 -artifact_prefix="$work/$1-" "$work/$1" >"$work/$1.log" 2>&1)
    }
    # Two side by side: start one, and once two run, wait for the older.
    local -a pids=() names=()
    wait_oldest() {
        wait "${pids[0]}" || { echo "fuzz_${names[0]}: FINDING"; tail -40 "$work/${names[0]}.log"; failed=1; }
        pids=("${pids[@]:1}") names=("${names[@]:1}")
    }
    for t in "${targets[@]}"; do
        run_target "$t" & pids+=($!) names+=("$t")
        (( ${#pids[@]} < 2 )) || wait_oldest
    done
    while (( ${#pids[@]} > 0 )); do wait_oldest; done
    for t in "${targets[@]}"; do
        echo "fuzz_$t: $(grep -h 'stat::number_of_executed_units' "$work/$t.log" | awk '{print $2}') runs"
    done
    (( failed == 0 )) && rm -rf "$work"
    return $failed
}
