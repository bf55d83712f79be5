#!/usr/bin/env python3
"""Holds the deployment guide's winget installer fragment against the rules of winget's
installer manifest schema (1.6 and later) for the keys it uses, without network:
types, lengths, enums, unique items, and the rule that success code 0 is never
listed, since winget always counts it a success.

Usage: winget_fragment_test.py <docs/deploying.md>
"""
import re
import sys
import unittest
from pathlib import Path

INT32 = range(-2**31, 2**31)
RETURN_RESPONSES = {
    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse",
    "missingDependency", "diskFull", "insufficientMemory", "invalidParameter", "noNetwork",
    "contactSupport", "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated",
    "cancelledByUser", "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported",
    "custom"}
INSTALLER_TYPES = {"msix", "msi", "appx", "exe", "zip", "inno", "nullsoft", "wix", "burn",
                   "pwa", "portable"}


def fragment(readme):
    """The yaml block that follows the guide's winget paragraph."""
    match = re.search(r"\*\*winget\*\*.*?```yaml\n(.*?)```", readme, re.S)
    if match is None:
        raise SystemExit("the guide has no winget fragment")
    return match.group(1)


def scalar(text):
    text = text.strip()
    if re.fullmatch(r"-?\d+", text):
        return int(text)
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        return text[1:-1]
    return text


def parse(text):
    """The block-style subset of YAML the fragment is written in: mappings,
    lists of scalars and lists of mappings."""
    lines = [(len(line) - len(line.lstrip()), line.strip()) for line in text.splitlines()
             if line.strip() and not line.lstrip().startswith("#")]
    value, end = block(lines, 0)
    if end != len(lines):
        raise ValueError(f"not read: {lines[end][1]!r}")
    return value


def block(lines, i):
    """The value whose first line is lines[i], and the index after it."""
    indent = lines[i][0]
    if lines[i][1].startswith("- "):
        items = []
        while i < len(lines) and lines[i][0] == indent and lines[i][1].startswith("- "):
            item = lines[i][1][2:]
            end = i + 1
            while end < len(lines) and lines[end][0] > indent:
                end += 1
            if re.match(r"\w+:", item):
                items.append(block([(indent + 2, item), *lines[i + 1:end]], 0)[0])
            else:
                items.append(scalar(item))
            i = end
        return items, i
    mapping = {}
    while i < len(lines) and lines[i][0] == indent and not lines[i][1].startswith("- "):
        key, _, value = lines[i][1].partition(":")
        i += 1
        if value.strip():
            mapping[key] = scalar(value)
        elif i < len(lines) and (lines[i][0] > indent or lines[i][1].startswith("- ")):
            mapping[key], i = block(lines, i)
        else:
            mapping[key] = None
    return mapping, i


