#!/bin/sh
# Peak RSS of incremental transcription of a 30-minute and a 2-hour file, each in its own
# process, and their ratio. Usage: incremental_rss.sh [BUILD_DIR] [SHORT_SECONDS LONG_SECONDS]
set -eu
build=${1:-build}
short=${2:-1800}
long=${3:-7200}
program="$build/bench/pipeline/incremental_rss"
[ -x "$program" ] || { echo "incremental_rss.sh: $program not built (configure with PROJECT_BUILD_BENCH=ON)" >&2; exit 1; }
a=$("$program" "$short")
echo "$a"
b=$("$program" "$long")
echo "$b"
peak() { echo "$1" | sed -n 's/.*peak_rss_kib=\([0-9]*\).*/\1/p'; }
pa=$(peak "$a")
pb=$(peak "$b")
awk -v a="$pa" -v b="$pb" 'BEGIN { r = b / a; printf "peak ratio long/short = %.3f (%s)\n", r, (r <= 1.10 && r >= 0.90) ? "within 10%" : "NOT within 10%" }'
