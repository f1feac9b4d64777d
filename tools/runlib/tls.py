"""HTTPS for the runs: the test certificates (tools/tls/make_test_certs.py) and the session's prefix trusting
their authority (tools/trust_cert), so that a program under Wine accepts a test server serving good.pem."""
import os
import sys

from runlib import wine
from runlib.paths import SOURCE, tool_exe, wine_path

sys.path.insert(0, os.path.join(SOURCE, "tools", "tls"))

import make_test_certs  # noqa: E402


def trusted_certs(folder, timeout=120):
    """Makes the test certificates in folder (or keeps those still good there) and has the prefix trust their
    authority; the path of each file by its name ("good.pem", "good.key", "ca.pem", ...). RuntimeError, saying
    what failed, when either step does."""
    certs, _ = make_test_certs.make_test_certs(folder)
    trusted = wine.run_quietly([tool_exe("trust_cert.exe"), wine_path(certs["ca.der"])], timeout)
    if trusted.returncode != 0:
        raise RuntimeError("trust_cert.exe failed with exit code %d" % trusted.returncode)
    return certs
