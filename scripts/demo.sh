#!/usr/bin/env bash
# Sets up, builds and runs the smoke checks, then starts the sender program
# castdeck with a bundled sample file open in a document, ready to transmit.
# Without a display it says how to run castdeck on a virtual one and ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
bash scripts/build.sh build/release
(cd build/release && ctest --output-on-failure -R '^(Smoke|CastdeckSmoke)\.')

sample="$top/samples/m1s_testsrc.mpg"
shots="$top/build/release/Testing/castdeck"
if [ -z "${DISPLAY:-}" ]; then
  echo "demo: no display (\$DISPLAY is empty), so castdeck was not started."
  echo "demo: the smoke check above ran it under a private Xvfb display;"
  echo "demo: its screenshots are in $shots"
  echo "demo: to start castdeck on a virtual display: xvfb-run -a bash scripts/demo.sh"
  exit 0
fi

# castdeck writes its logs (QvDebugFlowmill.log, castdeck.log) into its
# working directory.
run="$top/build/release/castdeck-run"
mkdir -p "$run"
cd "$run"
echo "demo: starting castdeck with $sample open (logs in $run); close its window to end"
exec "$top/build/release/sender/castdeck/castdeck" "$sample"
