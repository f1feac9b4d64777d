"""Every check the matrix makes on a row's runs, whatever the scenario: the ending the host saw (figures,
boxes, exit code, timing against the watchdog), the requests the server saw, the files in the target, partial
files left, and files written anywhere else. Each takes the row's run (runner.RowRun) and fails its row."""
import os
import re
import shutil

from model import (ERROR_CAPTION, ERROR_TEXT, HOST_ENDED_EXIT, QUICK_SECONDS, WATCHDOG_MAX_SECONDS,
                   WATCHDOG_MIN_SECONDS, WINE_CRASH_EXIT, figures_text, fill)
from render import classify
from runlib.folders import changes, snapshot
from runlib.host import is_report
from runlib.paths import as_wine_finds, local_of, read_bytes


def failure_timing(launch):
    """When the first -1 came and when the host's last line before it did (the last sign of activity); None
    without a -1."""
    failed_at = launch.time_of(lambda e: is_report(e) and e[4] == "-1")
    if failed_at is None:
        return None
    earlier = [t for t in launch.times if t < failed_at - 0.001]
    return failed_at, earlier[-1] if earlier else 0.0


def check_ending(rr, ending, launch, who):
    """The ending of one run: how the client ended, what the host saw, how long it took."""
    as_expected = judge_ending(rr, ending, launch, who)
    rr.row.ending_ok = as_expected and rr.row.ending_ok is not False


def judge_ending(rr, ending, launch, who):
    """Checks one run's ending; True when its figures and boxes were the ones expected."""
    row = rr.row
    run = launch.run()
    progress = run.progress()
    boxes = run.boxes()
    exit_code = run.client_exit_code()
    timing = failure_timing(launch)
    observed = classify(run, launch.outer_timeout, timing[0] - timing[1] if timing else None)
    row.observed = (row.observed + "; " if row.observed else "") + who + observed
    expected = rr.s.expected_progress(ending)
    if rr.s.reports and expected is not None:
        # "prefix": whatever the host could read of the figures, at least the first.
        count = int(rr.s.reports.split(":")[1]) if ":" in rr.s.reports else max(1, len(progress))
        expected = expected[:count]

    if launch.outer_timeout:
        row.hang = True
        row.fail(who + "the host did not end within %ds: ended by the matrix" % (launch.deadline - launch.started))
        return False
    if ending.kind == "killed" and ending.kill_at:
        if not getattr(launch, "killed_by_matrix", False) or exit_code is None:
            row.fail(who + "the client ended before the matrix ended it (exit %s)" % exit_code)
            return False
    elif ending.kind == "killed":
        if not run.timed_out() or exit_code != HOST_ENDED_EXIT:
            row.fail(who + "the client ended before the host ended it after %ss (exit %s)"
                     % (ending.after, exit_code))
            return False
    elif run.timed_out() or exit_code == HOST_ENDED_EXIT:
        row.hang = True
        row.fail(who + "the client was still running after %ds: the host ended it" % rr.s.host_timeout)
        return False
    elif exit_code is None:
        row.crash = True
        row.fail(who + "the host logged no exit: it ended or failed early (host exit %s, stderr %r)"
                 % (run.returncode, launch.host_errors()[-300:]))
        return False
    elif exit_code != 0:
        row.crash = True
        crashed = exit_code == WINE_CRASH_EXIT or exit_code >= 0xC0000000
        row.fail(who + "the client exited with %d (0x%X)%s"
                 % (exit_code, exit_code, ", a crash" if crashed else ""))
        return False
    # A host that floods or vanishes reads late or never: a report whose block the client has let
    # go by then is lost to it, by the host's doing. A malformed block is the client's, always.
    careless = "--flood" in rr.s.host or "--vanish-after" in rr.s.host
    bad_blocks = [e for e in run.events if e[0] == "malformed" or (e[0] == "lost" and not careless)]
    if bad_blocks:
        row.fail(who + "the host received a bad block: %s" % "\t".join(bad_blocks[0]))
    if "--vanish-after" in rr.s.host and not any(e[0] == "vanished" for e in run.events):
        row.fail(who + "the host's window never vanished: the row tested nothing")
    flooded = [e for e in run.events if e[0] == "flooded" and len(e) >= 3]
    if flooded:
        row.observed += ", %s of %s flood messages in" % (flooded[0][2], flooded[0][1])
    if "--flood" in rr.s.host and (not flooded or flooded[0][2] == "0"):
        row.fail(who + "the host never flooded the client: the row tested nothing")
    if "could not send" in launch.host_errors():
        row.fail(who + "the host could not send what the row sends: %s" % launch.host_errors().strip())

    as_expected = True
    if ending.kind == "defined":
        if progress and progress[-1] not in (100, -1):
            row.fail(who + "the run ended on figure %d, which no ending has" % progress[-1])
            as_expected = False
    elif ending.kind == "killed":
        if expected is not None and progress != expected:
            row.fail(who + "before it was ended the host saw %s, not %s"
                     % (figures_text(progress), figures_text(expected)))
            as_expected = False
    elif progress != expected:
        row.fail(who + "progress %s, expected %s" % (figures_text(progress), figures_text(expected)))
        as_expected = False

    if ending.kind != "defined" and ending.kind != "killed":
        wanted = 1 if rr.s.expects_box(ending) else 0
        if len(boxes) != wanted:
            row.fail(who + "%d message box(es), expected %d: %s" % (len(boxes), wanted, boxes))
            as_expected = False
        elif boxes and boxes[0] != [ERROR_CAPTION, ERROR_TEXT]:
            row.fail(who + "the box is not the download error box: %s" % boxes)
    if rr.s.game_id is not None:
        ids = set(run.game_ids())
        if ids != {rr.s.game_id}:
            row.fail(who + "reports carried game ids %s, expected %d" % (sorted(ids), rr.s.game_id))
    check_times(rr, ending, launch, run, who)
    return as_expected


