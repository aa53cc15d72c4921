#!/bin/sh
# Runs a test binary under a throwaway X server; exit 77 (skipped) without xvfb-run.
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: skipped"; exit 77; }
unset QT_QPA_PLATFORM
exec xvfb-run -a -s "-screen 0 1600x1000x24" "$@"
