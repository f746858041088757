#!/usr/bin/env bash
# Sets up, builds build/ and starts the player on the demo:
#   scripts/run.sh              the demo
#   scripts/run.sh ARGS...      the player with ARGS instead
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What the demo starts the player with.
demo_args=(--headless --root "$repo/build/dos" DEMO.COM)

"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" build
if [ "$#" -gt 0 ]; then
    exec "$repo/build/halverd" "$@"
fi
exec "$repo/build/halverd" "${demo_args[@]}"
