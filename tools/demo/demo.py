#!/usr/bin/env python3
"""The main job: RadeVare.exe fetches a package for real, under Wine, with the
project's test host as its host.

usage: demo.py [--url FILELIST_URL] [--target FOLDER] [--work FOLDER] [--screenshot PNG]
  By default it makes a sample package (a few dozen files in nested folders,
  some megabytes, one program to run, one file for later), serves it on
  127.0.0.1 and fetches it into WORK/game. --url fetches another file list
  instead; --target names another target folder. WORK (default build/demo)
  is emptied first, so it must be new, empty, or a folder this script made.
Run through scripts/demo, which builds what is missing, chooses the build
(32-bit where the machine runs it, else x86-64) and starts Wine.
"""
import argparse
import os
import random
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from bmp import bar_row, expected_fill, read_bmp, write_png  # noqa: E402
from runlib.filelist import Package, md5_of  # noqa: E402
from runlib.folders import OwnedFolder  # noqa: E402
from runlib.host import run_host  # noqa: E402
from runlib.paths import BIN, SOURCE, wine_path  # noqa: E402
from runlib.server import TestServer  # noqa: E402

# The sample is served at this rate per file so that the bar can be seen.
SAMPLE_RATE = 2 * 1024 * 1024
# Marks a working folder as this script's own: only such a folder is emptied.
WORK_MARKER = ".radevare-demo"
ARCH_NAMES = {"i686": "the shipped 32-bit program (i686)", "x86-64": "the x86-64 build"}


def prepare_work(work):
    """Empties WORK for a new run; refuses a folder that this script did not make."""
    folder = OwnedFolder(work, WORK_MARKER, "tools/demo/demo.py")
    try:
        folder.claim()
    except SystemExit as refused:
        raise SystemExit("demo: %s (choose a new or empty --work folder)" % refused)
    folder.empty()


def sample_package(server):
    """About three dozen files in nested folders, some megabytes in all."""
    rng = random.Random(20261209)
    pkg = Package(server, prefix="/sample")
    with open(os.path.join(BIN, "run_recorder.exe"), "rb") as f:
        pkg.add("\\bin\\Launcher.exe", f.read(), opt="RUN", cmd="-welcome", rate=SAMPLE_RATE)
    folders = ["data", "data\\maps", "data\\maps\\north", "data\\sounds", "textures", "textures\\ui", "scripts"]
    for i in range(34):
        folder = folders[i % len(folders)]
        size = rng.choice([4096, 20000, 65536, 150000, 300000, 600000])
        data = rng.randbytes(size)
        pkg.add("\\%s\\file%02d.dat" % (folder, i), data, rate=SAMPLE_RATE)
    pkg.add("\\extras\\music.pak", rng.randbytes(400000), opt="DELAY")
    return pkg


def save_bar(snap, png_path):
    """Saves the strip of one of the host's screenshots, enlarged, as PNG.
    Returns the figure it was taken at, the strip's width, the fill it shows
    and the fill that figure calls for, in pixels of the strip's own width."""
    bmp, figure, window = snap[0].replace("Z:", "", 1).replace("\\", "/"), int(snap[1]), snap[2:6]
    left, top, right, bottom = (int(v) for v in window)
    image = read_bmp(bmp)
    blue, _ = bar_row(image, window)
    write_png(image.crop(left - 40, top - 20, right + 40, bottom + 20).scaled(2), png_path)
    # The fill is one run from the left edge; anything else is no fill.
    shown = len(blue) if blue == list(range(len(blue))) else 0
    return figure, right - left, shown, expected_fill(right - left, figure)


