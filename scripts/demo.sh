#!/usr/bin/env bash
# Builds the toviipc tool (installing what is missing with apt: Debian 12, as root) and runs its
# demo: a server, clients and a shared-memory reader in separate processes, with a transcript,
# a summary of checks, and the demo's exit status (0 when every check passed).
#
#   ./scripts/demo.sh
#   TOVI_DEMO_BUILD_DIR=/tmp/demo ./scripts/demo.sh     build somewhere else than build/demo
set -eu
cd "$(dirname "$0")/.."
build=${TOVI_DEMO_BUILD_DIR:-build/demo}

./scripts/install-deps.sh native
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVI_BUILD_TESTS=OFF \
    --log-level=WARNING
cmake --build "$build" --target toviipc
echo
exec "$build/tools/toviipc" demo
