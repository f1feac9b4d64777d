"""The rows of the fault matrix: what the server, the file list, the disk, the
configuration, the command line and the host do, and the ending the client
must come to. matrix.py runs them; matrix_test.py runs the same rows as tests.

Adding a scenario means adding a record here. Most rows use a package of
three files (a, sub\\b, c) and make the middle one fail, with older versions
of b and c installed: the run must then keep both byte for byte, fetch a,
and never ask for c.
"""
from model import OLD, SAME, File, Scenario, closed, defined, done, filefail, killed, listfail, quiet, uptodate
from runlib import filelist  # model puts tools/ on the path

A, B, C = "\\a.dat", "\\sub\\b.dat", "\\c.dat"
DELAYED = "-norun -noprocess -downtype:{file0} -apppath:{rel}"
SETUP = "anzhuang"
# With the target's own folder this is well past 260 characters, though each name fits.
LONG_PATH = "\\" + "d" * 120 + "\\" + "e" * 120 + "\\f.dat"
CHANNELS = "HKCU\\SOFTWARE\\Rirodaza"
# Without a host window of its own the host adds none; {hwnd} is the host's window for the host to fill in.
NO_HOST_WINDOW = "-openurl:{list} -apppath:{target} -hostwnd:{hwnd} "
# Longer than the watchdog's 15 ticks: a transfer that takes this long yet keeps arriving must not be cut.
PAST_THE_WATCHDOG = 16
# A transient failure is tried five times, with waits of 1, 2, 4 and 8 s (each 20 % either way) between:
# a file that fails so throughout ends within 18 s of waiting, the attempts' own time and the run's start,
# which on a machine busy with the matrix's other rows may take as long as a quick row (12 s).
RETRIED = 30
# The same waits, as the server sees them between the five requests of a file that fails throughout.
RETRY_WAITS = [(1.0, 0.2), (2.0, 0.2), (4.0, 0.2), (8.0, 0.2)]
# Five attempts that each wait the stall bound (10 s) for a byte, and the waits between them.
STALLED_THROUGHOUT = 80
MiB = 1 << 20
BIG = "\\big\\level.pak"
# The disk keeps this much free for everything else on it: a body without a length stops there.
DISK_RESERVE_MIB = 512
EMPTY_LIST = filelist.document([]).encode("utf-8")
# A package of this many files whose first one fails: the ending must not cost anything per queued file.
MANY = 100000


def wine_short_name(name):
    """The short (8.3) name Wine gives a file whose long name is not one, as dlls/ntdll/unix/file.c
    (hash_short_file_name) makes it: four characters, "~", three of a hash, and three of the extension."""
    hash_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"
    lower = name.lower()
    value = 0xBEEF
    for i in range(len(lower) - 1):
        value = ((value << 3) ^ (value >> 5) ^ ord(lower[i]) ^ (ord(lower[i + 1]) << 8)) & 0xFFFF
    value = ((value << 3) ^ (value >> 5) ^ ord(lower[-1])) & 0xFFFF
    dot = name.rfind(".", 1, len(name) - 1)
    stem = name[:dot] if dot > 0 else name
    short = stem[:4] + "~" * (5 - min(len(stem), 4))
    short += hash_chars[(value >> 10) & 0x1F] + hash_chars[(value >> 5) & 0x1F] + hash_chars[value & 0x1F]
    return short + ("." + name[dot + 1:dot + 4] if dot > 0 else "")


def three(b=None, **b_fields):
    """a, sub\\b and c; b as given (a fault, a digest...), with b and c installed in older versions."""
    b_fields.setdefault("size", 5000)
    b_fields.setdefault("installed", OLD)
    return [File(A, 3000), b or File(B, **b_fields), File(C, 4000, installed=OLD)]


def fresh(**b_fields):
    """a, sub\\b and c, none of them installed yet."""
    b_fields.setdefault("size", 5000)
    return [File(A, 3000), File(B, **b_fields), File(C, 4000)]


def config(**attributes):
    attributes.setdefault("downurl", "{list}")
    attributes.setdefault("gKey", "{u}")
    text = " ".join('%s="%s"' % item for item in attributes.items())
    return '<?xml version="1.0" encoding="UTF-8"?>\n<Lumo>\n  <Client %s/>\n</Lumo>\n' % text


def unsafe(name, file_path):
    """A list with one fine entry and one whose FilePath could leave the target: refused as a whole."""
    return Scenario("list/unsafe " + name, files=[File("\\fine.dat", 100), File(file_path, 100)], ending=listfail())


