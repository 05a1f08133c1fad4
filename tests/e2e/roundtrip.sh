#!/usr/bin/env bash
# End-to-end tests of the round-trip viewer roundtrip: usage, the start-up failures (message, exit status,
# no window), and a session on a shared mesh under Xvfb in which the window titled "roundtrip" shows the
# mesh, the scroll bar starts at the mesh's triangle count, and moving it (xdotool) prints the counts the
# decoder settles on. Screenshots of the drawing area are taken with ImageMagick's import.
# Usage: bash roundtrip.sh <build dir> <meshes dir>
set -u
build=$(cd "$1" && pwd)
meshes=$(cd "$2" && pwd)
program=$build/roundtrip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# A 24-bit screen: the viewer needs GLX visuals that the default 8-bit screen of xvfb-run lacks.
screen="-screen 0 1024x768x24"

# Runs roundtrip with the given arguments; sets $output (standard output) and $status. A failure must end
# the program before its window and main loop, so a run that is still going after the timeout (status
# 124) has shown a window.
run() {
  output=$(timeout 120 xvfb-run -a -s "$screen" "$program" "$@" 2>"$work/stderr")
  status=$?
}

# check <case> <expected status> <expected output>
check() {
  [ "$status" = "$2" ] || fail "$1: status $status, expected $2"
  [ "$output" = "$3" ] || fail "$1: printed '$output', expected '$3'"
}

# ---- usage and start-up failures ----
usage="roundtrip inventorfile"
run
check "no arguments" 1 "$usage"
run "$meshes/spot.iv" extra
check "two arguments" 1 "$usage"

echo "this is not an inventor file" >"$work/notascene.iv"
printf '#Inventor V2.1 ascii\nSeparator { Cube { width 2 } }\n' >"$work/nomesh.iv"
# A textured triangle whose image has one component per pixel (grey), not RGB.
cat >"$work/greytexture.iv" <<'EOF'
#Inventor V2.1 ascii
Separator {
  Texture2 { image 2 2 1 0xff 0x80 0x40 0x00 }
  TextureCoordinate2 { point [ 0 0, 1 0, 0 1 ] }
  Coordinate3 { point [ 0 0 0, 1 0 0, 0 1 0 ] }
  IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }
}
EOF
failures_table=(
  "missing file|$work/missing.iv|can't open inventorfile"
  "not a scene|$work/notascene.iv|error reading inventorfile"
  "scene without a mesh|$work/nomesh.iv|error in inventorfile"
  "texture image not RGB|$work/greytexture.iv|error in inventorfile"
)
for row in "${failures_table[@]}"; do
  IFS='|' read -r name input message <<<"$row"
  run "$input"
  check "$name" 1 "$message"
done

# ---- a session on a shared mesh ----
# The session runs inside one Xvfb server and leaves its findings in $work: the printed lines after
# each scroll bar action (lines.<step>), screenshots of the drawing area (shot.<step>.png), and
# session.log with what it could not do.
cat >"$work/session.sh" <<'EOF'
set -u
program=$1 mesh=$2 work=$3
# Started under another name, so that its windows take the title "roundtrip" only from the viewer.
ln -s "$program" "$work/viewer"
"$work/viewer" "$mesh" >"$work/out" 2>"$work/err" &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT
log() { echo "$*" >>"$work/session.log"; }

