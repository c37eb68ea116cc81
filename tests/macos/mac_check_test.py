"""The real-Mac check as far as Linux can take it: scripts/mac-e2e.sh passes shellcheck and its
dry run shows every step it would take; .github/workflows/macos.yml is a workflow of the shape
the check needs. Run by CTest as macos.mac-check (python3 mac_check_test.py <source dir>)."""

import os
import re
import subprocess
import sys
import unittest

import yaml

SOURCE = sys.argv.pop(1) if len(sys.argv) > 1 else os.getcwd()
SCRIPT = os.path.join(SOURCE, "scripts", "mac-e2e.sh")
SDK_CHECK = os.path.join(SOURCE, "scripts", "mac-sdk-check.sh")
WORKFLOW = os.path.join(SOURCE, ".github", "workflows", "macos.yml")


def run(*args, env=None):
    return subprocess.run(
        args, capture_output=True, text=True, encoding="utf-8", timeout=60, env=env
    )


class Script(unittest.TestCase):
    def test_shellcheck_finds_nothing(self):
        result = run("shellcheck", SCRIPT)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_dry_run_shows_every_step_and_runs_none(self):
        result = run("bash", SCRIPT, "--dry-run")
        self.assertEqual(result.returncode, 0, result.stderr)
        shown = result.stdout + result.stderr
        for step in [
            "+ cmake --preset mac-universal",
            "+ cmake --build --preset mac-universal",
            "+ lipo -archs ",
            "+ vtool -show-build ",
            "/build-mac/caretsafe --self-test",
            "+ codesign --verify --strict",
            '> {"action":"status"}',
            "check: status is {\"ok\":true,\"trusted\":true}",
            'make new document with properties {text:"a😀b c"}',
            '> {"action":"insert","token":"<token>","text":"Z"}',
            "check: the document is a😀bZ c",
            'do script ""',
            '"text":"echo héllo 😀 wörld"',
            'check: the insert\'s answer is {"ok":true,"delivery":"sent-unverified"}',
            "check: the window shows the typed line is yes",
            "tell me to activate",
            "do shell script \"exec '",
            'check: the capture\'s answer is {"ok":false,"reason":"unsupported-field"}',
            "dry run: nothing was run",
            # the page every browser opens: focused, caret after "a", value mirrored in the title
            '<input id="f" value="ab">',
            "f.setSelectionRange(1, 1);",
            'f.addEventListener("input", mirror);',
            'do JavaScript "document.getElementById(\'f\').value" in front document',
            "execute front window's active tab javascript",
        ]:
            self.assertIn(step, shown)
        # Both streams in one, in the order they were written: a step's AppleScripts go to
        # standard error, its commands and checks to standard output.
        merged = subprocess.run(
            ["bash", SCRIPT, "--dry-run"],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            encoding="utf-8",
            timeout=60,
        ).stdout
        for browser, app, bundle in [
            ("Safari", "Safari.app", "com.apple.Safari"),
            ("Google Chrome", "Google Chrome.app", "com.google.Chrome"),
            ("Firefox", "Firefox.app", "org.mozilla.firefox"),
        ]:
            # Each browser's steps in order, within its own part of the run.
            part = merged.split(f"== {browser}: ")[1].split("\n== ")[0]
            at = 0
            for step in [
                f'application id "{bundle}" is running',
                f"+ open -a /Applications/{app} ",
                f"check: {browser}: the window title once the page has loaded is [ab]",
                '> {"action":"capture","allowTyping":true}',
                f"check: {browser}: the capture answered ok with a token is yes",
                '> {"action":"insert","token":"<token>","text":"Zé😀"}',
                f'check: {browser}: the insert\'s answer is {{"ok":true}}',
                f"check: {browser}: the page's value, by the window title is [aZé😀b]",
                f'tell application id "{bundle}" to quit',
            ]:
                found = part.find(step, at)
                self.assertGreaterEqual(found, 0, f"{browser}: {step}")
                at = found + len(step)
            javascript = f"check: {browser}: the page's value, by its JavaScript is aZé😀b"
            if browser == "Firefox":
                self.assertNotIn(javascript, part)
            else:
                self.assertIn(javascript, part)
        self.assertNotIn("FAILED", shown)
        self.assertNotIn("skipped", shown)

    def test_refuses_to_run_for_real_off_a_mac(self):
        result = run("bash", SCRIPT, "--no-build")
        self.assertEqual(result.returncode, 2)
        self.assertIn("needs macOS", result.stderr)
        self.assertEqual(result.stdout, "")

    def test_unknown_argument_is_refused(self):
        self.assertEqual(run("bash", SCRIPT, "--dryrun").returncode, 2)


class SdkCheck(unittest.TestCase):
    """scripts/mac-sdk-check.sh builds against a macOS SDK that no CI machine holds; here it is
    checked for what it does without one."""

    def test_shellcheck_finds_nothing(self):
        result = run("shellcheck", SDK_CHECK)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_without_an_sdk_it_says_so_in_one_line_and_passes(self):
        env = {k: v for k, v in os.environ.items() if k != "MACOS_SDK"}
        for sdk in (None, ""):
            if sdk is not None:
                env["MACOS_SDK"] = sdk
            result = run("bash", SDK_CHECK, env=env)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stderr, "")
            lines = result.stdout.splitlines()
            self.assertEqual(len(lines), 1, result.stdout)
            self.assertIn("skipped", lines[0])
            self.assertIn("MACOS_SDK", lines[0])

    def test_a_folder_that_is_no_sdk_is_refused_before_anything_is_built(self):
        env = dict(os.environ, MACOS_SDK=os.path.join(SOURCE, "docs"))
        result = run("bash", SDK_CHECK, env=env)
        self.assertEqual(result.returncode, 2)
        self.assertIn("is no macOS SDK", result.stderr)


class Workflow(unittest.TestCase):
    def setUp(self):
        with open(WORKFLOW, encoding="utf-8") as f:
            self.workflow = yaml.safe_load(f)

    def test_runs_on_a_hosted_mac_on_every_change(self):
        # YAML 1.1 reads the key `on` as true.
        triggers = self.workflow.get("on", self.workflow.get(True))
        self.assertIn("push", triggers)
        self.assertIn("pull_request", triggers)
        (job,) = self.workflow["jobs"].values()
        self.assertTrue(job["runs-on"].startswith("macos-"))

    def test_steps_grant_the_permission_before_the_check(self):
        (job,) = self.workflow["jobs"].values()
        runs = [step.get("run", "") for step in job["steps"]]
        grant = next(i for i, r in enumerate(runs) if "kTCCServiceAccessibility" in r)
        check = next(i for i, r in enumerate(runs) if "scripts/mac-e2e.sh" in r)
        tests = next(i for i, r in enumerate(runs) if "ctest" in r)
        self.assertLess(grant, check)
        self.assertLess(tests, check)
        self.assertIn("build-mac/caretsafe", runs[grant])

    def test_grants_automation_of_every_application_the_script_scripts(self):
        # Without the grant, the runner's first Apple event to an application waits on a
        # permission prompt that no one answers.
        shown = run("bash", SCRIPT, "--dry-run").stderr
        bundles = set(re.findall(r'application id "([\w.]+)"', shown))
        self.assertGreaterEqual(len(bundles), 3, bundles)
        (job,) = self.workflow["jobs"].values()
        (grant,) = [s["run"] for s in job["steps"] if "kTCCServiceAppleEvents" in s.get("run", "")]
        for bundle in sorted(bundles):
            self.assertIn(bundle, re.findall(r"[\w.]+", grant))


if __name__ == "__main__":
    unittest.main(verbosity=2)
