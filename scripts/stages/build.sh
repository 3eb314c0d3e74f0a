# Sourced by scripts/test: what several stages share.
#
#   builds      the folder of every stage's build ($SD_BUILD_ROOT, else build)
#   jobs        compile jobs; test_jobs: tests side by side
#   run_build NAME CMAKE-ARGS...   configures $builds/NAME, builds everything,
#                                  runs every test

builds=${SD_BUILD_ROOT:-build}
jobs=$(nproc)
# Most tests sleep on a pseudo-terminal waiting out the reader's time
# limits, so far more of them than cores can run side by side.
test_jobs=$((jobs * 6))

run_build() {
    local name=$1; shift
    echo "=== build: $name ==="
    cmake -S . -B "$builds/$name" "$@" >/dev/null
    cmake --build "$builds/$name" -j "$jobs"
    ctest --test-dir "$builds/$name" --output-on-failure -j "$test_jobs"
}
