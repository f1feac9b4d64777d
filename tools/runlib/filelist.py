"""FileList.xml as the platform writes it, and a package of files on the test server."""
import hashlib
import urllib.parse

HEADER = '<?xml version="1.0" encoding="UTF-8"?>\n<FileList>\n'
FOOTER = "</FileList>\n"


def md5_of(data):
    return hashlib.md5(data).hexdigest()


def attribute(value):
    """An attribute value in double quotes, escaped: a path or a URL may hold any of these."""
    return value.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")


def entry(file_path, url, md5, opt="", cmd=""):
    """One <File> line; an attribute whose value is None is left out (as a broken list leaves it out)."""
    pairs = (("FilePath", file_path), ("url", url), ("md5", md5), ("opt", opt), ("CMD", cmd))
    return "  <File %s/>\n" % " ".join('%s="%s"' % (k, attribute(v)) for k, v in pairs if v is not None)


def document(entries):
    """The whole list around entries (lines made by entry)."""
    return HEADER + "".join(entries) + FOOTER


class Package:
    """Files of a game package on an in-process test server, and their FileList.xml."""

    def __init__(self, server, prefix="/pkg"):
        self.server = server
        self.prefix = prefix
        self.entries = []  # (FilePath, url, md5, opt, CMD)
        self.contents = {}  # FilePath -> bytes

    def add(self, file_path, data, opt="", cmd="", md5=None, url=None, **faults):
        """file_path as the list writes it ("\\bin\\game.exe"); faults go to the server for its URL."""
        if url is None:
            url_path = self.prefix + file_path.replace("\\", "/")
            self.server.add_file(url_path, data)
            if faults:
                self.server.set_fault(url_path, **faults)
            # As a real list writes it: the path percent-encoded as UTF-8.
            url = self.server.base_url + urllib.parse.quote(url_path)
        self.entries.append((file_path, url, md5 if md5 is not None else md5_of(data), opt, cmd))
        self.contents[file_path] = data
        return url

    def file_list_xml(self):
        return document(entry(*e) for e in self.entries).encode("utf-8")

    def publish(self, path="/FileList.xml"):
        """Serves the list; returns its URL."""
        self.server.add_file(path, self.file_list_xml())
        return self.server.base_url + path
