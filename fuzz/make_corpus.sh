#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into fuzz/corpus/: short generated recordings
# (low rates, a few lead-in bytes) and hand-made edge cases, each a few KiB at most.
# Usage: bash fuzz/make_corpus.sh [BUILD-DIR]   (a normal build: BUILD-DIR/tools/tapegen, BUILD-DIR/SONOKAS)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tapegen=$build/tools/tapegen
sonokas=$build/SONOKAS
corpus=fuzz/corpus
export LC_ALL=C

# Raw bytes from numbers: u8 V..., le16 V..., le32 V..., text STRING.
u8() { local v; for v in "$@"; do printf "\\$(printf '%03o' $((v & 255)))"; done; }
le16() { local v; for v in "$@"; do u8 $((v)) $((v >> 8)); done; }
le32() { local v; for v in "$@"; do u8 $((v)) $((v >> 8)) $((v >> 16)) $((v >> 24)); done; }
text() { printf '%s' "$1"; }
fill() { head -c "$1" /dev/zero | tr '\0' "\\$(printf '%03o' "$2")"; }  # COUNT BYTE

gen() { "$tapegen" --bytes 0102 --lead 2 --silence 0.01 "$@" >/dev/null; }

rm -rf "$corpus"
mkdir -p "$corpus"/{fuzz_wav,fuzz_voc,fuzz_csw,fuzz_sndfile,fuzz_stream,fuzz_decoders,fuzz_lister}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# --- WAV: generated layouts, then hand-made chunk walks.
w=$corpus/fuzz_wav
gen --rate 2000 --bits 8 "$w/gen-8bit-mono.wav"
gen --rate 2000 --bits 8 --channels 2 "$w/gen-8bit-stereo.wav"
gen --rate 1000 --bits 16 "$w/gen-16bit-mono.wav"
gen --rate 1000 --bits 16 --channels 2 "$w/gen-16bit-stereo.wav"
fmt() { le16 1 "$1"; le32 "$2" $(($2 * $1 * $3 / 8)); le16 $(($1 * $3 / 8)) "$3"; }  # CHANNELS RATE BITS
chunk() { text "$1"; le32 "$2"; }                                                  # ID SIZE
riff() { text RIFF; le32 "$1"; text WAVE; }
{ riff 60; chunk "fmt " 18; fmt 1 8000 8; le16 0; chunk data 16; fill 16 200; } > "$w/fmt-18.wav"
{ riff 80; chunk "fmt " 40; fmt 2 8000 16; fill 24 0; chunk data 8; fill 8 7; } > "$w/fmt-40.wav"
{ riff 70; chunk "fmt " 16; fmt 1 8000 8; chunk LIST 5; text hello; chunk data 9; fill 9 250; } > "$w/list-odd.wav"
{ riff 60; chunk data 4; fill 4 1; chunk "fmt " 16; fmt 1 8000 8; } > "$w/data-first.wav"
{ riff 0; chunk "fmt " 16; fmt 1 8000 8; chunk data 4; fill 4 9; } > "$w/riff-size-0.wav"
{ riff 0xFFFFFFFF; chunk "fmt " 16; fmt 1 8000 8; chunk fact 4; le32 1; } > "$w/riff-size-max.wav"
{ riff 60; chunk "fmt " 16; fmt 1 8000 16; chunk data 0x7FFFFFF0; fill 12 3; } > "$w/data-cut-off.wav"
{ riff 60; chunk "fmt " 16; le16 3 1; le32 8000 32000; le16 4 32; chunk data 8; fill 8 0; } > "$w/float.wav"
{ riff 60; chunk "fmt " 16; le16 1 0; le32 8000 0; le16 0 0; chunk data 8; fill 8 0; } > "$w/zero-layout.wav"
{ riff 60; chunk "fmt " 16; fmt 1 0 8; chunk data 8; fill 8 0; } > "$w/rate-0.wav"
{ riff 60; chunk "fmt " 16; fmt 3 8000 24; chunk data 9; fill 9 0; } > "$w/24bit-3ch.wav"
{ riff 36; chunk "fmt " 16; fmt 1 8000 8; chunk data 0; } > "$w/data-empty.wav"
{ riff 20; chunk "fmt " 12; fill 12 0; } > "$w/fmt-short.wav"

