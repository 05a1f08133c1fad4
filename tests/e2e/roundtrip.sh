#!/usr/bin/env bash
# End-to-end test of the round-trip viewer roundtrip under Xvfb: its command line and start-up failures
# (one line, status 1, ended before any window), and on a shared mesh and on the stream layout's
# one-triangle example the window titled "roundtrip" with the drawn mesh and the scroll bar driven with
# xdotool: it starts at the mesh's triangle count, and each move prints the count the decoder settled on
# while the drawing follows. Screenshots are taken with ImageMagick's import.
#
#   bash roundtrip.sh <build dir> <meshes dir>
set -u

# One virtual display for all checks.
source "$(dirname "$0")/viewer/driver.bash"
run_under_xvfb "$0" "$@"

build=$(cd "$1" && pwd)
meshes=$(cd "$2" && pwd)
data=$(cd "$(dirname "$0")/../data" && pwd)
work=$(mktemp -d)
pid=""
failures=0
trap 'stop_viewer; rm -rf "$work"' EXIT

# Started under another name, so that a window can be titled "roundtrip" only by the viewer's title
# (the toolkit names the application's own windows after the program).
ln -s "$build/roundtrip" "$work/viewer"
viewer=$work/viewer
title=roundtrip

# --- the viewer window --------------------------------------------------------------------------------

# Drags the slider from the top of the trough (where it stands at 0) down to `y` pixels below the
# scroll bar's top.
drag_to() {  # y
  local before x=$((barX + barW / 2))
  before=$(lines)
  xdotool mousemove "$x" $((barY + barW + 2)) mousedown 1 sleep 0.2 mousemove "$x" $((barY + 40)) \
    sleep 0.2 mousemove "$x" $((barY + $1)) sleep 0.2 mouseup 1
  wait_line "$before"
}

# --- checks -------------------------------------------------------------------------------------------

expect_exit "no argument" "roundtrip inventorfile" 1
expect_exit "two arguments" "roundtrip inventorfile" 1 "$meshes/spot.iv" extra
expect_exit "missing file" "can't open inventorfile" 1 "$work/missing.iv"
echo "this is not an inventor file" >"$work/notascene.iv"
expect_exit "not a scene" "error reading inventorfile" 1 "$work/notascene.iv"
printf '#Inventor V2.1 ascii\nSeparator { Cube { width 2 } }\n' >"$work/nomesh.iv"
expect_exit "scene without a mesh" "error in inventorfile" 1 "$work/nomesh.iv"
# A textured triangle whose image has one component per pixel (grey), not three.
cat >"$work/greytexture.iv" <<'EOF'
#Inventor V2.1 ascii
Separator {
  Texture2 { image 2 2 1 0xff 0x80 0x40 0x00 }
  TextureCoordinate2 { point [ 0 0, 1 0, 0 1 ] }
  Coordinate3 { point [ 0 0 0, 1 0 0, 0 1 0 ] }
  IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }
}
EOF
expect_exit "texture image not RGB" "error in inventorfile" 1 "$work/greytexture.iv"

# spot.iv: 5856 triangles, with texture and normals. The scroll bar starts at the full count: one step
# up from the start prints one less. Its arrows step by one, a click in the trough by Motif's page of
# 10, Ctrl+arrow goes to an end, so every value below is known and the printed count must be the
# decoder's answer.
if start_viewer "$meshes/spot.iv"; then
  expect_eq "spot: output at start" "" "$(cat "$work/out")"
  full=$(shot full)
  [ "$full" -gt 10 ] || fail "spot: viewer area shows no mesh ($full colours)"
  click top
  expect_eq "spot: one below the full count" "max 5855 triangles" "$(last_line)"
  click bottom
  expect_eq "spot: back at the full count" "max 5856 triangles" "$(last_line)"
  before=$(lines)
  xdotool mousemove $((barX + barW / 2)) $((barY + 100)) click 1
  wait_line "$before"
  expect_eq "spot: a page above the full count" "max 5846 triangles" "$(last_line)"
  click top ctrl
  expect_eq "spot: scroll bar at 0" "max 0 triangles" "$(last_line)"
  expect_eq "spot: colours in the viewer area at 0" 1 "$(shot empty)"
  drag_to 110
  n=$(last_line | count_of)
  if [ -z "$n" ] || [ "$n" -le 0 ] || [ "$n" -ge 5856 ]; then
    fail "spot: drag to the middle printed '$(last_line)'"
  fi
  # Every line of the drag is a count, rising from 0 with the slider.
  previous=0
  while read -r count; do
    [ "$count" -ge "$previous" ] || fail "spot: drag printed $count after $previous"
    previous=$count
  done < <(tail -n +5 "$work/out" | count_of)
  coarse=$(shot coarse)
  [ "$coarse" -gt 1 ] || fail "spot: nothing drawn at $n triangles"
  same_picture full coarse && fail "spot: drawing unchanged at $n triangles"
  click bottom ctrl
  expect_eq "spot: scroll bar at the full count" "max 5856 triangles" "$(last_line)"
  shot full-again >/dev/null
  same_picture full full-again || fail "spot: full count drawn differently after going to 0 and back"
  bad=$(grep -cv '^max [0-9]* triangles$' "$work/out")
  expect_eq "spot: lines other than 'max N triangles'" 0 "$bad"
  stop_viewer
fi

# The stream layout's example: one triangle, so the scroll bar runs from 0 to 1.
if start_viewer "$data/triangle.iv"; then
  [ "$(shot triangle)" -gt 1 ] || fail "triangle: viewer area shows no triangle"
  click top
  expect_eq "triangle: below the full count" "max 0 triangles" "$(last_line)"
  expect_eq "triangle: colours in the viewer area at 0" 1 "$(shot triangle-empty)"
  click bottom
  expect_eq "triangle: full count" "max 1 triangles" "$(last_line)"
  stop_viewer
fi

if [ "$failures" -ne 0 ]; then
  echo "roundtrip: $failures failed checks"
  exit 1
fi
echo "roundtrip: all checks passed"
