#!/usr/bin/env bash
# Every tool's command line: --help prints its usage on standard output and exits 0, doing
# nothing else; an unknown option or a bad value exits non-zero, before any work, with a message
# naming it (and, for a value, what is allowed).
#   tool_command_lines.sh BENCH-DIR EAVESMARK
set -u
bench=$(realpath "$1")
eavesmark=$(realpath "$2")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$dir/config" XDG_RUNTIME_DIR="$dir/runtime" TMPDIR="$dir/tmp"
mkdir -p "$dir/tmp" "$dir/work" "$dir/runtime"
chmod 700 "$dir/runtime"
cd "$dir/work"
failed=0

path_of() { [[ $1 == eavesmark ]] && echo "$eavesmark" || echo "$bench/$1"; }
run() {  # run TOOL ARGS...: exit status in $got, output in out/err
  local tool=$1; shift
  timeout 60 "$(path_of "$tool")" "$@" >"$dir/out" 2>"$dir/err"
  got=$?
}
show() { sed 's/^/    /' "$dir/out" "$dir/err" | head -20; }
left() { find "$dir/work" "$dir/tmp" -mindepth 1 | head -1; }

# verdict OK MESSAGE: a case fails unless OK is 1 and it left nothing behind; the work folders are
# emptied for the next case.
verdict() {
  local ok=$1
  [[ -z $(left) ]] || ok=0
  if [[ $ok == 0 ]]; then
    echo "$2"
    show
    failed=1
  fi
  rm -rf "$dir/work/"* "$dir/tmp/"*
}

# help TOOL [TEXT...]: usage on standard output (and each TEXT in it), exit 0, nothing left behind.
help() {
  local tool=$1; shift
  run "$tool" --help
  local ok=1
  [[ $got == 0 ]] && grep -qi '^usage:' "$dir/out" || ok=0
  for text in "$@"; do grep -qF -- "$text" "$dir/out" || ok=0; done
  verdict $ok "$tool --help: exit $got, or no usage on stdout with: $*"
}

# bad TOOL "TEXT[|TEXT...]" ARGS...: non-zero exit, every TEXT on standard error, nothing left behind.
bad() {
  local tool=$1 texts=$2; shift 2
  run "$tool" "$@"
  local ok=1
  [[ $got != 0 && $got != 124 ]] || ok=0
  IFS='|' read -ra wanted <<<"$texts"
  for text in "${wanted[@]}"; do grep -qF -- "$text" "$dir/err" || ok=0; done
  verdict $ok "$tool $*: exit $got (want non-zero), or not all of '$texts' on stderr, or files left"
}

help batch-bench "photo settings" "portal" "mls | zillow | airbnb | custom" "texture settings" \
  "channel | normal | height | pot | sprite | tiling" "podcast settings" "apple | spotify" "--jobs N"
bad batch-bench "--bogus" photo --bogus --out out in
bad batch-bench "'nothing'|photo" nothing --out out in
bad batch-bench "'x'|1 to 4096" photo --jobs x --out out in
bad batch-bench "'bogus'|mls, zillow, airbnb or custom" photo portal=bogus --out out in

help photo-bench "--only" "road|fusion|batch"
bad photo-bench "'bogus'|road, fusion or batch" --only bogus
bad photo-bench "'x'|whole number" --runs x
bad photo-bench "'--frob'" --frob 1
bad photo-bench "--runs" --runs

help image-pipeline-bench "RUNS"
bad image-pipeline-bench "'x'|whole number" x
bad image-pipeline-bench "'--runs'" --runs x

help texture-bench "SIDE"
bad texture-bench "'--bogus'" --bogus
bad texture-bench "'8'|16 to 16384" 8

help sprite-pack-bench "FRAMES" "REPEATS"
bad sprite-pack-bench "'x'|whole number" x
bad sprite-pack-bench "'-3'" 300 -3

help loudness-bench "--normalize" "--make-episode"
bad loudness-bench "'--cleanup'" --cleanup bogus
bad loudness-bench "bogus|rumble|hum off" --normalize -16:-1 --cleanup bogus in.wav out.wav
bad loudness-bench "--frob" --normalize -16:-1 --frob in.wav out.wav
bad loudness-bench "'x'" --make-episode out.wav --minutes x

help podcast-bench "--minutes" "--no-fillers"
bad podcast-bench "'x'|above 0" --minutes x
bad podcast-bench "'--bogus'" --bogus

help audiogram-bench "square|vertical|wide"
bad audiogram-bench "'round'|square, vertical or wide" --aspect round in.wav out.mp4
bad audiogram-bench "'5s'" --seconds 5s in.wav out.mp4
bad audiogram-bench "'--bogus'" --bogus in.wav out.mp4

help transcribe-bench "--decoders" "--srt"
bad transcribe-bench "'x'|whole number" --decoders x in.wav
bad transcribe-bench "'--bogus'" --bogus in.wav

help transcription-bench "--decoders LIST"
bad transcription-bench "'x'|above 0" --minutes x
bad transcription-bench "'1,y'|such as 1,8" --decoders 1,y
bad transcription-bench "'--bogus'" --bogus

help panel-snapshot "VERTICAL" "--size WxH"
bad panel-snapshot "'--bogus'" texture --bogus --size 1280x800 out.png
bad panel-snapshot "'nothing'|gablewise, texture or castloom" nothing --size 1280x800 out.png

help eavesmark "--snapshot <path>" "--snapshot-size <WxH>"
bad eavesmark "bogus|--snapshot" --bogus
bad eavesmark "extra" extra
bad eavesmark "snapshot-size" --snapshot out.png --snapshot-size

# "--snapshot" as the last argument names no picture: the window runs as usual, still running
# when it is stopped.
XDG_CONFIG_HOME="$dir/window-config" timeout 3 "$eavesmark" --snapshot >"$dir/out" 2>"$dir/err"
got=$?
verdict $([[ $got == 124 ]] && echo 1 || echo 0) "eavesmark --snapshot (last): exit $got, want the window to run"

[[ ! -e "$dir/config" ]] || { echo "the user's settings were touched"; failed=1; }
exit $failed
