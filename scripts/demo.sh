#!/usr/bin/env bash
# Sets up, builds and runs the smoke checks, then shows the system at work
# on this machine: the sender castdeck with a one-minute test stream open
# (made by the build), and the player control in the container ctlhost with
# its channel dialog open, where the announced program appears and plays.
# Without a display the smoke checks alone show it (on private Xvfb
# displays, in a network namespace of their own) and the script says how to
# run the rest on a virtual display.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
bash scripts/build.sh build/release
(cd build/release && ctest --output-on-failure -R '^(Smoke|CastdeckSmoke|PlayerSmoke|DemoSmoke)\.')

build="$top/build/release"
sample="$build/samples/long_m2t.ts"
if [ -z "${DISPLAY:-}" ]; then
  echo "demo: no display (\$DISPLAY is empty), so castdeck and the player were not started."
  echo "demo: the smoke checks above ran them under private Xvfb displays: castdeck sent"
  echo "demo: $sample as you would, the player listed it in its channel dialog and played it;"
  echo "demo: screenshots in $build/Testing/demo, $build/Testing/castdeck and $build/Testing/playerctl"
  echo "demo: to start castdeck and the player on a virtual display: xvfb-run -a bash scripts/demo.sh"
  exit 0
fi

# The player and the multicast source it plays live streams through, in this
# user's registry store.
"$build/ctlhost/qvregsvr" "$build/player/playerctl.so"
"$build/ctlhost/qvregsvr" "$build/castsource/castsource.so"

# castdeck writes its logs (QvDebugFlowmill.log, castdeck.log) into its
# working directory.
run="$build/castdeck-run"
mkdir -p "$run"
(cd "$run" && exec "$build/sender/castdeck/castdeck" "$sample") &
castdeck=$!

script="$run/player-script.txt"
echo "command 32785" >"$script" # the player's toolbar: Channel Selection
cat <<EOF
demo: castdeck is open with $sample (logs in $run).
demo: 1. press "Start Transmission" in castdeck: it sends the one-minute test stream to
demo:    225.1.1.1 port 2010 and announces it by SAP, here on this machine, over and over
demo:    with a 5 s pause between passes.
demo: 2. the player (in ctlhost) shows its "Channel Selection": within about 5 s the program
demo:    "225.1.1.1-2010  long_m2t" appears; double-click it (or select it and press "Select").
demo:    After some 3 to 10 s (the player first fills its buffer) the colour bars play, with
demo:    a running seconds counter. Moving the mouse back onto the player closes the
demo:    dialog; its toolbar's list button opens it again.
demo: close both windows to end.
EOF
"$build/ctlhost/ctlhost" --param "PropList=ToolBar=1" --size 480x360 --script "$script" \
  PLAYERCTL.PlayerCtlCtrl.1 || true
wait "$castdeck" || true
