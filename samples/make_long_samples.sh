#!/usr/bin/env bash
# Makes the long streams that the demo, the end-to-end smoke tests and the
# playback benchmark send: one minute each, long enough for a receiver on its
# default settings to fill its start threshold and play for a while between
# the sender's pauses. The build makes them into its own tree (they are not
# kept in the repository); the short files of this folder stay for the
# analysis tests.
#
# All carry ffmpeg's `testsrc` pattern (moving colour bars with a running
# seconds counter in the picture) and a 440 Hz tone, video at about 3 Mbit/s
# with MPEG-1 layer II audio:
#   long_m2t.ts      MPEG-2 transport stream, muxer "mpegts", 3.5 Mbit/s mux rate
#   long_m2p.mpg     MPEG-2 program stream, muxer "vob", 3.5 Mbit/s mux rate
#   long_m1s.mpg     MPEG-1 system stream with MPEG-1 video, muxer "mpeg" on its
#                    defaults: a system header only at the start and a pack
#                    header only every few packets
#   long_m1s_m2v.mpg the same layer with MPEG-2 video, as ffmpeg writes a
#                    ".mpg" file by default
# (The video buffer of the MPEG-1 system streams is kept small so that their
# second pack, which the sender's bit-rate estimate needs, comes within its
# first read.)
# Needs the ffmpeg command-line tool (Debian: apt-get install ffmpeg).
#
# Usage: bash samples/make_long_samples.sh <output directory> [seconds]
set -euo pipefail

out=${1:?usage: make_long_samples.sh <output directory> [seconds]}
seconds=${2:-60}
mkdir -p "$out"

common=(-hide_banner -loglevel error -y -fflags +bitexact -flags +bitexact -threads 1)
inputs=(-f lavfi -i "testsrc=size=640x480:rate=25:duration=$seconds"
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds")
video=(-b:v 3000k -minrate 3000k -maxrate 3000k -g 12)
audio=(-c:a mp2 -b:a 128k -ac 2)
codecs=(-map 0:v -map 1:a -c:v mpeg2video "${video[@]}" -bufsize 1835k "${audio[@]}")

# Written under a temporary name and renamed, so that an interrupted run never
# leaves a truncated stream behind for the next build to take as done.
make_one() {
  local name=$1; shift
  ffmpeg "${common[@]}" "${inputs[@]}" "${codecs[@]}" "$@" "$out/.$name.part"
  mv -f "$out/.$name.part" "$out/$name"
}

make_one long_m2t.ts -f mpegts -muxrate 3500k
make_one long_m2p.mpg -f vob -muxrate 3500k
codecs=(-map 0:v -map 1:a -c:v mpeg1video "${video[@]}" -bufsize 500k "${audio[@]}")
make_one long_m1s.mpg -f mpeg
codecs=(-map 0:v -map 1:a -c:v mpeg2video "${video[@]}" -bufsize 500k "${audio[@]}")
make_one long_m1s_m2v.mpg -f mpeg