SERVER = [
    Scenario("server/all fine", files=fresh()),
    Scenario("server/list refused", files=three(), list_url="{refused}/FileList.xml",
             ending=listfail(quick=False, seconds=RETRIED)),
    # Read, the list would leave the package up to date ([100]); only a web address may give it.
    Scenario("server/list from a local file", list_url="{target_url}/other/FileList.xml",
             before=[("file", "other/FileList.xml", EMPTY_LIST)], ending=listfail()),
    Scenario("server/list 404", files=three(), list_fault="status=404", ending=listfail()),
    Scenario("server/list 500 without ui", files=three(), list_fault="status=500", args="-openurl:{list} "
             "-apppath:{target} -noprocess", ending=listfail(quick=False, seconds=RETRIED)),
    Scenario("server/list cut short", files=three(), list_fault="cut=40", ending=listfail(quick=False, seconds=RETRIED)),
    # The list is tried again like any file, and fetched whole each time.
    Scenario("server/list busy twice, then there", files=fresh(), list_fault="failfirst=2:503"),
    Scenario("server/list cut once, then whole", files=fresh(), list_fault="cutfirst=1@30/ranges"),
    # A server that takes the connection and never answers: each attempt ends at the stall bound.
    Scenario("server/list stalls before headers", files=three(), list_fault="delay=60",
             ending=listfail(quick=False, seconds=STALLED_THROUGHOUT), host_timeout=100),
    Scenario("server/list stalls mid-body", files=three(), list_fault="stall=60@30",
             ending=listfail(quick=False, seconds=STALLED_THROUGHOUT), host_timeout=100),
    Scenario("server/list redirected", files=fresh(), list_fault="redirect=302"),
    # The worker follows ten redirects and refuses the eleventh.
    Scenario("server/list redirect loop", files=three(), list_server_fault={"redirect": 302}, ending=listfail()),
    Scenario("server/list reset mid-body", files=three(), list_fault="reset=30",
             ending=listfail(quick=False, seconds=RETRIED)),
    # Refused throughout: five attempts and their waits, then the failure.
    Scenario("server/file refused", files=three(url="{refused}/b.dat"), ending=filefail(B, seconds=RETRIED)),
    Scenario("server/file 404", files=three(fault="status=404"), ending=filefail(B)),
    Scenario("server/file 500", files=three(fault="status=500", waits=RETRY_WAITS), ending=filefail(B)),
    Scenario("server/file cut short", files=three(fault="cut=1000"), ending=filefail(B)),
    Scenario("server/file wrong digest", files=three(md5="0" * 32), ending=filefail(B)),
    Scenario("server/file empty body", files=three(served=b""), ending=filefail(B)),
    Scenario("server/file stalls before headers", files=three(fault="delay=60"),
             ending=filefail(B, seconds=STALLED_THROUGHOUT), host_timeout=100),
    Scenario("server/file stalls mid-body", files=three(size=60000, fault="stall=60@5000"),
             ending=filefail(B, seconds=STALLED_THROUGHOUT), host_timeout=100),
    Scenario("server/file slow but steady past the watchdog",
             files=[File(A, 3000), File(B, 150000, fault="rate=8000"), File(C, 4000)], host_timeout=60,
             ending=done(at_least=PAST_THE_WATCHDOG)),
    Scenario("server/file slow but steady past the watchdog without ui",
             files=[File(A, 3000), File(B, 150000, fault="rate=8000"), File(C, 4000)], host_timeout=60,
             args="-openurl:{list} -apppath:{target} -noprocess", ending=done(at_least=PAST_THE_WATCHDOG)),
    Scenario("server/file redirected", files=fresh(fault="redirect=302")),
    Scenario("server/file redirect loop", files=three(server_fault={"redirect": 302}), ending=filefail(B)),
    Scenario("server/file reset mid-body", files=three(size=60000, fault="reset=5000", waits=RETRY_WAITS),
             ending=filefail(B, seconds=RETRIED)),
    Scenario("server/delayed fetch", files=[File("\\later\\music.pak", 30000)], args=DELAYED,
             ending=quiet(fetched=True, quick=True)),
    Scenario("server/delayed 404", files=[File("\\later\\music.pak", 30000, fault="status=404")], args=DELAYED,
             ending=quiet(fetched=False, quick=True)),
    Scenario("server/delayed stall", files=[File("\\later\\music.pak", 60000, fault="stall=60@5000")],
             args=DELAYED, ending=quiet(fetched=False, seconds=STALLED_THROUGHOUT), host_timeout=100),
    Scenario("server/delayed stall before the body", files=[File("\\later\\music.pak", 100000, fault="stall=60")],
             args=DELAYED, ending=quiet(fetched=False, seconds=STALLED_THROUGHOUT), host_timeout=100),
    # The file for later is tried again too, and continued from its cut.
    Scenario("server/delayed reset once, then whole",
             files=[File("\\later\\music.pak", 300000, fault="resetfirst=1@100000/ranges")], args=DELAYED,
             ending=quiet(fetched=True, seconds=RETRIED)),
    Scenario("server/delayed from a local file", files=[File("\\copied.dat", 100, url="{target_url}/source.dat")],
             args=DELAYED, before=[("file", "source.dat", b"a local file\n")], ending=quiet(fetched=False, quick=True)),
    Scenario("server/delayed reset", files=[File("\\later\\music.pak", 60000, fault="reset=5000")], args=DELAYED,
             ending=quiet(fetched=False, seconds=RETRIED)),
    Scenario("server/background instance hits a reset",
             files=[File(A, 3000), File("\\later\\music.pak", 60000, fault="reset=5000", opt="DELAY")],
             args="-openurl:{list} -apppath:{target} -norun"),
    # Bodies that never end: the list past its cap of 16 MiB (at once, no retry), a file that fills the
    # disk down to its reserve (on a volume of the row's own), and a file whose rate over 20 s falls below
    # 4 KB/s, each of its five attempts in 20 s or so.
    Scenario("server/list endless chunked body", files=three(), list_fault="endless/rate=4000000",
             ending=listfail(quick=False, seconds=20)),
    Scenario("server/file endless chunked body", files=three(fault="endless/rate=4000000"),
             ending=filefail(B, seconds=40), volume_mib=DISK_RESERVE_MIB + 32, min_free_mib=DISK_RESERVE_MIB,
             host_timeout=60),
    Scenario("server/file trickles 2 KB every 3 s", files=three(size=20000000, fault="trickle=2048@3"),
             ending=filefail(B, seconds=150), host_timeout=180),
]

