"""Folders of a run: snapshots to compare, a fresh client folder, and folders emptied only when they carry
the marker of the script that made them."""
import hashlib
import os
import shutil
import tempfile

from runlib.paths import BIN


def write_file(path, data):
    """Writes bytes to path, making its folders first."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def snapshot(folder, skip=None, inodes=False, digests=False):
    """Every path under folder (relative to it) with its kind, size and time, and when asked a file's inode
    and its contents' digest; the subtree `skip` left out."""
    seen = {}
    if not os.path.isdir(folder):
        return seen
    for parent, dirs, files in os.walk(folder):
        if skip is not None:
            dirs[:] = [d for d in dirs if os.path.join(parent, d) != skip]
        for name in dirs + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            # A folder's own time changes with every file made in it: only its being there counts.
            if os.path.isdir(path):
                state = (True, 0, 0)
            else:
                state = (False, info.st_size, info.st_mtime_ns)
            if not state[0] and inodes:
                state += (info.st_ino,)
            if not state[0] and digests:
                with open(path, "rb") as f:
                    state += (hashlib.md5(f.read()).hexdigest(),)
            seen[os.path.relpath(path, folder)] = state
    return seen


def changes(before, after):
    return sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))


class ClientFolder:
    """A fresh folder with a copy of RadeVare.exe; removed by cleanup()."""

    def __init__(self, name="rv_e2e_", exe_name="RadeVare.exe", parent=None):
        self.path = tempfile.mkdtemp(prefix=name, dir=parent)
        self.exe = os.path.join(self.path, exe_name)
        shutil.copyfile(os.path.join(BIN, "RadeVare.exe"), self.exe)

    def join(self, *parts):
        return os.path.join(self.path, *parts)

    def write(self, relative, data):
        return write_file(self.join(*relative.split("/")), data)

    def read(self, relative):
        with open(self.join(*relative.split("/")), "rb") as f:
            return f.read()

    def exists(self, relative):
        return os.path.exists(self.join(*relative.split("/")))

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


class OwnedFolder:
    """A working folder a script may empty: only when it is new, empty, or carries the script's marker."""

    def __init__(self, path, marker, made_by):
        self.path = os.path.abspath(path)
        self.marker = marker
        self.made_by = made_by

    def claim(self):
        """Makes the folder, or refuses one someone else filled; then leaves the marker in it."""
        if os.path.lexists(self.path):
            if not os.path.isdir(self.path) or os.path.islink(self.path):
                raise SystemExit("%s is not a folder" % self.path)
            if os.listdir(self.path) and not self.is_ours():
                raise SystemExit("%s holds files this script did not make; leaving it as it is" % self.path)
        os.makedirs(self.path, exist_ok=True)
        with open(os.path.join(self.path, self.marker), "w") as f:
            f.write("made by %s; everything in here can go\n" % self.made_by)

    def is_ours(self):
        return os.path.isfile(os.path.join(self.path, self.marker))

    def empty(self):
        """Removes everything in the folder but its marker."""
        for name in os.listdir(self.path):
            if name != self.marker:
                self.remove(os.path.join(self.path, name))

    def remove(self, path):
        """Removes a path inside the folder, refusing any other."""
        if not self.is_ours():
            raise RuntimeError("refusing to clear %s: %s has no %s marker" % (path, self.path, self.marker))
        if os.path.commonpath([os.path.abspath(path), self.path]) != self.path or os.path.abspath(path) == self.path:
            raise RuntimeError("refusing to clear %s: outside %s" % (path, self.path))
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
