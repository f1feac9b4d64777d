"""The matrix's records: a row (Scenario) with its files (File) and the ending the host must see (Ending),
the figures they lead to, and the bounds every run is held to."""
import os
import random
import re
import sys

TOOLS = os.path.join(os.environ.get("RADEVARE_SOURCE") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tools")
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)

from runlib.paths import local_of  # noqa: E402

# The program's stall watchdog ends a run after 15 one-second ticks without
# bytes arriving, and the run is over 3 s after that at most. A time-out
# counts as the watchdog's when it came no sooner than the first bound after
# the last sign of activity (the host's last line before it), and the run
# ended no later than the second (a second more for the host's log and
# the process's exit).
WATCHDOG_MIN_SECONDS = 13.0
WATCHDOG_MAX_SECONDS = 15.0 + 3.0 + 1.0
# A run that need not wait for anything (a refused list, an up-to-date
# package) is over well before the watchdog could have ended it.
QUICK_SECONDS = 12.0
# The host ends a client after this long: a client still running then has
# outlived the watchdog by far. Our own timeout ends the host (and the
# client) this much later still.
HOST_TIMEOUT = 30
OUTER_MARGIN = 15
WINE_CRASH_EXIT = 5
HOST_ENDED_EXIT = 258
REFUSED = "http://127.0.0.1:9"  # the discard port on loopback: nothing listens there
ERROR_CAPTION = "下载错误"
ERROR_TEXT = "下载出现错误！请重新打开！"
CHANNELS_KEY = "HKCU\\SOFTWARE\\Rirodaza"  # where LumoConfig.xml's channel id is kept, in a value named by gKey

SAME = "same"  # File.installed: an up-to-date copy is already in the target
OLD = "old"  # File.installed: an older version is there, to be replaced


def blob(size, seed):
    """Deterministic content that differs per seed; made a MiB at a time, as one call takes no more bits."""
    generator = random.Random(seed)
    return b"".join(generator.randbytes(min(1 << 20, size - at)) for at in range(0, size, 1 << 20))


def slug_of(name):
    return re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-").lower()


def fill(text, values):
    """Replaces each {key} of values in text; other braces stay as they are."""
    for key, value in values.items():
        text = text.replace("{%s}" % key, value)
    return text


