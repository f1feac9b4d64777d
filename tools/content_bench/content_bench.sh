#!/usr/bin/env bash
# Decoding throughput of CContentDecoder under Wine next to gzip -d's, on the
# same two files that Python's gzip wrote, in the same run: text of a few
# thousand words (about 3.5:1), and random bytes (stored blocks). Both
# decoders' output digests must agree with the digest of what was encoded
# (MB = 10^6 bytes of output).
# gzip -dc runs from start to exit on the file in the page cache, into
# /dev/null; content_bench.exe times only its decoding of the file in memory.
# usage: [RADEVARE_ARCH=i686|x86-64] [RADEVARE_BIN=DIR] tools/content_bench/content_bench.sh [SIZE_MB] [RUNS]   (after scripts/build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-env"
bin=${RADEVARE_BIN:-$(radevare_build_dir "$RADEVARE_ARCH")/bin}
size_mb=${1:-300}
runs=${2:-5}
bench="$bin/content_bench.exe"
[ -f "$bench" ] || { echo "content_bench.sh: $bench is missing: run scripts/build first" >&2; exit 1; }

wine_prefix_ready

work=$(mktemp -d /tmp/content_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "$size_mb MB of each kind, $runs runs each, $RADEVARE_ARCH build on $(uname -m), $(nproc) processors:" \
    "$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"

python3 - "$work" "$size_mb" "$runs" <<'PY'
import gzip, hashlib, os, random, subprocess, sys, time
work, size, runs = sys.argv[1], int(sys.argv[2]) * 1000000, int(sys.argv[3])
rng = random.Random(1)
syllables = ["ka", "lo", "ri", "tes", "mon", "va", "de", "zu", "pin", "ar", "el", "so", "gra", "nu", "fe", "ti"]
words = ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))) for _ in range(3000)]
weights = [1.0 / (rank + 1) for rank in range(len(words))]
lines = []
for n in range(120000):
    lines.append("%d %s\n" % (n, " ".join(rng.choices(words, weights, k=rng.randint(3, 14)))))
text = "".join(lines).encode()
for kind, block in (("text", text), ("random", None)):
    plain = os.path.join(work, kind)
    digest = hashlib.md5()
    # Python's gzip at the gzip program's default level.
    with gzip.GzipFile(plain + ".gz", "wb", compresslevel=6, mtime=0) as out:
        left = size
        while left > 0:
            piece = (block if block is not None else os.urandom(1 << 24))[:left]
            out.write(piece)
            digest.update(piece)
            left -= len(piece)
    with open(os.path.join(work, kind + ".md5"), "w") as out:
        out.write(digest.hexdigest())
    encoded = os.path.getsize(plain + ".gz")
    subprocess.run(["cat", plain + ".gz"], stdout=subprocess.DEVNULL, check=True)
    rates = []
    for run in range(runs):
        start = time.perf_counter()
        subprocess.run(["gzip", "-dc", plain + ".gz"], stdout=subprocess.DEVNULL, check=True)
        rates.append(size / 1e6 / (time.perf_counter() - start))
    check = subprocess.run("gzip -dc '%s.gz' | md5sum" % plain, shell=True, check=True, capture_output=True,
                           text=True).stdout.split()[0]
    rates.sort()
    print("%s: %.1f MB gzip of %.1f MB" % (kind, encoded / 1e6, size / 1e6))
    print("  gzip -dc        %s median %.1f MB/s out (min %.1f, max %.1f)%s" % (
        check, rates[len(rates) // 2], rates[0], rates[-1], "" if check == digest.hexdigest() else " DIGEST DIFFERS"))
    with open(os.path.join(work, kind + ".peer"), "w") as out:
        out.write("%.1f" % rates[len(rates) // 2])
PY

status=0
for kind in text random; do
    # Wine's output goes into a file, never a pipe: Wine's services may
    # outlive the program and would hold a pipe open. Z: is the Linux root.
    wine_run "$bench" gzip "Z:${work//\//\\}\\$kind.gz" "$runs" >"$work/$kind.out" 2>&1 </dev/null || status=1
    line=$(tr -d '\r' <"$work/$kind.out" | grep '^CContentDecoder [0-9a-f]* ' || true)
    digest=$(echo "$line" | cut -d' ' -f2)
    ours=$(echo "$line" | sed -n 's/.*median \([0-9.]*\) MB.s.*/\1/p')
    echo "$kind:"
    echo "  CContentDecoder ${line#CContentDecoder }"
    if [ -z "$ours" ] || [ "$digest" != "$(cat "$work/$kind.md5")" ]; then
        tr -d '\r' <"$work/$kind.out" >&2
        echo "  digest differs or no figure: '$digest'" >&2
        status=1
    else
        echo "  ratio to gzip -dc: $(python3 -c "print('%.2f' % ($ours / $(cat "$work/$kind.peer")))")x"
    fi
done
exit $status
