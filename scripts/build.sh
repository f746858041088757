#!/usr/bin/env bash
# Configures (once) and builds one build folder of halverd:
#   scripts/build.sh DIR [CMAKE_OPTIONS...]
# Options are applied when the folder is configured; later runs only build.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$1; shift
jobs=${HALVERD_JOBS:-2}

case "$dir" in /*) ;; *) dir=$repo/$dir ;; esac
if [ ! -f "$dir/CMakeCache.txt" ]; then
    gen=()
    command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
    cmake -S "$repo" -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
elif [ "$#" -gt 0 ]; then
    cmake "$dir" "$@"
fi
cmake --build "$dir" --parallel "$jobs"