window=
for _ in $(seq 1 600); do
  window=$(xdotool search --onlyvisible --name '^roundtrip$' 2>/dev/null | head -1)
  [ -n "$window" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.2
done
[ -n "$window" ] || { log "no window titled roundtrip"; exit 1; }
sleep 2
xwininfo -id "$window" -tree >"$work/tree"

# The scroll bar: the one window 225 pixels high. The drawing area: the smallest window at least
# 200 pixels wide and high (the viewer's frames around it are larger). Geometry lines read
# "WxH+x+y  +X+Y", the last pair being the position on the screen.
bar=$(grep -E ' [0-9]+x225\+' "$work/tree" | head -1 | awk '{print $(NF-1), $NF}')
[ -n "$bar" ] || { log "no scroll bar"; exit 1; }
barWidth=$(echo "$bar" | sed -E 's/^([0-9]+)x.*/\1/')
barX=$(echo "$bar" | awk '{print $2}' | cut -d+ -f2)
barY=$(echo "$bar" | awk '{print $2}' | cut -d+ -f3)
area=$(grep -oE '[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+ +\+-?[0-9]+\+-?[0-9]+' "$work/tree" |
  awk '{split($1, s, /[x+]/); if (s[1] >= 200 && s[2] >= 200) print s[1] * s[2], s[1] "x" s[2] $2}' |
  sort -n | head -1 | awk '{print $2}')
[ -n "$area" ] || { log "no drawing area"; exit 1; }

shoot() { import -window root -crop "$area" +repage "$work/shot.$1.png"; }
# act <step> <xdotool arguments>: one scroll bar action, then the lines it printed.
act() {
  local step=$1 before after
  shift
  before=$(wc -l <"$work/out")
  xdotool "$@"
  for _ in $(seq 1 50); do
    sleep 0.2
    after=$(wc -l <"$work/out")
    [ "$after" -gt "$before" ] && sleep 0.5 && break
  done
  tail -n +"$((before + 1))" "$work/out" >"$work/lines.$step"
}

x=$((barX + barWidth / 2))
top=$((barY + barWidth / 2))
bottom=$((barY + 225 - barWidth / 2))
shoot start
act up mousemove $x $top click 1
act down mousemove $x $bottom click 1
act page mousemove $x $((barY + 100)) click 1
act zero mousemove $x $top keydown ctrl click 1 keyup ctrl
sleep 1
shoot zero
act drag mousemove $x $((barY + barWidth + 2)) mousedown 1 mousemove $x $((barY + 60)) sleep 0.3 \
  mousemove $x $((barY + 110)) sleep 0.3 mouseup 1
sleep 1
shoot drag
kill -0 $pid 2>/dev/null || log "roundtrip ended during the session"
EOF

mesh=$meshes/spot.iv
triangles=5856
timeout 300 xvfb-run -a -s "$screen" bash "$work/session.sh" "$program" "$mesh" "$work"
[ -s "$work/session.log" ] && fail "session: $(cat "$work/session.log")"

# lines <step> <expected lines>
lines() {
  local got
  got=$(cat "$work/lines.$1" 2>/dev/null)
  [ "$got" = "$2" ] || fail "scroll bar $1: printed '$got', expected '$2'"
}
# The first step down from the start prints the count below the mesh's: the bar started at the count.
lines up "max $((triangles - 1)) triangles"
lines down "max $triangles triangles"
# A click in the trough moves by Motif's page increment of 10.
lines page "max $((triangles - 10)) triangles"
lines zero "max 0 triangles"
# A drag prints a line per move, counts rising from 0 and never above the mesh's.
previous=0
moves=0
while read -r line; do
  if [[ "$line" =~ ^max\ ([0-9]+)\ triangles$ ]]; then
    count=${BASH_REMATCH[1]}
    [ "$count" -ge "$previous" ] && [ "$count" -le "$triangles" ] || fail "drag: count $count out of order"
    previous=$count
    moves=$((moves + 1))
  else
    fail "drag: printed '$line'"
  fi
done <"$work/lines.drag"
[ "$moves" -ge 2 ] && [ "$previous" -gt 0 ] && [ "$previous" -lt "$triangles" ] ||
  fail "drag: $moves lines ending at $previous"

# Pixels: the whole mesh and the dragged-to part of it draw something; at 0 triangles the area is empty.
colours() { convert "$work/shot.$1.png" -format '%k' info: 2>/dev/null || echo 0; }
[ "$(colours start)" -gt 1 ] || fail "the mesh is not shown at start (uniform drawing area)"
[ "$(colours drag)" -gt 1 ] || fail "the mesh is not shown after the drag (uniform drawing area)"
[ "$(colours zero)" = 1 ] || fail "at 0 triangles the drawing area is not empty"
grep -v '^max [0-9]* triangles$' "$work/out" | grep . && fail "session printed other lines"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all roundtrip checks passed"
