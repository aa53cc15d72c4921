#!/usr/bin/env bash
# photo-bench's work folder: a folder holding files of the user's is refused and left as it was;
# a new or empty one is used, and afterwards only what the bench wrote is gone.
#   photo_bench_work.sh PATH-TO-photo-bench
set -u
bench=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0
fail() { echo "$*"; sed 's/^/    /' "$dir/log"; failed=1; }
run() { "$bench" --work "$1" --size 64x64 --runs 1 --batch 0 --only batch >"$dir/log" 2>&1; }

# case: holds the user's files
mkdir -p "$dir/mine/sub"
printf 'holiday' >"$dir/mine/holiday.jpg"
printf 'notes' >"$dir/mine/sub/notes.txt"
run "$dir/mine"; got=$?
[[ $got == 2 ]] || fail "a folder with the user's files: expected exit 2, got $got"
grep -q "mine is not empty" "$dir/log" || fail "a folder with the user's files: the refusal does not name it"
[[ "$(cat "$dir/mine/holiday.jpg" 2>/dev/null)" == holiday && "$(cat "$dir/mine/sub/notes.txt" 2>/dev/null)" == notes ]] \
  || fail "a folder with the user's files: they were touched"
[[ $(find "$dir/mine" | wc -l) == 4 ]] || fail "a folder with the user's files: something was added"

# case: an empty folder of the user's stays, empty
mkdir "$dir/empty"
run "$dir/empty"; got=$?
[[ $got == 0 ]] || fail "an empty folder: expected exit 0, got $got"
[[ -d "$dir/empty" && -z "$(ls -A "$dir/empty")" ]] || fail "an empty folder: not left empty"

# case: a new folder is made and removed
run "$dir/new/work"; got=$?
[[ $got == 0 ]] || fail "a new folder: expected exit 0, got $got"
[[ ! -e "$dir/new/work" ]] || fail "a new folder: left behind"

# case: a file in the way
printf 'x' >"$dir/file"
run "$dir/file"; got=$?
[[ $got == 2 && "$(cat "$dir/file")" == x ]] || fail "a file named as the folder: expected exit 2 and the file kept, got $got"
exit $failed
