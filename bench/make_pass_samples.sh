#!/usr/bin/env bash
# Makes the 20 s streams of playback_bench --passes into <dir>: about 1 and
# 3.5 Mbit/s, each as MPEG-1 system, MPEG-2 program and MPEG-2 transport
# stream. The top quarter of every picture is flat, its luma 16 + 10 × the
# second in the stream; the next quarter 16 + 8 × the picture within that
# second (25 a second); testsrc2 below, and a 440 Hz tone. ffmpeg writes an
# MPEG-1 system stream's pack headers two seconds apart, further than the
# sender looks for its second clock reference: the MPEG-1 streams are made
# with a pack header before every packet, its clock reference interpolated
# between ffmpeg's (needs python3).
# Usage: bash bench/make_pass_samples.sh <dir>
set -euo pipefail
cd "${1:?usage: make_pass_samples.sh <dir>}"
geq="format=yuv420p,geq=lum='if(lt(Y,H/4),16+10*floor(N/25),if(lt(Y,H/2),16+8*mod(N,25),lum(X,Y)))':cb='if(lt(Y,H/2),128,cb(X,Y))':cr='if(lt(Y,H/2),128,cr(X,Y))'"
mk() { out=$1; size=$2; vb=$3; ab=$4; shift 4
  ffmpeg -hide_banner -loglevel fatal -y -threads 1 -f lavfi -i "testsrc2=size=$size:rate=25:duration=20" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=20" -map 0:v -map 1:a -vf "$geq" \
    -b:v $vb -minrate $vb -maxrate $vb -bufsize 1835k -g 12 -c:a mp2 -b:a $ab -ac 2 "$@" .$out.part
  mv .$out.part $out; }
mk lo_m1s.raw 352x288 900k 64k -c:v mpeg1video -f mpeg &
mk lo_m2p.mpg 352x288 900k 64k -c:v mpeg2video -f vob &
mk lo_m2t.ts 352x288 900k 64k -c:v mpeg2video -f mpegts &
mk hi_m1s.raw 640x480 3200k 128k -c:v mpeg1video -f mpeg &
mk hi_m2p.mpg 640x480 3200k 128k -c:v mpeg2video -f vob &
mk hi_m2t.ts 640x480 3200k 128k -c:v mpeg2video -f mpegts &
wait
for name in lo_m1s hi_m1s; do
  python3 - "$name.raw" "$name.mpg" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
def scr_of(b):
    return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1
def pack(scr, mux):
    return bytes([0, 0, 1, 0xBA,
                  0x21 | ((scr >> 29) & 0x0E), (scr >> 22) & 0xFF, 0x01 | ((scr >> 14) & 0xFE),
                  (scr >> 7) & 0xFF, 0x01 | ((scr << 1) & 0xFE),
                  0x80 | ((mux >> 15) & 0x7F), (mux >> 7) & 0xFF, 0x01 | ((mux << 1) & 0xFE)])
packs, units, i = [], [], 0
while i + 4 <= len(d):
    code = d[i + 3]
    if code == 0xBA:
        b = d[i + 4:i + 12]
        packs.append((i, scr_of(b), ((b[5] & 0x7F) << 15) | (b[6] << 7) | (b[7] >> 1)))
        i += 12
    elif code == 0xB9:
        i += 4
    else:
        n = 6 + (d[i + 4] << 8 | d[i + 5])
        units.append((i, code, d[i:i + n]))
        i += n
out, k = bytearray(), 0
for pos, code, data in units:
    while k + 1 < len(packs) and packs[k + 1][0] < pos:
        k += 1
    p0, s0, mux = packs[k]
    if k + 1 < len(packs):
        p1, s1, _ = packs[k + 1]
        scr = s0 + (s1 - s0) * (pos - p0) // (p1 - p0)
    else:
        scr = s0 + (pos - p0) * 8 * 90000 // (mux * 400)
    if code != 0xBB:
        out += pack(scr, mux)
    out += data
open(sys.argv[2], 'wb').write(out + b'\x00\x00\x01\xb9')
PY
  rm -f "$name.raw"
done
