#!/usr/bin/python3
"""docs/publishing.md followed step by step: every `sh` block of the guide
runs, in order, in one folder that holds the game's builds, with the
publisher's tools and the patcher on PATH, a web root WWW served by a real
HTTP server on 127.0.0.1 as PATCH_SERVER, and the player's registry hives.
The guide ends with a copy of the oldest build patched from that server; it
must then equal the newest build, byte for byte.

Run: python3 publishing_guide_test.py
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv_e2e as e2e  # noqa: E402

GUIDE = os.path.join(e2e.SOURCE, "docs", "publishing.md")
VERSIONS = ("1.0", "1.1", "1.2")


def guide_blocks():
    """The `sh` blocks of the guide, in order."""
    with open(GUIDE, encoding="utf-8") as f:
        return re.findall(r"^```sh\n(.*?)^```$", f.read(), re.S | re.M)


class PublishingGuideTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarv-publishing-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def make_builds(self):
        """The builds as a game's build system leaves them: the game's files
        and the tools every installation carries."""
        trees = e2e.make_versions(os.path.join(self.dir, "trees"), names=VERSIONS)
        for version, tree in trees.items():
            build = os.path.join(self.dir, "builds", version)
            shutil.copytree(tree, build)
            shutil.copy(e2e.program("tarv-unzip"), os.path.join(build, "Binaries/miniunz.exe"))
            shutil.copy(e2e.program("jpatch"), os.path.join(build, "Binaries/jpatchl-w32.exe"))
            e2e.write(os.path.join(build, "Binaries/LauncherApp/index.html"), "<html></html>\n")

    def env(self, www, server):
        tools = os.path.dirname(e2e.program("tarv-mkpatch"))
        env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"], WWW=www,
                   PATCH_SERVER=server.url(), TEMP=os.path.join(self.dir, "temp"),
                   **e2e.make_registry(os.path.join(self.dir, "registry"),
                                       os.path.join(self.dir, "try-1.0")))
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def test_the_guide_ends_with_a_patched_installation(self):
        blocks = guide_blocks()
        self.assertGreaterEqual(len(blocks), 6, "the guide lost its steps")
        self.make_builds()
        www = os.path.join(self.dir, "www")
        os.makedirs(www)
        server = e2e.Server("http", www)
        self.addCleanup(server.stop)
        env = self.env(www, server)
        output = []
        for number, block in enumerate(blocks, 1):
            done = subprocess.run(["/bin/bash", "-euo", "pipefail", "-c", block], cwd=self.dir,
                                  env=env, capture_output=True, text=True,
                                  timeout=e2e.HANG_GUARD_S)
            output.append(done.stdout)
            self.assertEqual(done.returncode, 0,
                             f"block {number} of the guide failed:\n{block}\n{done.stderr}")
        self.assertTrue(output[-1].rstrip().endswith("Patching completed."), output[-1])
        self.assertEqual(e2e.snapshot(os.path.join(self.dir, "try-1.0")),
                         e2e.snapshot(os.path.join(self.dir, "builds", "1.2")))
        # The builds carry the public key: the player's patcher asked for the
        # signature and accepted it.
        self.assertTrue(any("patches.txt.minisig" in r for r in server.requests()),
                        server.requests())


if __name__ == "__main__":
    e2e.main()