def report_picture(snaps, screenshot, required):
    """Saves the picture of the bar from the middle of the run and says what
    it shows. A picture must show the fill of its figure, within a pixel:
    one that shows another is refused, not replaced by a better one. False
    when it is refused, or when there is none and one is required."""
    mid = [s for s in snaps if 0 < int(s[1]) < 100 and s[6] == "1"]
    if not mid:
        print("demo: no picture of the bar was taken in mid-run", file=sys.stderr)
        return not required
    figure, width, shown, wanted = save_bar(mid[len(mid) // 2], screenshot)
    print("screenshot of the bar at %d%%: fill %d of %d pixels (%d expected): %s"
          % (figure, shown, width, wanted, screenshot))
    if abs(shown - wanted) > 1:
        print("demo: the picture does not show its figure: a fill of %d pixels at %d%%, not %d"
              % (shown, figure, wanted), file=sys.stderr)
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", help="fetch this FileList.xml instead of the sample package")
    parser.add_argument("--target", help="target folder of the listed files (default WORK/game)")
    parser.add_argument("--work", default=os.path.join(SOURCE, "build", "demo"), help="working folder")
    parser.add_argument("--screenshot", default=None, help="where to save the bar (default WORK/bar.png)")
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    target = os.path.abspath(args.target) if args.target else os.path.join(work, "game")
    if args.target and (target + os.sep).startswith(work + os.sep):
        raise SystemExit("demo: --target must lie outside --work, which is emptied at the start")
    prepare_work(work)
    client = os.path.join(work, "client")
    snaps = os.path.join(work, "snaps")
    os.makedirs(client)
    os.makedirs(snaps)
    exe = os.path.join(client, "RadeVare.exe")
    shutil.copyfile(os.path.join(BIN, "RadeVare.exe"), exe)
    os.makedirs(target, exist_ok=True)
    screenshot = args.screenshot or os.path.join(work, "bar.png")

    server = TestServer()
    server.start()
    try:
        pkg = None
        url = args.url
        if url is None:
            pkg = sample_package(server)
            url = pkg.publish("/sample/FileList.xml")
            total = sum(len(d) for d in pkg.contents.values())
            print("sample package: %d files, %.1f MB, served at %s" % (len(pkg.entries), total / 1e6, url))
        arch = os.environ.get("RADEVARE_ARCH", "i686")
        print("program: %s" % ARCH_NAMES.get(arch, arch))
        print("client: %s" % wine_path(exe))
        print("target: %s" % wine_path(target))

        def show(line):
            fields = line.split("\t")
            if fields[0] == "message" and len(fields) >= 5:
                print("  report: game %s, progress %s" % (fields[3], fields[4]), flush=True)
            elif fields[0] in ("box", "timeout"):
                print("  %s" % " ".join(fields), flush=True)

        started = time.monotonic()
        run = run_host(exe, "-openurl:%s -apppath:%s -gameid:7" % (url, wine_path(target)),
                       os.path.join(work, "host.log"), ["--snap", wine_path(snaps), "--snap-delay", "150",
                                                        "--close-box"], timeout=300, on_line=show)
        elapsed = time.monotonic() - started

        picture_ok = report_picture(run.snaps(), screenshot, required=pkg is not None)

        print("ran: %s, under %s Wine" % (ARCH_NAMES.get(arch, arch), "32-bit" if arch == "i686" else "64-bit"))
        print("client exit code: %s" % run.client_exit_code())
        if pkg is not None:
            fetched = verified = size = 0
            for file_path, _, md5, opt, _ in pkg.entries:
                if opt == "DELAY":
                    continue
                local = os.path.join(target, *file_path.strip("\\").split("\\"))
                if os.path.exists(local):
                    fetched += 1
                    with open(local, "rb") as f:
                        data = f.read()
                    if md5_of(data) == md5:
                        verified += 1
                        size += len(data)
            delayed = os.path.join(client, "extras", "music.pak")
            deadline = time.monotonic() + 20
            while not os.path.exists(delayed) and time.monotonic() < deadline:
                time.sleep(0.2)
            print("files fetched: %d, verified: %d, %.2f MB in %.1f s (%.1f MB/s)"
                  % (fetched, verified, size / 1e6, elapsed, size / 1e6 / elapsed))
            print("file for later fetched by a background instance: %s" % ("yes" if os.path.exists(delayed) else "no"))
            runlog = os.path.join(target, "bin", "Launcher.exe.runlog")
            if os.path.exists(runlog):
                with open(runlog, encoding="utf-8") as f:
                    print("program started: %s" % f.read().strip())
        return 0 if run.client_exit_code() == 0 and run.progress()[-1:] == [100] and picture_ok else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
