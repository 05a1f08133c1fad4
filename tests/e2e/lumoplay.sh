#!/usr/bin/env bash
# End-to-end test of the stream viewer lumoplay under Xvfb: its command line and start-up failures, the
# window and the drawn mesh, the scroll bar driven with xdotool (each move prints the count the decoder
# settled on, and the drawing follows), stream files of awkward sizes (a multiple of 1024, cut short,
# empty, damaged), and the screenshots of scripts/demo. Streams are made with lumopack from the shared
# meshes.
#
#   bash lumoplay.sh <build dir> <meshes dir>
set -u

# One virtual display for all checks.
source "$(dirname "$0")/viewer/driver.bash"
run_under_xvfb "$0" "$@"

source=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
meshes=$(cd "$2" && pwd)
work=$(mktemp -d)
pid=""
failures=0
viewer=$build/lumoplay
title=lumoplay
trap 'stop_viewer; rm -rf "$work"' EXIT

# --- the viewer window --------------------------------------------------------------------------------

# Drags the slider from the bottom of the trough to `y` pixels below the scroll bar's top.
drag_to() {  # y
  local before x=$((barX + barW / 2))
  before=$(lines)
  xdotool mousemove "$x" $((barY + 225 - 17)) mousedown 1 sleep 0.2 mousemove "$x" $((barY + 120)) \
    sleep 0.2 mousemove "$x" $((barY + $1)) sleep 0.2 mouseup 1
  wait_line "$before"
}

# --- checks -------------------------------------------------------------------------------------------

expect_exit "no argument" "lumoplay lumofile" 1
expect_exit "two arguments" "lumoplay lumofile" 1 a b
expect_exit "missing file" "errror opening lumofile" 1 "$work/missing.lumo"
# A directory opens for reading but every read fails.
expect_exit "unreadable file" "error reading lumofile" 1 "$work"

for mesh in cow spot; do
  "$build/lumopack" "$meshes/$mesh.iv" "$work/$mesh.lumo" || fail "lumopack $mesh.iv"
done

# cow.iv: 5804 triangles. The scroll bar starts at the full count; its arrows step by one, Ctrl+arrow
# goes to an end, so every value below is known and the printed count must be the decoder's answer.
if start_viewer "$work/cow.lumo"; then
  expect_eq "cow: output at start" "" "$(cat "$work/out")"
  await_picture full "cow: viewer area shows no mesh" '[ "$colours" -gt 10 ]'
  click top
  expect_eq "cow: one below the full count" "max 5803 triangles" "$(last_line)"
  click top ctrl
  expect_eq "cow: scroll bar at 0" "max 0 triangles" "$(last_line)"
  await_picture empty "cow: viewer area not empty at 0" '[ "$colours" -eq 1 ]'
  click bottom
  expect_eq "cow: one above 0" "max 1 triangles" "$(last_line)"
  click bottom ctrl
  expect_eq "cow: scroll bar at the full count" "max 5804 triangles" "$(last_line)"
  await_picture full-again "cow: full count drawn differently after going to 0 and back" \
    'same_picture full full-again'
  drag_to 30
  n=$(last_line | sed -n 's/^max \([0-9]*\) triangles$/\1/p')
  if [ -z "$n" ] || [ "$n" -le 0 ] || [ "$n" -ge 2000 ]; then
    fail "cow: drag near the top printed '$(last_line)'"
  fi
  await_picture coarse "cow: drawing at $n triangles empty or unchanged" \
    '[ "$colours" -gt 1 ] && ! same_picture full coarse'
  bad=$(grep -cv '^max [0-9]* triangles$' "$work/out")
  expect_eq "cow: lines other than 'max N triangles'" 0 "$bad"
  stop_viewer
fi

# spot.iv (5856 triangles) padded after its end tag to a multiple of 1024 bytes: the last buffer read
# holds no byte, and the viewer shows exactly what it shows for the stream itself.
size=$(stat -c %s "$work/spot.lumo")
cp "$work/spot.lumo" "$work/padded.lumo"
head -c $((1024 - size % 1024)) /dev/zero >>"$work/padded.lumo"
expect_eq "padded size modulo 1024" 0 $(($(stat -c %s "$work/padded.lumo") % 1024))
if start_viewer "$work/spot.lumo"; then
  await_picture spot "spot: viewer area shows no mesh" '[ "$colours" -gt 10 ]'
  stop_viewer
