"""The test certificates: what each one is as openssl reads it back, and when a second run reuses them."""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("RADEVARE_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(SOURCE, "tools", "tls", "make_test_certs.py")
sys.path.insert(0, os.path.dirname(SCRIPT))
import make_test_certs  # noqa: E402


def openssl(*args):
    result = subprocess.run(("openssl",) + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def contents(paths):
    """{name: bytes} of every file in paths ({name: path})."""
    found = {}
    for name, path in paths.items():
        with open(path, "rb") as f:
            found[name] = f.read()
    return found


def certificate(path):
    """subject, issuer, subjectAltName, notBefore and notAfter of a PEM certificate."""
    _, text = openssl("x509", "-in", path, "-noout", "-subject", "-issuer", "-dates", "-ext", "subjectAltName",
                      "-nameopt", "RFC2253")
    fields = {}
    lines = text.splitlines()
    for i, line in enumerate(lines):
        key, sep, value = line.partition("=")
        if sep and key in ("subject", "issuer", "notBefore", "notAfter"):
            fields[key] = value.strip()
        elif line.startswith("X509v3 Subject Alternative Name"):
            fields["san"] = lines[i + 1].strip()
    for key in ("notBefore", "notAfter"):
        fields[key] = datetime.datetime.strptime(fields[key], "%b %d %H:%M:%S %Y %Z").replace(
            tzinfo=datetime.timezone.utc)
    return fields


class MakeTestCertsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="rv_certs_")
        cls.outdir = os.path.join(cls.folder, "certs")  # made by the script
        cls.paths, cls.made = make_test_certs.make_test_certs(cls.outdir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_writes_exactly_the_named_files(self):
        self.assertTrue(self.made)
        self.assertEqual(sorted(os.listdir(self.outdir)), sorted(make_test_certs.FILES))
        self.assertEqual(self.paths, {name: os.path.join(self.outdir, name) for name in make_test_certs.FILES})

    def test_each_certificate_is_what_its_name_says(self):
        now = datetime.datetime.now(datetime.timezone.utc)
        year = datetime.timedelta(days=365)
        ca = certificate(self.paths["ca.pem"])
        self.assertEqual((ca["subject"], ca["issuer"]), ("CN=RadeVare Test Authority",) * 2)
        expected = {"good": ("CN=localhost", "DNS:localhost", "CN=RadeVare Test Authority"),
                    "expired": ("CN=localhost", "DNS:localhost", "CN=RadeVare Test Authority"),
                    "wrongname": ("CN=wrong.invalid", "DNS:wrong.invalid", "CN=RadeVare Test Authority"),
                    "untrusted": ("CN=localhost", "DNS:localhost", "CN=RadeVare Untrusted Authority")}
        for name, (subject, san, issuer) in expected.items():
            with self.subTest(name):
                cert = certificate(self.paths[name + ".pem"])
                self.assertEqual((cert["subject"], cert["san"], cert["issuer"]), (subject, san, issuer))
                # The key beside it is the certificate's own.
                _, from_cert = openssl("x509", "-in", self.paths[name + ".pem"], "-noout", "-pubkey")
                _, from_key = openssl("pkey", "-in", self.paths[name + ".key"], "-pubout")
                self.assertIn("BEGIN PUBLIC KEY", from_key)
                self.assertEqual(from_cert, from_key)
                if name == "expired":
                    self.assertLess(cert["notBefore"], cert["notAfter"])
                    self.assertLess(cert["notAfter"], now - datetime.timedelta(days=300))
                    # Still within the authority's own time, so the date is all that is wrong with it.
                    self.assertGreater(cert["notBefore"], ca["notBefore"])
                else:
                    self.assertLess(cert["notBefore"], now)
                    self.assertAlmostEqual((cert["notAfter"] - now) / year, 10, delta=0.05)
        # Judged by openssl against the test authority alone.
        results = {name: openssl("verify", "-CAfile", self.paths["ca.pem"], self.paths[name + ".pem"])
                   for name in expected}
        self.assertEqual(results["good"][0], 0, results["good"][1])
        self.assertEqual(results["wrongname"][0], 0)  # the name is checked against the host, not here
        self.assertIn("certificate has expired", results["expired"][1])
        self.assertIn("unable to get local issuer certificate", results["untrusted"][1])
        code, _ = openssl("verify", "-CAfile", self.paths["ca.pem"], "-verify_hostname", "localhost",
                          self.paths["wrongname.pem"])
        self.assertNotEqual(code, 0)

    def test_ca_der_is_ca_pem_in_der(self):
        _, from_der = openssl("x509", "-inform", "DER", "-in", self.paths["ca.der"], "-noout", "-fingerprint")
        _, from_pem = openssl("x509", "-in", self.paths["ca.pem"], "-noout", "-fingerprint")
        self.assertIn("Fingerprint=", from_pem)
        self.assertEqual(from_der, from_pem)

    def test_a_second_run_reuses_a_complete_valid_set_and_remakes_anything_else(self):
        folder = os.path.join(self.folder, "again")
        shutil.copytree(self.outdir, folder)
        paths = {name: os.path.join(folder, name) for name in make_test_certs.FILES}
        before = contents(paths)
        self.assertEqual(make_test_certs.make_test_certs(folder), (paths, False))
        self.assertEqual(contents(paths), before)
        # An expired good.pem, or a missing file, makes a new set (with a new authority).
        shutil.copyfile(os.path.join(folder, "expired.pem"), os.path.join(folder, "good.pem"))
        self.assertTrue(make_test_certs.make_test_certs(folder)[1])
        self.assertNotEqual(contents(paths)["ca.pem"], before["ca.pem"])
        self.assertEqual(certificate(paths["good.pem"])["san"], "DNS:localhost")
        os.remove(os.path.join(folder, "untrusted.key"))
        self.assertTrue(make_test_certs.make_test_certs(folder)[1])
        self.assertEqual(sorted(os.listdir(folder)), sorted(make_test_certs.FILES))

    def test_command_line(self):
        result = subprocess.run([sys.executable, SCRIPT, self.outdir], stdout=subprocess.PIPE, timeout=60)
        self.assertEqual((result.returncode, result.stdout.decode().strip()),
                         (0, "make_test_certs: reused %s" % self.outdir))
        for args in ([], [self.outdir, self.outdir], ["--help"]):
            result = subprocess.run([sys.executable, SCRIPT] + args, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(result.returncode, 2)
            self.assertIn(b"usage: make_test_certs.py OUTDIR", result.stderr)


if __name__ == "__main__":
    unittest.main()
