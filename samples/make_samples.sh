#!/usr/bin/env bash
# Makes the small MPEG sample files of this folder from ffmpeg's built-in test
# sources (a moving test pattern and a sine tone), so they carry no outside
# material. The flags keep the output byte-for-byte reproducible for one
# ffmpeg version: bit-exact muxing and encoding, one encoder thread, constant
# bit rates and a fixed mux rate. Needs the ffmpeg command-line tool
# (Debian: apt-get install --no-install-recommends ffmpeg).
#
# Every file is muxed at a constant rate, with a clock reference in every
# pack (program streams) or every few packets (transport stream), so the
# distance between its first two clock references gives its mux rate.
#
# Usage: bash samples/make_samples.sh [output directory]   (default: this folder)
set -euo pipefail

out="${1:-$(cd "$(dirname "$0")" && pwd)}"
mkdir -p "$out"

common=(-hide_banner -loglevel error -y -fflags +bitexact -flags +bitexact -threads 1)

# MPEG-1 system stream: MPEG-1 video and MPEG-1 layer II audio at Video CD
# rates, muxer "vcd" (the MPEG-1 system muxer in its constant-rate mode, one
# pack header per 2048-byte packet, mux rate 1452800 bit/s). 2 seconds.
ffmpeg "${common[@]}" \
    -f lavfi -i "testsrc=size=352x240:rate=25:duration=2" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" \
    -map 0:v -map 1:a \
    -c:v mpeg1video -b:v 1150k -minrate 1150k -maxrate 1150k -bufsize 320k -g 12 \
    -c:a mp2 -b:a 224k -ac 2 \
    -f vcd "$out/m1s_testsrc.mpg"

# MPEG-2 program stream: MPEG-2 video and layer II audio, muxer "vob" with a
# mux rate of 700000 bit/s. 4 seconds.
ffmpeg "${common[@]}" \
    -f lavfi -i "testsrc=size=320x240:rate=25:duration=4" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=4" \
    -map 0:v -map 1:a \
    -c:v mpeg2video -b:v 500k -minrate 500k -maxrate 500k -bufsize 400k -g 12 \
    -c:a mp2 -b:a 64k -ac 2 \
    -f vob -muxrate 700k "$out/m2p_testsrc.mpg"

# MPEG-2 transport stream: MPEG-2 video and layer II audio, muxer "mpegts"
# with a fixed mux rate of 700000 bit/s (null packets fill up to it). 4 seconds.
ffmpeg "${common[@]}" \
    -f lavfi -i "testsrc2=size=320x240:rate=25:duration=4" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=4" \
    -map 0:v -map 1:a \
    -c:v mpeg2video -b:v 500k -minrate 500k -maxrate 500k -bufsize 400k -g 12 \
    -c:a mp2 -b:a 64k -ac 2 \
    -f mpegts -muxrate 700k "$out/m2t_testsrc2.ts"
