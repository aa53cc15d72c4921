#!/usr/bin/env bash
# panel-snapshot: each hosted vertical writes both pictures at the requested size and exits 0;
# bad verticals, settings, malformed sizes and missing arguments exit 2 and write nothing; a size
# too large to draw or below the window's minimum exits 1 and writes nothing.
#   panel_snapshot.sh PATH-TO-panel-snapshot
set -u
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$dir/config"
failed=0
expect() {
  local want=$1; shift
  "$tool" "$@" >"$dir/log" 2>&1
  local got=$?
  if [[ $got != "$want" ]]; then
    echo "expected exit $want, got $got: panel-snapshot $*"
    sed 's/^/    /' "$dir/log"
    failed=1
  fi
}
size_of() { python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' "$1"; }

expect 0 texture mode=sprite format=godot --size 1280x800 "$dir/texture.png"
expect 0 castloom standard=acx chapters=manual --size 1280x800 "$dir/podcast.png"
expect 0 gablewise --size 1000x700 "$dir/photo"
for shot in texture.png podcast.png; do
  [[ -f "$dir/$shot" && $(size_of "$dir/$shot") == 1280x800 ]] || { echo "no 1280x800 $shot"; failed=1; }
  [[ -f "$dir/${shot%.png}-options.png" ]] || { echo "no ${shot%.png}-options.png"; failed=1; }
done
[[ -f "$dir/photo" && -f "$dir/photo-options.png" ]] || { echo "no photo pictures"; failed=1; }

expect 2 nothing --size 1280x800 "$dir/bad.png"
expect 2 texture mode=bogus --size 1280x800 "$dir/bad.png"
expect 2 texture mode=pot mode=sprite --size 1280x800 "$dir/bad.png"
expect 2 texture "$dir/bad.png"
expect 2 texture --size 1280x800
expect 2
expect 1 texture --size 100000x100000 "$dir/bad.png"
expect 1 texture --size 99999999999x10 "$dir/bad.png"
grep -q "99999999999x10" "$dir/log" || { echo "the refused size is not repeated as given"; failed=1; }
expect 1 texture --size 400x300 "$dir/bad.png"
grep -q "400x300.*at least" "$dir/log" || { echo "a size under the window's minimum is not named"; failed=1; }
for size in 0x0 -5x100 abc 1280x 1280xabcx800; do
  expect 2 texture --size "$size" "$dir/bad.png"
  grep -q -- "'$size'" "$dir/log" || { echo "the malformed size $size is not named"; failed=1; }
done
[[ ! -e "$dir/bad.png" && ! -e "$dir/bad-options.png" ]] || { echo "a refused run wrote a picture"; failed=1; }
[[ ! -e "$dir/config" ]] || { echo "the user's settings were touched"; failed=1; }
exit $failed