HTTPS = [
    Scenario("https/trusted certificate", files=fresh(tls="good")),
    Scenario("https/untrusted authority", files=three(tls="untrusted"), ending=filefail(B)),
    Scenario("https/expired certificate", files=three(tls="expired"), ending=filefail(B)),
    Scenario("https/wrong host name", files=three(tls="wrongname"), ending=filefail(B)),
]

FILE_LIST = [
    Scenario("list/empty file", list_xml="", ending=listfail()),
    Scenario("list/not xml", list_xml="this is not a file list\n", ending=listfail()),
    Scenario("list/root only", list_xml="<FileList/>", ending=uptodate()),
    Scenario("list/bom and declaration", files=fresh(),
             list_xml='\ufeff<?xml version="1.0" encoding="UTF-8"?>\n<FileList>\n{entries}</FileList>\n'),
    Scenario("list/comments", files=fresh(),
             list_xml="<!-- a -->\n<FileList>\n<!-- b -->\n{entries}<!-- c -->\n</FileList>\n<!-- d -->\n"),
    Scenario("list/no md5", files=three(omit=["md5"]), ending=filefail(B)),
    Scenario("list/no url", files=three(omit=["url"]), ending=listfail()),
    Scenario("list/no FilePath", files=fresh(omit=["FilePath"]), ending=listfail()),
    Scenario("list/no opt or CMD", files=[File(A, 3000, omit=["opt", "CMD"]), File(B, 5000, omit=["opt"])]),
    Scenario("list/10000 entries up to date",
             files=[File("\\many\\%d\\f%05d.dat" % (i // 1000, i), 8, installed=SAME) for i in range(10000)],
             ending=uptodate(quick=False, seconds=90), host_timeout=120),
    Scenario("list/up to date", files=[File(A, 3000, installed=SAME), File(B, 5000, installed=SAME)],
             ending=uptodate()),
    unsafe("parent", "..\\{u}.dat"),
    unsafe("rooted parent", "\\..\\{u}.dat"),
    unsafe("drive", "C:\\{u}.dat"),
    unsafe("unc share", "\\\\server\\share\\{u}.dat"),
    unsafe("device prefix", "\\\\?\\C:\\{u}.dat"),
    unsafe("stream", "{u}.dat:stream"),
    unsafe("nul device", "nul"),
    unsafe("con in a folder", "\\a\\con.txt"),
    unsafe("trailing dot", "\\{u}.dat."),
    unsafe("trailing blank", "\\{u}.dat "),
    unsafe("wildcard", "\\*.dat"),
    unsafe("empty", ""),
    unsafe("environment reference", "%APPDATA%\\{u}.dat"),
    unsafe("rooted environment reference", "\\%TEMP%\\{u}.dat"),
    unsafe("percent sign", "\\{u}%.dat"),
    Scenario("list/forward slashes into a new folder", files=[File("/data/{u}/a.dat", 3000), File(C, 4000)]),
    Scenario("list/both separators", files=[File("\\data/deep\\er/b.dat", 3000), File(C, 4000)]),
    Scenario("list/duplicate with the same digest", files=[File(A, 3000), File(A, 3000), File(C, 4000)]),
    Scenario("list/duplicate with another digest", files=[File(A, 3000), File(A, 3001), File(C, 4000)],
             ending=listfail()),
    # Another letter case and the other separator name the same file to Windows; a digest in capitals is
    # the same digest.
    Scenario("list/duplicate in another case and separator",
             files=[File("\\Data\\a.dat", 3000),
                    File("/data/A.dat", 3000, url="{base}{prefix}/Data/a.dat", md5="{MD5}"), File(C, 4000)]),
    Scenario("list/duplicate in another case with another digest",
             files=[File("\\Data\\a.dat", 3000), File("/data/A.DAT", 3001), File(C, 4000)], ending=listfail()),
    # A short (8.3) name is one more spelling of an existing file, of its own or of a folder on its way;
    # with two digests one of them is wrong, and the installed file stays as it is.
    Scenario("list/a file's short name beside its long name, another digest",
             files=[File("\\data\\longname_data.bin", 3000, installed=OLD),
                    File("\\data\\" + wine_short_name("longname_data.bin"), 3001), File(C, 4000)],
             ending=listfail()),
    Scenario("list/a folder's short name beside its long name, another digest",
             files=[File("\\longfoldername\\x.dat", 3000, installed=OLD),
                    File("\\" + wine_short_name("longfoldername") + "\\x.dat", 3001), File(C, 4000)],
             ending=listfail()),
    Scenario("list/url not http", files=three(url="ftp://127.0.0.1/{name}"), ending=listfail()),
    Scenario("list/url a local file", files=three(url="file:///C:/windows/win.ini"), ending=listfail()),
    Scenario("list/url a share", files=three(url="\\\\127.0.0.1\\share\\b.dat"), ending=listfail()),
    Scenario("list/FilePath names an existing folder", files=[File(A, 3000), File("\\data", 3000)],
             before=[("folder", "data")], ending=filefail("\\data")),
    Scenario("list/a file where a folder must be", files=[File(A, 3000), File("\\data\\a.dat", 3000)],
             before=[("file", "data", b"a plain file named data\n")], ending=filefail("\\data\\a.dat")),
]

CONFIG = [
    Scenario("config/missing", args=SETUP, target="client", ending=quiet(quick=True)),
    Scenario("config/malformed", args=SETUP, target="client", config='<Lumo><Client downurl="{list}"',
             ending=quiet(quick=True)),
    Scenario("config/root without child", args=SETUP, target="client", config="<Lumo/>", ending=quiet(quick=True)),
    Scenario("config/empty file", args=SETUP, target="client", config="", ending=quiet(quick=True)),
    Scenario("config/setup fetches", files=fresh(), args=SETUP, target="client",
             config=config(channelid="ch-1")),
    Scenario("config/downurl of 10000 characters", files=fresh(), args=SETUP, target="client",
             config=config(downurl="{list}?" + "d" * 10000), ending=defined()),
    Scenario("config/channel id of 10000 characters", files=fresh(), args=SETUP, target="client",
             config=config(channelid="c" * 10000)),
    Scenario("config/gKey of 10000 characters", files=fresh(), args=SETUP, target="client",
             config=config(channelid="ch-2", gKey="{u}" + "g" * 10000),
             registry=[(CHANNELS, "{u}" + "g" * 10000, None, None)]),
    Scenario("config/pKey of 10000 characters", files=fresh(), args=SETUP, target="client",
             config=config(channelid="ch-3", pKey="p" * 10000)),
    Scenario("config/malformed in open-url mode", files=fresh(), config="<Lumo><Client"),
    Scenario("registry/channel id stored as a number", files=fresh(), args=SETUP, target="client",
             config=config(channelid=""), registry=[(CHANNELS, "{u}", "REG_DWORD", "7")]),
    Scenario("registry/channel id of 1000 characters", files=fresh(), args=SETUP, target="client",
             config=config(channelid=""), registry=[(CHANNELS, "{u}", "REG_SZ", "r" * 1000)]),
    Scenario("registry/no channel id stored", files=fresh(), args=SETUP, target="client",
             config=config(channelid="")),
]

COMMAND_LINE = [
    Scenario("cmdline/30000 characters of an unknown option", files=fresh(),
             args="-openurl:{list} -apppath:{target} -padding:" + "x" * 30000),
    Scenario("cmdline/openurl of 30000 characters", files=fresh(),
             args="-openurl:{list}?" + "q" * 30000 + " -apppath:{target}", ending=defined()),
    Scenario("cmdline/apppath of 30000 characters", files=fresh(),
             args="-openurl:{list} -apppath:{target}\\" + "p" * 30000, ending=defined()),
    Scenario("cmdline/double dash options", files=fresh(),
             args="--openurl:{list} --apppath:{target} --gameid:7", game_id=7),
    Scenario("cmdline/slash options", files=fresh(),
             args="/openurl:{list} /apppath:{target} /gameid:8", game_id=8),
    Scenario("cmdline/equals sign", files=fresh(), args="-openurl:{list} -apppath:{target} -gameid=9",
             game_id=9),
    Scenario("cmdline/blank separator", files=fresh(),
             args=["-openurl:{list}", "-apppath:{target}", "-gameid 10"], game_id=10),
    Scenario("cmdline/option names are case-sensitive", files=fresh(),
             args="-OpenUrl:{list} -AppPath:{target}", ending=quiet(quick=True)),
    Scenario("cmdline/no mode at all", args="-gameid:3 -norun", ending=quiet(quick=True)),
    Scenario("cmdline/gameid beyond 32 bits", files=fresh(),
             args="-openurl:{list} -apppath:{target} -gameid:99999999999999999999", game_id=2147483647),
    Scenario("cmdline/gameid negative", files=fresh(),
             args="-openurl:{list} -apppath:{target} -gameid:-42", game_id=-42),
    Scenario("cmdline/gameid beyond 32 bits negative", files=fresh(),
             args="-openurl:{list} -apppath:{target} -gameid:-99999999999999999999", game_id=-2147483648),
    Scenario("cmdline/biw beyond 32 bits", files=fresh(),
             args=NO_HOST_WINDOW + "-biw:99999999999999999999", ending=done(progress=[])),
    Scenario("cmdline/biw negative", files=fresh(), args=NO_HOST_WINDOW + "-biw:-5",
             ending=done(progress=[])),
    Scenario("cmdline/biw not a window", files=fresh(), args=NO_HOST_WINDOW + "-biw:12345",
             ending=done(progress=[])),
    Scenario("cmdline/biw zero", files=fresh(), args=NO_HOST_WINDOW + "-biw:0",
             ending=done(progress=[])),
    Scenario("cmdline/no apppath", files=[File("\\{u}.dat", 1000)], args="-openurl:{list}", target="none",
             ending=listfail()),
    Scenario("cmdline/empty apppath", files=[File("\\{u}.dat", 1000)], args="-openurl:{list} -apppath:",
             target="none", ending=listfail()),
]

SLOW_B = dict(size=100000, fault="rate=100000")  # about a second, so that the host acts mid-run
# About three seconds: forge_posts.exe starts (a Wine process) once the host has seen 33, and its posts
# must land while b is still coming.
SLOWER_B = dict(size=150000, fault="rate=50000")

IPC = [
    Scenario("ipc/odd messages from the host", files=fresh(**SLOW_B),
             host=["--send", "IPC_MainProcess_OnDownProcess:1,2,3,4,5", "--send", "NoSuchMessage:",
                   "--send", "Commas:" + "," * 60, "--send", "Long:" + "z" * 5000, "--send", "Bare"]),
    Scenario("ipc/host never acknowledges", files=fresh(), host=["--no-ack"]),
    Scenario("ipc/host window vanishes mid-run", files=fresh(**SLOW_B), host=["--vanish-after", "2"],
             reports="prefix:2"),
    # The host reads nothing while it floods (15 s or more for 10000 under Wine): reports that come while
    # it is busy wait for it, and those of the end are given up after the client's second of waiting.
    # The run lasts long enough for most of the flood to come in; the files must all be fetched.
    Scenario("ipc/host floods 10000 messages", files=fresh(size=300000, fault="rate=10000"),
             host=["--flood", "10000"], reports="prefix", host_timeout=90),
    Scenario("ipc/forged 0x500", files=fresh(**SLOWER_B),
             forge=["0x500:1:0", "0x500:3735928559:0", "0x500:0:0", "0x500:4096:4096"], forge_after=33),
    Scenario("ipc/forged second list done", files=fresh(**SLOWER_B),
             forge=["0x600:0:0", "0x600:0:1", "0x600:4294967295:0"], forge_after=33),
    Scenario("ipc/forged file done for tasks not queued or finished", files=fresh(**SLOWER_B),
             forge=["0x601:0:0", "0x601:0:1", "0x601:4294967295:1", "0x601:0:4", "0x601:0:99x100", "0x601:0:-1"],
             forge_after=33),
    Scenario("ipc/forged delayed done", files=fresh(**SLOWER_B), forge=["0x602:0:0", "0x602:0:1"],
             forge_after=33),
    # The window's messages to itself: a digest that is not done, and the next slice of a list long queued.
    Scenario("ipc/forged digest done and next slice", files=fresh(**SLOWER_B),
             forge=["0x603:0:0", "0x603:0:2", "0x603:0:-1", "0x604:0:0", "0x604:7:7"], forge_after=33),
    # The channel's window handle is in every block the client sends: any process may post to it.
    Scenario("ipc/WM_CLOSE to the channel window", files=fresh(**SLOWER_B), forge=["0x10:0:0"], forge_to="channel",
             forge_after=33),
    Scenario("ipc/WM_NCCREATE sent to the channel window with a foreign pointer", files=fresh(**SLOWER_B),
             forge=["nccreate:0x10"], forge_to="channel", forge_after=33),
    Scenario("ipc/WM_NCDESTROY posted and sent to the channel window", files=fresh(**SLOWER_B),
             forge=["0x82:0:0", "ncdestroy"], forge_to="channel", forge_after=33),
    # Sections made with SEC_RESERVE map as reserved pages that fault when read (Wine reads them as zeros).
    Scenario("ipc/a reserved-only section from the host", files=fresh(**SLOW_B), host=["--send-reserved"]),
]

DISK = [
    Scenario("disk/read-only installed file", files=three(), before=[("readonly", "sub/b.dat")],
             ending=filefail(B)),
    Scenario("disk/read-only target folder", files=three(), before=[("readonly", "")], ending=filefail(A)),
    Scenario("disk/installed file held open", files=three(), before=[("hold", "sub/b.dat")], ending=filefail(B)),
    Scenario("disk/path over 260 characters",
             files=three(File(LONG_PATH, 3000)), ending=filefail(LONG_PATH)),
    Scenario("disk/killed mid-run and started again",
             files=[File(A, 3000), File(B, 200000, fault="rate=25000"), File(C, 4000)],
             ending=killed(after=4, progress=[0, 33]), rerun=done(fetched=(B, C))),
    Scenario("disk/two instances on one folder", files=fresh(**SLOW_B), instances=2, ending=defined()),
    # One folder in three letter cases is one folder: no file's partial file is taken for a leftover while
    # the window still digests it (large files, so that the worker is on to the next one by then).
    Scenario("disk/two spellings of one folder",
             files=[File("\\Data\\a.dat", 4000000), File("\\data\\b.dat", 3000000), File("\\DATA\\c.dat", 4000)]),
    # A file of the package named like a partial file, up to date, stays byte for byte.
    Scenario("disk/a listed *.N.rvpart file",
             files=[File("\\data\\cache.7.rvpart", 3000, installed=SAME), File("\\data\\new.bin", 5000)]),
    # Even beside the file whose leftover it would be by its name: the file being fetched is stale.
    Scenario("disk/a listed *.N.rvpart file beside the stale file it seems left from",
             files=[File("\\data\\cache", 3000, installed=OLD), File("\\data\\cache.7.rvpart", 3000, installed=SAME)]),
]

UPDATE = [
    Scenario("update/fails at the list", files=three(installed=OLD), list_fault="status=404", ending=listfail()),
    Scenario("update/fails at the first file",
             files=[File(A, 3000, installed=OLD, fault="status=404"), File(B, 5000, installed=OLD),
                    File(C, 4000, installed=OLD)], ending=filefail(A)),
    Scenario("update/fails at the middle file", files=three(fault="status=404"), ending=filefail(B)),
    Scenario("update/fails at the last file",
             files=[File(A, 3000, installed=OLD), File(B, 5000, installed=OLD),
                    File(C, 4000, installed=OLD, fault="cut=100")], ending=filefail(C)),
    Scenario("update/fails at the digest", files=three(md5="f" * 32), ending=filefail(B)),
    Scenario("update/cut body over an installed file", files=three(fault="cut=10"), ending=filefail(B)),
    Scenario("update/error page over an installed file", files=three(fault="status=503"), ending=filefail(B)),
    Scenario("update/replaces the installed files", files=three()),
    # b fails while a's 64 MB are still being checked on the digest thread: the host hears a's figure
    # first, then b's failure, as if the check had been made on the spot.
    Scenario("update/a failure right behind a large file's check",
             files=[File(A, 64 << 20), File(B, 3000, installed=OLD, fault="status=404")], ending=filefail(B)),
    # b comes while a's 64 MB are checked; a differs: b is never put in place, and its copy goes.
    Scenario("update/a large file differs while the next one waits",
             files=[File(A, 64 << 20, md5="f" * 32), File(B, 3000, installed=OLD)], ending=filefail(A)),
    # The ending stops the queue in one step: nothing of a hundred thousand queued files is looked at, and
    # the process is gone within a second of the 404. The last file, installed in an older version, stays.
    Scenario("update/the first of %d files fails" % MANY,
             files=[File(A, 3000, installed=OLD, fault="status=404")] +
                   [File("\\%d\\%d" % (i // 1000, i), 8, omit=["opt", "CMD"]) for i in range(MANY)] +
                   [File(C, 4000, installed=OLD)],
             args="-openurl:{list} -apppath:{target} -noprocess",
             ending=filefail(A, seconds=90, after_answer=1.0, exit_after_answer=1.0), host_timeout=120),
    # b is in flight when a's failure is handled: stopped, never put in place. Left to run, it would end
    # well within the box's 4 s, and c would follow.
    Scenario("update/nothing fetched behind the box",
             files=[File(A, 3000, fault="status=404"), File(B, 80000, fault="rate=40000"), File(C, 100)],
             host=["--box-delay", "4000"], ending=filefail(A)),
]

# Messages any program on the desktop can post or send to the progress strip.
WINDOW = [
    # Alt+F4 gives the same WM_CLOSE: -1 once, no box, a's transfer stopped and nothing of it left, b kept.
    Scenario("window/WM_CLOSE to the strip", files=[File(A, 100000, fault="rate=20000"), File(B, 5000, installed=OLD)],
             forge=["0x10:0:0"], forge_after=0, ending=closed(A)),
    Scenario("window/posted WM_NCDESTROY", files=fresh(**SLOWER_B), forge=["0x82:0:0"], forge_after=33),
    Scenario("window/WM_NCCREATE sent with a foreign pointer", files=fresh(**SLOWER_B), forge=["nccreate:0x10"],
             forge_after=33),
    # WM_QUIT, which nothing in the program posts, ends the run like WM_CLOSE: -1 once, exit code 0.
    Scenario("window/WM_QUIT posted to the strip",
             files=[File(A, 100000, fault="rate=20000"), File(B, 5000, installed=OLD)],
             forge=["0x12:0:0"], forge_after=0, ending=closed(A)),
    # Worker messages with the ends of a signed 32-bit lParam: no arithmetic on them, nothing taken early.
    Scenario("window/worker messages with the ends of lParam", files=three(**SLOWER_B),
             forge=["0x601:0:-2147483648", "0x601:0:2147483647", "0x601:0:-2147483647", "0x600:0:-2147483648",
                    "0x602:0:2147483647"], forge_after=33),
    # Sixteen WM_TIMERs while b stalls for 8 s, well within the watchdog's 15: the run goes on.
    Scenario("window/a burst of WM_TIMER during a pause", files=fresh(size=60000, fault="stall=8@5000"),
             forge=["0x113:1:0x0x16"], forge_after=33),
]

def big(**fields):
    """A large file (64 MB) with an older version installed, and a small one after it."""
    fields.setdefault("size", 64 * MiB)
    fields.setdefault("installed", OLD)
    return [File(BIG, **fields), File(C, 4000, installed=OLD)]


# A cut body is continued where it ended, within the run and by the next run, and only from bytes that the
# server's validator vouches for: against nginx from Debian and against the test server's wrong answers.
RESUME = [
    Scenario("resume/nginx restarted at half of 64 MB", files=big(server="nginx", again=True),
             nginx_rate=16 * MiB, during=[("restart", BIG, 0.5)], resumed=(BIG,), ending=done(seconds=60)),
    Scenario("resume/killed at half of 64 MB, then run again", files=big(server="nginx", again=True),
             nginx_rate=16 * MiB, ending=killed(at=BIG), rerun=done(), resumed=(BIG,), rerun_sends_rest=(BIG,)),
    # A new package (new bytes, a new digest in the list) leaves nothing to continue; the same bytes put
    # there again (a new entity tag) are asked for with the old tag, and sent whole.
    Scenario("resume/killed at half, the file changed on the server before the rerun",
             files=big(server="nginx", again=True), nginx_rate=16 * MiB, ending=killed(at=BIG),
             between=[("change", BIG)], rerun=done(), whole_again=(BIG,)),
    Scenario("resume/killed at half, the file put on the server again before the rerun",
             files=big(server="nginx", again=True), nginx_rate=16 * MiB, ending=killed(at=BIG),
             between=[("touch", BIG)], rerun=done(), whole_again=(BIG,)),
    Scenario("resume/killed at half, its bytes altered on disk before the rerun",
             files=big(server="nginx", again=True), nginx_rate=16 * MiB, ending=killed(at=BIG),
             between=[("alter", BIG)], rerun=done(), resumed=(BIG,)),
    # Reset, then asked again with a range: the server ignores it (200), answers from another offset (the
    # client then asks for the whole), or (the file being whole on disk) answers 416.
    Scenario("resume/a server that ignores the range", files=three(size=3 * MiB, fault="resetfirst=1@1000000/ignorerange")),
    Scenario("resume/a 206 from the wrong offset", files=three(size=3 * MiB, fault="cutfirst=1@1000000/badrange")),
    Scenario("resume/a 416 for a partial file that is whole",
             files=[File(BIG, 8 * MiB, installed=OLD, fault="whole416/rate=1000000", again=True), File(C, 4000)],
             ending=killed(at=BIG), between=[("complete", BIG)], rerun=done(), rerun_sends_rest=(BIG,)),
    Scenario("resume/reset twice mid-body, then whole",
             files=three(size=2 * MiB, fault="resetfirst=2@500000/ranges", waits=[(1.0, 0.2), (2.0, 0.2)]),
             resumed=(B,)),
    Scenario("resume/503 with Retry-After 2 twice, then whole",
             files=three(fault="failfirst=2:503/retryafter=2", waits=[(2.0, 0.0), (2.0, 0.0)])),
    # Nothing that says the file is not there, or not to be trusted, is asked again.
    Scenario("resume/404 at once", files=three(fault="status=404", once=True), ending=filefail(B, after_answer=2.0)),
    Scenario("resume/403 at once", files=three(fault="status=403", once=True), ending=filefail(B, after_answer=2.0)),
    Scenario("resume/a bad certificate at once", files=three(tls="untrusted", once=True),
             ending=filefail(B, seconds=10)),
    # Bounded: a fast start that then trickles, a body without end at full speed, a length no disk holds.
    Scenario("bounds/a fast start, then one byte every 10 s",
             files=three(size=10 * MiB, fault="slowafter=2000000/trickle=1@10"),
             ending=filefail(B, seconds=150), host_timeout=180),
    Scenario("bounds/an endless chunked body at full speed", files=three(fault="endless"),
             ending=filefail(B, seconds=30), volume_mib=DISK_RESERVE_MIB + 128, min_free_mib=DISK_RESERVE_MIB),
    Scenario("bounds/a Content-Length of 2^62", files=three(fault="length=4611686018427387904/size=1000", once=True),
             ending=filefail(B, after_answer=2.0), volume_mib=DISK_RESERVE_MIB + 64, min_free_mib=DISK_RESERVE_MIB),
    Scenario("bounds/a gzip-encoded 300 MB file without a length",
             files=[File(A, 3000), File(BIG, 300 * MiB, installed=OLD, fault="gzip/nolen")],
             ending=done(seconds=110), host_timeout=120),
]

SCENARIOS = SERVER + HTTPS + FILE_LIST + CONFIG + COMMAND_LINE + IPC + DISK + UPDATE + WINDOW + RESUME