def check_times(rr, ending, launch, run, who):
    row = rr.row
    end = launch.time_of(lambda e: e[0] == "exit")
    if end is None:
        return
    timing = failure_timing(launch)
    if ending.watchdog and timing is not None:  # without a -1, the wrong ending says enough
        failed_at, last_activity = timing
        if failed_at - last_activity < WATCHDOG_MIN_SECONDS:
            row.fail(who + "the time-out came %.1fs after the last activity, before the watchdog's %.0fs"
                     % (failed_at - last_activity, WATCHDOG_MIN_SECONDS))
        if end - last_activity > WATCHDOG_MAX_SECONDS:
            row.fail(who + "the run ended %.1fs after the last activity, later than the watchdog's %.0fs"
                     % (end - last_activity, WATCHDOG_MAX_SECONDS))
    if ending.quick and end > QUICK_SECONDS:
        row.fail(who + "took %.1fs: it waited instead of ending at once" % end)
    if ending.seconds is not None and end > ending.seconds:
        row.fail(who + "took %.1fs, at most %.0fs allowed" % (end, ending.seconds))
    if ending.after_answer is not None and timing is not None:
        answers = [e["time"] for e in rr.request_log() if e["status"] is not None]
        if not answers:
            row.fail(who + "no server answered the row: nothing shows the failure came at once")
        else:
            late = launch.started_at + timing[0] - max(answers)
            if late > ending.after_answer:
                row.fail(who + "the failure came %.1fs after the last answer, more than the %.0fs of a failure "
                               "taken at once" % (late, ending.after_answer))
    if ending.exit_after_answer is not None:
        answers = [e["time"] for e in rr.request_log() if e["status"] is not None]
        if not answers:
            row.fail(who + "no server answered the row: nothing shows when the ending began")
        else:
            late = launch.started_at + end - max(answers)
            if late > ending.exit_after_answer:
                row.fail(who + "the process ended %.1fs after the last answer, more than the %.0fs allowed"
                         % (late, ending.exit_after_answer))
    if ending.at_least is not None and end < ending.at_least:
        row.fail(who + "took %.1fs, less than the %.0fs it must last to outlast the watchdog"
                 % (end, ending.at_least))
    if "--no-ack" in rr.s.host:
        last_report = None
        for line, at in zip(launch.lines, launch.times):
            if is_report(line.split("\t")):
                last_report = at
        if last_report is not None and end - last_report > 2.0:
            row.fail(who + "without acknowledgements the client ended %.1fs after its last report"
                     % (end - last_report))