fi
if start_viewer "$work/padded.lumo"; then
  expect_eq "padded: output at start" "" "$(cat "$work/out")"
  await_picture padded "padded: drawn differently from the stream itself" 'same_picture spot padded'
  click top
  expect_eq "padded: one below the full count" "max 5855 triangles" "$(last_line)"
  click bottom
  expect_eq "padded: full count" "max 5856 triangles" "$(last_line)"
  stop_viewer
fi

# The same stream cut at a multiple of 1024 bytes well past its header: fewer triangles are available
# than the scroll bar's maximum, and every request above them prints the available count.
head -c $(((size / 2) / 1024 * 1024)) "$work/spot.lumo" >"$work/cut.lumo"
if start_viewer "$work/cut.lumo"; then
  expect_eq "cut: output at start" "" "$(cat "$work/out")"
  await_picture cut "cut: viewer area shows no mesh" '[ "$colours" -gt 10 ]'
  click top
  available=$(last_line | sed -n 's/^max \([0-9]*\) triangles$/\1/p')
  if [ -z "$available" ] || [ "$available" -le 0 ] || [ "$available" -ge 5855 ]; then
    fail "cut: request of 5855 printed '$(last_line)'"
  fi
  click bottom ctrl
  expect_eq "cut: request of 5856" "max $available triangles" "$(last_line)"
  click top ctrl
  expect_eq "cut: request of 0" "max 0 triangles" "$(last_line)"
  stop_viewer
fi

# cow.iv's stream with the header's vertex count lowered to 1000: the decoder refuses the 1001st vertex
# packet. One line tells of the damage, and what was decoded before it is shown.
perl -e 'local $/; open(my $in, "<", $ARGV[0]) or die; binmode $in; my $s = <$in>;
         vec($s, 37 + $_, 1) = (1000 >> $_) & 1 for 0 .. 31;
         open(my $out, ">", $ARGV[1]) or die; binmode $out; print $out $s' "$work/cow.lumo" "$work/damaged.lumo"
if start_viewer "$work/damaged.lumo"; then
  expect_eq "damaged: output at start" "error in lumofile" "$(cat "$work/out")"
  await_picture damaged "damaged: the part decoded before the damage is not shown" '[ "$colours" -gt 10 ]'
  click top
  n=$(last_line | sed -n 's/^max \([0-9]*\) triangles$/\1/p')
  if [ -z "$n" ] || [ "$n" -le 0 ] || [ "$n" -ge 5803 ]; then
    fail "damaged: request of 5803 printed '$(last_line)'"
  fi
  stop_viewer
fi

# An empty file is one buffer of no byte: nothing decoded, nothing drawn, no message.
: >"$work/empty.lumo"
if start_viewer "$work/empty.lumo"; then
  await_picture empty-file "empty: something drawn" '[ "$colours" -eq 1 ]'
  expect_eq "empty: output" "" "$(cat "$work/out")"
  stop_viewer
fi

# What the demo does without a display, here on this test's display: two screenshots of the sample, at
# the full count and at about a tenth of it, and where they are.
report=$(bash "$source/scripts/demo" --screenshots "$build" "$work/demo" 2>&1)
full=$(echo "$report" | sed -n 's|^  \(.*/lumoplay-full.png\) (\([0-9]*\) triangles)$|\2|p')
tenth=$(echo "$report" | sed -n 's|^  \(.*/lumoplay-tenth.png\) (\([0-9]*\) triangles)$|\2|p')
expect_eq "demo: full count" 5856 "$full"
if [ -z "$tenth" ] || [ "$tenth" -lt 400 ] || [ "$tenth" -gt 800 ]; then
  fail "demo: not about a tenth: $report"
fi
for picture in full tenth; do
  expect_eq "demo: $picture screenshot" PNG "$(identify -format %m "$work/demo/lumoplay-$picture.png" 2>&1)"
done
[ "$(compare -metric AE "$work/demo/lumoplay-full.png" "$work/demo/lumoplay-tenth.png" null: 2>&1)" != 0 ] ||
  fail "demo: the two screenshots are the same"

if [ "$failures" -ne 0 ]; then
  echo "lumoplay: $failures failed checks"
  exit 1
fi
echo "lumoplay: all checks passed"
