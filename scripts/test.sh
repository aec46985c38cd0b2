#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the whole test suite.
# Usage: scripts/test.sh [default|asan]
set -euo pipefail
preset=${1:-default}
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# shellcheck source=scripts/services.sh
source scripts/services.sh
start_test_services
scripts/build.sh "$preset"
ctest --preset "$preset"
