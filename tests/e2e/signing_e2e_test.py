#!/usr/bin/python3
"""Signed updates, end to end: the real tarv-patcher with the publisher's key
in the installation, against our HTTP server on 127.0.0.1 serving a chain
that `tarv-mkpatch chain` made and `tarv-mkpatch sign` (or Debian's minisign)
signed. Every attack leaves the installation byte for byte as it was and
names its reason in the session log; the same chain without the key still
completes.

Run under a display: xvfb-run -a python3 signing_e2e_test.py
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv_e2e as e2e  # noqa: E402
import patcher_e2e_test as base  # noqa: E402

KEY_FILE = "Binaries/tarv-publisher.pub"
FRESH = "2100-01-01T00:00:00Z"
SEARCHING, STEP, COMPLETED, ABORTED = base.SEARCHING, base.STEP, base.COMPLETED, base.ABORTED
DOWNLOADING = base.DOWNLOADING
DOWNLOAD_FAILED = (2, "Patch download failed.")
MISMATCH = (2, "The downloaded patch file does not match the patch catalogue.")
TOO_LARGE = (2, "The patch file is larger than the patch catalogue says; the download was stopped.")
NO_SERVER = (0, "Unable to connect to any patch servers.")


def mkpatch(*args):
    done = subprocess.run([e2e.program("tarv-mkpatch"), *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError(f"tarv-mkpatch {args[0]} failed: {done.stderr}")


def sign(key, catalogue, signature, serial, expires=FRESH):
    # --force: some tests make on purpose the signatures a publisher must not
    # (expired ones, lower serials) to see the patcher refuse them.
    mkpatch("sign", "--force", "--serial", str(serial), "--expires", expires, key, catalogue,
            signature)


class Fixture:
    """Versions 1 -> 2 -> 3, their chain signed with serial 10, and the keys
    of the publisher and of a stranger; made once per run."""
    made = None

    @classmethod
    def get(cls):
        if cls.made is None:
            root = tempfile.mkdtemp(prefix="tarv-e2e-signed-")
            trees = e2e.make_versions(root)
            server = e2e.make_chain(os.path.join(root, "server"), trees)
            keys = {}
            for who in ("publisher", "stranger"):
                keys[who] = (os.path.join(root, who + ".pub"), os.path.join(root, who + ".sec"))
                mkpatch("keygen", *keys[who])
            catalogue = os.path.join(server, "patches.txt")
            sign(keys["publisher"][1], catalogue, catalogue + ".minisig", 10)
            cls.made = (root, trees, server, keys)
        return cls.made


class SigningTest(unittest.TestCase):
    # The arranging and running helpers of the unsigned end-to-end tests.
    serve = base.PatcherTest.serve
    env = base.PatcherTest.env
    run_patcher = base.PatcherTest.run_patcher
    finish = base.PatcherTest.finish
    temp_names = base.PatcherTest.temp_names

    def setUp(self):
        self.root, self.trees, self.server_dir, self.keys = Fixture.get()
        self.dir = tempfile.mkdtemp(prefix="tarv-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.install = os.path.join(self.dir, "Tarv Game")
        self.temp = os.path.join(self.dir, "temp")
        self.registry = os.path.join(self.dir, "registry")
        self.files = os.path.join(self.dir, "files")
        os.makedirs(self.files)

    def make_install(self, *key_files):
        """Version 1 with the public keys given (none: no key file)."""
        e2e.make_install(self.install, self.trees["1"])
        if key_files:
            e2e.write(os.path.join(self.install, KEY_FILE),
                      b"".join(open(k, "rb").read() for k in key_files))
        self.before = e2e.snapshot(self.install)

    def server_file(self, name):
        return os.path.join(self.server_dir, name)

    def made_file(self, name, data):
        path = os.path.join(self.files, name)
        e2e.write(path, data)
        return path

    def serial(self):
        return e2e.read_hive_value(os.path.join(self.registry, "machine.conf"),
                                   "Software\\Obelk\\Tarv", "CatalogueSerial")

    def refused(self, server, reason):
        return (2, reason + server.url("patches.txt"))

    def assertUnchanged(self):
        self.assertEqual(e2e.snapshot(self.install), self.before)

    def assertInstallIs(self, version):
        extras = {KEY_FILE} | e2e.INSTALL_EXTRAS | {f"QXGame/Config/{n}" for n in e2e.CONFIG_FILES}
        self.assertEqual(e2e.snapshot(self.install, extras), e2e.snapshot(self.trees[version]))

    def run_to_end(self, server, *args, env=None):
        return self.finish(self.run_patcher("-s", server.url(), *args, env=env))

    # --- what goes right ------------------------------------------------------

    def test_signed_chain_completes_and_keeps_the_serial(self):
        self.make_install(self.keys["publisher"][0])
        server = self.serve()
        lines = self.run_to_end(server)
        self.assertEqual(lines, [SEARCHING, *STEP, *STEP, base.no_more("3"), COMPLETED])
        self.assertInstallIs("3")
        self.assertEqual(self.serial(), "hex(b):0a,00,00,00,00,00,00,00")
        self.assertIn("/patches.txt.minisig", [json.loads(r)["path"] for r in server.requests()])

    def test_without_the_key_the_same_chain_completes(self):
        self.make_install()
        server = self.serve()
        lines = self.run_to_end(server)
        self.assertEqual(lines, [SEARCHING, *STEP, *STEP, base.no_more("3"), COMPLETED])
        self.assertInstallIs("3")
        self.assertIsNone(self.serial())
        self.assertNotIn("/patches.txt.minisig",
                         [json.loads(r)["path"] for r in server.requests()])

    def test_first_server_hostile_second_signed_by_minisign_completes(self):
        # The installation carries two keys, as during a key rotation: the
        # second server's catalogue is signed by the minisign program with the
        # other one.
        mpub, msec = os.path.join(self.dir, "m.pub"), os.path.join(self.dir, "m.sec")
        subprocess.run(["minisign", "-G", "-W", "-p", mpub, "-s", msec], check=True,
                       capture_output=True, stdin=subprocess.DEVNULL)
        good_dir = os.path.join(self.dir, "good")
        shutil.copytree(self.server_dir, good_dir)
        os.remove(os.path.join(good_dir, "patches.txt.minisig"))
        subprocess.run(["minisign", "-S", "-s", msec, "-m", os.path.join(good_dir, "patches.txt"),
                        "-t", f"serial:11 expires:{FRESH}"], check=True, capture_output=True,
                       stdin=subprocess.DEVNULL)
        self.make_install(self.keys["publisher"][0], mpub)
        hostile, good = self.serve(), self.serve("http", good_dir)
        forged = self.made_file("forged.minisig", b"")
        sign(self.keys["stranger"][1], self.server_file("patches.txt"), forged, 99)
        hostile.set_routes({"/patches.txt.minisig": {"file": forged}})
        lines = self.finish(self.run_patcher("-s", hostile.url() + ";" + good.url()))
        self.assertEqual(lines, [SEARCHING,
                                 self.refused(hostile, "The signature of the patch catalogue is not valid: "),
                                 *STEP, *STEP, base.no_more("3"), COMPLETED])
        self.assertInstallIs("3")
        self.assertEqual(self.serial(), "hex(b):0b,00,00,00,00,00,00,00")

    # --- the catalogue attacked -------------------------------------------------

    def check_catalogue_refused(self, routes, reason):
        self.make_install(self.keys["publisher"][0])
        server = self.serve()
        server.set_routes(routes)
        lines = self.run_to_end(server)
        self.assertEqual(lines, [SEARCHING, self.refused(server, reason), NO_SERVER, ABORTED])
        self.assertUnchanged()
        self.assertIsNone(self.serial())

    def test_catalogue_changed_after_signing(self):
        text = open(self.server_file("patches.txt"), "rb").read()
        changed = self.made_file("patches.txt", text.replace(b"target-version: 2", b"target-version: 3", 1))
        self.check_catalogue_refused({"/patches.txt": {"file": changed}},
                                     "The signature of the patch catalogue is not valid: ")

    def test_catalogue_signed_by_another_key(self):
        forged = self.made_file("forged.minisig", b"")
        sign(self.keys["stranger"][1], self.server_file("patches.txt"), forged, 10)
        self.check_catalogue_refused({"/patches.txt.minisig": {"file": forged}},
                                     "The signature of the patch catalogue is not valid: ")

    def test_catalogue_without_signature(self):
        self.check_catalogue_refused({"/patches.txt.minisig": {"status": 404, "body": "gone"}},
                                     "The patch catalogue has no signature: ")

    def test_expired_catalogue(self):
        stale = self.made_file("stale.minisig", b"")
        sign(self.keys["publisher"][1], self.server_file("patches.txt"), stale, 10,
             "2020-01-01T00:00:00Z")
        self.check_catalogue_refused({"/patches.txt.minisig": {"file": stale}},
                                     "The patch catalogue has expired: ")

    def test_replayed_older_catalogue_after_a_newer_one_was_used(self):
        self.make_install(self.keys["publisher"][0])
        server = self.serve()
        lines = self.run_to_end(server, "--final", "2")
        self.assertEqual(lines[-1], COMPLETED)
        self.assertEqual(self.serial(), "hex(b):0a,00,00,00,00,00,00,00")
        self.before = e2e.snapshot(self.install)
        # The same catalogue as an older signature of it: a lower serial.
        older = self.made_file("older.minisig", b"")
        sign(self.keys["publisher"][1], self.server_file("patches.txt"), older, 9)
        server.set_routes({"/patches.txt.minisig": {"file": older}})
        # The same hives again: env() would make them afresh.
        env = {"OBELK_MACHINE_REGISTRY": os.path.join(self.registry, "machine.conf"),
               "OBELK_USER_REGISTRY": os.path.join(self.registry, "user.conf"), "TEMP": self.temp}
        lines = self.finish(self.run_patcher("-s", server.url(), version="2", env=env))
        self.assertEqual(lines, [SEARCHING, self.refused(
            server, "The patch catalogue is older than one already used: "), NO_SERVER, ABORTED])
        self.assertUnchanged()
        self.assertEqual(self.serial(), "hex(b):0a,00,00,00,00,00,00,00")

    # --- the archive attacked ----------------------------------------------------

    def check_archive_refused(self, route, tail, key=True):
        if key:
            self.make_install(self.keys["publisher"][0])
        else:
            self.make_install()
        server = self.serve()
        server.set_routes({"/1_to_2.zip": route})
        lines = self.run_to_end(server)
        self.assertEqual(lines, [SEARCHING, DOWNLOADING, *tail, ABORTED])
        self.assertUnchanged()
        self.assertIsNone(self.serial())
        return server

    def flipped_archive(self):
        data = bytearray(open(self.server_file("1_to_2.zip"), "rb").read())
        data[len(data) // 2] ^= 0x01
        return self.made_file("1_to_2.zip", bytes(data))

    def test_archive_changed_in_transit(self):
        self.check_archive_refused({"file": self.flipped_archive()}, [MISMATCH, DOWNLOAD_FAILED])
        # The refused archive is not kept.
        self.assertNotIn("1_to_2.zip", self.temp_names())

    def test_archive_swapped_with_another_steps_archive(self):
        other = self.server_file("2_to_3.zip")
        longer = os.path.getsize(other) > os.path.getsize(self.server_file("1_to_2.zip"))
        self.check_archive_refused({"file": other},
                                   [TOO_LARGE if longer else MISMATCH, DOWNLOAD_FAILED])

    def test_endless_response_stops_at_the_signed_size(self):
        server = self.check_archive_refused(
            {"file": self.server_file("1_to_2.zip"), "endless": True}, [TOO_LARGE, DOWNLOAD_FAILED])
        # Stopped once, not tried again.
        paths = [json.loads(r)["path"] for r in server.requests()]
        self.assertEqual(paths.count("/1_to_2.zip"), 1)

    def test_without_the_key_a_damaged_mirror_is_still_caught(self):
        self.check_archive_refused({"file": self.flipped_archive()}, [MISMATCH, DOWNLOAD_FAILED],
                                   key=False)


if __name__ == "__main__":
    e2e.main(verbosity=2)
