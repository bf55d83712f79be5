#!/usr/bin/env python3
"""Which platforms a machine runs, and with which Wine loader, as the Wine
harness decides it and CTest shows it. Needs no Wine: a machine that could run
32-bit code is told it cannot, and the 32-bit build's Windows tests must then
all show as skipped, with the reason, while the 64-bit build's still run.

    platforms_test.py --source DIR --work DIR [unittest options]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine  # noqa: E402

SOURCE = None
WORK = None
FORCED = "no: told so by the test"


def forced():
    return dict(os.environ, ZIMLEX_X86_CODE=FORCED)


class ChoiceTest(unittest.TestCase):
    def test_each_platform_has_its_loader_and_windows(self):
        expected = {"win64": ("x86", "win64", wine.LOADER_32, "win32"),
                    "win32": ("x86", "win32", wine.LOADER_32, "win32"),
                    "x64": ("x86_64", "win64", wine.LOADER_64, "x64")}
        chosen = {name: (p.target, p.winearch, p.loader, p.preset)
                  for name, p in wine.PLATFORMS.items()}
        self.assertEqual(chosen, expected)

    def test_a_machine_without_32_bit_code_runs_the_64_bit_build_only(self):
        os.environ["ZIMLEX_X86_CODE"] = FORCED
        try:
            self.assertEqual(wine.preferred_platform().name, "x64")
            self.assertIsNone(wine.PLATFORMS["x64"].cannot_run())
            for name in ("win64", "win32"):
                self.assertIn("told so by the test", wine.PLATFORMS[name].cannot_run())
                with self.assertRaises(SystemExit) as ended:
                    wine.Prefix(WORK / "build", name)
                self.assertEqual(ended.exception.code, wine.SKIPPED)
        finally:
            del os.environ["ZIMLEX_X86_CODE"]

    def test_the_answer_comes_from_running_32_bit_code(self):
        # Whatever this machine is, the harness's own answer must match what a
        # 32-bit program does here; a wrong guess would skip or fail every test.
        environment = dict(os.environ)
        environment.pop("ZIMLEX_X86_CODE", None)
        program = WORK / "x86-exit-42"
        program.write_bytes(wine._tiny_x86_program())
        program.chmod(0o755)
        try:
            runs = subprocess.run([str(program)], env=environment).returncode == 42
        except OSError:
            runs = False
        answer = subprocess.run([sys.executable, str(SOURCE / "tests" / "wine.py"), "x86-code"],
                                env=environment, capture_output=True, text=True).stdout.strip()
        self.assertEqual(answer == "yes", runs, answer)


class CTestTest(unittest.TestCase):
    """The 32-bit build configured where it can run, then on a machine that
    'cannot' run its tests."""

    @classmethod
    def setUpClass(cls):
        cls.build = WORK / "x86-without-32-bit-code"
        shutil.rmtree(cls.build, ignore_errors=True)
        cls.capable_output = cls.configure(dict(os.environ, ZIMLEX_X86_CODE="yes"))
        cls.capable_listing = cls.ctest("-N")
        cls.configure_output = cls.configure(forced())

    @classmethod
    def configure(cls, environment):
        configured = subprocess.run(["cmake", "--preset", "win32", "-B", str(cls.build)],
                                    cwd=SOURCE, env=environment, capture_output=True, text=True)
        if configured.returncode != 0:
            raise RuntimeError(configured.stdout + configured.stderr)
        return configured.stdout

    @classmethod
    def ctest(cls, *args):
        return subprocess.run(["ctest", "--test-dir", str(cls.build), "-j", "4", *args],
                              env=forced(), capture_output=True, text=True, timeout=120).stdout

    def test_a_machine_that_runs_32_bit_code_runs_both_platforms_case_by_case(self):
        for name in ("win64", "win32"):
            self.assertIn(f"Windows tests on {name}: run, lanes {name}\n", self.capable_output)
            # Each case is listed once built; never the stand-in for a platform that cannot run.
            self.assertNotIn(f"{name}.file_system_tests", self.capable_listing)

    def test_configure_says_which_platforms_are_skipped_and_why(self):
        for name in ("win64", "win32"):
            self.assertRegex(self.configure_output, rf"Windows tests on {name}: skipped, this "
                             rf"machine runs no 32-bit x86 code \(told so by the test\)")

    def test_every_windows_test_of_the_32_bit_build_shows_as_skipped(self):
        listed = re.findall(r"Test +#\d+: (\S+)", self.ctest("-N"))
        windows = [name for name in listed if name.startswith(("win64.", "win32."))]
        self.assertIn("win64.file_system_tests", windows)
        self.assertIn("win32.e2e", windows)
        self.assertIn("win32.faults", windows)
        self.assertEqual(sorted(set(listed) - set(windows)), ["headers.x86", "signed_release"])
        # The skip must come from the harness, not from a missing build.
        output = self.ctest("-L", "^win(64|32)$")
        self.assertRegex(output, rf"0 tests failed out of {len(windows)}\b")
        self.assertEqual(output.count("***Skipped"), len(windows), output)


def main():
    global SOURCE, WORK
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    args, rest = parser.parse_known_args()
    SOURCE = args.source.resolve()
    WORK = args.work.resolve()
    WORK.mkdir(parents=True, exist_ok=True)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