def percentages(count):
    """The figures after each verified file of count files."""
    return [done * 100 // count for done in range(1, count + 1)]


def figures_text(figures):
    return "[" + ",".join(str(f) for f in figures) + "]"


class File:
    """One entry of the file list, and what the server and the target hold for it.

    path      FilePath as the list writes it ("\\data\\a.dat"); {u} is the row's unique name
    size      body size (content generated from the path, one file to Windows whatever its letter case
              and separators)
    fault     test server fault segments for its URL ("status=404", "stall=60@5000")
    server_fault  faults set on the plain URL path instead (redirect=302 there loops)
    url       the URL written in the list, a template: {base} {prefix} {name} {refused} {target_url}
    md5       the digest written in the list (default: of the content), a template: {md5} and {MD5} are
              the content's digest in small and capital letters; None with omit
    served    what the server sends instead of the content (b"" for an empty body)
    installed SAME, OLD or bytes: what lies at the target before the run
    opt, cmd  the list's opt and CMD attributes
    omit      attributes the entry leaves out ("md5", "url", "FilePath")
    tls       the HTTPS server that serves it ("good", "untrusted", "expired", "wrongname")
    server    "test" (the project's test server, with fault) or "nginx" (the row's own nginx from Debian,
              serving the content from a folder as a static file)
    again     the row asks for it more than once by design (a restarted server, a resumed body)
    once      a permanent failure: it must be asked for exactly once, never retried (with tls, from an
              HTTPS server of the row's own, whose handshakes are counted)
    waits     the waits between its requests, in order, as (seconds, spread): each gap between two requests is
              at least seconds * (1 - spread) and at most seconds * (1 + spread) plus the attempt's own time
    """

    def __init__(self, path, size=2000, fault=None, server_fault=None, url=None, md5=None, served=None,
                 installed=None, opt="", cmd="", omit=(), tls=None, server="test", again=False, once=False,
                 waits=()):
        self.path = path
        self.size = size
        self.fault = fault
        self.server_fault = server_fault
        self.url = url
        self.md5 = md5
        self.served = served
        self.installed = installed
        self.opt = opt
        self.cmd = cmd
        self.omit = tuple(omit)
        self.tls = tls
        if server not in ("test", "nginx"):
            raise ValueError("server: %r is neither test nor nginx" % (server,))
        self.server = server
        self.again = again
        self.once = once
        self.waits = list(waits)

    def is_delay(self):
        return self.opt.upper() == "DELAY"

    def reaches_server(self):
        """True when a request for it reaches one of the matrix's servers as HTTP (a refused port, another
        scheme or a refused certificate never does)."""
        return (self.url is None or self.url.startswith("{base}")) and self.tls in (None, "good")

    def plain(self):
        """Served as it is: fetched with exactly one request."""
        return not (self.fault or self.server_fault or self.again)

    def identity(self):
        """What makes two entries one file to the client: the path as Windows compares it, and the digest
        (the content's, when the list writes that, follows from the path and the size)."""
        digest = self.md5.lower() if self.md5 is not None and "{" not in self.md5 else self.size
        return local_of(self.path).lower(), digest


class Ending:
    """What the host must see at the end of a run, and how long it may take: at (a FilePath) where a
    file failure or time-out comes, progress (figures instead of those the kind gives), fetched (the
    FilePaths a run fetches, when not all; in delayed mode whether its one file arrives), quick (over at
    once), seconds (at most this long), at_least (no sooner than this: a transfer that must outlast the
    watchdog), after_answer (the first -1 came at most this long after the server's last answer to the
    row: a failure taken at once, not after a wait for another attempt), exit_after_answer (the process
    ended at most this long after the server's last answer: an ending that costs nothing per queued
    file), kill_at ((FilePath, fraction):
    the matrix ends the client with taskkill /f once that file's partial file holds that share of it).

    kind: done, uptodate, listfail, filefail, timeout, quiet, killed, defined
      done      [0, p1, ..., 100, 100]: every file to fetch fetched and verified, no box
      uptodate  [100], no box, at once
      listfail  [-1], one box (none with -noprocess), nothing but the list requested
      filefail  [0, ..., -1, -1] at file `at`, one box, nothing requested after it
      timeout   [0, ..., -1] at file `at` (None: the list), one box, by the watchdog
      closed    [0, ..., -1] at file `at`: the strip was closed while `at` was coming; no box
      quiet     no report at all (delayed mode, no host window, nothing to do)
      killed    the host ended the client after `after` seconds (or the matrix did, at `kill_at`), having
                seen `progress`
      defined   any of the endings above; for rows whose point is "no crash, no hang"
      oneof     one of `options`; every check then holds for the one the host saw
    """

    def __init__(self, kind, at=None, progress=None, after=None, fetched=None, quick=None,
                 watchdog=False, seconds=None, options=(), at_least=None, after_answer=None, kill_at=None,
                 exit_after_answer=None):
        self.kind = kind
        self.options = list(options)
        self.at = at
        self.progress = progress
        self.after = after
        self.fetched = fetched
        self.quick = quick
        self.watchdog = watchdog
        self.seconds = seconds
        self.at_least = at_least
        self.after_answer = after_answer
        self.exit_after_answer = exit_after_answer
        self.kill_at = kill_at


def done(**kw):
    return Ending("done", **kw)


def uptodate(**kw):
    kw.setdefault("quick", True)
    return Ending("uptodate", **kw)


def listfail(**kw):
    kw.setdefault("quick", True)
    return Ending("listfail", **kw)


def filefail(at, **kw):
    return Ending("filefail", at=at, **kw)


def timeout(at=None, **kw):
    return Ending("timeout", at=at, watchdog=True, **kw)


def closed(at, **kw):
    return Ending("closed", at=at, **kw)


def quiet(fetched=None, **kw):
    return Ending("quiet", fetched=fetched, **kw)


def killed(after=None, progress=None, at=None, fraction=0.5):
    """Ended after `after` seconds by the host, or by the matrix once file `at` is `fraction` there."""
    return Ending("killed", after=after, progress=progress, kill_at=(at, fraction) if at else None)


def defined(**kw):
    return Ending("defined", **kw)


def oneof(*options):
    return Ending("oneof", options=options)


class Scenario:
    """One row of the matrix.

    name      group/what, unique; the command's filter matches on it
    files     File records, in list order
    ending    the Ending the host must see
    args      the client's arguments, a template split at blanks, or a list of templates:
              {list} the list URL, {target} the target folder, {client} the program's folder,
              {target_url} the target folder as a file: URL, {file0} the first file's URL,
              {rel} its path without the leading separator, {u} a unique name, {base} the server
    list_xml  the file list's text, a template with {entries} for the File lines;
              None: a plain list; "" (or any text) as given
    list_fault  fault segments for the list's URL
    list_server_fault  faults set on the list's plain URL path (redirect=302 there loops)
    list_url  the URL given to the client instead, a template
    config    LumoConfig.xml's text, a template ({list}, {u}); None: no such file
    registry  (key, value, type, data) set before the run and removed after it; type None: a value
              the client writes, only removed after the run
    before    what the target holds besides the installed files: ("folder", rel),
              ("file", rel, bytes), ("readonly", rel), ("hold", rel)
    host      test host options (--close-box is always given)
    forge     messages for forge_posts.exe, posted (or sent: nccreate:PTR, ncdestroy) once `forge_after` is
              seen (a progress figure; None: as soon as the client started)
    forge_to  the window they go to: "strip" (the progress window) or "channel" (the IPC channel's
              message-only window, whose handle is in every block the client sends)
    instances how many clients run at once on the same folders
    rerun     an Ending for a second run of the same package after the first one
    target    "game" (a folder in the client folder), "client" (setup mode: the program's
              folder), "none" (no -apppath: files would land at the drive's root)
    reports   "prefix:N": the host sees only the first N figures of the ending; "prefix": some of them
    game_id   the game id every report must carry
    program   the program of the build's bin folder that runs as RadeVare.exe (the matrix's own
              tests put other programs there to see the matrix fail them)
    nginx_rate  the bytes per second the row's nginx sends each body at (its limit_rate; None: unlimited)
    during    what the matrix does while the client runs, once: ("restart", FilePath, fraction) restarts the
              row's nginx once that file's partial file holds that share of it
    between   what the matrix does between the run and its rerun: ("change", FilePath) gives the file new
              content on its server (and the list its new digest), ("touch", FilePath) gives the same bytes a
              new date on nginx (so a new entity tag), ("alter", FilePath) changes one byte in the
              middle of its partial file, ("complete", FilePath) writes the rest of its bytes into the partial
              file, as a run killed after the last byte would leave it
    resumed   FilePaths that a later request must ask for from where an earlier one ended: a Range of
              bytes=N- with N > 0 and an If-Range, answered 206 (the first answer may have been the cut one)
    rerun_sends_rest  FilePaths whose bytes from the server in the rerun are at most those the partial file
              lacked when the rerun began, plus 1 MiB
    whole_again  FilePaths the rerun fetched whole (all their bytes sent); after a "touch", a range was asked
              for and refused with a 200
    volume_mib  the target folder is a volume of its own of this many MiB (a tmpfs, mounted by the matrix,
              which needs root for it)
    min_free_mib  the target volume's free space never went below this while the client ran
    """

    def __init__(self, name, files=(), ending=None, args="-openurl:{list} -apppath:{target}", list_xml=None,
                 list_fault=None, list_server_fault=None, list_url=None, config=None, registry=(), before=(),
                 host=(), forge=(), forge_after=None, instances=1, rerun=None, target="game",
                 reports=None, game_id=None, host_timeout=HOST_TIMEOUT, program="RadeVare.exe", forge_to="strip",
                 nginx_rate=None, during=(), between=(), resumed=(), rerun_sends_rest=(), whole_again=(),
                 volume_mib=None, min_free_mib=None):
        self.name = name
        self.files = list(files)
        self.ending = ending if ending is not None else done()
        self.args = args
        self.list_xml = list_xml
        self.list_fault = list_fault
        self.list_server_fault = list_server_fault
        self.list_url = list_url
        self.config = config
        self.registry = list(registry)
        self.before = list(before)
        self.host = list(host)
        self.forge = list(forge)
        self.forge_after = forge_after
        if forge_to not in ("strip", "channel"):
            raise ValueError("forge_to: %r is neither strip nor channel" % (forge_to,))
        self.forge_to = forge_to
        self.instances = instances
        self.rerun = rerun
        self.target = target
        self.reports = reports
        self.game_id = game_id
        self.host_timeout = host_timeout
        self.program = program
        self.nginx_rate = nginx_rate
        self.during = list(during)
        self.between = list(between)
        self.resumed = tuple(resumed)
        self.rerun_sends_rest = tuple(rerun_sends_rest)
        self.whole_again = tuple(whole_again)
        self.volume_mib = volume_mib
        self.min_free_mib = min_free_mib
        self.slug = slug_of(name)

    def is_slow(self):
        """Rows that wait for the watchdog or for a slow body: started first, so they overlap."""
        endings = [self.ending] + ([self.rerun] if self.rerun else [])
        endings += [option for e in list(endings) for option in e.options]
        if any(e.watchdog or e.kind == "killed" or (e.seconds or 0) > QUICK_SECONDS for e in endings):
            return True
        if self.needs_nginx() or self.volume_mib:
            return True
        for f in self.files:
            rate = re.search(r"rate=(\d+)", f.fault or "")
            if (rate and f.size / int(rate.group(1)) > 5) or re.search(r"stall=|reset=|delay=", f.fault or ""):
                return True
        return False

    def mostly_waits(self):
        """Rows whose run is mostly a wait: for a server that stalls, trickles or never answers, or between the
        attempts at a file that fails the same transient way throughout. They leave the processors free, so
        they run in a pool of their own beside the others."""
        faults = [f.fault or "" for f in self.files] + [self.list_fault or ""]
        urls = [f.url or "" for f in self.files] + [self.list_url or ""]
        waits = r"(^|/)((stall|delay|trickle|cut|reset)=|status=(408|429|50[0234])(/|$))"
        return not (self.needs_nginx() or self.volume_mib) and (
            any(re.search(waits, fault) for fault in faults) or any("{refused}" in url for url in urls))

    def needs_tls(self):
        """True when a file comes from the HTTPS servers, which only such rows start."""
        return any(f.tls for f in self.files)

    def needs_nginx(self):
        return any(f.server == "nginx" for f in self.files)

    def file(self, path):
        """The File of a FilePath the row names in its actions and checks."""
        for f in self.files:
            if f.path == path:
                return f
        raise ValueError("%s: no file %s" % (self.name, path))

    def list_from_server(self):
        """True when the list comes over HTTP from the matrix's server: only then may it land beside the
        program."""
        return self.list_url is None or self.list_url.startswith("{base}")

    def noprocess(self):
        return any("-noprocess" in a for a in self.arg_templates())

    def arg_templates(self):
        return self.args.split() if isinstance(self.args, str) else list(self.args)

    def delayed(self):
        return any("-downtype" in a for a in self.arg_templates())

    def fetch_plan(self):
        """The files the client fetches, in the order it fetches them: not up to date, not for later, and
        an entry repeated with the same file and digest only once."""
        seen = set()
        plan = []
        for f in self.files:
            if f.installed == SAME or f.is_delay() or "FilePath" in f.omit:
                continue
            if f.identity() in seen:
                continue
            seen.add(f.identity())
            plan.append(f)
        return plan

    def plan_for(self, ending):
        """The files a run fetches: the whole plan, or those an ending names (a run after an interrupted one)."""
        plan = self.fetch_plan()
        return plan if ending.fetched in (None, True, False) else [f for f in plan if f.path in ending.fetched]

    def expected_progress(self, ending):
        plan = self.plan_for(ending)
        if ending.progress is not None:
            return ending.progress
        if ending.kind == "done":
            return [0] + percentages(len(plan)) + [100] if plan else [100]
        if ending.kind == "uptodate":
            return [100]
        if ending.kind == "listfail":
            return [-1]
        if ending.kind in ("filefail", "timeout", "closed"):
            if ending.at is None:
                return [-1]
            index = [f.path for f in plan].index(ending.at)
            before = [0] + percentages(len(plan))[:index]
            return before + ([-1, -1] if ending.kind == "filefail" else [-1])
        if ending.kind == "quiet":
            return []
        return None

    def describe(self, ending):
        if ending.kind == "oneof":
            return " | ".join(self.describe(option) for option in ending.options)
        progress = self.expected_progress(ending)
        figures = "" if progress is None else " " + figures_text(progress)
        if ending.kind == "killed":
            if ending.kill_at:
                return "killed at %d%% of %s%s" % (ending.kill_at[1] * 100, ending.kill_at[0], figures)
            return "killed after %ss%s" % (ending.after, figures)
        if ending.kind == "defined":
            return "defined ending"
        words = {"done": "done", "uptodate": "up to date", "listfail": "list failed", "quiet": "no reports",
                 "filefail": "file failed", "timeout": "time-out", "closed": "closed"}[ending.kind]
        if ending.kind == "done" and progress == []:
            words = "done unreported"
        if ending.kind == "quiet" and self.delayed():
            words = "delayed %s" % ("fetched" if ending.fetched else "not fetched")
        if self.reports:
            figures = " %s of%s" % (self.reports, figures)
        return words + figures + (" box" if self.expects_box(ending) else "")

    def expects_box(self, ending):
        return ending.kind in ("listfail", "filefail", "timeout") and not self.noprocess()

