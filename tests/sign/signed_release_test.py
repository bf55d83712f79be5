#!/usr/bin/env python3
"""scripts/sign on the built program, with a throw-away authority and publisher:
the signature verifies and names the publisher, carries the time stamp it was
asked for, strips off to give back the build, and a failed signing leaves no
output behind. A build of the updater is signed only when it pins the signing
publisher, or, pinning nobody, when told that the release signs the updater only.

    signed_release_test.py --program ZimlexUpdate.exe --target CMAKE_SYSTEM_PROCESSOR --work DIR [unittest options]
"""
import argparse
import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import signing  # noqa: E402
import wine  # noqa: E402

PROGRAM = None
PRESET = None
WORK = None
# Made once: the test publisher under its authority, and the program built to pin it.
AUTHORITY = None
SIGNER = None
PINNED = None
PUBLISHER = signing.TEST_PUBLISHERS["vendor"]
EARLIER = b"MZ an earlier signed release"


def fresh_folder(name):
    folder = WORK / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def setUpModule():  # noqa: N802 (the name unittest calls)
    global AUTHORITY, SIGNER, PINNED
    publishers, PINNED = signing.test_release(PROGRAM.parent, PRESET)
    SIGNER = publishers["vendor"]
    AUTHORITY = SIGNER.authority


class SignedProgramTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = fresh_folder("signed")
        cls.authority = AUTHORITY
        cls.stranger = signing.make_authority(folder / "keys", "Someone Else Root")
        cls.signed = folder / "ZimlexUpdate.exe"
        with signing.time_stamp_server(folder / "time-stamps", cls.authority) as url:
            cls.result = signing.sign(PINNED, cls.signed, SIGNER, timestamp_url=url)

    def test_verifies_against_its_authority_and_names_the_publisher(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        verification = signing.verify(self.signed, self.authority)
        self.assertTrue(verification.ok, verification.output)
        self.assertEqual(verification.signer, PUBLISHER)
        self.assertEqual(verification.digest, "SHA256")
        self.assertTrue(verification.timestamped, verification.output)

    def test_does_not_verify_against_another_authority(self):
        verification = signing.verify(self.signed, self.stranger)
        self.assertFalse(verification.ok, verification.output)

    def test_removing_the_signature_gives_back_the_build(self):
        stripped = self.signed.with_name("stripped.exe")
        stripped.unlink(missing_ok=True)
        removed = subprocess.run(["osslsigncode", "remove-signature", "-in", str(self.signed),
                                  "-out", str(stripped)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.assertEqual(removed.returncode, 0)
        self.assertNotEqual(self.signed.read_bytes(), PINNED.read_bytes())
        self.assertTrue(stripped.read_bytes() == PINNED.read_bytes(),
                        "the stripped program differs from the build")


class PinTest(unittest.TestCase):
    """Signed, a build of the updater may not refuse its own publisher's payloads,
    nor install anybody's unless that is what the release means to do."""

    def sign(self, program, **options):
        folder = fresh_folder(f"pin-{self._testMethodName}")
        result = signing.sign(program, folder / "signed.exe", SIGNER, **options)
        self.assertEqual(result.returncode, 0, result.stderr)
        verification = signing.verify(folder / "signed.exe", AUTHORITY)
        self.assertTrue(verification.ok, verification.output)

    def test_an_unpinned_build_when_told_it_signs_the_updater_only(self):
        self.sign(PROGRAM, updater_only=True)

    def test_any_other_program_as_it_is(self):
        self.sign(PROGRAM.parent / "tests" / "sleeper.exe")


class PasswordTest(unittest.TestCase):
    def test_no_password_variable_opens_a_certificate_without_password(self):
        folder = fresh_folder("no-password")
        publisher = signing.make_publisher(folder, PUBLISHER, password="")
        env = {k: v for k, v in os.environ.items()
               if k not in ("ZIMLEX_SIGN_PASSWORD", "ZIMLEX_TIMESTAMP_URL")}
        signed = folder / "ZimlexUpdate.exe"
        result = subprocess.run([str(signing.SIGN_SCRIPT), "--updater-only", str(PROGRAM), str(signed),
                                 str(publisher.pfx)], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        verification = signing.verify(signed, publisher.authority)
        self.assertTrue(verification.ok, verification.output)
        self.assertFalse(verification.timestamped, "time-stamped without being asked to")


class FailureTest(unittest.TestCase):
    """Every failure: non-zero, one line saying why, and no output file, not
    even the one an earlier run left."""

    @classmethod
    def setUpClass(cls):
        cls.keys = fresh_folder("failures-keys")
        cls.publisher = SIGNER
        cls.stranger = signing.make_publisher(cls.keys, "Someone Else")

    def check_failure(self, name, reason, program=None, pfx=None, password=None,
                      timestamp_url=None, publisher=None):
        folder = fresh_folder(f"failure-{name}")
        out = folder / "ZimlexUpdate.exe"
        out.write_bytes(EARLIER)
        publisher = publisher or self.publisher
        if pfx is not None:
            publisher = signing.Publisher(PUBLISHER, publisher.certificate, publisher.key, pfx,
                                          publisher.password, publisher.authority)
        result = signing.sign(program or PINNED, out, publisher, password=password,
                              timestamp_url=timestamp_url)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "")
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("sign: "), lines[0])
        self.assertIn(reason, lines[0])
        self.assertEqual(sorted(p.name for p in folder.iterdir()), [],
                         "output or staging files left behind")

    def test_wrong_password(self):
        self.check_failure("password", "Wrong password", password="not the password")

    def test_missing_program(self):
        self.check_failure("program", "missing.exe", program=WORK / "missing.exe")

    def test_missing_certificate(self):
        self.check_failure("certificate", "missing.pfx", pfx=WORK / "missing.pfx")

    def test_a_build_pinned_to_another_publisher(self):
        self.check_failure("other-pin", "does not pin the certificate", publisher=self.stranger)

    def test_a_build_that_pins_nobody(self):
        self.check_failure("no-pin", "pins no publisher", program=PROGRAM)

    def test_time_stamp_server_unreachable(self):
        # Nothing listens on port 1: a release without its time stamp is no release.
        self.check_failure("time-stamp", "http://127.0.0.1:1/",
                           timestamp_url="http://127.0.0.1:1/")


def main():
    global PROGRAM, PRESET, WORK
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, type=Path)
    parser.add_argument("--target", required=True, help="the build's CMAKE_SYSTEM_PROCESSOR")
    parser.add_argument("--work", required=True, type=Path)
    args, rest = parser.parse_known_args()
    PROGRAM = args.program.resolve()
    WORK = args.work.resolve()
    PRESET = wine.platforms_of(args.target)[0].preset
    if not PROGRAM.is_file():
        raise SystemExit(f"missing {PROGRAM}: build the {PRESET} preset first")
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
