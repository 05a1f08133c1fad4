#!/usr/bin/env bash
# End-to-end tests of the converter lumopack: usage, the failures before and after the output file is
# opened (messages, exit status, what happens to the output file), and successful conversions, whose
# files must hold exactly the streams the library writes for the same scenes. lumopack initialises the
# Xt layer, so every run goes through xvfb-run.
# Usage: bash lumopack.sh <build dir> <meshes dir>
set -u
build=$(cd "$1" && pwd)
meshes=$2
data=$(cd "$(dirname "$0")/../data" && pwd)
pack=$build/lumopack
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs lumopack with the given arguments; sets $output (standard output) and $status.
run() {
  output=$(xvfb-run -a "$pack" "$@" 2>"$work/stderr")
  status=$?
}

# check <case> <expected status> <expected output>
check() {
  [ "$status" = "$2" ] || fail "$1: status $status, expected $2"
  [ "$output" = "$3" ] || fail "$1: printed '$output', expected '$3'"
}

usage="lumopack inventorfile lumofile"

# ---- usage: nothing opened, nothing written ----
run
check "no arguments" 1 "$usage"
run "$data/triangle.iv"
check "one argument" 1 "$usage"
run "$data/triangle.iv" "$work/three.lumo" extra
check "three arguments" 1 "$usage"
[ -e "$work/three.lumo" ] && fail "three arguments: output file created"

# ---- failures before the output is opened: no file created, an existing one left as it was ----
echo "this is not an inventor file" >"$work/notascene.iv"
printf '#Inventor V2.1 ascii\nSeparator { Cube { width 2 } }\n' >"$work/nomesh.iv"
printf '#Inventor V2.1 ascii\nSeparator { Coordinate3 { point [ 0 0 0, 1 0 0, 0 1 0 ] }\n  IndexedFaceSet { coordIndex [ 0, 1, 3, -1 ] } }\n' >"$work/badindex.iv"
before_open=(
  "input missing|$work/missing.iv|can't open inventorfile"
  "input not a scene|$work/notascene.iv|error reading inventorfile"
  "scene without a mesh|$work/nomesh.iv|error in inventorfile"
  "mesh with an index out of range|$work/badindex.iv|error in inventorfile"
)
for row in "${before_open[@]}"; do
  IFS='|' read -r name input message <<<"$row"
  run "$input" "$work/new.lumo"
  check "$name" 1 "$message"
  [ -e "$work/new.lumo" ] && fail "$name: output file created"
  echo "keep me" >"$work/existing.lumo"
  run "$input" "$work/existing.lumo"
  check "$name, existing output" 1 "$message"
  [ "$(cat "$work/existing.lumo")" = "keep me" ] || fail "$name: existing output file changed"
done

# ---- output that cannot be opened ----
run "$data/triangle.iv" "$work/no/such/folder/out.lumo"
check "output in a missing folder" 1 "errror opening lumofile"
mkdir "$work/folder"
run "$data/triangle.iv" "$work/folder"
check "output is a folder" 1 "errror opening lumofile"

# ---- write failures: reported, and a partial regular file removed ----
run "$meshes/cow.iv" /dev/full
check "device without space" 1 "errror writing lumofile"
# File size limits make writes fail with EFBIG (the signal ignored): with 0 KiB the small stream fails
# when the close flushes it, with 1 KiB the cow's stream fails during the writes.
for row in "0|$data/triangle.iv" "1|$meshes/cow.iv"; do
  IFS='|' read -r limit input <<<"$row"
  output=$(xvfb-run -a bash -c 'trap "" XFSZ; ulimit -f "$1"; shift; exec "$@"' limit "$limit" "$pack" \
    "$input" "$work/limited.lumo" 2>"$work/stderr")
  status=$?
  check "file size limit $limit KiB" 1 "errror writing lumofile"
  [ -e "$work/limited.lumo" ] && fail "file size limit $limit KiB: partial output file left behind"
done

# ---- successful conversions ----
# The worked example of the stream layout, byte for byte.
printf '%b' '\xaf\x00\x00\x00\x60\x00\x00\x00\x20\x00\x00\x00\x00\x00\x00\x00' \
  '\x00\x00\x00\x81\x00\x00\x7f\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x00\x00\xfe\x00\x00\x04\x02\x00\x00\x00\x00\x00\x50\x1f' >"$work/triangle.expected"
echo "an older stream, longer than the new one will be, so that truncation shows" >"$work/triangle.lumo"
run "$data/triangle.iv" "$work/triangle.lumo"
check "worked example" 0 ""
cmp "$work/triangle.lumo" "$work/triangle.expected" || fail "worked example: stream differs"

# Real scenes against the streams the library writes for the same meshes.
mkdir "$work/library"
if LUMO_STREAM_DIR="$work/library" "$build/tests/LumoEncoderWriter_test" \
  --gtest_filter=StreamFiles.LibraryStreamsOfSceneFiles >"$work/gtest.log" 2>&1; then
  for name in triangle cow spot fandisk; do
    case $name in triangle) input=$data/triangle.iv ;; *) input=$meshes/$name.iv ;; esac
    run "$input" "$work/$name.lumo"
    check "$name" 0 ""
    cmp "$work/$name.lumo" "$work/library/$name.lumo" || fail "$name: stream differs from the library's"
  done
else
  cat "$work/gtest.log"
  fail "the library's streams could not be written"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all lumopack checks passed"