def check_requests(rr, ending, requests):
    """What the server saw for this row: nothing beyond the list after a failed list, after a failed
    file at most the one transfer already in flight (the worker goes on while the window handles the
    failure, and that transfer is then stopped, never put in place), nothing for files up to date,
    every other file once."""
    row = rr.row
    counts = {}
    for path in requests:
        counts[path] = counts.get(path, 0) + 1
    values = rr.values()
    if ending.kind in ("defined", "killed"):
        return
    if rr.s.delayed():
        first = rr.s.files[0]
        if first.reaches_server() and not counts.get(rr.keys[first]):
            row.fail("the delayed download never requested its file")
        return
    if ending.kind == "quiet":
        if requests:
            row.fail("nothing was to be fetched, yet the server saw %s" % sorted(counts)[:3])
        return
    # A refused command line (no target) fails before any request: only endings that read the list
    # need it fetched.
    needs_list = ending.kind in ("done", "uptodate", "filefail", "closed") or (ending.kind == "timeout" and ending.at)
    if needs_list and rr.s.list_url is None and not counts.get(rr.list_key):
        row.fail("the file list was never requested")
    if ending.kind == "listfail" or (ending.kind == "timeout" and ending.at is None):
        others = sorted(p for p in counts if p != rr.list_key)
        if others:
            row.fail("after a failed list the client still requested %s" % others[:3])
        return
    plan = rr.s.plan_for(ending)
    stop = [f.path for f in plan].index(ending.at) if ending.kind in ("filefail", "timeout", "closed") else None
    for index, f in enumerate(plan):
        seen = counts.get(rr.keys[f], 0)
        name = fill(f.path, values)
        if stop is not None and index > stop + 1:
            if seen:
                row.fail("%s was requested after %s had failed" % (name, ending.at))
        elif stop is not None and index == stop + 1:
            if seen > 1:
                row.fail("%s was requested %d times after %s had failed" % (name, seen, ending.at))
        elif seen == 0 and f.reaches_server() and index != stop:
            # The failing file itself may fail on the disk before any request (a path too long).
            row.fail("%s was never requested" % name)
        elif seen > 1 and (f.plain() or f.once):
            row.fail("%s was requested %d times%s" % (name, seen, ": a permanent failure was tried again"
                                                         if f.once else ""))
    planned = {rr.keys[f] for f in plan}
    for f in rr.s.files:
        if rr.keys[f] not in planned and not f.is_delay() and counts.get(rr.keys[f]):
            row.fail("%s was not to be fetched, yet it was requested" % fill(f.path, values))


def ranged_from(entry):
    """The first byte an entry's Range asked for (bytes=N-), or None."""
    match = re.fullmatch(r"bytes=(\d+)-", entry["range"] or "")
    return int(match.group(1)) if match else None


