#!/usr/bin/env bash
# Makes the player's four animations from ffmpeg's built-in sources:
#   GIFBACKGROUND  128x96, drifting colour gradients (the control's
#                  background and the frame's default logo; drawn stretched)
#   GIFWAIT        128x32, a block sweeping across (waiting for the stream)
#   GIFDETECT      128x32, three dots appearing in turn (stream found)
#   GIFSTART       128x32, a bar filling up (playback starting)
# Every image is a whole frame without transparency (the player draws
# transparent pixels black), at 10 frames a second (the background at 5).
# Usage: make_animations.sh [output directory, default: this script's one]
set -euo pipefail
out=${1:-$(cd "$(dirname "$0")" && pwd)}

# make <name> <colours> <frames> <lavfi graph>
make() {
  local name=$1 colours=$2 frames=$3 graph=$4
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "$graph" \
    -vf "trim=end_frame=${frames},split[a][b];[a]palettegen=max_colors=${colours}:reserve_transparent=0:stats_mode=full[p];[b][p]paletteuse=dither=none" \
    -gifflags -offsetting-transdiff -loop 0 "$out/$name.gif"
}

back=0x0c1830
make GIFBACKGROUND 32 10 "gradients=s=128x96:r=5:speed=0.05:seed=7:c0=0x102a55:c1=0x1f6f8b:c2=0x0b1d3a:c3=0x3a5f9f"
make GIFWAIT 8 8 "color=c=$back:s=128x32:r=10[bg];color=c=0x4aa8ff:s=16x16:r=10[block];[bg][block]overlay=x='mod(n,8)*16':y=8"
make GIFDETECT 8 8 "color=c=$back:s=128x32:r=10[bg];color=c=0x70f090:s=12x12:r=10,split=3[d1][d2][d3];[bg][d1]overlay=x=34:y=10:enable='gte(mod(n,4),1)'[o1];[o1][d2]overlay=x=58:y=10:enable='gte(mod(n,4),2)'[o2];[o2][d3]overlay=x=82:y=10:enable='gte(mod(n,4),3)'"
make GIFSTART 8 8 "color=c=$back:s=128x32:r=10[bg];color=c=0xffc040:s=128x12:r=10[bar];[bg][bar]overlay=x='(mod(n,8)+1)*16-128':y=10"
