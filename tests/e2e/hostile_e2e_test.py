#!/usr/bin/python3
"""The real tarv-patcher against hostile surroundings, end to end, run as the
elevated patcher runs (as root where the test needs it): links planted in a
temporary folder others can write, a machine hive another vendor left in
Latin-1, a catalogue whose chain returns to a version already reached,
patches whose new files are missing or wrong, an installation without an
uninstaller log, and the window closed while a file is being rebuilt.

Run under a display: xvfb-run -a python3 hostile_e2e_test.py
"""

import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import patcher_e2e_test as base  # noqa: E402
import tarv_e2e as e2e  # noqa: E402

SEARCHING, COMPLETED, ABORTED, STEP = base.SEARCHING, base.COMPLETED, base.ABORTED, base.STEP


def tree_state(root):
    """Every entry below root: its kind, link target or bytes."""
    state = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, root)
            if os.path.islink(full):
                state[rel] = ("link", os.readlink(full))
            elif os.path.isdir(full):
                state[rel] = ("dir",)
            else:
                with open(full, "rb") as f:
                    state[rel] = ("file", f.read())
    return state


class HostileTest(unittest.TestCase):
    # The arranging and checking helpers of the main end-to-end tests.
    setUp = base.PatcherTest.setUp
    make_install = base.PatcherTest.make_install
    serve = base.PatcherTest.serve
    env = base.PatcherTest.env
    run_patcher = base.PatcherTest.run_patcher
    finish = base.PatcherTest.finish
    assertInstallIs = base.PatcherTest.assertInstallIs
    marker = base.PatcherTest.marker
    temp_names = base.PatcherTest.temp_names

    def served_copy(self, catalogue=None):
        served = os.path.join(self.dir, "served")
        shutil.copytree(self.server_dir, served)
        if catalogue is not None:
            e2e.write(os.path.join(served, "patches.txt"), catalogue)
        return served

    # --- the temporary folder ------------------------------------------------

    @unittest.skipUnless(os.geteuid() == 0, "the patcher runs elevated here, as root")
    def test_links_planted_in_temp_change_nothing_outside_the_session_folder(self):
        self.make_install()
        os.makedirs(self.temp)
        os.chmod(self.temp, 0o777)  # another account may write here
        outside = os.path.join(self.dir, "outside")
        e2e.write(os.path.join(outside, "victim.txt"), "the victim's file\n")
        e2e.write(os.path.join(outside, "docs/keep.txt"), "keep\n")
        # The archive names of the chain, a dangling one included, and the
        # work folder names the millisecond clock gives for the next minute.
        os.symlink(os.path.join(outside, "victim.txt"), os.path.join(self.temp, "1_to_2.zip"))
        os.symlink(os.path.join(outside, "created.txt"), os.path.join(self.temp, "2_to_3.zip"))
        now = int(time.monotonic() * 1000) & 0xFFFFFFFF
        for n in range(now, now + 60_000):
            os.symlink(os.path.join(outside, "docs"), os.path.join(self.temp, f"file{n}"))
        planted = tree_state(self.temp)
        before = tree_state(outside)

        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertEqual(lines, [SEARCHING, *STEP, *STEP, base.no_more("3"), COMPLETED])
        self.assertInstallIs("3")
        self.assertEqual(tree_state(outside), before)
        # The session's own folder is gone; what was planted is as it was.
        self.assertEqual(tree_state(self.temp), planted)

    def test_session_folder_goes_on_every_way_out(self):
        self.make_install()
        e2e.make_executable(os.path.join(self.install, "Binaries/miniunz.exe"), "#!/bin/sh\nexit 1\n")
        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertEqual(lines[-1], ABORTED)
        self.assertEqual(self.temp_names(), [])

    # --- the registry ------------------------------------------------------------

    def test_hive_lines_of_other_programs_survive_a_whole_chain(self):
        # Another program's key with a path in Latin-1, and a line without
        # "=": nothing the patcher reads, so the chain runs, and every write
        # of the patcher's own values (the marker set and cleared) keeps
        # those lines byte for byte.
        self.make_install()
        env = self.env()
        hive = env["OBELK_MACHINE_REGISTRY"]
        odd = b"[SOFTWARE/Other Vendor]\nInstallPath=/opt/T\xe4rv\na line without an equals sign\n"
        with open(hive, "rb") as f:
            original = f.read()
        e2e.write(hive, original + odd)
        full_env = dict(os.environ, TARV_PATCHER_LOG=os.path.join(self.dir, "session.log"), **env)
        full_env.pop("DISPLAY", None)
        done = subprocess.run([e2e.program("tarv-patcher"), "-u", "1", self.install, "-s",
                               self.serve().url()], env=full_env, capture_output=True,
                              timeout=e2e.HANG_GUARD_S)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertInstallIs("3")
        with open(hive, "rb") as f:
            after = f.read()
        self.assertIn(odd, after)
        self.assertNotIn(b"IsPatching", after)

    # --- the chain -------------------------------------------------------------

    def test_a_chain_back_to_a_reached_version_ends_before_the_second_download(self):
        self.make_install()
        served = self.served_copy("source-version: 1\ntarget-version: 2\n"
                                  "patch-exe-url: 1_to_2.exe\npatch-data-url: 1_to_2.zip\n\n"
                                  "source-version: 2\ntarget-version: 1\n"
                                  "patch-exe-url: 2_to_1.exe\npatch-data-url: 2_to_3.zip\n")
        server = self.serve("http", served)
        lines = self.finish(self.run_patcher("-s", server.url()))
        self.assertEqual(lines, [SEARCHING, *STEP, (2, "The patch chain returns to a version "
                                                       "already reached and ends here: 1 -> 2 -> 1"),
                                 ABORTED])
        self.assertEqual([r for r in server.requests() if ".zip" in r and "HEAD" not in r],
                         [r for r in server.requests() if "1_to_2.zip" in r and "HEAD" not in r])
        self.assertInstallIs("2")

    # --- added files -------------------------------------------------------------

    def test_added_file_missing_or_wrong_leaves_the_installed_file(self):
        for case in ("missing from data/", "wrong digest"):
            with self.subTest(case):
                shutil.rmtree(self.install, ignore_errors=True)
                self.make_install()
                target = os.path.join(self.install, "Data/base.pak")
                with open(target, "rb") as f:
                    installed = f.read()
                served = os.path.join(self.dir, "served-" + case.split()[0])
                os.makedirs(served)
                digest = "0123456789abcdef0123456789abcdef"
                with zipfile.ZipFile(os.path.join(served, "1_to_2.zip"), "w") as z:
                    z.writestr("addedFiles.txt", f"Data\\base.pak\r\n{digest}\r\n\r\n")
                    z.writestr("deletedFiles.txt", "")
                    z.writestr("patchedFiles.txt", "")
                    if case == "wrong digest":
                        z.writestr("data/Data/base.pak", b"forged content")
                e2e.write(os.path.join(served, "patches.txt"),
                          "source-version: 1\ntarget-version: 2\npatch-exe-url: x\n"
                          "patch-data-url: 1_to_2.zip\n")
                lines = self.finish(self.run_patcher("-s", self.serve("http", served).url()))
                self.assertIn((0, "Failed adding: Data\\base.pak..."), lines)
                self.assertEqual(lines[-1], ABORTED)
                with open(target, "rb") as f:
                    self.assertTrue(f.read() == installed)
                self.assertEqual([n for n in os.listdir(os.path.dirname(target))
                                  if n.startswith(".tarv-copy")], [])

    # --- the uninstaller log -------------------------------------------------------

    def test_installation_without_an_uninstaller_log_is_patched_with_a_note(self):
        self.make_install()
        os.remove(os.path.join(self.install, "unins000.dat"))
        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertEqual(lines[-1], COMPLETED)
        self.assertEqual(lines.count((1, "No uninstaller log; nothing recorded.")), 2)
        self.assertFalse(os.path.exists(os.path.join(self.install, "unins000.dat")))
        self.assertInstallIs("3")

    # --- closing the window ------------------------------------------------------------

    def test_closing_the_window_while_a_file_is_rebuilt_stops_the_tool_and_restores(self):
        self.make_install()
        marker = os.path.join(self.dir, "jpatch-started")
        real = os.path.join(self.dir, "jpatch")
        shutil.copy(e2e.program("jpatch"), real)
        e2e.make_executable(os.path.join(self.install, "Binaries/jpatchl-w32.exe"),
                            f"#!/bin/sh\ncase \"$*\" in *TarvLauncher*) echo $$ > '{marker}'; "
                            f"exec sleep 600;; esac\nexec '{real}' \"$@\"\n")
        patcher = self.run_patcher("-s", self.serve().url())
        e2e.wait_until(lambda: os.path.exists(marker) and open(marker).read().strip(),
                       "the difference tool to stop")
        tool = int(open(marker).read())
        subprocess.run([e2e.program("tarv-x-close"), str(patcher.wid)], check=False)
        patcher.answer(e2e.Patcher.TITLE, yes=True)
        patcher.proc.wait(timeout=60)
        self.assertNotEqual(patcher.proc.returncode, 0)

        def gone():
            try:
                os.kill(tool, 0)
                return False
            except ProcessLookupError:
                return True
        e2e.wait_until(gone, "the difference tool to end", 10)
        left = [rel for rel in e2e.snapshot(self.install) if rel.endswith(".bak")
                or os.path.basename(rel).startswith(".tarv-copy")]
        self.assertEqual(left, [])
        # The step was cut short before its commit: the program ended only
        # after its undo, so the installation is the old version, whole.
        self.assertFalse(os.path.exists(os.path.join(self.install, ".tarv-step")))
        self.assertInstallIs("1")
        self.assertEqual(self.temp_names(), [])


if __name__ == "__main__":
    e2e.main(verbosity=2)