def check_resumes(rr, first_log, rerun_log):
    """What the servers saw of the row's resumed and retried files, and what the disk went through."""
    row = rr.row
    log = first_log + rerun_log
    for path in rr.s.resumed:
        f = rr.s.file(path)
        entries = [e for e in log if e["path"] == rr.keys[f]]
        # The cut request may be missing from nginx's log (its fast stop logs none): any logged request counts.
        resumed = [e for e in entries if (ranged_from(e) or 0) > 0 and e["if_range"] and e["status"] == 206]
        if not resumed:
            row.fail("%s was never asked for from where its bytes ended: %s"
                     % (path, [(e["range"], e["if_range"], e["status"]) for e in entries]))
        for e in resumed:
            # A request nginx cut by its own stop may never reach its log: only a logged one bounds the range.
            earlier = sum(x["sent"] for x in entries if x["time"] < e["time"])
            if earlier and ranged_from(e) > earlier:
                row.fail("%s was asked for from byte %d, past the %d bytes it had been sent"
                         % (path, ranged_from(e), earlier))
    for path in rr.s.rerun_sends_rest:
        f = rr.s.file(path)
        sent = sum(e["sent"] for e in rerun_log if e["path"] == rr.keys[f])
        held = rr.held_before_rerun.get(f, 0)
        if held == 0:
            row.fail("%s had no partial file when the rerun began: the row tested nothing" % path)
        allowed = f.size - held + (1 << 20)
        if sent > allowed:
            row.fail("the rerun was sent %d bytes of %s, more than the %d it lacked plus 1 MiB"
                     % (sent, path, f.size - held))
    for path in rr.s.whole_again:
        f = rr.s.file(path)
        entries = [e for e in rerun_log if e["path"] == rr.keys[f]]
        seen = [(e["range"], e["if_range"], e["status"], e["sent"]) for e in entries]
        if sum(e["sent"] for e in entries) < f.size:
            row.fail("%s was not fetched whole in the rerun: %s" % (path, seen))
        if ("touch", path) in rr.s.between and not any(e["range"] and e["if_range"] and e["status"] == 200
                                                      for e in entries):
            row.fail("%s: no range asked for with its old validator and refused with a 200: %s" % (path, seen))
    for f in rr.s.files:
        if not f.waits:
            continue
        times = [e["time"] for e in log if e["path"] == rr.keys[f]]
        gaps = [b - a for a, b in zip(times, times[1:])]
        if len(gaps) != len(f.waits):
            row.fail("%s was asked for %d times, not %d" % (f.path, len(times), len(f.waits) + 1))
            continue
        for gap, (seconds, spread) in zip(gaps, f.waits):
            # The gap is the wait and the attempt before it; the attempt takes a moment here.
            if gap < seconds * (1 - spread) - 0.05 or gap > seconds * (1 + spread) + 1.0:
                row.fail("%s: a wait of %.2fs between two requests, where %.1fs (%d%% either way) was asked for"
                         % (f.path, gap, seconds, spread * 100))
    for f in rr.s.files:
        if f.once and f.tls and f in rr.own_tls:
            tried = rr.own_tls[f].accepted_connections()
            if tried != 1:
                row.fail("%s: %d connections to its server, where a refused certificate is tried once"
                         % (f.path, tried))
    if rr.s.min_free_mib is not None:
        if rr.min_free is None:
            row.fail("the row's volume was never measured: the row tested nothing")
        elif rr.min_free < rr.s.min_free_mib << 20:
            row.fail("the volume's free space went down to %.1f MiB, below the %d MiB the disk keeps"
                     % (rr.min_free / (1 << 20), rr.s.min_free_mib))


