#!/usr/bin/python3
"""All-or-nothing patch steps, end to end: the real tarv-patcher on a real
installation, each way a step can fail, and afterwards the installation
byte for byte what it was before the step (folders included), the
uninstaller's log valid and unchanged, and no backup, temporary file or
journal left behind.

Run under a display: xvfb-run -a python3 step_e2e_test.py
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv_e2e as e2e  # noqa: E402
from patcher_e2e_test import ABORTED, COMPLETED, PatcherTest  # noqa: E402


# The calls that change the installation: the n-th of them, in any process
# of the run (the patcher, its unpacker, its difference tool), is the last.
CHANGING_CALLS = "rename,renameat,renameat2,unlink,unlinkat"


def kill_at(n):
    return ["strace", "-f", "-D", "-qq", "-o", "/dev/null", "-e", "trace=" + CHANGING_CALLS,
            "-e", f"inject={CHANGING_CALLS}:signal=SIGKILL:when={n}"]


def returned_to(version):
    return (1, f"The installation was returned to version {version}.")


def failed_apply(step):
    return (2, "\nFailed to apply the patch: " + step)


class StepTest(PatcherTest):
    def state(self):
        return e2e.full_state(self.install)

    def assertUnchangedSince(self, before):
        after = self.state()
        changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
        self.assertEqual(changed, [])

    def assertNoLeftovers(self):
        names = [rel for rel in self.state()
                 if rel.endswith((".bak", ".part")) or "/.tarv-copy" in "/" + rel
                 or rel.startswith(".tarv-step")]
        self.assertEqual(names, [])

    def server_without(self, step, member):
        """A copy of the server folder whose `step` archive lacks `member`."""
        root = os.path.join(self.dir, "server")
        shutil.copytree(self.server_dir, root)
        archive = os.path.join(root, step + ".zip")
        with zipfile.ZipFile(archive) as old:
            items = [(i, old.read(i.filename)) for i in old.infolist() if i.filename != member]
        with zipfile.ZipFile(archive, "w") as new:
            for info, data in items:
                new.writestr(info, data)
        self.restamp(root, step)
        return self.serve("http", root)

    @staticmethod
    def restamp(root, step):
        """The catalogue names the rebuilt archive's size and digest, as a
        publisher who shipped it that way would have."""
        with open(os.path.join(root, step + ".zip"), "rb") as f:
            data = f.read()
        path = os.path.join(root, "patches.txt")
        with open(path, newline="") as f:
            records = f.read().split("\r\n\r\n")
        for i, record in enumerate(records):
            if "patch-data-url: " + step + ".zip" not in record:
                continue
            record = re.sub(r"patch-data-size: \d+", "patch-data-size: %d" % len(data), record)
            records[i] = re.sub(r"patch-data-sha256: [0-9a-f]+",
                                "patch-data-sha256: " + hashlib.sha256(data).hexdigest(), record)
        with open(path, "w", newline="") as f:
            f.write("\r\n\r\n".join(records))

    def tool(self, script):
        """The installation's difference tool: `script` (sh) around the real one."""
        real = os.path.join(self.dir, "jpatch")
        shutil.copy(e2e.program("jpatch"), real)
        e2e.make_executable(os.path.join(self.install, "Binaries/jpatchl-w32.exe"),
                            "#!/bin/sh\nREAL='" + real + "'\n" + script)

    def run_failing(self, *args, version="1", env=None, wrap=None):
        before = self.state()
        patcher = self.run_patcher(*args, version=version, env=env, binary=wrap)
        return before, self.finish(patcher)

    # --- refused by the check: nothing changes, no return line ----------------

    def test_damaged_patched_file_is_refused_before_any_change(self):
        self.make_install()
        damaged = os.path.join(self.install, "Data/base.pak")
        data = bytearray(open(damaged, "rb").read())
        data[1000] ^= 1
        e2e.write(damaged, bytes(data))
        before, lines = self.run_failing("-s", self.serve().url())
        self.assertIn((2, "Existing file is damaged and cannot be patched: "
                       + self.install + "/Data/base.pak"), lines)
        self.assertEqual(lines[-2:], [failed_apply("1_to_2"), ABORTED])
        self.assertUnchangedSince(before)
        self.assertNoLeftovers()

    def test_missing_source_in_data_is_refused_before_any_change(self):
        self.make_install()
        server = self.server_without("1_to_2", "data/Data/new/added one.dat")
        before, lines = self.run_failing("-s", server.url())
        self.assertIn((0, "Failed adding: Data\\new\\added one.dat..."), lines)
        self.assertEqual(lines[-2:], [failed_apply("1_to_2"), ABORTED])
        self.assertUnchangedSince(before)
        self.assertNoLeftovers()

    def test_wrong_installed_version_is_refused_before_any_change(self):
        self.make_install("3")
        before, lines = self.run_failing("-s", self.serve().url(), version="1")
        self.assertIn((2, "Existing file is damaged and cannot be patched: "
                       + self.install + "/Data/base.pak"), lines)
        self.assertEqual(lines[-2:], [failed_apply("1_to_2"), ABORTED])
        self.assertUnchangedSince(before)
        self.assertInstallIs("3")

    # --- failures inside the step: undone -------------------------------------

    def test_tool_failing_on_the_third_file_of_a_step_undoes_that_step(self):
        self.make_install()
        # Two files are rebuilt by the first step; the third file the tool
        # is asked for is the first of the second step.
        count = os.path.join(self.dir, "tool-calls")
        self.tool(f'echo x >> "{count}"\n'
                  f'[ "$(wc -l < "{count}")" -eq 3 ] && exit 4\nexec "$REAL" "$@"\n')
        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertIn(failed_apply("2_to_3"), lines)
        self.assertEqual(lines[-2:], [returned_to("2"), ABORTED])
        self.assertInstallIs("2")
        # The log holds the first step's records and nothing of the second.
        self.assertUninstallLogRecords(self.added_files("1_to_2"))
        # The configuration reset went with the first step, which stands.
        self.assertConfigReset(True)
        self.assertNoLeftovers()

    def test_tool_whose_digest_does_not_fit_its_file_undoes_the_step(self):
        # The applier takes the digest our tool reports only for the file the
        # tool wrote; a tool that lies about it is caught either way.
        wrong_digest = ('"$REAL" "$@" 3>&- || exit $?\n'
                        'echo 0123456789abcdef0123456789abcdef $(stat -c "%s %d %i" "$3") '
                        '$(stat -c %.9Y "$3" | tr -d .) >&3\n')
        changed_after = '"$REAL" "$@" || exit $?\nprintf x >> "$3"\n'
        for name, script in [("wrong digest", wrong_digest), ("changed after", changed_after)]:
            with self.subTest(name):
                shutil.rmtree(self.install, ignore_errors=True)
                self.make_install()
                self.tool(script)
                before, lines = self.run_failing("-s", self.serve().url())
                self.assertIn((2, "The patched file does not have the expected checksum: "
                               + self.install + "/Data/base.pak"), lines)
                self.assertEqual(lines[-2:], [returned_to("1"), ABORTED])
                self.assertUnchangedSince(before)
                self.assertNoLeftovers()

    # The sanitizers' runtime makes write calls of its own, so the injected
    # call lands elsewhere; the normal build runs it.
    @unittest.skipIf(os.environ.get("TARV_SANITIZED"), "call counts differ under the sanitizers")
    def test_full_disk_while_adding_files_undoes_the_step(self):
        self.make_install()
        before = self.state()
        # From the second copy of the added-files pass on the disk is full,
        # the retry of that copy included.
        wrap = ["strace", "-f", "-D", "-qq", "-o", "/dev/null", "-e", "trace=copy_file_range",
                "-e", "inject=copy_file_range:error=ENOSPC:when=2+"]
        lines = self.finish(self.run_patcher("-s", self.serve().url(), binary=wrap))
        self.assertIn(failed_apply("1_to_2"), lines)
        self.assertEqual(lines[-2:], [returned_to("1"), ABORTED])
        self.assertUnchangedSince(before)
        self.assertNoLeftovers()

    def test_cancel_during_the_apply_pass_undoes_the_step(self):
        self.make_install()
        started, go = os.path.join(self.dir, "tool-started"), os.path.join(self.dir, "go")
        # The first rebuilt file waits until the cancel has been confirmed.
        self.tool(f'touch "{started}"\nwhile [ ! -e "{go}" ]; do sleep 0.1; done\n'
                  'exec "$REAL" "$@"\n')
        before = self.state()
        patcher = self.run_patcher("-s", self.serve().url())
        e2e.wait_until(lambda: os.path.exists(started), "the difference tool to start")
        self.cancel(patcher)
        e2e.write(go, "")
        # After a confirmed cancel the window stays quiet; the step is undone.
        e2e.wait_until(lambda: not os.path.exists(os.path.join(self.install, ".tarv-step")),
                       "the step to be undone")
        self.assertEqual(patcher.close(), 0)
        self.assertNotIn(COMPLETED, patcher.lines())
        after = self.state()
        # Only the stand-in tool differs from the installation before.
        before.pop("Binaries/jpatchl-w32.exe"), after.pop("Binaries/jpatchl-w32.exe")
        self.assertEqual(sorted(k for k in set(before) | set(after)
                                if before.get(k) != after.get(k)), [])
        self.assertNoLeftovers()

    def test_unwritable_uninstaller_log_undoes_the_step(self):
        self.make_install()
        # A folder where the log's new copy is written: the update fails.
        os.makedirs(os.path.join(self.install, "unins000_temp.dat"))
        before, lines = self.run_failing("-s", self.serve().url())
        self.assertEqual(lines[-3:], [
            (2, "\nFailed to update unins000.dat after the patch: 1_to_2"), returned_to("1"),
            ABORTED])
        self.assertUnchangedSince(before)
        valid, count, _ = e2e.uninstall_log(self.install)
        self.assertTrue(valid)
        self.assertNoLeftovers()

    # --- killed at every change of a chain ------------------------------------

    def kill_sweep(self, points, stop_when_done=False):
        """Kills the patcher (strace's signal injection) at each of `points`,
        the n-th rename or unlink of the run; after each kill a reader of our
        own finds the installation at one of the two versions of the step once
        the journal is replayed, and a normal run ends at the final version.
        Returns how many points killed the patcher (the rest ran to the end)."""
        server = self.serve()
        killed = 0
        for n in points:
            with self.subTest(kill_at=n):
                shutil.rmtree(self.install, True)
                self.make_install()
                finished = e2e.run_until_end(self.dir, ["1", self.install, "-s", server.url()],
                                             self.env(), kill_at(n))
                copy = os.path.join(self.dir, "replayed")
                shutil.rmtree(copy, True)
                shutil.copytree(self.install, copy, symlinks=True)
                e2e.replay_journal(copy)
                at = [v for v in ("1", "2", "3") if not e2e.differences(copy, self.trees[v])]
                self.assertEqual(len(at), 1, e2e.differences(copy, self.trees["2"]))
                self.assertFalse(os.path.exists(os.path.join(copy, ".tarv-step")))
                killed += not finished
                if finished and stop_when_done:
                    print(f"kill sweep: {killed} kill points, the run with point {n} "
                          "went through to the end", file=sys.stderr)
                    return killed
                lines = self.finish(self.run_patcher("-s", server.url(), version=at[0]))
                self.assertEqual(lines[-1], COMPLETED)
                self.assertInstallIs("3")
                self.assertNoLeftovers()
        return killed

    # The kill points count the changing calls of the normal build; a whole
    # sweep takes about two minutes, so CI runs every point.
    @unittest.skipIf(os.environ.get("TARV_SANITIZED"), "call counts differ under the sanitizers")
    def test_kill_sweep_every_point(self):
        """Every point from the first on, until a run gets through to the end."""
        self.make_install()
        killed = self.kill_sweep(range(1, 1000), stop_when_done=True)
        self.assertGreater(killed, 30)

    def run_windowless(self, *args):
        env = dict(os.environ, TARV_PATCHER_LOG=os.path.join(self.dir, "session.log"),
                   **self.env())
        env.pop("DISPLAY", None)
        return subprocess.run([e2e.program("tarv-patcher"), "-u", *args], env=env,
                              capture_output=True, text=True, timeout=e2e.HANG_GUARD_S)

    @unittest.skipIf(os.environ.get("TARV_SANITIZED"), "call counts differ under the sanitizers")
    def test_kill_sweep_without_window(self):
        """The window-less patcher killed at each change of the chain: the
        next window-less start alone leaves the installation at one version
        (it is given an empty patch folder, so it only recovers), and a
        window-less run from that version reaches the final one."""
        self.make_install()
        server = self.serve()
        nothing = os.path.join(self.dir, "no patches")
        os.makedirs(nothing)
        killed = 0
        for n in range(1, 1000):
            with self.subTest(kill_at=n):
                shutil.rmtree(self.install, True)
                self.make_install()
                env = dict(self.env(), DISPLAY=None, WAYLAND_DISPLAY=None)
                finished = e2e.run_until_end(self.dir, ["-u", "1", self.install, "-s",
                                                        server.url()], env, kill_at(n))
                if finished:
                    break
                killed += 1
                recovered = self.run_windowless("1", self.install, "--patch", nothing)
                self.assertFalse(os.path.exists(os.path.join(self.install, ".tarv-step")),
                                 recovered.stdout)
                at = [v for v in ("1", "2", "3") if not e2e.differences(self.install,
                                                                         self.trees[v])]
                self.assertEqual(len(at), 1, recovered.stdout)
                done = self.run_windowless(at[0], self.install, "-s", server.url())
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertInstallIs("3")
                self.assertNoLeftovers()
        print(f"window-less kill sweep: {killed} kill points", file=sys.stderr)
        self.assertGreater(killed, 30)


# The tests of the base class run in their own file, not again here.
for _name in dir(PatcherTest):
    if _name.startswith("test_") and _name not in StepTest.__dict__:
        setattr(StepTest, _name, None)


if __name__ == "__main__":
    e2e.main()
