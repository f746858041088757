#!/usr/bin/env bash
# Sets up, builds build/ (optimised) and build-asan/ (AddressSanitizer and
# UBSan) and runs every test in both. Exits non-zero if anything failed.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${HALVERD_JOBS:-2}

"$repo/scripts/setup.sh" || exit 1

failed=()
run_suite() {
    local dir=$1; shift
    echo "== $dir: build"
    if ! "$repo/scripts/build.sh" "$dir" "$@"; then
        failed+=("$dir (build)"); return
    fi
    echo "== $dir: tests"
    ctest --test-dir "$repo/$dir" --output-on-failure -j "$jobs" || failed+=("$dir (tests)")
}

run_suite build
run_suite build-asan -DHALVERD_SANITIZE=ON

if [ "${#failed[@]}" -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all tests passed in build and build-asan"