def check_target(rr, ending, target_before):
    """Fetched files hold their content, installed files that were not replaced are byte for byte what
    they were, and no partial download is left anywhere in the target."""
    if rr.target is None:
        return
    row = rr.row
    values = rr.values()
    if ending.kind == "listfail" or (ending.kind == "timeout" and ending.at is None):
        changed = changes(target_before, snapshot(rr.target))
        if changed:
            row.fail("the list failed but the target changed: %s" % changed[:3])
    plan = rr.s.fetch_plan()
    replaced = set()
    either = ending.kind == "defined" and rr.s.instances == 1  # old or new content, nothing else
    if ending.kind == "done" or (ending.kind == "defined" and rr.s.instances > 1):
        replaced = set(plan)
    elif ending.kind in ("filefail", "timeout", "closed") and ending.at is not None:
        replaced = set(plan[: [f.path for f in plan].index(ending.at)])
    elif ending.kind == "quiet" and rr.s.delayed() and ending.fetched:
        replaced = {rr.s.files[0]}
    base = rr.client if rr.s.delayed() else rr.target
    for f in replaced:
        rel = local_of(fill(f.path, values))
        if read_bytes(os.path.join(base, *rel.split("/"))) != rr.contents[f]:
            row.fail("%s does not hold its content after the run" % fill(f.path, values))
    replaced_rels = {local_of(fill(f.path, values)) for f in replaced}
    for rel, data in rr.installed.items():
        if rel in replaced_rels:
            continue
        now = read_bytes(os.path.join(rr.target, *rel.split("/")))
        if now != data and not (either and now in [rr.contents[f] for f in plan
                                                    if local_of(fill(f.path, values)) == rel]):
            row.lost.append(rel)
            row.fail("installed file %s was lost or changed" % rel)
    for f in plan:
        rel = local_of(fill(f.path, values))
        if f in replaced or rel in rr.installed or not rel:
            continue
        now = read_bytes(os.path.join(base, *rel.split("/")))
        if now is not None and not (either and now == rr.contents[f]):
            row.fail("%s is on disk although it was never verified" % rel)
    for action in rr.s.before:
        if action[0] == "folder" and not os.path.isdir(os.path.join(rr.target, *action[1].split("/"))):
            row.fail("the folder %s is gone" % action[1])


def check_partials(rr):
    """No partial download (the worker's <file>.rvpart, or its record <file>.rvinfo) outlives a row's runs,
    whatever their ending: not the list's beside the program, not a file's in the target."""
    folders = [rr.client] + ([rr.target] if rr.target and not rr.target.startswith(rr.client) else [])
    # A file of the package may have a partial file's name.
    listed = {os.path.normcase(as_wine_finds(os.path.join(rr.target, *local_of(fill(f.path, rr.values())).split("/"))))
              for f in rr.s.files if rr.target}
    for folder in folders:
        for parent, _, names in os.walk(folder):
            for name in names:
                if name.lower().endswith((".rvpart", ".rvinfo")) and os.path.join(parent, name) not in listed:
                    rr.row.fail("a partial download is left: %s" % os.path.relpath(os.path.join(parent, name), rr.root))


def allowed_outside(rr, rel):
    """Paths under the row's root that the client may write outside the target."""
    parts = rel.split(os.sep)
    if parts[0] != "client" or len(parts) < 2:
        return False
    # A partial download left is counted apart (check_partials), as what it was to become.
    name = re.sub(r"(\.\d+)?\.rv(part|info)$", "", "/".join(parts[1:]))
    if name == "FileList.xml":
        return rr.s.list_from_server()
    if re.fullmatch(r"host[-\w]*\.(log|err)", name):
        return True
    delayed = [local_of(fill(f.path, rr.values())) for f in rr.s.files if f.is_delay()]
    if rr.s.delayed() and rr.s.files:
        delayed.append(local_of(fill(rr.s.files[0].path, rr.values())))
    return any(name == d or d.startswith(name + "/") for d in delayed)


def outside_snapshot(rr):
    return snapshot(rr.root, skip=rr.target if rr.target != rr.client else None) \
        if rr.s.target != "client" else snapshot(rr.root, skip=rr.client)


def stray_places(rr):
    return ["/", os.path.join(rr.matrix.prefix.path, "drive_c")] + rr.matrix.prefix.roaming_folders()


def strays(rr):
    found = []
    for place in stray_places(rr):
        try:
            names = os.listdir(place)
        except OSError:
            continue
        found += [os.path.join(place, n) for n in names if rr.unique in n]
    return found


def check_outside(rr, before):
    row = rr.row
    after = outside_snapshot(rr)
    for rel in changes(before, after):
        if not allowed_outside(rr, rel):
            row.outside.append(rel)
            row.fail("written outside the target: %s" % rel)
    for path in strays(rr):
        if path in rr.strays_before:
            continue
        row.outside.append(path)
        row.fail("written outside the target: %s" % path)
        # Made by this run (the name is the row's own): taken away again.
        if os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.remove(path)
