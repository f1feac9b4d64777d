"""Wine as the session set it up: the loader, the prefix's registry and internet cache, and the processes
that a run started."""
import os
import shutil
import subprocess

from runlib.paths import SOURCE, read_bytes, wine_path

# Creates the prefix when it is missing (CTest starts every test through it).
WINE_EXEC = os.path.join(SOURCE, "scripts", "wine-exec")
# scripts/wine-env exports the loader of the session's architecture. Started directly, a program is the
# Wine process itself (same pid, its memory in /proc), with no shell in between to time.
LOADER = os.environ.get("WINELOADER") or WINE_EXEC
PREFIX_MARKER = ".radevare-prefix"


def run_quietly(args, timeout=60, check=False):
    """Runs a Windows program to its end with no streams of ours; the CompletedProcess."""
    return subprocess.run([WINE_EXEC] + list(args), stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                          check=check)


def reg_query(key, value):
    """A REG_SZ value of the prefix's registry, or None (ASCII values only)."""
    completed = run_quietly(["reg", "query", key, "/v", value])
    for line in completed.stdout.decode("latin-1").splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0] == value and parts[1] == "REG_SZ":
            return parts[2].strip() if len(parts) == 3 else ""
    return None


def reg_add(key, value, kind, data):
    run_quietly(["reg.exe", "add", key, "/v", value, "/t", kind, "/d", data, "/f"], check=True)


def reg_delete(key, value=None):
    run_quietly(["reg.exe", "delete", key] + (["/v", value] if value else []) + ["/f"])


def end_process(pid):
    """Ends a Windows process by its own id (one that outlived its host)."""
    run_quietly(["taskkill.exe", "/f", "/pid", str(pid)])


class Prefix:
    """The session's prefix, which must be one this project made: only then is its cache ours to empty."""

    def __init__(self):
        self.path = os.environ["WINEPREFIX"]
        if not os.path.isfile(os.path.join(self.path, PREFIX_MARKER)):
            raise SystemExit("%s is not a prefix this project made" % self.path)

    def cache_folders(self):
        """Wine 8 keeps wininet's cache (the URL monikers' too) per user in INetCache, its index in
        Content.IE5/index.dat; older prefixes call it Temporary Internet Files."""
        users = os.path.join(self.path, "drive_c", "users")
        found = []
        for user in os.listdir(users) if os.path.isdir(users) else []:
            for sub in ("AppData/Local/Microsoft/Windows/INetCache",
                        "AppData/Local/Microsoft/Windows/Temporary Internet Files",
                        "Local Settings/Temporary Internet Files"):
                folder = os.path.join(users, user, sub)
                if os.path.isdir(folder) and not os.path.islink(folder):
                    found.append(folder)
        return found

    def clear_cache(self):
        """Empties the internet cache, index included, so that no run is served from an earlier one; the
        folders themselves stay."""
        for folder in self.cache_folders():
            for name in os.listdir(folder):
                full = os.path.join(folder, name)
                if os.path.isdir(full) and not os.path.islink(full):
                    shutil.rmtree(full)
                else:
                    os.remove(full)

    def cached_entries(self):
        count = 0
        for folder in self.cache_folders():
            for _, _, files in os.walk(folder):
                count += len([f for f in files if f != "index.dat"])
        return count

    def roaming_folders(self):
        users = os.path.join(self.path, "drive_c", "users")
        return [os.path.join(users, u, "AppData", "Roaming") for u in os.listdir(users)] if os.path.isdir(users) \
            else []


def processes_started_from(folder):
    """Unix ids of Wine processes started from a program in folder (their command line names it)."""
    needle = wine_path(folder).lower().encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        data = read_bytes("/proc/%s/cmdline" % entry) or b""
        if needle in data.lower().replace(b"/", b"\\") or folder.encode() in data:
            found.append(int(entry))
    return found


def processes_of(exe):
    """Unix ids of the Wine processes that run the program exe itself (the first word of their command line
    names it), not those that only name it among their arguments."""
    windows_name = wine_path(exe).lower().encode()
    unix_name = os.path.abspath(exe).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        first = (read_bytes("/proc/%s/cmdline" % entry) or b"").split(b"\0")[0]
        # Started by the loader the program has its Unix name; by another Windows program, its Windows one.
        if first == unix_name or first.lower().replace(b"/", b"\\") == windows_name:
            found.append(int(entry))
    return found


def processes_tagged(name, tag):
    """Unix ids of every process whose environment holds name=tag: Wine hands children to init, so a run's
    processes are found by a variable it was started with."""
    needle = ("%s=%s" % (name, tag)).encode()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if needle in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found
