"""What a row's runs start from: its own folders with a copy of the program, its package and list on the
test server, the target as the row describes it, its configuration file and registry values."""
import glob
import os
import shutil
import subprocess
import tempfile
import urllib.parse

from model import CHANNELS_KEY, OLD, REFUSED, SAME, blob, fill
from runlib import filelist, wine
from runlib.folders import write_file
from runlib.nginx import NginxServer
from runlib.paths import local_of, tool_exe, wine_path
from runlib.server import TestServer


class Preparation:
    """One row's folders, package, target, configuration and registry values: made before its runs, taken
    away after them."""

    def __init__(self, matrix, scenario, row):
        self.matrix = matrix
        self.s = scenario
        self.row = row
        self.unique = "rv_matrix_%s_%s" % (scenario.slug[:40].replace("-", "_"), os.urandom(4).hex())
        self.prefix = "/fm/" + scenario.slug
        self.root = tempfile.mkdtemp(prefix="rv_fm_", dir=matrix.work)
        self.client = os.path.join(self.root, "client")
        os.makedirs(self.client)
        self.exe = os.path.join(self.client, "RadeVare.exe")
        # A copy per row: the build's program may be rebuilt while the matrix runs.
        shutil.copyfile(tool_exe(scenario.program), self.exe)
        # Something to be disturbed around the client folder and beside it.
        for path in (os.path.join(self.root, "sentinel.dat"), os.path.join(self.client, "sentinel.dat")):
            with open(path, "wb") as f:
                f.write(b"sentinel\n")
        if scenario.target == "client":
            self.target = self.client
        elif scenario.target == "none":
            self.target = None
        else:
            self.target = os.path.join(self.client, "game")
        self.contents = {}
        self.urls = {}
        self.keys = {}
        self.installed = {}
        self.helpers = []
        self.registry_made = []
        self.immutable = []
        self.strays_before = set()
        self.nginx = None
        self.nginx_root = None
        self.own_tls = {}  # File -> the row's own HTTPS server, for files that must be asked for once
        self.mounted = None
        self.list_text = None
        self.held_before_rerun = {}
        self.min_free = None  # the least free space the row's own volume had while a client ran
        if scenario.volume_mib:
            self.mount_volume(scenario.volume_mib)
        if scenario.needs_nginx():
            # Its folder and its files beside the row's, never in it: what nginx writes is not the client's.
            self.nginx_root = tempfile.mkdtemp(prefix="rv_fm_nginx_", dir=matrix.work)
            self.nginx = NginxServer(os.path.join(self.nginx_root, "files"), parent=self.nginx_root,
                                     rate=scenario.nginx_rate).start()

    def values(self):
        values = {"u": self.unique, "base": self.matrix.server.base_url, "prefix": self.prefix, "refused": REFUSED,
                  "client": wine_path(self.client)}
        if self.target is not None:
            values["target"] = wine_path(self.target)
            values["target_url"] = "file:///" + wine_path(self.target).replace("\\", "/")
        return values

    def server_of(self, f):
        if f.tls and f.once:
            if f not in self.own_tls:
                self.own_tls[f] = TestServer(tls=self.matrix.tls_certs(f.tls)).start()
            return self.own_tls[f]
        return self.matrix.tls_servers[f.tls] if f.tls else self.matrix.server

    def mount_volume(self, mib):
        """The target folder as a volume of its own, so that a body without end meets a disk that fills."""
        os.makedirs(self.target)
        made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % mib, "rv_matrix", self.target],
                              stdin=subprocess.DEVNULL, capture_output=True)
        if made.returncode != 0:
            raise RuntimeError("mount -t tmpfs failed (%s): the row needs a volume of its own, which only root "
                               "can make" % made.stderr.decode("utf-8", "replace").strip())
        self.mounted = self.target

    def publish(self, f, url_path, body):
        """Puts a file's body where its server serves it from; its URL."""
        if f.server == "nginx":
            write_file(os.path.join(self.nginx_root, "files", *url_path.strip("/").split("/")), body)
            return self.nginx.base_url + urllib.parse.quote(url_path)
        server = self.server_of(f)
        server.add_file(url_path, body)
        if f.server_fault:
            server.set_fault(url_path, **f.server_fault)
        requested = ("/x/" + f.fault + url_path) if f.fault else url_path
        return server.base_url + urllib.parse.quote(requested)

    def url_path(self, f, index):
        path = local_of(fill(f.path, self.values()))
        return self.prefix + "/" + path if path else self.prefix + "/entry%d.dat" % index

    def target_of(self, f):
        """Where the client writes a file: in the target, or for the delayed download beside the program."""
        base = self.client if self.s.delayed() else self.target
        return os.path.join(base, *local_of(fill(f.path, self.values())).split("/"))

    def partials_of(self, f):
        """The partial files of a file, whichever process wrote them."""
        return glob.glob(glob.escape(self.target_of(f)) + ".*.rvpart")

    def held(self, f):
        """The bytes of a file's biggest partial file; 0 without one."""
        sizes = [os.path.getsize(p) for p in self.partials_of(f) if os.path.exists(p)]
        return max(sizes, default=0)

    def publish_files(self):
        values = self.values()
        for index, f in enumerate(self.s.files):
            path = fill(f.path, values)
            # One file to Windows, one content: whatever the letter case and the separators.
            data = blob(f.size, "%s|%s|%d" % (self.s.name, local_of(path).lower(), f.size))
            self.contents[f] = data
            url_path = self.url_path(f, index)
            body = f.served if f.served is not None else data
            url = self.publish(f, url_path, body)
            if f.url is not None:
                url = fill(f.url, dict(values, name=local_of(path)))
                self.keys[f] = urllib.parse.unquote(urllib.parse.urlsplit(url).path)
            else:
                self.keys[f] = urllib.parse.unquote(urllib.parse.urlsplit(url).path)
            self.urls[f] = url

    def touch_file(self, f):
        """The same bytes on the server under a new date, so a new validator: a file put there again."""
        if f.server != "nginx":
            raise ValueError("touch: only nginx serves a file by its date")
        path = os.path.join(self.nginx_root, "files", *self.url_path(f, self.s.files.index(f)).strip("/").split("/"))
        later = os.stat(path).st_mtime + 3600
        os.utime(path, (later, later))

    def change_file(self, f):
        """New content for a file on its server, and the list's digest of it: a package updated between runs."""
        data = blob(f.size, "%s|changed|%s" % (self.s.name, f.path))
        self.contents[f] = data
        self.publish(f, self.url_path(f, self.s.files.index(f)), data)
        self.publish_list()

    def entry_xml(self, f):
        """The file's line of the list, without the attributes it omits."""
        digest = filelist.md5_of(self.contents[f])
        md5 = fill(f.md5, {"md5": digest, "MD5": digest.upper()}) if f.md5 is not None else digest

        def kept(name, value):
            return None if name in f.omit else value
        return filelist.entry(kept("FilePath", fill(f.path, self.values())), kept("url", self.urls[f]),
                              kept("md5", md5), kept("opt", f.opt), kept("CMD", f.cmd))

    def publish_list(self):
        entries = [self.entry_xml(f) for f in self.s.files]
        if self.s.list_xml is None:
            text = filelist.document(entries)
        else:
            text = fill(self.s.list_xml, dict(self.values(), entries="".join(entries)))
        list_path = self.prefix + "/FileList.xml"
        self.list_text = text
        self.matrix.server.add_file(list_path, text.encode("utf-8"))
        if self.s.list_server_fault:
            self.matrix.server.set_fault(list_path, **self.s.list_server_fault)
        self.list_key = ("/x/" + self.s.list_fault + list_path) if self.s.list_fault else list_path
        if self.s.list_url is not None:
            self.list_url = fill(self.s.list_url, self.values())
            self.list_key = urllib.parse.unquote(urllib.parse.urlsplit(self.list_url).path)
        else:
            self.list_url = self.matrix.server.base_url + self.list_key

    def prepare_target(self):
        if self.target is None:
            return
        values = self.values()
        for f in self.s.files:
            if f.installed is None:
                continue
            data = self.contents[f] if f.installed == SAME else (
                b"installed before the run: " + f.path.encode() if f.installed == OLD else f.installed)
            self.write_target(local_of(fill(f.path, values)), data)
        for action in self.s.before:
            kind, rel = action[0], action[1]
            path = os.path.join(self.target, *rel.split("/"))
            if kind == "folder":
                os.makedirs(path, exist_ok=True)
            elif kind == "file":
                self.write_target(rel, action[2])
            elif kind == "readonly":
                self.make_read_only(path)
            elif kind == "hold":
                self.hold(path)

    def make_read_only(self, path):
        """Read-only for Wine: no write permission, which Wine shows as the read-only attribute. Root writes
        to such a file all the same, so for root it is made immutable as well (undone in cleanup)."""
        os.chmod(path, 0o555 if os.path.isdir(path) else 0o444)
        if os.geteuid() == 0:
            made = subprocess.run(["chattr", "+i", path], stdin=subprocess.DEVNULL, capture_output=True)
            if made.returncode != 0:
                raise RuntimeError("chattr +i failed here (%s): this file system cannot make %s read-only for "
                                   "root" % (made.stderr.decode("utf-8", "replace").strip(), path))
            self.immutable.append(path)

    def write_target(self, rel, data):
        write_file(os.path.join(self.target, *rel.split("/")), data)
        self.installed[rel] = data

    def hold(self, path):
        process = subprocess.Popen([wine.WINE_EXEC, tool_exe("hold_file.exe"), wine_path(path),
                                    str(self.s.host_timeout)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.helpers.append(process)
        line = process.stdout.readline().decode("utf-8", "replace")
        if "held" not in line:
            raise RuntimeError("hold_file.exe did not hold %s (it said %r)" % (path, line))

    def prepare_config(self):
        values = dict(self.values(), list=self.list_url)
        if self.s.config is not None:
            with open(os.path.join(self.client, "LumoConfig.xml"), "wb") as f:
                f.write(fill(self.s.config, values).encode("utf-8"))
            # The channel id goes to a value named by the row's own gKey.
            self.registry_made.append((CHANNELS_KEY, self.unique))
        for key, value, kind, data in self.s.registry:
            key, value = fill(key, values), fill(value, values)
            self.registry_made.append((key, value))
            if kind is not None:
                wine.reg_add(key, value, kind, fill(data, values))

    def client_args(self):
        values = dict(self.values(), list=self.list_url)
        if self.s.files:
            first = self.s.files[0]
            values["file0"] = self.urls[first]
            values["rel"] = local_of(fill(first.path, values)).replace("/", "\\")
        return [fill(a, values) for a in self.s.arg_templates()]

    def cleanup(self):
        if self.nginx is not None:
            self.nginx.close()
        for server in self.own_tls.values():
            server.stop()
        if self.mounted is not None:
            subprocess.run(["umount", "-l", self.mounted], stdin=subprocess.DEVNULL, capture_output=True)
        if self.nginx_root is not None:
            shutil.rmtree(self.nginx_root, ignore_errors=True)
        for path in self.immutable:
            subprocess.run(["chattr", "-i", path], stdin=subprocess.DEVNULL, capture_output=True)
        for process in self.helpers:
            if process.poll() is None:
                process.kill()
            process.wait()
        for key, value in self.registry_made:
            wine.reg_delete(key, value)
        for parent, dirs, files in os.walk(self.root):
            for name in dirs + files:
                os.chmod(os.path.join(parent, name), 0o755)
        shutil.rmtree(self.root, ignore_errors=True)
