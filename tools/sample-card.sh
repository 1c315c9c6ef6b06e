#!/bin/sh
# The sample SD card: numbered folders of short numbered MP3 files, made
# from tones with lame, some names in GB2312 (as the card's names are on
# the terminal) so the panel's text path shows. The build runs it (target
# sample_card); `tools/demo.sh` puts the result in the board root's mmc/.
#
# Usage: tools/sample-card.sh OUT_DIR TONE_PROGRAM [LAME]
#   OUT_DIR       the card's contents, replaced as a whole
#   TONE_PROGRAM  the build's sample-tone (raw PCM of one file)
#   LAME          the encoder (default: lame on PATH)
#
# File N of a folder begins with N short beeps, then holds its tone.
set -eu

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    sed -n '7,10p' "$0" >&2
    exit 2
fi
out=$1
tone=$2
lame=${3:-lame}
command -v "$lame" >/dev/null 2>&1 || { echo "sample-card: $lame is missing (sh tools/setup.sh installs it)" >&2; exit 1; }

# GB2312 bytes: 中文 (Chinese), 音乐 (music), 测试 (test).
zhongwen=$(printf '\326\320\316\304')
yinyue=$(printf '\322\364\300\326')
ceshi=$(printf '\262\342\312\324')

# Made beside the old card and swapped in whole, so a failed run leaves no
# half card behind.
work="$out.new"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT

# mp3 FOLDER FILE HZ SECONDS BEEPS. Debian's lame warns on every raw input
# that libsndfile might seek in it (it reads a file here, so it may): its
# output is shown only when it fails.
mp3() {
    mkdir -p "$work/$1"
    "$tone" "$3" "$4" "$5" >"$work/tone.pcm"
    if ! "$lame" --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -m j -b 128 \
        "$work/tone.pcm" "$work/$1/$2.mp3" >"$work/lame.log" 2>&1; then
        cat "$work/lame.log" >&2
        exit 1
    fi
}

mp3 01Tones 01A440 440 4 1
mp3 01Tones 02E659 659.25 4 2
mp3 01Tones 03A880 880 5 3
mp3 "02$zhongwen" "01$zhongwen" 523.25 5 1
mp3 "02$zhongwen" "02$yinyue" 392 6 2
mp3 03Chimes 01Low 261.63 3 1
mp3 03Chimes "02$ceshi" 783.99 8 2

rm -f "$work/tone.pcm" "$work/lame.log"
rm -rf "$out"
mv "$work" "$out"
trap - EXIT