# WAV as today's tools write it: wider and float samples, the extensible body, more channels,
# odd chunks with and without their pad byte, a LIST chunk first, the sizes of a stream.
fmtt() { le16 "$1" "$2"; le32 "$3" $(($3 * $2 * $4 / 8)); le16 $(($2 * $4 / 8)) "$4"; }  # TAG CHANNELS RATE BITS
guid() { le16 "$1"; u8 0 0 0 0 0x10 0 0x80 0 0 0xAA 0 0x38 0x9B 0x71; }                 # SUB-FORMAT
{ riff 60; chunk "fmt " 16; fmtt 1 1 8000 24; chunk data 12; u8 0 0 0x7F 0 0 0x80 0xFF 0xFF 0x7F 1 2 3; } > "$w/24bit.wav"
{ riff 60; chunk "fmt " 16; fmtt 1 2 8000 32; chunk data 16; fill 16 0x40; } > "$w/32bit-stereo.wav"
{ riff 60; chunk "fmt " 16; fmtt 3 1 8000 32; chunk data 16; u8 0 0 0x80 0x3F 0 0 0x80 0xBF 0 0 0xC0 0x7F 0 0 0 0x40; } > "$w/float32.wav"
{ riff 60; chunk "fmt " 16; fmtt 3 1 8000 64; chunk data 16; u8 0 0 0 0 0 0 0xE0 0x3F 0 0 0 0 0 0 0xF0 0xFF; } > "$w/float64.wav"
{ riff 80; chunk "fmt " 40; fmtt 0xFFFE 2 8000 32; le16 22 32; le32 3; guid 3; chunk data 8; u8 0 0 0 0x3F 0 0 0 0xBF; } > "$w/extensible-float.wav"
{ riff 80; chunk "fmt " 40; fmtt 0xFFFE 6 8000 24; le16 22 24; le32 0x3F; guid 1; chunk data 18; fill 18 0x33; } > "$w/extensible-6ch.wav"
{ riff 80; chunk "fmt " 40; fmtt 0xFFFE 1 8000 16; le16 22 16; le32 4; guid 2; chunk data 4; fill 4 0; } > "$w/extensible-adpcm.wav"
{ riff 60; chunk "fmt " 16; fmt 1 8000 8; chunk note 3; text abc; u8 0; chunk data 4; fill 4 200; } > "$w/odd-padded.wav"
{ riff 60; chunk "fmt " 16; fmt 1 8000 8; chunk note 3; text abc; chunk data 4; fill 4 200; } > "$w/odd-unpadded.wav"
{ riff 70; chunk LIST 9; text INFOISFTx; u8 0; chunk "fmt " 16; fmt 1 8000 16; chunk data 4; fill 4 9; } > "$w/list-first.wav"
{ riff 0xFFFFFFFF; chunk "fmt " 16; fmt 2 8000 16; chunk data 0xFFFFFFFF; fill 24 0x70; } > "$w/stream-sizes.wav"

# --- VOC: generated block chains, then hand-made ones.
v=$corpus/fuzz_voc
gen --rate 4000 --bits 8 "$v/gen-type1.voc"
gen --rate 2000 --voc-block 9 --bits 16 --channels 2 "$v/gen-type9-16bit-stereo.voc"
gen --rate 4000 --bits 8 --voc-split 200 --voc-silence --voc-text "$v/gen-split-silence-text.voc"
gen --rate 4000 --voc-block 9 --bits 8 --voc-repeat 3 "$v/gen-repeat.voc"
vochead() { text "Creative Voice File"; u8 0x1A; le16 "${1:-26}" 0x010A 0x1129; }  # HEADER-SIZE
block() { u8 "$1"; u8 $(($2)) $(($2 >> 8)) $(($2 >> 16)); }                        # TYPE LENGTH
{ vochead 32; fill 6 0; block 1 6; u8 131 0; fill 4 128; u8 0; } > "$v/header-32.voc"
{ vochead 20; } > "$v/header-20.voc"
{ text "Creative Voice File"; u8 0x1A; le16 26 0x0114 0x1120; block 1 4; u8 131 0 1 2; } > "$v/bad-check.voc"
{ vochead; block 1 1; u8 131; block 9 8; fill 8 0; block 1 4; u8 166 0 9 9; u8 0; } > "$v/short-sound.voc"
{ vochead; block 2 4; fill 4 1; u8 0; } > "$v/type2-unset.voc"
{ vochead; block 1 4; u8 0 1 5 5; u8 0; } > "$v/pack-1-unset.voc"
{ vochead; block 9 16; le32 0; u8 8 1; le16 0; le32 0; fill 4 1; u8 0; } > "$v/type9-rate-0.voc"
{ vochead; block 9 16; le32 8000; u8 0 0; le16 0; le32 0; fill 4 1; u8 0; } > "$v/type9-zero-layout.voc"
{ vochead; block 9 16; le32 0xFFFFFFFF; u8 16 2; le16 4; le32 0; fill 4 1; u8 0; } > "$v/type9-rate-max.voc"
{ vochead; block 1 6; u8 255 0 1 2 3 4; block 8 4; le16 0 0; block 0x20 2; u8 1 2; block 5 3; text "hi"; u8 0; u8 0; } \
    > "$v/uninterpreted.voc"
{ vochead; block 6 2; le16 65535; block 3 3; u8 0 0 131; block 4 2; le16 1; block 7 0; u8 0; } > "$v/repeat-silence.voc"
{ vochead; for i in $(seq 33); do block 6 2; le16 2; done; block 1 3; u8 131 0 7; for i in $(seq 34); do block 7 0; done; } \
    > "$v/repeat-33-deep.voc"
{ vochead; block 6 2; le16 0; block 7 0; block 7 0; block 1 0xFFFFFF; u8 131 0 1 2 3; } > "$v/repeat-0-cut-off.voc"
{ vochead; u8 0; } > "$v/terminator-only.voc"
{ vochead; block 1 2; u8 131 0; block 6 1; } > "$v/fields-cut-off.voc"

