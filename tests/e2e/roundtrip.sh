#!/usr/bin/env bash
# End-to-end test of the round-trip viewer roundtrip under Xvfb: its command line and start-up failures
# (one line, status 1, ended before any window), and on a shared mesh and on the stream layout's
# one-triangle example the window titled "roundtrip" with the drawn mesh and the scroll bar driven with
# xdotool: it starts at the mesh's triangle count, and each move prints the count the decoder settled on
# while the drawing follows. Screenshots are taken with ImageMagick's import.
#
#   bash roundtrip.sh <build dir> <meshes dir>
set -u

# One virtual display for all checks. The search for a free display number starts at a random one, so
# that tests run side by side do not race for the same number; -noreset keeps the server accepting
# connections while no client is left between two programs. The 24-bit screen has the GLX visuals the
# viewer needs.
if [ -z "${LUMO_E2E_XVFB:-}" ]; then
  exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24 -noreset" env LUMO_E2E_XVFB=1 bash "$0" "$@"
fi
if ! xdpyinfo >/dev/null 2>&1; then
  echo "FAIL: the virtual display $DISPLAY cannot be used"
  exit 1
fi

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

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

expect_eq() {  # what, expected, actual
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# A start-up failure: the one line printed and the exit status. A program that showed its window would
# sit in its main loop until the timeout (status 124).
expect_exit() {  # what, expected line, expected status, arguments...
  local what=$1 line=$2 status=$3
  shift 3
  local out rc
  out=$(timeout 120 "$work/viewer" "$@" 2>/dev/null)
  rc=$?
  expect_eq "$what: output" "$line" "$out"
  expect_eq "$what: status" "$status" "$rc"
}

# --- the viewer window --------------------------------------------------------------------------------

# Starts roundtrip on a file and waits for its window; sets window, scroll bar and viewer-area geometry.
start_viewer() {
  "$work/viewer" "$1" >"$work/out" 2>"$work/err" &
  pid=$!
  window=""
  for _ in $(seq 600); do
    window=$(xdotool search --onlyvisible --name '^roundtrip$' 2>/dev/null | head -1)
    [ -n "$window" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  if [ -z "$window" ]; then
    fail "$1: no window titled roundtrip"
    cat "$work/out" "$work/err"
    return 1
  fi
  sleep 2
  local tree
  tree=$(xwininfo -id "$window" -tree)
  eval "$(xwininfo -id "$window" | awk '/Absolute upper-left X/ {print "winX=" $4}
      /Absolute upper-left Y/ {print "winY=" $4} /Width:/ {print "winW=" $2}')"
  # The scroll bar is the child placed at x 5 with height 225; the viewer area the largest child that
  # does not fill the window.
  eval "$(echo "$tree" | awk '
      match($0, /[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+ +\+-?[0-9]+\+-?[0-9]+/) {
        split(substr($0, RSTART, RLENGTH), f, /[x+ ]+/)
        if (f[2] == 225 && f[3] == 5) printf "barX=%d barY=%d barW=%d\n", f[5], f[6], f[1]
        if (f[1] < '"$winW"' && f[1] * f[2] > best) { best = f[1] * f[2]; area = f[1] "x" f[2] " " f[5] " " f[6] }
      }
      END { split(area, a, " "); print "areaSize=" a[1] " areaX=" a[2] " areaY=" a[3] }')"
  if [ -z "${barX:-}" ]; then
    fail "$1: no scroll bar of height 225 at x 5"
    return 1
  fi
}

stop_viewer() {
  if [ -n "$pid" ]; then
    kill -0 "$pid" 2>/dev/null || fail "roundtrip ended by itself: $(cat "$work/err")"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
  fi
  unset barX
}

# Screenshot of the window; prints the number of distinct colours inside the viewer area (less a margin
# for its frame), 1 when nothing is drawn.
shot() {  # name
  import -window "$window" "$work/$1.png"
  local w=${areaSize%x*} h=${areaSize#*x}
  convert "$work/$1.png" -crop "$((w - 8))x$((h - 8))+$((areaX - winX + 4))+$((areaY - winY + 4))" +repage \
    "$work/$1-area.png"
  convert "$work/$1-area.png" -format %k info:
}

same_picture() {  # name, name
  [ "$(compare -metric AE "$work/$1-area.png" "$work/$2-area.png" null: 2>&1)" = "0" ]
}

lines() { wc -l <"$work/out"; }

# Clicks an arrow of the scroll bar (Ctrl goes to that end) and waits for the line the callback prints.
click() {  # top|bottom, [ctrl]
  local before y x=$((barX + barW / 2))
  before=$(lines)
  if [ "$1" = top ]; then y=$((barY + 4)); else y=$((barY + 220)); fi
  xdotool mousemove "$x" "$y"
  if [ "${2:-}" = ctrl ]; then xdotool keydown ctrl click 1 keyup ctrl; else xdotool click 1; fi
  wait_line "$before"
}

# Drags the slider from the top of the trough (where it stands at 0) down to `y` pixels below the
# scroll bar's top.
drag_to() {  # y
  local before x=$((barX + barW / 2))
  before=$(lines)
  xdotool mousemove "$x" $((barY + barW + 2)) mousedown 1 sleep 0.2 mousemove "$x" $((barY + 40)) \
    sleep 0.2 mousemove "$x" $((barY + $1)) sleep 0.2 mouseup 1
  wait_line "$before"
}

wait_line() {  # line count before the action
  for _ in $(seq 100); do
    [ "$(lines)" -gt "$1" ] && break
    sleep 0.1
  done
  sleep 1.5  # let the viewer redraw before the next screenshot
}

last_line() { tail -n 1 "$work/out"; }
count_of() { sed -n 's/^max \([0-9]*\) triangles$/\1/p'; }

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
