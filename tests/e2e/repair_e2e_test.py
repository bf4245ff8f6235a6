#!/usr/bin/python3
"""Repair and offline patching with the real tarv-patcher: an installation
damaged as players damage theirs, repaired from a real HTTP server whose
access log shows what was fetched; patches applied from a folder and from
one archive with no server running at all.

Run under a display: xvfb-run -a python3 repair_e2e_test.py
"""

import hashlib
import json
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv_e2e as e2e  # noqa: E402
from patcher_e2e_test import (ABORTED, COMPLETED, PATCHING, SEARCHING, UNPACKING,  # noqa: E402
                              PatcherTest, no_more)

# Three files changed, one deleted, one the player's own.
CHANGED = ["Data/base.pak", "Binaries/game.bin", "readme.txt"]
DELETED = "Maps/caf\u00e9/north.map"
EXTRA = "Saves/slot 1.sav"


def object_path(tree, rel):
    with open(os.path.join(tree, rel), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return f"/objects/{digest[:2]}/{digest}.zst"


def list_form(rel):
    return rel.replace("/", "\\")


class RepairTest(PatcherTest):
    def damage(self):
        for rel in CHANGED:
            path = os.path.join(self.install, rel)
            with open(path, "r+b") as f:
                f.seek(7)
                f.write(b"damaged")
        os.remove(os.path.join(self.install, DELETED))
        e2e.write(os.path.join(self.install, EXTRA), b"the player's own")
        self.damaged = sorted(CHANGED + [DELETED])

    def object_requests(self, server):
        paths = [json.loads(line)["path"] for line in server.requests()]
        return [p for p in paths if p.startswith("/objects/")]

    def test_repair_fetches_only_damaged_files_and_leaves_the_players_file(self):
        self.make_install("2")
        self.damage()
        server = self.serve()
        patcher = self.run_patcher("-r", "-s", server.url(), version="2")
        patcher.press("apply")
        lines = self.finish(patcher)
        correct = len(e2e.snapshot(self.trees["2"])) - len(self.damaged)
        self.assertEqual(lines[-2:], [
            (0, f"Repaired 4 files; {correct} files were already correct."), COMPLETED])
        for rel in self.damaged:
            self.assertIn((1, "Repaired: " + list_form(rel)), lines)
        self.assertIn((1, "Not part of version 2, left alone: " + list_form(EXTRA)), lines)
        self.assertIn((0, f"Checked {correct + 4} of {correct + 4} files: 3 damaged, 1 missing."),
                      lines)
        self.assertEqual(e2e.differences(self.install, self.trees["2"]), ["extra " + EXTRA])
        with open(os.path.join(self.install, EXTRA), "rb") as f:
            self.assertEqual(f.read(), b"the player's own")
        self.assertEqual(sorted(self.object_requests(server)),
                         sorted(object_path(self.trees["2"], rel) for rel in self.damaged))
        self.assertEqual([n for n in os.listdir(self.install) if n.startswith(".tarv-")], [])

    def test_repair_failing_halfway_leaves_the_installation_as_it_was(self):
        self.make_install("2")
        self.damage()
        before = e2e.snapshot(self.install)
        server = self.serve()
        # The third object never comes: the server goes away while sending it.
        third = object_path(self.trees["2"], self.damaged[2])
        server.set_routes({third: {"stall_after": 0}})
        patcher = self.run_patcher("-r", "-s", server.url(), version="2",
                                   env=self.env(TARV_INET_RETRY_PAUSE_MS="50"))
        patcher.press("apply")
        e2e.wait_until(lambda: third in self.object_requests(server), "the third object")
        self.assertEqual(len(self.object_requests(server)), 3)
        server.stop()
        lines = self.finish(patcher)
        # The failed object is named, then the cause, as a download's would be.
        self.assertEqual(lines[-3:], [(2, "Unable to download a file for repair: " +
                                       server.url(third[1:])),
                                      (2, "The server refused the connection."), ABORTED])
        self.assertEqual(e2e.snapshot(self.install), before)
        self.assertEqual([n for n in os.listdir(self.install) if n.startswith(".tarv-")], [])

    def test_two_steps_from_a_folder_with_no_server(self):
        self.make_install()
        folder = os.path.join(self.dir, "disk")
        os.makedirs(folder)
        for name in ("patches.txt", "1_to_2.zip", "2_to_3.zip"):
            shutil.copy(os.path.join(self.server_dir, name), folder)
        patcher = self.run_patcher("--patch", folder)
        self.assertEqual(patcher.describe()["apply"]["label"], "Apply Update")
        patcher.press("apply")
        lines = self.finish(patcher)
        self.assertEqual(lines, [SEARCHING, UNPACKING, PATCHING, UNPACKING, PATCHING,
                                 no_more("3"), COMPLETED])
        self.assertInstallIs("3")
        # The checked copies went with the session's folder; the player's stay.
        self.assertEqual([n for n in self.temp_names() if n.endswith(".zip")], [])
        self.assertEqual(sorted(os.listdir(folder)), ["1_to_2.zip", "2_to_3.zip", "patches.txt"])

    def test_one_archive_with_no_server(self):
        self.make_install()
        archive = os.path.join(self.dir, "from a friend", "1_to_2.zip")
        os.makedirs(os.path.dirname(archive))
        shutil.copy(os.path.join(self.server_dir, "1_to_2.zip"), archive)
        patcher = self.run_patcher("--patch", archive)
        patcher.press("apply")
        lines = self.finish(patcher)
        self.assertEqual(lines, [SEARCHING, UNPACKING, PATCHING, no_more("2"), COMPLETED])
        self.assertInstallIs("2")
        self.assertTrue(os.path.exists(archive))


def load_tests(loader, tests, pattern):
    """Only this file's tests, not those RepairTest inherits."""
    names = sorted(n for n in RepairTest.__dict__ if n.startswith("test_"))
    return unittest.TestSuite(RepairTest(n) for n in names)


if __name__ == "__main__":
    e2e.main()
