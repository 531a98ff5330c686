#!/usr/bin/env bash
# Sets up, builds and runs the quick smoke check of the core library.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
bash scripts/build.sh build/release
cd build/release
ctest --output-on-failure -R '^Smoke\.'
