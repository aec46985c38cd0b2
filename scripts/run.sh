#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and opens the utility.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default
echo "Built the libraries in build/. The window (build/bin/mitu) is not part of this build yet;"
echo "this command will open it against a local demo service once it is."
