"""The bench's data: the sizes of every row, its marked work folder with the random files it keeps in srv/
while they are valid, and the packages of those files with their FileList.xml."""
import hashlib
import json
import os

from runlib import filelist, folders
from runlib.paths import wine_path
from sides import RunFailed, log

MARKER = ".radevare-bench"  # scripts/bench writes it too
MADE_BY = "scripts/bench"
MB = 1e6  # throughput in 10^6 bytes a second, as md5_bench prints it
KB = 1024


def real_sizes():
    return {
        "digest": 512 * 1000 * 1000,  # benchmark 1: one file
        "uptodate": (2000, 512 * KB),  # benchmark 2
        "large": (4, 128 * 1024 * 1024),  # benchmarks 3, 7 and 9
        "mid": (4, 16 * 1024 * 1024),  # benchmark 7, the smaller size
        # Benchmarks 4, 8 and 9 (the first 2000), 5 (the first 100, 1000, 5000) and 10 (the first 500).
        "small": (5000, 8 * KB),
        "small_counts": (100, 1000, 5000),
        "small_row": 2000,
        "ending": (8, 1024 * KB),  # benchmark 6, flat in the target
        "mainthread": 2000 * 1000 * 1000,  # benchmark 8: one file
        "roundtrip": 500,  # benchmark 10: files of "small"
        "resume": 256 * 1024 * 1024,  # benchmark 11: one file
        "bigcheck": (16, 512 * 1024 * 1024),  # benchmark 13: a large game installed, 8.6 GB
    }


def tiny_sizes():
    return {
        "digest": 3 * 1000 * 1000,
        "uptodate": (12, 16 * KB),
        "large": (2, 1024 * KB),
        "mid": (2, 256 * KB),
        "small": (12, 8 * KB),
        "small_counts": (4, 12),
        "small_row": 8,
        "ending": (3, 64 * KB),
        "mainthread": 4 * 1000 * 1000,
        "roundtrip": 6,
        "resume": 4 * 1024 * 1024,
        "bigcheck": (3, 1024 * 1024),
    }


def warm(paths):
    """Reads the files through right before a timed run: this kind of machine pages out cold page-cache
    pages within seconds (proactive reclaim), and a figure from the disk is no figure from the cache."""
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.read(4 * 1024 * 1024):
                pass


