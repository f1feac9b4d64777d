#!/usr/bin/env python3
"""Certificates for the HTTPS tests, made with the openssl command-line tool.

usage: make_test_certs.py OUTDIR
in Python: from make_test_certs import make_test_certs
           paths, made = make_test_certs(outdir)    paths["good.pem"], ... ; made is False when reused

Writes into OUTDIR (made when missing):
  ca.pem, ca.der                the test authority, CN "RadeVare Test Authority": the one a test prefix
                                trusts (tools/trust_cert takes ca.der)
  good.pem, good.key            CN and DNS:localhost, signed by the test authority, valid from a day ago
                                for 10 years
  expired.pem, expired.key      DNS:localhost, signed by the test authority, valid two years ago for a year
  wrongname.pem, wrongname.key  DNS:wrong.invalid, signed by the test authority
  untrusted.pem, untrusted.key  DNS:localhost, signed by another authority that nothing ever trusts
Runs again reuse OUTDIR's files when all are there and good.pem is signed by ca.pem and valid for at least
another day. Keys are new each time files are made; names, serial numbers and extensions are fixed, and every
date is a fixed distance from now.
"""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile

AUTHORITY_NAME = "RadeVare Test Authority"
UNTRUSTED_AUTHORITY_NAME = "RadeVare Untrusted Authority"
SERVERS = ("good", "expired", "wrongname", "untrusted")
FILES = ("ca.pem", "ca.der", "good.pem", "good.key", "expired.pem", "expired.key", "wrongname.pem",
         "wrongname.key", "untrusted.pem", "untrusted.key")
# The first serial number; the authorities take the first two, the servers the next ones in FILES's order.
# Fixed, so that trusting a remade test authority replaces the one a prefix already holds (a store knows a
# certificate by its issuer and serial number) instead of piling up authorities of the same name.
FIRST_SERIAL = 0x52560001
# Leaves that good.pem must still have before the files are reused.
MIN_REMAINING_SECONDS = 86400

# openssl ca needs a configuration; this one holds nothing the tests do not rely on, so the machine's own
# openssl.cnf changes nothing.
CONFIG = """
[ ca ]
default_ca = test_ca

[ test_ca ]
dir = {work}
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
default_md = sha256
policy = policy_cn
unique_subject = no
copy_extensions = none
email_in_dn = no

[ policy_cn ]
commonName = supplied

[ req ]
distinguished_name = req_dn
prompt = no

[ req_dn ]
CN = unused

[ authority ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ server_localhost ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost

[ server_wrongname ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:wrong.invalid
"""


def _openssl(*args):
    result = subprocess.run(("openssl",) + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (" ".join(args), result.stdout.decode("utf-8", "replace")))
    return result.stdout


def _asn1_time(moment):
    # UTCTime up to 2049, GeneralizedTime after, as X.509 wants them.
    text = moment.strftime("%Y%m%d%H%M%SZ")
    return text[2:] if moment.year < 2050 else text


def _reusable(outdir):
    paths = [os.path.join(outdir, name) for name in FILES]
    if not all(os.path.isfile(p) for p in paths):
        return False
    good, ca = os.path.join(outdir, "good.pem"), os.path.join(outdir, "ca.pem")
    try:
        # verify also checks that good.pem is valid now; checkend that it stays so a while.
        _openssl("verify", "-CAfile", ca, good)
        _openssl("x509", "-in", good, "-noout", "-checkend", str(MIN_REMAINING_SECONDS))
    except RuntimeError:
        return False
    return True


