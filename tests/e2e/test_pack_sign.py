"""Bundles signed with Authenticode: holm-pack --sign and its refusals,
osslsigncode's own check against the site's CA, -t's report on the
signature, tampered bundles, and the program reading its payload from a
signed bundle: extraction and a network delivery."""
import os
import shutil
import stat
import tempfile
import unittest
import zlib

import downloads
import harness
import netbed
import packer
import signing

MAGIC = b"qUoRdaViNe"
IMAGE = MAGIC + bytes(range(256)) * 20
NOTES = b"release notes\n"
SIGNER = "/O=Test Site/CN=Test Site Firmware, issued by /CN=Test Site CA"

_pki = None


def pki():
    """One PKI for the module: RSA keys take a while to make."""
    global _pki
    if _pki is None:
        top = tempfile.mkdtemp(prefix="holm-pki-")
        unittest.addModuleCleanup(shutil.rmtree, top, True)
        _pki = signing.Pki(top)
    return _pki


def fixed_crc(data, name):
    """data with the entry name's stored bytes' CRC written into its local
    header and its central directory entry, as a careful forger would."""
    local = data.find(b"PK\x03\x04")
    while data[local + 30:local + 30 + len(name)] != name:
        local = data.find(b"PK\x03\x04", local + 1)
    size = int.from_bytes(data[local + 18:local + 22], "little")
    start = local + 30 + len(name) + int.from_bytes(data[local + 28:local + 30], "little")
    crc = zlib.crc32(data[start:start + size]).to_bytes(4, "little")
    data[local + 14:local + 18] = crc
    central = data.find(b"PK\x01\x02")
    while data[central + 46:central + 46 + len(name)] != name:
        central = data.find(b"PK\x01\x02", central + 1)
    data[central + 16:central + 20] = crc
    return data


