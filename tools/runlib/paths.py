"""Where the sources and the built programs are, and the names Wine gives Linux paths."""
import os
import re

SOURCE = os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
BIN = os.environ.get("RADEVARE_BIN") or os.path.join(SOURCE, "build", "bin")


def tool_exe(name):
    """A program of the build: RadeVare.exe, test_host.exe and the other tools."""
    return os.path.join(BIN, name)


def wine_path(path):
    """The Windows name of a Linux path, as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def local_of(file_path):
    """The target-relative Linux path a FileList.xml FilePath names."""
    return "/".join(p for p in re.split(r"[\\/]", file_path) if p)


def as_wine_finds(path):
    """The file Wine opens for path: a name missing in its letter case is found in another, as Windows finds
    it."""
    if os.path.exists(path):
        return path
    found = os.sep
    for part in path.split(os.sep):
        if not part:
            continue
        exact = os.path.join(found, part)
        if not os.path.exists(exact) and os.path.isdir(found):
            exact = next((os.path.join(found, n) for n in sorted(os.listdir(found)) if n.lower() == part.lower()),
                         exact)
        found = exact
    return found


def read_bytes(path):
    """What Wine would read at path, or None when there is no such file."""
    try:
        with open(as_wine_finds(path), "rb") as f:
            return f.read()
    except OSError:
        return None
