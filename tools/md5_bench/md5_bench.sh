#!/usr/bin/env bash
# Digest throughput of FileDigest under Wine next to md5sum's, on the same
# file in the page cache, measured in the same run (MB = 10^6 bytes).
# usage: [RADEVARE_ARCH=i686|x86-64] tools/md5_bench/md5_bench.sh [SIZE_MB] [RUNS]   (after scripts/build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-env"
build=$(radevare_build_dir "$RADEVARE_ARCH")
size_mb=${1:-512}
runs=${2:-3}
bench="$build/bin/md5_bench.exe"
[ -f "$bench" ] || { echo "md5_bench.sh: $bench is missing: run scripts/build first" >&2; exit 1; }

wine_prefix_ready

file=$(mktemp /tmp/md5_bench.XXXXXX)
out_file=$(mktemp /tmp/md5_bench_out.XXXXXX)
trap 'rm -f "$file" "$out_file"' EXIT
# Random bytes: nothing for either side to exploit. Read once more so both
# measure the digest from the page cache, not the disk.
head -c "$((size_mb * 1000000))" /dev/urandom >"$file"
cat "$file" >/dev/null
echo "file: $file, $size_mb MB, best of $runs runs each, $RADEVARE_ARCH build"

md5sum_out=$(python3 - "$file" "$runs" <<'PY'
import os, subprocess, sys, time
path, runs = sys.argv[1], int(sys.argv[2])
size_mb = os.path.getsize(path) / 1e6
best = 0.0
for run in range(1, runs + 1):
    start = time.perf_counter()
    digest = subprocess.run(["md5sum", path], check=True, capture_output=True, text=True).stdout.split()[0]
    seconds = time.perf_counter() - start
    print("md5sum run %d: %.3f s, %.1f MB/s" % (run, seconds, size_mb / seconds))
    best = max(best, size_mb / seconds)
print("md5sum %s best %.1f MB/s" % (digest, best))
PY
)
echo "$md5sum_out"

# Wine's output goes into a file, never a pipe: Wine's services may outlive
# the program and would hold a pipe open. Z: is the Linux root in every prefix.
wine_run "$bench" "Z:${file//\//\\}" "$runs" >"$out_file" 2>/dev/null </dev/null
tr -d '\r' <"$out_file"

expected=$(echo "$md5sum_out" | sed -n 's/^md5sum \([0-9a-f]*\) best.*/\1/p')
digest=$(tr -d '\r' <"$out_file" | sed -n 's/^FileDigest \([0-9a-f]*\) best.*/\1/p')
if [ -n "$digest" ] && [ "$digest" = "$expected" ]; then
    echo "digests agree"
else
    echo "digests differ: FileDigest '$digest', md5sum '$expected'" >&2
    exit 1
fi
