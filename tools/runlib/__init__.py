"""One harness for everything that runs RadeVare under Wine: the end-to-end tests, the fault matrix, the
benchmarks and the demo.

    paths    where the sources, the built programs and Wine's view of a Linux path are
    wine     the Wine loader of the session, registry values, the internet cache, processes of a run
    filelist FileList.xml, written once (attribute values escaped), and a package on the test server
    host     the test host: one run in the background with the time of each log line, or a run to its end
    server   the HTTP test server in this process or in one of its own, and what it was asked for
    tls      the test certificates, with the prefix trusting their authority
    folders  snapshots of folders, fresh client folders, folders only a marker of ours lets us empty

The environment comes from scripts/wine-session (WINEPREFIX, WINELOADER, DISPLAY, a persistent wineserver,
RADEVARE_ARCH) and from the caller (RADEVARE_BIN, RADEVARE_SOURCE). Callers put the folder above this one
on sys.path and import the modules they need: from runlib import host, wine.
"""