def md5_file(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(4 * 1024 * 1024)
            if not chunk:
                break
            digest.update(chunk)
    return digest.hexdigest()


def nested(prefix, count, per_folder):
    """count file names in a few nested folders: prefix/dA/eB/fNNNN.bin."""
    names = []
    for n in range(count):
        folder = n // per_folder
        names.append("%s/d%d/e%d/f%05d.bin" % (prefix, folder % 4, folder // 4, n))
    return names


class Work:
    """The bench's work folder: its marker, its data (kept while valid), its targets (cleared per run)."""

    def __init__(self, folder, sizes):
        self.owned = folders.OwnedFolder(folder, MARKER, MADE_BY)
        self.folder = self.owned.path
        self.sizes = sizes
        if os.path.isdir(self.folder) and os.listdir(self.folder) and not self.owned.is_ours():
            raise SystemExit("bench: %s is not empty and has no %s marker: not ours, leaving it" %
                             (self.folder, MARKER))
        self.owned.claim()
        self.srv = os.path.join(self.folder, "srv")
        self.targets = os.path.join(self.folder, "targets")
        self.manifest_path = os.path.join(self.folder, "manifest.json")
        os.makedirs(self.srv, exist_ok=True)
        os.makedirs(self.targets, exist_ok=True)
        try:
            with open(self.manifest_path) as f:
                self.manifest = json.load(f)
        except (OSError, ValueError):
            self.manifest = {}

    def target(self, name):
        """An empty target folder of the bench's own, inside its marked work folder."""
        path = os.path.join(self.targets, name)
        self.owned.remove(path)
        os.makedirs(path)
        return path

    def ensure(self, group, relpaths, size):
        """Makes the random files of a group that are missing or not as recorded; returns {relpath: md5}.
        Every file is read through once (its digest checked), which also puts it in the page cache."""
        made = 0
        result = {}
        for rel in relpaths:
            full = os.path.join(self.srv, rel)
            entry = self.manifest.get(rel)
            ok = entry is not None and entry["size"] == size and os.path.isfile(full) and \
                os.path.getsize(full) == size
            if ok and md5_file(full) != entry["md5"]:
                ok = False
            if not ok:
                self.manifest[rel] = {"size": size, "md5": write_random(full, size)}
                md5_file(full)  # through the page cache once more: what was written is what is read
                made += 1
            result[rel] = self.manifest[rel]["md5"]
        if made:
            log("%s: made %d of %d files" % (group, made, len(relpaths)))
            with open(self.manifest_path + ".new", "w") as f:
                json.dump(self.manifest, f)
            os.replace(self.manifest_path + ".new", self.manifest_path)
        return result


def write_random(path, size):
    """Fills path with size random bytes; their md5."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    digest = hashlib.md5()
    with open(path, "wb") as f:
        left = size
        while left:
            chunk = os.urandom(min(left, 8 * 1024 * 1024))
            digest.update(chunk)
            f.write(chunk)
            left -= len(chunk)
    return digest.hexdigest()


class Package:
    """Files of srv/ as a FileList.xml lists them, and where they go in a target. faults: a path of the test
    server's fault segments ("/x/delay=0.02") that every URL of the package, the list's too, goes through."""

    def __init__(self, name, files, base_url, srv, wrong_digest=False, faults=""):
        self.name = name
        self.files = files  # [(relpath under srv, md5)]
        self.base_url = base_url
        self.srv = srv
        self.faults = faults
        list_file = "lists/%s.xml" % name
        self.list_path = "%s/%s" % (faults, list_file)  # as the server is asked for it
        self.common = os.path.commonpath([os.path.dirname(rel) for rel, _ in files]) if len(files) > 1 \
            else os.path.dirname(files[0][0])
        entries = []
        for n, (rel, md5) in enumerate(files):
            if wrong_digest and n == len(files) - 1:
                md5 = "0" * 32
            entries.append(filelist.entry("\\" + self.local(rel).replace("/", "\\"), self.url(rel), md5, opt="",
                                          cmd=None))
        full = os.path.join(srv, list_file)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full + ".new", "wb") as f:
            f.write(filelist.document(entries).encode("utf-8"))
        os.replace(full + ".new", full)
        self.list_url = base_url + self.list_path

    def url(self, rel):
        """The URL of a file of srv/."""
        return "%s%s/%s" % (self.base_url, self.faults, rel)

    def local(self, rel):
        """The file's path inside a target."""
        return os.path.relpath(rel, self.common)

    def expected_requests(self):
        return sorted([self.list_path] + ["%s/%s" % (self.faults, rel) for rel, _ in self.files])

    def check_target(self, target, side=None):
        """Every file present with its digest, nothing else left (no partial file); a fault found names the
        side whose run it was, when given."""
        try:
            self.check_files(target)
        except RunFailed as e:
            raise RunFailed("%s: %s" % (side, e) if side else str(e))

    def check_files(self, target):
        want = {self.local(rel): md5 for rel, md5 in self.files}
        found = set()
        for folder, _, names in os.walk(target):
            for name in names:
                found.add(os.path.relpath(os.path.join(folder, name), target))
        extra = sorted(found - set(want))
        missing = sorted(set(want) - found)
        if missing:
            raise RunFailed("%d files missing, first %s" % (len(missing), missing[0]))
        if extra:
            raise RunFailed("files left that the list does not name: %s" % extra[:3])
        for local, md5 in want.items():
            if md5_file(os.path.join(target, local)) != md5:
                raise RunFailed("%s has the wrong digest" % local)

    def floor_jobs(self, path, target, list_target):
        with open(path, "w", encoding="utf-8") as f:
            f.write("%s\t%s\n" % (self.list_url, wine_path(list_target)))
            for rel, _ in self.files:
                f.write("%s\t%s\n" % (self.url(rel), wine_path(os.path.join(target, self.local(rel)))))

    def curl_config(self, path, target):
        with open(path, "w") as f:
            f.write('url = "%s"\noutput = "%s"\n' % (self.list_url, os.path.join(target, "..", "curl-list.xml")))
            for rel, _ in self.files:
                f.write('url = "%s"\noutput = "%s"\n' % (self.url(rel), os.path.join(target, self.local(rel))))

    def sums(self, path):
        with open(path, "w") as f:
            for rel, md5 in self.files:
                f.write("%s  %s\n" % (md5, self.local(rel)))
