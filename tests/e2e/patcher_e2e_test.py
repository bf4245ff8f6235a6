#!/usr/bin/python3
"""The real tarv-patcher, end to end: a player's installation made from the
versions that `tarv-mkpatch chain` patched, real HTTP and FTP servers on
127.0.0.1, the real unpacker and difference tool, the window on a real X
server. Each test reads the session log (TARV_PATCHER_LOG), compares the
installation with the expected version byte for byte, and checks the
uninstaller's log with the independent reader (tarv-unins-check).

Run under a display: xvfb-run -a python3 patcher_e2e_test.py
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv_e2e as e2e  # noqa: E402

SEARCHING = (0, "Searching for patches...")
DOWNLOADING = (0, "Downloading patch file...")
UNPACKING = (0, "Unpacking patch file...")
PATCHING = (0, "Patching...\n")
COMPLETED = (0, "Patching completed.")
ABORTED = (0, "Patching aborted.")
STEP = [DOWNLOADING, UNPACKING, PATCHING]


def no_more(version):
    return (0, "No (more) patches at server for version: " + version)


def at_final(version):
    return (0, "Client is at the final version: " + version)


class Fixture:
    """Versions 1 -> 2 -> 3 and their server folder, made once per run."""
    made = None

    @classmethod
    def get(cls):
        if cls.made is None:
            root = tempfile.mkdtemp(prefix="tarv-e2e-versions-")
            trees = e2e.make_versions(root)
            server = e2e.make_chain(os.path.join(root, "server"), trees)
            cls.made = (root, trees, server)
        return cls.made


class PatcherTest(unittest.TestCase):
    def setUp(self):
        self.root, self.trees, self.server_dir = Fixture.get()
        self.dir = tempfile.mkdtemp(prefix="tarv-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.install = os.path.join(self.dir, "Tarv Game")
        self.temp = os.path.join(self.dir, "temp")
        self.registry = os.path.join(self.dir, "registry")

    # --- arranging ----------------------------------------------------------

    def make_install(self, version="1", **kw):
        e2e.make_install(self.install, self.trees[version], **kw)
        self.log_before = e2e.uninstall_log(self.install)

    def serve(self, kind="http", root=None, *options):
        server = e2e.Server(kind, root or self.server_dir, *options)
        self.addCleanup(server.stop)
        return server

    def env(self, **extra):
        env = e2e.make_registry(self.registry, self.install, physx=extra.pop("physx", True))
        env["TEMP"] = self.temp
        env.update(extra)
        return env

    def run_patcher(self, *args, env=None, version="1", binary=None):
        patcher = e2e.Patcher(self.dir, [version, self.install, *args], env or self.env(),
                              binary=binary)
        self.addCleanup(patcher.kill)
        return patcher

    def finish(self, patcher):
        patcher.wait_finished()
        lines = patcher.lines()
        self.assertEqual(patcher.close(), 0, patcher.output()[-4000:])
        # A sanitizer build reports its findings on the patcher's output.
        self.assertNotIn("Sanitizer", patcher.output(), patcher.output()[-4000:])
        return lines

    # --- checking -----------------------------------------------------------

    def assertInstallIs(self, version):
        self.assertEqual(e2e.differences(self.install, self.trees[version]), [])

    def assertConfigReset(self, reset):
        present = [os.path.exists(os.path.join(self.install, "QXGame/Config", n))
                   for n in e2e.CONFIG_FILES]
        self.assertEqual(present, [not reset] * len(present))

    def assertUninstallLogRecords(self, added):
        """Valid log, count grown by the added files, their delete records."""
        valid, count, paths = e2e.uninstall_log(self.install)
        self.assertTrue(valid)
        self.assertEqual(count, self.log_before[1] + len(added))
        self.assertEqual(paths, [e2e.to_narrow(self.install + "\\" + p) for p in added])

    def added_files(self, *steps):
        out = []
        for step in steps:
            with zipfile.ZipFile(os.path.join(self.server_dir, step + ".zip")) as z:
                text = z.read("addedFiles.txt").decode("utf-8").splitlines()
            out += text[0::3]
        return out

    def marker(self):
        return e2e.read_hive_value(os.path.join(self.registry, "machine.conf"),
                                   "Software\\Obelk\\Tarv", "IsPatching")

    def without_archive_fields(self, folder):
        """Writes the chain's catalogue into `folder` as older publishers wrote
        it, without the archives' sizes and digests, so that the size query and
        the unpacker's own checks are what a download meets."""
        with open(os.path.join(self.server_dir, "patches.txt"), "rb") as f:
            lines = [l for l in f.read().split(b"\r\n") if not l.startswith(b"patch-data-s")]
        e2e.write(os.path.join(folder, "patches.txt"), b"\r\n".join(lines))
        return os.path.join(folder, "patches.txt")

    def temp_names(self):
        return sorted(os.listdir(self.temp)) if os.path.isdir(self.temp) else []

    # --- the chain ------------------------------------------------------------

    def check_full_chain(self, server):
        self.make_install()
        lines = self.finish(self.run_patcher("-s", server.url()))
        self.assertEqual(lines, [SEARCHING, *STEP, *STEP, no_more("3"), COMPLETED])
        self.assertInstallIs("3")
        self.assertConfigReset(True)
        self.assertUninstallLogRecords(self.added_files("1_to_2", "2_to_3"))
        self.assertIsNone(self.marker())
        # The session's folder, archives and work folders in it, is gone.
        self.assertEqual(self.temp_names(), [])

    def test_chain_has_differences_of_both_formats(self):
        # The relinked program gets the second format, the data the first:
        # the chain the other tests patch through mixes both in one archive.
        formats = {}
        for archive in ("1_to_2.zip", "2_to_3.zip"):
            with zipfile.ZipFile(os.path.join(self.server_dir, archive)) as z:
                for name in z.namelist():
                    if name.endswith(".diff"):
                        head = z.read(name)[:8]
                        formats[(archive, name)] = "2" if head.startswith(b"TarvDif") else "1"
        self.assertEqual(formats[("2_to_3.zip", "data/Binaries/game.bin.diff")], "2")
        self.assertEqual(formats[("2_to_3.zip", "data/Data/base.pak.diff")], "1")
        self.assertEqual(formats[("1_to_2.zip", "data/Data/base.pak.diff")], "1")

    def test_http_chain_to_the_newest_version(self):
        self.check_full_chain(self.serve("http"))

    def test_ftp_chain_to_the_newest_version(self):
        self.check_full_chain(self.serve("ftp"))

    def test_final_version_two_stops_after_one_step(self):
        self.make_install()
        lines = self.finish(self.run_patcher("-s", self.serve().url(), "--final", "2"))
        self.assertEqual(lines, [SEARCHING, *STEP, at_final("2"), COMPLETED])
        self.assertInstallIs("2")
        self.assertConfigReset(True)
        self.assertUninstallLogRecords(self.added_files("1_to_2"))

    def test_final_equal_to_installed_version_changes_nothing(self):
        self.make_install()
        lines = self.finish(self.run_patcher("-s", self.serve().url(), "--final", "1"))
        self.assertEqual(lines, [SEARCHING, at_final("1"), COMPLETED])
        self.assertInstallIs("1")
        self.assertConfigReset(False)
        self.assertUninstallLogRecords([])

    def test_first_server_down_second_serves(self):
        self.make_install()
        down = f"http://127.0.0.1:{e2e.free_port()}/"
        good = self.serve()
        env = self.env(TARV_INET_RETRY_PAUSE_MS="50")
        lines = self.finish(self.run_patcher("-s", down + ";" + good.url(), env=env))
        # The server that failed is named in red, with the cause.
        self.assertEqual(lines[:3], [SEARCHING, (2, "Unable to download patch file: " + down + "patches.txt"),
                                     (2, "The server refused the connection.")])
        self.assertEqual(lines[3:], [*STEP, *STEP, no_more("3"), COMPLETED])
        self.assertInstallIs("3")

    def test_debian_miniunzip_fits_the_unpacker_command_line(self):
        self.make_install(unpacker="/usr/bin/miniunzip")
        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertEqual(lines[-1], COMPLETED)
        self.assertInstallIs("3")

    # --- downloads that go wrong -------------------------------------------------

    def test_size_query_fails_download_still_runs(self):
        self.make_install()
        server = self.serve()
        server.set_routes({"/1_to_2.zip": {"no_length": True},
                           "/patches.txt": {"file": self.without_archive_fields(self.dir)}})
        lines = self.finish(self.run_patcher("-s", server.url(), "--final", "2"))
        self.assertEqual(lines[:2], [SEARCHING, (1, "Unable to determine the size of the patch file. "
                                     "Possible problem with local proxy or firewall software.")])
        self.assertEqual(lines[2:], [*STEP, at_final("2"), COMPLETED])
        self.assertInstallIs("2")

    def test_download_one_byte_short_fails(self):
        self.make_install()
        server = self.serve()
        size = os.path.getsize(os.path.join(self.server_dir, "1_to_2.zip"))
        server.set_routes({"/1_to_2.zip": {"length": size + 1}})
        env = self.env(TARV_INET_RETRY_PAUSE_MS="50")
        lines = self.finish(self.run_patcher("-s", server.url(), env=env))
        self.assertEqual(lines[-2:], [(2, "Patch download failed."), ABORTED])
        self.assertInstallIs("1")
        self.assertUninstallLogRecords([])

    # --- unpacking that goes wrong ---------------------------------------------

    def test_unpacker_exit_1_removes_archive_and_work_folder(self):
        self.make_install()
        e2e.make_executable(os.path.join(self.install, "Binaries/miniunz.exe"), "#!/bin/sh\nexit 1\n")
        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertEqual(lines[1:], [DOWNLOADING, UNPACKING, (2, "Failed to unpack the patch file"),
                                     (2, "Failed to extract the patch archive."), ABORTED])
        self.assertEqual(self.temp_names(), [])
        self.assertInstallIs("1")

    def test_flipped_byte_inside_an_entry_fails_the_crc_check(self):
        self.make_install()
        served = os.path.join(self.dir, "served")
        shutil.copytree(self.server_dir, served)
        archive = os.path.join(served, "1_to_2.zip")
        self.without_archive_fields(served)
        with zipfile.ZipFile(archive) as z:
            entry = max(z.infolist(), key=lambda i: i.compress_size)
        with open(archive, "r+b") as f:
            f.seek(entry.header_offset + 26)
            name_len, extra_len = int.from_bytes(f.read(2), "little"), int.from_bytes(f.read(2), "little")
            at = entry.header_offset + 30 + name_len + extra_len + entry.compress_size // 2
            f.seek(at)
            byte = f.read(1)[0]
            f.seek(at)
            f.write(bytes([byte ^ 0x10]))
        lines = self.finish(self.run_patcher("-s", self.serve("http", served).url()))
        self.assertEqual(lines[-3:], [(2, "Failed to unpack the patch file"),
                                      (2, "Failed to extract the patch archive."), ABORTED])
        self.assertInstallIs("1")
        self.assertUninstallLogRecords([])

    # --- applying that goes wrong ----------------------------------------------

    def test_damaged_installed_file_leaves_the_marker_until_a_clean_run(self):
        self.make_install()
        damaged = os.path.join(self.install, "Data/base.pak")
        original = open(damaged, "rb").read()
        e2e.write(damaged, original[:-10] + b"0123456789")
        server = self.serve()
        lines = self.finish(self.run_patcher("-s", server.url()))
        self.assertIn((2, "\nFailed to apply the patch: 1_to_2"), lines)
        self.assertEqual(lines[-1], ABORTED)
        self.assertEqual(self.marker(), "dword:00000001")
        self.assertUninstallLogRecords([])

        e2e.write(damaged, original)
        lines = self.finish(self.run_patcher("-s", server.url()))
        self.assertEqual(lines[-1], COMPLETED)
        self.assertIsNone(self.marker())
        self.assertInstallIs("3")

    def test_kill_during_apply_then_rerun_completes_the_chain(self):
        self.make_install()
        marker = os.path.join(self.dir, "jpatch-started")
        real = os.path.join(self.dir, "jpatch")
        shutil.copy(e2e.program("jpatch"), real)
        # The difference tool stops on the third file of the first patch, so
        # that the patcher is killed with the patch half applied.
        e2e.make_executable(os.path.join(self.install, "Binaries/jpatchl-w32.exe"),
                            f"#!/bin/sh\ncase \"$*\" in *game.bin*|*TarvLauncher*) ;; *) exec '{real}' \"$@\";; esac\n"
                            f"case \"$*\" in *TarvLauncher*) echo $$ > '{marker}'; exec sleep 600;; esac\n"
                            f"exec '{real}' \"$@\"\n")
        server = self.serve()
        patcher = self.run_patcher("-s", server.url())
        e2e.wait_until(lambda: os.path.exists(marker), "the difference tool to stop")
        patcher.kill()
        self.assertEqual(self.marker(), "dword:00000001")
        # The step's journal, replayed by a reader of our own, gives the
        # version before the step: the kill came before its commit point.
        copy = os.path.join(self.dir, "replayed")
        shutil.copytree(self.install, copy, symlinks=True)
        e2e.replay_journal(copy)
        self.assertEqual(e2e.differences(copy, self.trees["1"]), [])

        shutil.copy(e2e.program("jpatch"), os.path.join(self.install, "Binaries/jpatchl-w32.exe"))
        lines = self.finish(self.run_patcher("-s", server.url()))
        # The next start undid the step first and says so; the chain then
        # runs whole.
        self.assertEqual(lines, [(1, "The installation was returned to version 1."), SEARCHING,
                                 *STEP, *STEP, no_more("3"), COMPLETED])
        self.assertIsNone(self.marker())
        self.assertInstallIs("3")
        self.assertFalse(os.path.exists(os.path.join(self.install, ".tarv-step")))

    def test_broken_uninstaller_log_stops_the_chain_and_stays_untouched(self):
        self.make_install()
        log = os.path.join(self.install, "unins000.dat")
        with open(log, "rb") as f:
            broken = f.read()[:-3]
        e2e.write(log, broken)
        lines = self.finish(self.run_patcher("-s", self.serve().url()))
        self.assertEqual(lines[-3:], [(2, "\nFailed to update unins000.dat after the patch: 1_to_2"),
                                      (1, "The installation was returned to version 1."),
                                      ABORTED])
        with open(log, "rb") as f:
            self.assertEqual(f.read(), broken)
        self.assertFalse(os.path.exists(os.path.join(self.install, "unins000_temp.dat")))
        # The step is undone with the log: the installation is at version 1.
        self.assertInstallIs("1")
        self.assertConfigReset(False)

    def test_without_temp_a_private_folder_holds_the_session(self):
        self.make_install()
        env = self.env()
        env["TEMP"] = None
        env["TMPDIR"] = self.dir
        lines = self.finish(self.run_patcher("-s", self.serve().url(), "--final", "2", env=env))
        self.assertEqual(lines[-1], COMPLETED)
        private = os.path.join(self.dir, f"tarv-patcher-{os.getuid()}")
        self.assertEqual(os.stat(private).st_mode & 0o777, 0o700)
        self.assertEqual(sorted(os.listdir(private)), [])
        self.assertInstallIs("2")

    # --- the game running ----------------------------------------------------------

    def test_game_running_refuses_and_enables_apply_again(self):
        self.make_install()
        game = e2e.subprocess.Popen([e2e.program("tarv-game-lock"), os.path.join(self.install, "Binaries")],
                                    stdout=e2e.subprocess.PIPE)
        self.addCleanup(game.wait)
        self.addCleanup(game.terminate)
        self.assertEqual(game.stdout.readline().strip(), b"locked")
        started = time.monotonic()
        patcher = self.run_patcher("-s", self.serve().url())
        patcher.answer("^Files In Use$", yes=None)
        self.assertGreaterEqual(time.monotonic() - started, 5.5)
        patcher.wait_finished()
        self.assertEqual(patcher.lines(), [(2, "Unable to patch - files in use."), ABORTED])
        self.assertEqual(patcher.boxes(), [{"caption": "Files In Use", "text":
                         "The Tarv files are currently in use. Please ensure that all other Tarv "
                         "windows are closed and try again."}])
        shown = patcher.describe()
        self.assertTrue(shown["apply"]["enabled"])
        self.assertEqual(shown["cancel"]["label"], "Exit")
        patcher.close()
        self.assertInstallIs("1")

    # --- modes -------------------------------------------------------------------

    def test_patch_folder_without_patches_aborts_when_applied(self):
        self.make_install()
        empty = os.path.join(self.dir, "no-patches")
        os.makedirs(empty)
        patcher = self.run_patcher("-p", empty)
        self.assertEqual(patcher.lines(), [])
        patcher.press("apply")
        lines = self.finish(patcher)
        self.assertEqual(lines[-1], ABORTED)
        self.assertIn((2, "No patch catalogue or patch archive named <installed>_to_<target>.zip"
                          " at: " + empty), lines)
        self.assertInstallIs("1")

    def test_repair_against_a_server_without_manifest(self):
        self.make_install()
        plain = os.path.join(self.dir, "plain")
        os.makedirs(plain)
        with open(os.path.join(self.server_dir, "patches.txt")) as f:
            patch_records = f.read().split("\n\nmanifest-")[0] + "\n"
        e2e.write(os.path.join(plain, "patches.txt"), patch_records)
        patcher = self.run_patcher("-r", "-s", self.serve(root=plain).url())
        self.assertEqual(patcher.describe()["apply"]["label"], "Repair")
        patcher.press("apply")
        lines = self.finish(patcher)
        self.assertEqual(lines, [(2, "This server offers no repair for version 1."), ABORTED])
        self.assertInstallIs("1")

    def test_missing_physx_runtime_runs_its_installer(self):
        self.make_install()
        ran = os.path.join(self.dir, "physx-installer-ran")
        e2e.make_executable(os.path.join(self.install, "Binaries/PhysX_7.06.25_SystemSoftware.exe"),
                            f"#!/bin/sh\nsleep 1\necho ran > '{ran}'\n")
        lines = self.finish(self.run_patcher("-s", self.serve().url(), "--final", "1",
                                             env=self.env(physx=False)))
        self.assertEqual(lines, [SEARCHING, at_final("1"),
                                 (0, "PhysX wasn't detected on your system. This is needed to run Tarv."),
                                 COMPLETED])
        self.assertTrue(os.path.exists(ran))

    # --- cancelling ------------------------------------------------------------------

    def cancel(self, patcher):
        patcher.press("cancel")
        patcher.answer(e2e.Patcher.TITLE, yes=True)

    def test_cancel_during_download(self):
        self.make_install()
        server = self.serve()
        size = os.path.getsize(os.path.join(self.server_dir, "1_to_2.zip"))
        # About 20 seconds for the archive.
        server.set_routes({"/1_to_2.zip": {"throttle": max(1, size // 20)}})
        patcher = self.run_patcher("-s", server.url())
        patcher.wait_line("Downloading patch file...")
        time.sleep(1)
        self.cancel(patcher)
        confirmed = time.monotonic()
        cancelled_at = len(patcher.entries())

        # The transfer stops within a second: the server sees the connection
        # end, and the archive and the work folder are gone.
        def stopped():
            done = [a for a in server.answers() if a["done"] == "/1_to_2.zip"]
            return done if done and self.temp_names() == [] else None
        done = e2e.wait_until(stopped, "the download to stop", guard=30)
        self.assertLess(time.monotonic() - confirmed, 2.0)
        self.assertLess(done[0]["sent"], size)
        self.assertEqual([e for e in patcher.entries()[cancelled_at:] if "level" in e], [])
        self.assertNotIn("finished", patcher.events())
        closing = time.monotonic()
        self.assertEqual(patcher.close(), 0)
        self.assertLess(time.monotonic() - closing, 2.0)
        self.assertInstallIs("1")
        self.assertIsNone(self.marker())
        self.assertUninstallLogRecords([])

    def test_speed_cap_from_the_command_line_or_the_user_hive(self):
        size = os.path.getsize(os.path.join(self.server_dir, "1_to_2.zip"))
        for how in ("option", "hive"):
            with self.subTest(how):
                shutil.rmtree(self.install, ignore_errors=True)
                self.make_install()
                env = self.env()
                args = ["-s", self.serve().url(), "--final", "2"]
                if how == "option":
                    args += ["--limit-rate", "4K"]
                else:
                    e2e.write_hive(env["OBELK_USER_REGISTRY"],
                                   {"Software\\Obelk\\Tarv": {"DownloadLimit": "4K"}})
                start = time.monotonic()
                lines = self.finish(self.run_patcher(*args, env=env))
                self.assertEqual(lines[-1], COMPLETED)
                self.assertInstallIs("2")
                # At 4 KiB/s the archive alone takes this long.
                self.assertGreaterEqual(time.monotonic() - start, size / 4096 - 0.5)

    def test_elevated_relaunch_keeps_the_patch_folder_and_the_speed_cap(self):
        """The first copy cannot write the machine's record (its hive lies
        below a plain file) and restarts itself through the elevation
        launcher; the launcher, standing in for the prompt, grants the
        elevated copy the real hive. That copy must patch exactly as an
        unelevated run with the same options would."""
        size = os.path.getsize(os.path.join(self.server_dir, "1_to_2.zip"))
        blocker = os.path.join(self.dir, "blocker")
        e2e.write(blocker, "")
        launcher, launches = os.path.join(self.dir, "launcher"), os.path.join(self.dir, "launches")
        e2e.make_executable(launcher, f'#!/bin/sh\necho "$*" >> "{launches}"\nfor a; do shift\n'
                            '  case "$a" in OBELK_MACHINE_REGISTRY=*) '
                            'a="OBELK_MACHINE_REGISTRY=$GRANTED";; esac\n'
                            '  set -- "$@" "$a"\ndone\nexec "$@"\n')
        for name, args, final, press, passed in (
                ("patch folder", ["--patch", self.server_dir], "3", True,
                 "--patch=" + self.server_dir),
                ("speed cap", ["-s", self.serve().url(), "--final", "2", "--limit-rate", "4K"],
                 "2", False, "--limit-rate=4096")):
            with self.subTest(name):
                shutil.rmtree(self.install, ignore_errors=True)
                self.make_install()
                env = self.env()
                env.update(GRANTED=env["OBELK_MACHINE_REGISTRY"], TARV_ELEVATION_LAUNCHER=launcher,
                           OBELK_MACHINE_REGISTRY=os.path.join(blocker, "machine.conf"))
                start = time.monotonic()
                patcher = e2e.Patcher(self.dir, ["1", self.install, *args], env, elevated=True)
                self.addCleanup(patcher.kill)
                if press:
                    patcher.press("apply")
                lines = self.finish(patcher)
                self.assertEqual(lines[-1], COMPLETED)
                self.assertInstallIs(final)
                # The session ran in the elevated copy, started once, with the options.
                started = e2e.read(launches).splitlines()
                self.assertEqual(len(started), 1, started)
                self.assertIn(" --admin ", started[0])
                self.assertIn(" " + passed + " ", started[0])
                os.remove(launches)
                if not press:
                    # At 4 KiB/s the archive alone takes this long.
                    self.assertGreaterEqual(time.monotonic() - start, size / 4096 - 0.5)

    def test_a_bad_speed_is_refused(self):
        self.make_install()
        proc = subprocess.run([e2e.program("tarv-patcher"), "1", self.install, "--limit-rate", "fast"],
                              env=dict(os.environ, **self.env()), capture_output=True, text=True,
                              timeout=60)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("Not a download speed for --limit-rate (e.g. 500K or 1M): fast", proc.stderr)

    def test_server_that_never_answers_ends_the_session_within_3_5_minutes(self):
        # Three minutes of waiting: run once, not again in the sanitizer build.
        if os.environ.get("TARV_SANITIZED"):
            self.skipTest("takes three minutes; run in the normal build")
        self.make_install()
        server = self.serve()
        server.set_routes({"/patches.txt": {"never_answer": True}})
        start = time.monotonic()
        lines = self.finish(self.run_patcher("-s", server.url()))
        self.assertLess(time.monotonic() - start, 210)
        self.assertEqual(lines, [SEARCHING,
                                 (2, "Unable to download patch file: " + server.url("patches.txt")),
                                 (2, "The transfer stalled and was given up after 3 minutes."),
                                 (0, "Unable to connect to any patch servers."), ABORTED])
        # Attempts of 30 seconds each until the 3 minutes were up, not eleven.
        asked = [r for r in server.requests() if '"/patches.txt"' in r]
        self.assertIn(len(asked), (5, 6, 7))
        self.assertInstallIs("1")

    def test_cancel_during_unpacking_terminates_the_unpacker(self):
        self.make_install()
        pid_file = os.path.join(self.dir, "unpacker-pid")
        e2e.make_executable(os.path.join(self.install, "Binaries/miniunz.exe"),
                            f"#!/bin/sh\necho $$ > '{pid_file}'\nexec sleep 600\n")
        patcher = self.run_patcher("-s", self.serve().url())
        patcher.wait_line("Unpacking patch file...")
        e2e.wait_until(lambda: os.path.exists(pid_file) and open(pid_file).read().strip(), "the unpacker")
        pid = int(open(pid_file).read())
        self.cancel(patcher)
        cancelled_at = len(patcher.entries())

        def gone():
            try:
                os.kill(pid, 0)
                return False
            except ProcessLookupError:
                return True
        e2e.wait_until(gone, "the unpacker to be terminated")
        self.assertEqual([e for e in patcher.entries()[cancelled_at:] if "level" in e], [])
        self.assertNotIn("finished", patcher.events())
        self.assertEqual(patcher.close(), 0)
        # The session's temporary files went with it; nothing of the
        # installation changed.
        self.assertEqual(self.temp_names(), [])
        self.assertInstallIs("1")


if __name__ == "__main__":
    e2e.main(verbosity=2)
