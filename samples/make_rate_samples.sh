#!/usr/bin/env bash
# Makes the short files on which the bit-rate estimate is checked against
# ffprobe: everyday output of ffmpeg's MPEG muxers on their defaults, and
# rates.txt with ffprobe's figure for each ("<file> <bits per second>").
#
#   two_programs.ts  transport stream with two programs (-program twice);
#                    both programs' first PCRs carry the same value
#   vob.mpg          program stream, muxer "vob", variable rate: its first
#                    ~250 KB of packs go out in a burst at a clock that
#                    moves 3 ticks a pack
#   dvd.mpg          the same with muxer "dvd"
#   mpeg1.mpg        MPEG-1 system stream, muxer "mpeg": one large first
#                    pack half a second ahead of the next
#   fast.ts          transport stream at 400 Mbit/s (null packets) with the
#                    muxer's default PCR spacing: megabytes between PCRs
#                    (ffprobe counts the last frame's duration too, which
#                    puts its figure 7 % below the mux rate here)
#   vcd.mpg          MPEG-1 system stream, muxer "vcd" (constant rate)
#   muxrate.ts       transport stream, -muxrate 3000k (constant rate)
#   h264.ts          H.264 and AAC, muxer "mpegts" on its defaults
# Needs ffmpeg and ffprobe (Debian: apt-get install ffmpeg).
#
# Usage: bash samples/make_rate_samples.sh <output directory>
set -euo pipefail

out=${1:?usage: make_rate_samples.sh <output directory>}
mkdir -p "$out"
tmp=$(mktemp -d "$out/.making.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

common=(-hide_banner -loglevel error -y -fflags +bitexact -flags +bitexact -threads 1)
tone() { echo -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$1"; }
busy() { echo -f lavfi -i "testsrc=size=720x576:rate=25:duration=$1,noise=alls=12:allf=t"; }

# shellcheck disable=SC2046
{
ffmpeg "${common[@]}" -f lavfi -i "testsrc=size=640x480:rate=25:duration=4" $(tone 4) \
    -f lavfi -i "testsrc2=size=320x240:rate=25:duration=4" \
    -map 0:v -map 1:a -map 2:v -c:v mpeg2video -b:v 2000k -c:a mp2 \
    -program title=A:st=0:st=1 -program title=B:st=2 -f mpegts "$tmp/two_programs.ts"
ffmpeg "${common[@]}" $(busy 4) $(tone 4) -c:v mpeg2video -b:v 4000k -c:a mp2 -f vob "$tmp/vob.mpg"
ffmpeg "${common[@]}" $(busy 4) $(tone 4) -c:v mpeg2video -b:v 4000k -c:a mp2 -f dvd "$tmp/dvd.mpg"
ffmpeg "${common[@]}" -f lavfi -i "testsrc=size=720x576:rate=25:duration=4" $(tone 4) \
    -c:v mpeg1video -b:v 1400k -minrate 1400k -maxrate 1400k -bufsize 320k -c:a mp2 -b:a 192k \
    -f mpeg "$tmp/mpeg1.mpg"
ffmpeg "${common[@]}" -f lavfi -i "testsrc=size=320x240:rate=60:duration=0.25" \
    -c:v mpeg2video -b:v 2000k -f mpegts -muxrate 400M "$tmp/fast.ts"
ffmpeg "${common[@]}" -f lavfi -i "testsrc=size=352x240:rate=25:duration=6" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=6" \
    -c:v mpeg1video -b:v 1150k -minrate 1150k -maxrate 1150k -bufsize 320k -g 12 \
    -c:a mp2 -b:a 224k -ac 2 -f vcd "$tmp/vcd.mpg"
ffmpeg "${common[@]}" -f lavfi -i "testsrc2=size=640x480:rate=25:duration=6" $(tone 6) \
    -c:v mpeg2video -b:v 2500k -minrate 2500k -maxrate 2500k -bufsize 1000k -c:a mp2 \
    -f mpegts -muxrate 3000k "$tmp/muxrate.ts"
ffmpeg "${common[@]}" -f lavfi -i "testsrc2=size=640x360:rate=25:duration=6" $(tone 6) \
    -c:v libx264 -preset veryfast -b:v 2M -c:a aac -f mpegts "$tmp/h264.ts"
}

: > "$tmp/rates.txt"
for f in two_programs.ts vob.mpg dvd.mpg mpeg1.mpg fast.ts vcd.mpg muxrate.ts h264.ts; do
  rate=$(ffprobe -v error -show_entries format=bit_rate -of csv=p=0 "$tmp/$f")
  echo "$f $rate" >> "$tmp/rates.txt"
done
# The list last, so that a complete list means complete files.
for f in "$tmp"/*; do
  [ "$(basename "$f")" = rates.txt ] || mv -f "$f" "$out/"
done
mv -f "$tmp/rates.txt" "$out/rates.txt"