@unittest.skipIf(harness.WINE, "holm-pack signs with the osslsigncode of the machine it runs on")
class Sign(packer.PackCase):
    def setUp(self):
        super().setUp()
        self.pki = pki()
        # A Windows program to sign: the Linux program is no PE file.
        self.write("tiny.exe", signing.tiny_program())
        self.write("in/image.bin", IMAGE)
        self.write("in/notes.txt", NOTES)

    def signed(self, name="signed.exe", *options, env=None):
        done = self.pack("-o", name, "-s", "tiny.exe", *options, "-C", "in", "image.bin", "notes.txt", env=env)
        self.assertPacked(done)
        return name

    def pem_options(self):
        return ["--sign", self.pki.path("sign.pem"), "--sign-key", self.pki.path("sign.key")]

    def check(self, bundle, *ca):
        done = self.pack("-t", bundle, *ca)
        at = done.stdout.find("Authenticode signature")
        return done, done.stdout[at:] if at >= 0 else ""

    def test_signed_bundle_verifies_against_its_ca_and_covers_the_archive(self):
        bundle = self.signed("signed.exe", *self.pem_options(), "--sign-url", "https://printers.example/")
        status, said = self.pki.verify(self.path(bundle))
        self.assertEqual(status, 0, said)
        self.assertIn("Signature verification: ok", said)
        self.assertIn("Text description: signed", said)
        self.assertIn("URL description: https://printers.example/", said)
        data = self.read(bundle)
        offset, length = signing.certificate_table(data)
        self.assertEqual(offset + length, len(data))
        self.assertLessEqual(signing.archive_end(data, offset), offset)
        self.assertEqual(stat.S_IMODE(os.stat(self.path(bundle)).st_mode), stat.S_IMODE(os.stat(self.path("tiny.exe")).st_mode))
        self.assertEqual(sorted(os.listdir(self.dir)), ["in", "signed.exe", "stub.exe", "tiny.exe"])
        done, report = self.check(bundle)
        self.assertEqual((done.status, done.stderr), (0, ""))
        self.assertEqual(report, (
            f"Authenticode signature: certificate table at offset {offset}, {length} bytes\n"
            f"  signer: {SIGNER}\n"
            "  digest: SHA256, matches the file\n"
            "  timestamp: none\n"
            "  archive: inside the signed bytes\n"
            "  chain: not checked (give --ca CA.pem)\n"
            "signed.exe: sound\n"))
        # The walk before it is an unsigned bundle's: both entries, in order.
        self.assertRegex(done.stdout, r"\n +1024 +5130  yes     ok   image  image.bin\n +\d+ +14  yes     ok   data   notes.txt\n")
        done, report = self.check(bundle, "--ca", self.pki.path("ca.pem"))
        self.assertEqual(done.status, 0, done)
        self.assertIn(f"  chain: verified against {self.pki.path('ca.pem')}\nsigned.exe: sound\n", report)
        other = self.pki.path("other-ca.pem")
        done, report = self.check(bundle, "--ca", other)
        self.assertEqual(done.status, 1)
        self.assertIn(f"  chain: does not verify against {other}\nsigned.exe: 1 problem\n", report)
        self.assertTrue(done.stderr.startswith(
            f"holm-pack: signed.exe: the Authenticode signature does not chain to {other}: "), done.stderr)
        # An unsigned bundle reports as before, and --ca refuses it.
        self.assertPacked(self.pack("-o", "plain.exe", "-s", "tiny.exe", "-C", "in", "image.bin"))
        done, report = self.check("plain.exe")
        self.assertEqual((done.status, report), (0, ""))
        done, _ = self.check("plain.exe", "--ca", self.pki.path("ca.pem"))
        self.assertEqual((done.status, done.stderr), (1, "holm-pack: plain.exe: no Authenticode signature, and a "
                                                         f"signature that chains to {self.pki.path('ca.pem')} is required\n"))

    def test_time_stamped_signature(self):
        server = signing.TimeStampServer(self.pki)
        self.addCleanup(server.close)
        # Straight to the loopback server, whatever proxy the environment names.
        env = {k: v for k, v in harness.environment().items() if not k.lower().endswith("_proxy")}
        bundle = self.signed("stamped.exe", *self.pem_options(), "--timestamp", server.url, env=dict(env, no_proxy="*"))
        done, report = self.check(bundle)
        self.assertEqual(done.status, 0, done)
        self.assertRegex(report, r"\n  timestamp: \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} GMT\n")
        self.assertEqual(self.pki.verify(self.path(bundle))[0], 0)

    def test_pkcs12_password_never_on_a_command_line(self):
        # osslsigncode as the PATH finds it: a wrapper that records its
        # command line and runs the real one.
        real = shutil.which("osslsigncode")
        self.write("bin/osslsigncode", f'#!/bin/sh\nprintf "%s\\n" "$*" >> "{self.path("lines")}"\nexec {real} "$@"\n'.encode())
        os.chmod(self.path("bin/osslsigncode"), 0o755)
        env = harness.environment()
        env["PATH"] = self.path("bin") + ":" + env["PATH"]
        env.pop("HOLM_SIGN_PASSWORD", None)
        self.write("password", (pki().PASSWORD + "\n").encode())
        p12 = ["--sign-pkcs12", self.pki.path("sign.p12")]
        self.signed("by-file.exe", *p12, "--sign-password-file", "password", env=env)
        self.signed("by-env.exe", *p12, "--sign-name", "Site firmware 7", "--sign-url", "https://x.example/",
                    env=dict(env, HOLM_SIGN_PASSWORD=pki().PASSWORD))
        for bundle in ("by-file.exe", "by-env.exe"):
            self.assertEqual(self.pki.verify(self.path(bundle))[0], 0, bundle)
        with open(self.path("lines")) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 2)
        for line in lines:
            self.assertNotIn(pki().PASSWORD.split()[0], line)
            self.assertIn("sign -h sha256 -n ", line)
            self.assertIn(" -readpass /dev/stdin ", line)
        self.assertIn("-n by-file -pkcs12", lines[0])
        self.assertIn("-n Site firmware 7 -i https://x.example/ -pkcs12", lines[1])
        # The wrong password: osslsigncode's words, and nothing written.
        done = self.pack("-o", "out.exe", "-s", "tiny.exe", *p12, "-C", "in", "image.bin",
                         env=dict(env, HOLM_SIGN_PASSWORD="wrong"))
        self.assertRefused(done, "holm-pack: signing failed: Failed to parse PKCS#12 file: ")
        self.assertFalse(os.path.exists(self.path("out.exe.signed.partial")))

    def test_signing_refusals_leave_nothing(self):
        key, cert = self.pki.path("sign.key"), self.pki.path("sign.pem")
        self.write("empty/keep", b"")
        env = dict(harness.environment(), PATH=self.path("empty"))
        self.signed("signed.exe", *self.pem_options())
        cases = {
            "no osslsigncode": (self.pem_options(), env,
                                "holm-pack: osslsigncode could not be run (No such file or directory); install it to sign bundles\n"),
            "key of another certificate": (["--sign", cert, "--sign-key", self.pki.path("ca.key")], None,
                                           "holm-pack: signing failed: Failed to checking the consistency of a private key"),
            "certificate without key": (["--sign", cert], None,
                                        "holm-pack: --sign and --sign-key go together: the certificate and its key\n"),
            "both ways": (["--sign-pkcs12", self.pki.path("sign.p12"), "--sign", cert, "--sign-key", key], None,
                          "holm-pack: --sign-pkcs12 holds the certificate and key: not with --sign or --sign-key\n"),
            "timestamp alone": (["--timestamp", "http://127.0.0.1:9/"], None,
                                "holm-pack: --sign-password-file, --sign-name, --sign-url and --timestamp need "
                                "--sign or --sign-pkcs12\n"),
            "missing key file": (["--sign", cert, "--sign-key", self.path("none.key")], None,
                                 f"holm-pack: {self.path('none.key')}: no such file\n"),
        }
        for case, (options, case_env, words) in cases.items():
            with self.subTest(case=case):
                done = self.pack("-o", "out.exe", "-s", "tiny.exe", *options, "-C", "in", "image.bin", env=case_env)
                self.assertRefused(done, words)
                self.assertTrue(done.stderr.startswith(words), done.stderr)
                self.assertFalse(os.path.exists(self.path("out.exe.signed.partial")))
        # A signed program as the stub would put the archive after its signature.
        done = self.pack("-o", "out.exe", "-s", "signed.exe", "-C", "in", "image.bin")
        self.assertRefused(done, "holm-pack: signed.exe: carries an Authenticode signature, which the archive "
                                 "would follow outside the signed bytes")
        done = self.pack("-t", "signed.exe", "--sign", cert)
        self.assertEqual((done.status, done.stderr), (1, "holm-pack: the --sign options sign a bundle being made (-o), "
                                                         "not one checked (-t)\n"))

    def test_tampering_is_not_sound(self):
        bundle = self.signed("signed.exe", *self.pem_options())
        data = bytearray(self.read(bundle))
        offset, length = signing.certificate_table(data)
        at = data.find(MAGIC) + 100
        data[at] ^= 0x55
        self.write("tampered.exe", bytes(fixed_crc(data, b"image.bin")))
        self.write("appended.exe", self.read(bundle) + b"after the signature")
        # The CRCs match: only the signature tells.
        rows = self.pack("-t", "tampered.exe").stdout
        self.assertIn("  yes     ok   image  image.bin", rows)
        for ca in ([], ["--ca", self.pki.path("ca.pem")]):
            with self.subTest(ca=ca):
                done, report = self.check("tampered.exe", *ca)
                self.assertEqual(done.status, 1)
                self.assertIn("  digest: SHA256, does not match the file\n", report)
                self.assertEqual(done.stderr, "holm-pack: tampered.exe: the Authenticode signature does not match "
                                              "the file: the signed bytes were changed after signing\n")
                done, report = self.check("appended.exe", *ca)
                self.assertEqual((done.status, report), (1, (
                    f"Authenticode signature: certificate table at offset {offset}, {length} bytes\n"
                    "  followed by 19 bytes outside the signed bytes\n"
                    "appended.exe: 1 problem\n")))
                self.assertEqual(done.stderr, f"holm-pack: appended.exe: 19 bytes follow the Authenticode signature "
                                              f"(which ends at offset {offset + length}): they lie outside the signed bytes\n")
        self.assertNotEqual(self.pki.verify(self.path("tampered.exe"))[0], 0)
        # A table the headers place beyond the end of the file.
        cut = self.read(bundle)[:offset + length - 1]
        self.write("cut.exe", cut)
        done, _ = self.check("cut.exe")
        self.assertEqual(done.status, 1)
        self.assertIn("does not lie within the file", done.stderr)


