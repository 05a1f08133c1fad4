# Shared driver of the viewer end-to-end tests (lumoplay.sh, roundtrip.sh): one virtual display for a
# whole script, the viewer window found by its title, its scroll bar and viewer area located, the scroll
# bar driven with xdotool, and screenshots of the viewer area compared by their colours.
#
# A script sources this file and calls run_under_xvfb "$0" "$@" first; before it calls anything else it
# sets `work` (its scratch folder), `pid` (empty), `failures` (0), `viewer` (the command to start) and
# `title` (the window's title).

# Runs the calling script again under its own virtual display. The search for a free display number
# starts at a random one, so that tests run side by side do not race for the same number; -noreset keeps
# the server accepting connections while no client is left between two programs. The 24-bit screen has
# the GLX visuals the viewer needs.
run_under_xvfb() {  # script, arguments...
  if [ -z "${LUMO_E2E_XVFB:-}" ]; then
    exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24 -noreset" env LUMO_E2E_XVFB=1 bash "$@"
  fi
  if ! xdpyinfo >/dev/null 2>&1; then
    echo "FAIL: the virtual display $DISPLAY cannot be used"
    exit 1
  fi
}

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
  out=$(timeout 120 "$viewer" "$@" 2>/dev/null)
  rc=$?
  expect_eq "$what: output" "$line" "$out"
  expect_eq "$what: status" "$status" "$rc"
}

# Starts the viewer on a file and waits for its window; sets window, scroll bar and viewer-area geometry.
start_viewer() {
  "$viewer" "$1" >"$work/out" 2>"$work/err" &
  pid=$!
  window=""
  for _ in $(seq 600); do
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1)
    [ -n "$window" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  if [ -z "$window" ]; then
    fail "$1: no window titled $title"
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
    kill -0 "$pid" 2>/dev/null || fail "$title ended by itself: $(cat "$work/err")"
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

# Takes screenshots until `condition` holds (it may read $colours) or some seconds have passed: a busy
# machine may redraw late.
await_picture() {  # name, failure message, condition
  for _ in $(seq 20); do
    colours=$(shot "$1")
    if eval "$3"; then return 0; fi
    sleep 0.5
  done
  fail "$2 ($colours colours)"
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

wait_line() {  # line count before the action
  for _ in $(seq 100); do
    [ "$(lines)" -gt "$1" ] && break
    sleep 0.1
  done
  sleep 0.5
}

last_line() { tail -n 1 "$work/out"; }

count_of() { sed -n 's/^max \([0-9]*\) triangles$/\1/p'; }