class _Workshop:
    """A folder for openssl ca's database, the authorities' keys and the new files."""

    def __init__(self, work):
        self.work = work
        self.config = os.path.join(work, "openssl.cnf")
        os.makedirs(os.path.join(work, "issued"))
        with open(self.config, "w") as f:
            f.write(CONFIG.format(work=work))
        open(os.path.join(work, "index.txt"), "w").close()
        with open(os.path.join(work, "serial"), "w") as f:
            f.write("%X\n" % FIRST_SERIAL)

    def path(self, name):
        return os.path.join(self.work, name)

    def keys(self, names):
        """New RSA keys, made side by side: making a key is most of the time this script takes."""
        runs = [subprocess.Popen(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                                  "-out", self.path(name)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT) for name in names]
        outputs = [run.communicate()[0] for run in runs]
        for name, run, output in zip(names, runs, outputs):
            if run.returncode != 0:
                raise RuntimeError("openssl genpkey for %s failed:\n%s" % (name, output.decode("utf-8", "replace")))
        return [self.path(name) for name in names]

    def request(self, key, common_name):
        csr = key + ".csr"
        _openssl("req", "-config", self.config, "-new", "-key", key, "-subj", "/CN=" + common_name, "-out", csr)
        return csr

    def sign(self, out, csr, extensions, start, end, authority=None):
        """authority: (cert, key) that signs; None for a self-signed authority from csr's own key."""
        args = ["ca", "-config", self.config, "-batch", "-notext", "-in", csr, "-out", self.path(out),
                "-extensions", extensions, "-startdate", _asn1_time(start), "-enddate", _asn1_time(end)]
        if authority is None:
            args += ["-selfsign", "-keyfile", csr[: -len(".csr")]]
        else:
            args += ["-cert", authority[0], "-keyfile", authority[1]]
        _openssl(*args)
        return self.path(out)


def _make(work):
    shop = _Workshop(work)
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    day = datetime.timedelta(days=1)
    # The authorities begin before the expired server certificate, so that its dates are the only thing
    # wrong with it.
    authority_start, authority_end = now - 3 * 365 * day, now + 20 * 365 * day
    ca_key, other_key = shop.keys(["ca.key", "other-ca.key"] + [name + ".key" for name in SERVERS])[:2]
    ca = shop.sign("ca.pem", shop.request(ca_key, AUTHORITY_NAME), "authority", authority_start, authority_end)
    other = shop.sign("other-ca.pem", shop.request(other_key, UNTRUSTED_AUTHORITY_NAME), "authority",
                      authority_start, authority_end)
    _openssl("x509", "-in", ca, "-outform", "DER", "-out", shop.path("ca.der"))

    servers = (
        # name, extensions, notBefore, notAfter, authority
        ("good", "server_localhost", now - day, now + 3650 * day, (ca, ca_key)),
        ("expired", "server_localhost", now - 2 * 365 * day, now - 365 * day, (ca, ca_key)),
        ("wrongname", "server_wrongname", now - day, now + 3650 * day, (ca, ca_key)),
        ("untrusted", "server_localhost", now - day, now + 3650 * day, (other, other_key)),
    )
    for name, extensions, start, end, authority in servers:
        key = shop.path(name + ".key")
        common_name = "wrong.invalid" if name == "wrongname" else "localhost"
        shop.sign(name + ".pem", shop.request(key, common_name), extensions, start, end, authority)


def make_test_certs(outdir):
    """({file name: path} for every file in FILES, True when they were made now, False when reused)."""
    outdir = os.path.abspath(outdir)
    os.makedirs(outdir, exist_ok=True)
    paths = {name: os.path.join(outdir, name) for name in FILES}
    if _reusable(outdir):
        return paths, False
    # Made beside the final files, then moved in: a run that fails half way leaves no half set behind.
    work = tempfile.mkdtemp(prefix=".make_test_certs-", dir=outdir)
    try:
        _make(work)
        # good.pem last: while it is missing the set counts as incomplete.
        for name in sorted(FILES, key=lambda n: n == "good.pem"):
            os.replace(os.path.join(work, name), paths[name])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return paths, True


def main(argv):
    if len(argv) != 1 or argv[0].startswith("-"):
        sys.stderr.write(__doc__.strip().splitlines()[2] + "\n")
        return 2
    try:
        _, made = make_test_certs(argv[0])
    except (RuntimeError, OSError) as e:
        sys.stderr.write("make_test_certs: %s\n" % e)
        return 1
    print("make_test_certs: %s %s" % ("made" if made else "reused", os.path.abspath(argv[0])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