class SignedProgram(harness.ScratchCase):
    """The program reads its payload from a signed bundle as from an
    unsigned one. Under Wine the bundle is the Windows program itself,
    signed; natively the Linux program, started as fw, reads fw.exe, a
    signed Windows bundle."""

    def setUp(self):
        super().setUp()
        self.pki = pki()
        shutil.copyfile(harness.BIN if harness.WINE else self.stub_file(), self.path("stub.exe"))
        self.make_signed("fw.exe", [("image.bin", IMAGE), ("notes/readme.txt", NOTES)])
        if not harness.WINE:
            shutil.copyfile(harness.BIN, self.path("fw"))
            os.chmod(self.path("fw"), 0o755)
        self.program = "fw.exe" if harness.WINE else "fw"

    def stub_file(self):
        with open(self.path("tiny.exe"), "wb") as f:
            f.write(signing.tiny_program())
        return self.path("tiny.exe")

    def make_signed(self, name, entries):
        """The stub, the archive as holm-pack appends it, signed by
        osslsigncode (holm-pack.exe under Wine signs with a Windows one)."""
        os.mkdir(self.path("in"))
        for entry, data in entries:
            os.makedirs(os.path.dirname(self.path("in", entry)), exist_ok=True)
            with open(self.path("in", entry), "wb") as f:
                f.write(data)
        done = packer.run(["-o", "unsigned.exe", "-s", "stub.exe", "-C", "in", "."], self.dir)
        self.assertEqual((done.status, done.stderr), (0, ""))
        self.pki.sign(self.path("unsigned.exe"), self.path(name))
        os.chmod(self.path(name), 0o755)
        status, said = self.pki.verify(self.path(name))
        self.assertEqual(status, 0, said)
        shutil.rmtree(self.path("in"))

    def test_extraction(self):
        os.mkdir(self.path("out"))
        program = os.path.join("..", self.program) if not harness.WINE else self.path(self.program)
        result = harness.run(program, [], self.path("out"))
        self.assertEqual((result.status, result.stderr), (0, ""), result)
        with open(self.path("out", "image.bin"), "rb") as f:
            self.assertEqual(f.read(), IMAGE)
        with open(self.path("out", "notes", "readme.txt"), "rb") as f:
            self.assertEqual(f.read(), NOTES)
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["image.bin", "notes"])

    @unittest.skipIf(netbed.available(), netbed.available() or "")
    def test_network_delivery(self):
        bed = netbed.NetBed(self, [])
        result = bed.holm(self, ["-n", netbed.PRINTER_IP], program=self.program, timeout=600)
        self.assertEqual((result.status, result.stderr), (0, ""), result)
        self.assertIn("\nEntering download mode\n", result.stdout)
        self.assertEqual(downloads.describe(bed.raw_jobs()), downloads.describe([IMAGE + NOTES]))


if __name__ == "__main__":
    unittest.main()
