#!/usr/bin/env bash
# batch-bench's command line: usage errors exit 2, "--" ends the options.
#   batch_bench_args.sh PATH-TO-batch-bench
set -u
bench=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/--folder" "$dir/a=b"
failed=0
expect() {
  local want=$1; shift
  "$bench" "$@" >"$dir/log" 2>&1
  local got=$?
  if [[ $got != "$want" ]]; then
    echo "expected exit $want, got $got: batch-bench $*"
    sed 's/^/    /' "$dir/log"
    failed=1
  fi
}
cd "$dir"
expect 2 photo --out out missing-folder
expect 2 photo --out out -- missing-folder
expect 2 photo --out out --folder
expect 0 photo --out out -- --folder a=b
for jobs in 0 -1 +3 " 3" "3 " 3x 1e2 99999999999 ""; do
  expect 2 photo --jobs "$jobs" --out out -- --folder
done
expect 0 photo --jobs 3 --out out -- --folder
exit $failed