# --- CSW: generated, then hand-made run data.
c=$corpus/fuzz_csw
gen --rate 2000 --csw-version 1.0 "$c/gen-1.0.csw"
gen --rate 2000 --csw-start-high "$c/gen-1.1-high.csw"
cswhead() { text "Compressed Square Wave"; u8 0x1A "$1" "$2"; le16 "$3"; u8 "$4" "$5" 0 0 0; }  # MAJOR MINOR RATE COMP FLAGS
{ cswhead 1 0 44100 1 1; u8 3 5 2; } > "$c/runs-1.0-flag.csw"
{ cswhead 1 1 44100 1 1; u8 3 0; le32 0; u8 5 0; le32 256; u8 2; } > "$c/long-runs.csw"
{ cswhead 1 1 8000 1 0; u8 3 0 0xFF 0xFF; } > "$c/long-run-cut-off.csw"
{ cswhead 1 0 8000 1 0; u8 0; le32 0x7FFFFFFF; } > "$c/long-run-max.csw"
{ cswhead 1 0 8000 1 0; u8 0; le32 0xFFFFFFFF; u8 0; le32 0xFFFFFFFF; } > "$c/runs-past-32-bits.csw"
{ cswhead 2 0 8000 1 0; u8 1; } > "$c/major-2.csw"
{ cswhead 1 2 8000 1 0; u8 1; } > "$c/minor-2.csw"
{ cswhead 1 1 8000 2 0; u8 1; } > "$c/compression-2.csw"
{ cswhead 1 1 0 1 0; u8 1; } > "$c/rate-0.csw"
{ cswhead 1 1 8000 1 0; } > "$c/header-only.csw"
# Version 2.0: RLE, and Z-RLE as a zlib stream of one stored block (header, block, Adler-32).
csw2head() { text "Compressed Square Wave"; u8 0x1A 2 0; le32 "$1"; le32 0; u8 "$2" "$3" "$4"; text "tapegen"; fill 9 0; }  # RATE COMP FLAGS EXT
zstored() {  # BYTES...: a zlib stream that stores them
    local a=1 b=0 v
    for v in "$@"; do a=$(((a + v) % 65521)); b=$(((b + a) % 65521)); done
    u8 0x78 0x01 1; le16 $# $((~$# & 0xFFFF)); u8 "$@"; u8 $((b >> 8)) $((b & 255)) $((a >> 8)) $((a & 255))
}
{ csw2head 8000 1 0 0; u8 3 5 0; le32 300; u8 2; } > "$c/v2-rle.csw"
{ csw2head 8000 2 1 3; u8 7 7 7; zstored 3 5 0 44 1 0 0 2; } > "$c/v2-zrle-high-ext.csw"
{ csw2head 8000 2 0 0; zstored 3 5 2 9 9 9 | head -c 12; } > "$c/v2-zrle-cut.csw"
{ csw2head 0 1 0 0; u8 3 5; } > "$c/v2-rate-0.csw"
{ csw2head 8000 3 0 0; u8 3 5; } > "$c/v2-compression-3.csw"

# --- libsndfile: small files of the formats it reads, made by sox from a generated WAV.
n=$corpus/fuzz_sndfile
gen --rate 1000 --bits 16 "$scratch/small.wav"
for kind in flac aiff au; do sox "$scratch/small.wav" "$n/small.$kind"; done
sox "$scratch/small.wav" -c 2 "$n/stereo.flac"
head -c 60 "$n/small.flac" > "$n/cut.flac"