def problems(manifest):
    """What in the fragment winget's schema refuses, one text per problem."""
    found = []

    def string(where, value, longest):
        if not isinstance(value, str) or not 1 <= len(value) <= longest:
            found.append(f"{where}: a string of 1 to {longest} characters, not {value!r}")

    def listed(where, value, longest):
        if not isinstance(value, list) or len(value) > longest:
            found.append(f"{where}: a list of at most {longest} items")
            return []
        if len({repr(item) for item in value}) != len(value):
            found.append(f"{where}: items must be unique")
        return value

    def code(where, value):
        if not isinstance(value, int) or value not in INT32 or value == 0:
            found.append(f"{where}: a non-zero 32-bit integer (0 is always success), not {value!r}")

    known = {"InstallerType", "Scope", "InstallModes", "InstallerSwitches",
             "InstallerSuccessCodes", "ExpectedReturnCodes", "AppsAndFeaturesEntries"}
    for key in manifest.keys() - known:
        found.append(f"{key}: not a key this check knows")
    if "InstallerType" in manifest and manifest["InstallerType"] not in INSTALLER_TYPES:
        found.append(f"InstallerType: {manifest['InstallerType']!r} is not one of winget's")
    if "Scope" in manifest and manifest["Scope"] not in {"user", "machine"}:
        found.append(f"Scope: {manifest['Scope']!r} is neither user nor machine")
    for mode in listed("InstallModes", manifest.get("InstallModes", []), 3):
        if mode not in {"interactive", "silent", "silentWithProgress"}:
            found.append(f"InstallModes: {mode!r} is not one of winget's")
    switches = manifest.get("InstallerSwitches", {})
    for key, value in (switches or {}).items():
        if key not in {"Silent", "SilentWithProgress", "Interactive", "InstallLocation", "Log",
                       "Upgrade", "Custom", "Repair"}:
            found.append(f"InstallerSwitches.{key}: not a switch of winget's")
        string(f"InstallerSwitches.{key}", value, 2048 if key == "Custom" else 512)
    for value in listed("InstallerSuccessCodes", manifest.get("InstallerSuccessCodes", []), 16):
        code("InstallerSuccessCodes", value)
    returns = listed("ExpectedReturnCodes", manifest.get("ExpectedReturnCodes", []), 128)
    for entry in returns:
        if not isinstance(entry, dict) or entry.keys() - {"InstallerReturnCode", "ReturnResponse",
                                                          "ReturnResponseUrl"}:
            found.append(f"ExpectedReturnCodes: {entry!r} has keys winget does not know")
            continue
        code("ExpectedReturnCodes.InstallerReturnCode", entry.get("InstallerReturnCode"))
        if entry.get("ReturnResponse") not in RETURN_RESPONSES:
            found.append(f"ExpectedReturnCodes.ReturnResponse: {entry.get('ReturnResponse')!r}")
    listed_codes = [entry.get("InstallerReturnCode") for entry in returns if isinstance(entry, dict)]
    if len(set(listed_codes)) != len(listed_codes):
        found.append("ExpectedReturnCodes: a return code is listed twice")
    for entry in listed("AppsAndFeaturesEntries", manifest.get("AppsAndFeaturesEntries", []), 128):
        for key, value in (entry or {}).items():
            longest = {"DisplayName": 256, "Publisher": 256, "DisplayVersion": 128,
                       "ProductCode": 255, "UpgradeCode": 255}.get(key)
            if longest is None and key != "InstallerType":
                found.append(f"AppsAndFeaturesEntries.{key}: not a key of winget's")
            elif key == "InstallerType":
                if value not in INSTALLER_TYPES:
                    found.append(f"AppsAndFeaturesEntries.InstallerType: {value!r}")
            else:
                string(f"AppsAndFeaturesEntries.{key}", str(value), longest)
    return found


class WingetFragment(unittest.TestCase):
    readme = None

    def test_the_readmes_fragment_is_one_winget_accepts(self):
        self.assertEqual(problems(parse(fragment(self.readme))), [])

    def test_the_exit_statuses_each_have_a_response(self):
        returns = parse(fragment(self.readme)).get("ExpectedReturnCodes", [])
        self.assertEqual({entry["InstallerReturnCode"] for entry in returns}, {1, 1618, 1622, 1639, 15618})

    def test_the_rules_refuse_what_winget_refuses(self):
        text = fragment(self.readme)
        for broken in ("InstallerSuccessCodes:\n  - 0\n", "Scope: system\n",
                       "InstallModes:\n  - silent\n  - silent\n",
                       "ExpectedReturnCodes:\n  - InstallerReturnCode: 1618\n"
                       "    ReturnResponse: busy\n"):
            key = broken.split(":")[0]
            without = re.sub(rf"^{key}:.*?(?=^\S|\Z)", "", text, flags=re.S | re.M)
            self.assertNotEqual(problems(parse(without + broken)), [], broken)


if __name__ == "__main__":
    WingetFragment.readme = Path(sys.argv.pop(1)).read_text(encoding="utf-8")
    unittest.main()