# --- Stream: a flag byte (bit 0 keeps the channels, the rest seeds the frame counts), a count of
# piece sizes and the sizes (b gives 1 + b * b / 8 bytes), then a recording from the seeds above.
s=$corpus/fuzz_stream
{ u8 3 3 0 9 255; cat "$w/gen-16bit-stereo.wav"; } > "$s/16bit-stereo-pieces.wav"
{ u8 1 1 0; cat "$w/extensible-6ch.wav"; } > "$s/extensible-6ch-bytes.wav"
{ u8 4 0; cat "$w/gen-8bit-mono.wav"; } > "$s/8bit-mono-whole.wav"
{ u8 5 2 0 40; cat "$w/odd-unpadded.wav"; } > "$s/odd-unpadded.wav"
{ u8 7 1 3; cat "$w/stream-sizes.wav"; } > "$s/stream-sizes.wav"
{ u8 1 1 0; cat "$w/data-cut-off.wav"; } > "$s/data-cut-off.wav"
{ u8 1 1 0; cat "$w/fmt-short.wav"; } > "$s/fmt-short.wav"
{ u8 2 2 0 200; cat "$v/gen-type9-16bit-stereo.voc"; } > "$s/voc-stereo.voc"
{ u8 2 1 5; cat "$c/gen-1.1-high.csw"; } > "$s/csw.csw"
{ u8 1 0; text "hello"; } > "$s/text.bin"

# --- Decoders: a flag byte, threshold, exact value and rate as a choice byte and four value
# bytes each (choice 3 + 4k takes the k-th typical value), then signed samples.
d=$corpus/fuzz_decoders
settings() { u8 "$1" "$2" 0 0 0 0 "$3" 0 0 0 0 "$4" 0 0 0 0; }  # FLAGS THRESHOLD EXACT RATE choices
signed() { tail -c +45 "$1" | tr '\000-\377' '\200-\377\000-\177'; }  # 8-bit WAV data as signed samples
"$tapegen" --bytes 0102 --lead 4 --silence 0.01 --rate 8000 --bits 8 "$scratch/plain.wav" >/dev/null
"$tapegen" --bytes 0102 --lead 4 --silence 0.01 --rate 8000 --bits 8 --invert "$scratch/inverted.wav" >/dev/null
"$tapegen" --bytes 41 --lead 2 --silence 0 --rate 8000 --bits 8 --noise 0.2 --bad-checksum "$scratch/noisy.wav" >/dev/null
{ settings 0 3 3 15; signed "$scratch/plain.wav"; } > "$d/timing-8000.bin"
{ settings 1 3 3 15; signed "$scratch/inverted.wav"; } > "$d/timing-up-8000.bin"
{ settings 6 3 19 15; signed "$scratch/plain.wav"; } > "$d/exact-20-bin-name-8000.bin"
{ settings 24 3 7 15; signed "$scratch/noisy.wav"; } > "$d/exact-0-fail-noisy.bin"
{ settings 8 3 3 15; signed "$scratch/noisy.wav"; } > "$d/timing-fail-noisy.bin"
{ settings 0 2 2 2; fill 64 0x80; fill 64 0x7F; } > "$d/extremes.bin"
{ settings 0 3 7 18; } > "$d/no-samples.bin"

# --- Lister: a converted record with a BASIC program, and hand-made blocks.
l=$corpus/fuzz_lister
printf '\x3a\x2c\x52\x2c\x0a\x00PRINT "HI"\r\x14\x00GOTO 10\r\x00\x00' > "$scratch/basic.bin"
"$tapegen" --data "$scratch/basic.bin" --start 0x2c36 --lead 4 --rate 8000 --bits 8 "$scratch/basic.wav" >/dev/null
"$sonokas" "$scratch/basic.wav" "$l/basic-record.gtp" /name BASIC >/dev/null || true
gtpblock() { u8 "$1"; le32 "$2"; }  # TYPE LENGTH
{ gtpblock 0 20; u8 0xA5 0xFF; le16 0x2C36 0x2C50 10; text "PROG"; u8 0xFF; fill 5 0; u8 0xFF 0; } > "$l/program-header.gtp"
{ gtpblock 0 9; u8 0xA5 0xFF 1 2 3 4 0 0xFF 0; gtpblock 0 1; u8 0xA5; gtpblock 0 0; } > "$l/short-headers.gtp"
{ gtpblock 1 3; u8 0x55 1 2; gtpblock 16 4; text "NAME"; gtpblock 7 2; u8 1 2; } > "$l/turbo-name-other.gtp"
{ gtpblock 0 200000; u8 0xA5; le16 0x2C36 0x2C40; fill 40 0x41; } > "$l/length-past-buffer.gtp"
{ gtpblock 0 0xFFFFFFF0; u8 0xA5; le16 0x2C36; } > "$l/length-top-bit.gtp"
{ gtpblock 0 14; u8 0xA5; le16 0x2C36 0x2C3E; le16 0x2C3A 0x2C3E; le16 10; text "AB"; u8 13; u8 0xFF; gtpblock 16 2; } \
    > "$l/basic-tail.gtp"
{ gtpblock 16 3; text "ABC"; u8 0 1; } > "$l/fragment.gtp"

du -sh "$corpus"
for t in "$corpus"/*; do echo "$(basename "$t"): $(ls "$t" | wc -l) files, largest $(ls -S "$t" | head -1) $(stat -c %s "$t/$(ls -S "$t" | head -1)") bytes"; done
