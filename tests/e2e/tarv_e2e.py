"""Pieces the end-to-end tests and scripts/demo share: game versions as
folder trees, a patch server folder made by `tarv-mkpatch chain`, a player's
installation with its tools, uninstaller log and registry hives, the test
servers on 127.0.0.1, and one run of the real `tarv-patcher` read back from
its session log. Standard library only; run with /usr/bin/python3.
"""

import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TARV_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "../..")))
BIN = os.environ.get("TARV_BIN_DIR", os.path.join(SOURCE, "build/bin"))
SERVERS = os.path.join(SOURCE, "tests/servers")
HANG_GUARD_S = 300  # only to name a hang instead of waiting for CTest's limit

# What an installation holds besides the game's files: its tools, the
# launcher page, the uninstaller's log and the player's configuration.
INSTALL_EXTRAS = {
    "Binaries/miniunz.exe", "Binaries/jpatchl-w32.exe", "Binaries/LauncherApp/index.html",
    "unins000.dat",
}
CONFIG_FILES = ["QXEditor.ini", "QXEditorUserSettings.ini", "QXEngine.ini", "QXGame.ini",
                "QXInput.ini"]


def program(name):
    return os.path.join(BIN, name)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def make_executable(path, text):
    write(path, text)
    os.chmod(path, 0o755)


def wait_until(probe, what, guard=HANG_GUARD_S):
    start = time.monotonic()
    while True:
        found = probe()
        if found:
            return found
        if time.monotonic() - start > guard:
            raise AssertionError(f"waited {guard} s for {what}: hang")
        time.sleep(0.05)


# --- game versions ---------------------------------------------------------

def _changed(data, rng, count):
    data = bytearray(data)
    for _ in range(count):
        at = rng.randrange(len(data))
        data[at:at + 16] = bytes(rng.randrange(256) for _ in range(16))
    return bytes(data)


def _program(raw):
    """Program-like bytes from random ones: a table of 32-bit addresses
    inside one image, every 8 bytes, among other bytes."""
    data = bytearray(raw)
    for at in range(0, len(data) - 3, 8):
        address = 0x400000 + (data[at] | data[at + 1] << 8 | (data[at + 2] & 0x0F) << 16)
        data[at:at + 4] = address.to_bytes(4, "little")
    return bytes(data)


def _relinked(data, step):
    """The program with every address of its table moved by `step`, as a
    new build moves them: the second difference format's case."""
    data = bytearray(data)
    for at in range(0, len(data) - 3, 8):
        address = (int.from_bytes(data[at:at + 4], "little") + step) & 0xFFFFFFFF
        data[at:at + 4] = address.to_bytes(4, "little")
    return bytes(data)


def make_versions(root, names=("1", "2", "3"), big=200_000):
    """Three versions of the game as folder trees, each step changing,
    adding and deleting files (nested folders, blanks and non-ASCII letters
    in names, an empty file, the launcher that the applier defers).
    Returns {version: folder}."""
    rng = random.Random(8)
    files = {
        "Data/base.pak": rng.randbytes(big),
        "Data/level 1.map": rng.randbytes(40_000),
        "Data/removed later.txt": b"only in the first version\n",
        "Maps/caf\u00e9/north.map": rng.randbytes(20_000),
        "Binaries/TarvLauncher.exe": rng.randbytes(60_000),
        "Binaries/game.bin": _program(rng.randbytes(80_000)),
        "empty.txt": b"",
        "readme.txt": b"Tarv\n",
    }
    trees = {}
    for index, name in enumerate(names):
        if index == 1:
            files["Data/base.pak"] = _changed(files["Data/base.pak"], rng, 30)
            files["Binaries/TarvLauncher.exe"] = _changed(files["Binaries/TarvLauncher.exe"], rng, 5)
            files["Data/new/added one.dat"] = rng.randbytes(5_000)
            files["Sounds/intro.ogg"] = rng.randbytes(12_000)
            del files["Data/removed later.txt"]
        elif index == 2:
            files["Data/base.pak"] = _changed(files["Data/base.pak"], rng, 30)
            files["Binaries/game.bin"] = _changed(_relinked(files["Binaries/game.bin"], 0x1F0), rng, 8)
            files["Maps/caf\u00e9/south.map"] = rng.randbytes(9_000)
            files["readme.txt"] = b"Tarv, third edition\n"
            del files["Sounds/intro.ogg"]
        tree = os.path.join(root, "v" + name)
        for rel, data in files.items():
            write(os.path.join(tree, rel), data)
        trees[name] = tree
    return trees


def make_chain(server_dir, trees):
    """`tarv-mkpatch chain` over the versions, into server_dir."""
    os.makedirs(server_dir, exist_ok=True)
    args = [program("tarv-mkpatch"), "chain", server_dir]
    args += [f"{v}={d}" for v, d in trees.items()]
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError(f"tarv-mkpatch chain failed: {done.stderr}")
    return server_dir


# --- a player's installation -----------------------------------------------

def make_install(install, tree, unpacker=None, difference_tool=None):
    """The game at `tree`'s version plus its tools, a valid uninstaller log
    and the player's configuration files."""
    shutil.copytree(tree, install)
    os.makedirs(os.path.join(install, "Binaries/LauncherApp"), exist_ok=True)
    shutil.copy(unpacker or program("tarv-unzip"), os.path.join(install, "Binaries/miniunz.exe"))
    shutil.copy(difference_tool or program("jpatch"), os.path.join(install, "Binaries/jpatchl-w32.exe"))
    write(os.path.join(install, "Binaries/LauncherApp/index.html"), "<html></html>\n")
    subprocess.run([program("tarv-unins-check"), "--make", os.path.join(install, "unins000.dat"), "9"],
                   check=True)
    for name in CONFIG_FILES:
        write(os.path.join(install, "QXGame/Config", name), "[Settings]\n")
    return install


def write_hive(path, keys):
    """A registry hive file: {key path: {value name: stored text}}."""
    lines = []
    for key, values in keys.items():
        lines.append("[" + key.replace("\\", "/") + "]")
        lines += [f"{n}={v}" for n, v in values.items()]
        lines.append("")
    write(path, "\n".join(lines))


def read_hive_value(path, key, name):
    section = None
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line.startswith("["):
                    section = line[1:-1].lower()
                elif section == key.replace("\\", "/").lower() and "=" in line:
                    n, v = line.split("=", 1)
                    if n.lower() == name.lower():
                        return v
    except FileNotFoundError:
        pass
    return None


def make_registry(folder, install, physx=True):
    """Machine and user hives in `folder`; the machine record names the
    installation, and a PhysX runtime is registered unless told otherwise."""
    machine = {"SOFTWARE\\Obelk\\Tarv": {"InstallPath": install}}
    if physx:
        runtime = os.path.join(folder, "physx")
        for lib in ("PhysXCore.dll", "PhysXCooking.dll"):
            write(os.path.join(runtime, "v2.6.4", lib), b"")
        machine["SOFTWARE\\AGEIA Technologies"] = {"PhysXCore Path": runtime}
    write_hive(os.path.join(folder, "machine.conf"), machine)
    write_hive(os.path.join(folder, "user.conf"), {})
    return {"OBELK_MACHINE_REGISTRY": os.path.join(folder, "machine.conf"),
            "OBELK_USER_REGISTRY": os.path.join(folder, "user.conf")}


def snapshot(root, exclude=()):
    """{relative path: bytes} of every file below root, less `exclude`."""
    out = {}
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, root)
            if rel not in exclude:
                with open(full, "rb") as f:
                    out[rel] = f.read()
    return out


def full_state(root):
    """{relative path: bytes} of every file below root, and {folder/: None}
    for every folder, so that a folder left behind counts too."""
    out = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs:
            out[os.path.relpath(os.path.join(folder, name), root) + "/"] = None
        for name in names:
            full = os.path.join(folder, name)
            if os.path.islink(full):
                out[os.path.relpath(full, root)] = "link:" + os.readlink(full)
                continue
            with open(full, "rb") as f:
                out[os.path.relpath(full, root)] = f.read()
    return out


def replay_journal(install):
    """Finishes a patch step's journal (.tarv-step) left in `install` the way
    docs/architecture.md describes, written here independently of the
    program: with the commit mark the step stands; otherwise every change of
    the plan is undone in reverse order. The journal goes in both cases."""
    journal = os.path.join(install, ".tarv-step")
    if not os.path.isdir(journal):
        return
    plan = os.path.join(journal, "plan")
    if os.path.exists(plan) and not os.path.exists(os.path.join(journal, "committed")):
        with open(plan, encoding="utf-8") as f:
            lines = f.read().split("\n")
        assert lines[0] == "tarv-step 1", lines[0]
        changes = [line.split("\t", 1) for line in lines[3:] if line]
        for index in reversed(range(len(changes))):
            kind, rel = changes[index]
            path, aside = os.path.join(install, rel), os.path.join(journal, str(index))
            if kind == "F":
                if os.path.isdir(path) and not os.listdir(path):
                    os.rmdir(path)
            elif kind == "N":
                if os.path.lexists(path):
                    os.remove(path)
            else:
                if kind == "R" and os.path.lexists(path + ".part"):
                    os.remove(path + ".part")
                if os.path.lexists(aside):
                    os.replace(aside, path)
    shutil.rmtree(journal)


def run_until_end(workdir, args, env, wrap):
    """Runs the patcher under `wrap` (a tracer) until it dies or its session
    has finished, then ends it. True when the session finished."""
    log = os.path.join(workdir, "session.log")
    if os.path.exists(log):
        os.remove(log)
    full_env = dict(os.environ, TARV_PATCHER_LOG=log, NO_AT_BRIDGE="1", **env)
    full_env = {k: v for k, v in full_env.items() if v is not None}
    with open(os.path.join(workdir, "patcher.out"), "wb") as out:
        proc = subprocess.Popen([*wrap, program("tarv-patcher"), *args], env=full_env,
                                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)

    def finished():
        try:
            with open(log, encoding="utf-8") as f:
                return any('"finished"' in line for line in f)
        except FileNotFoundError:
            return False
    wait_until(lambda: proc.poll() is not None or finished(), "the patcher to end")
    done = finished()
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()
    return done


def differences(install, tree):
    """How the installation's game files differ from a version's tree:
    a list of "missing", "extra" and "differs" lines, empty when equal."""
    extras = set(INSTALL_EXTRAS) | {f"QXGame/Config/{n}" for n in CONFIG_FILES}
    have, want = snapshot(install, extras), snapshot(tree)
    lines = [f"missing {p}" for p in sorted(set(want) - set(have))]
    lines += [f"extra {p}" for p in sorted(set(have) - set(want))]
    lines += [f"differs {p}" for p in sorted(set(want) & set(have)) if want[p] != have[p]]
    return lines


# The fixed 8-bit table of the uninstaller log's paths: ASCII, and a few
# marks; every other character is recorded as "?".
_NARROW_KEPT = {171: 171, 176: 176, 187: 187, 8211: 150, 8216: 145, 8217: 146, 8220: 147,
                8221: 148, 8230: 133}


def to_narrow(text):
    """The 8-bit form the patcher records (as Latin-1 text for comparing)."""
    out = []
    for c in text:
        code = ord(c)
        if 32 <= code <= 127 or code in (9, 10, 13):
            out.append(c)
        else:
            out.append(chr(_NARROW_KEPT[code]) if code in _NARROW_KEPT else "?")
    return "".join(out)


def uninstall_log(install):
    """The independent reader's view of unins000.dat: (valid, record count,
    delete-file paths)."""
    done = subprocess.run([program("tarv-unins-check"), os.path.join(install, "unins000.dat")],
                          capture_output=True, text=True, encoding="latin-1")
    first = done.stdout.splitlines()[0] if done.stdout else ""
    count = int(first.split(", ")[1].split()[0]) if done.returncode == 0 else -1
    paths = [l[len("  delete file: "):] for l in done.stdout.splitlines()
             if l.startswith("  delete file: ")]
    return done.returncode == 0, count, paths


# --- servers ---------------------------------------------------------------

class Server:
    """One of the Python test servers on a free port of 127.0.0.1."""

    def __init__(self, kind, root, *options):
        self.dir = tempfile.mkdtemp(prefix="tarv-server-")
        self.root = root
        self.routes = os.path.join(self.dir, "routes.json")
        port_file = os.path.join(self.dir, "port")
        args = ["/usr/bin/python3", os.path.join(SERVERS, f"{kind}_server.py"), "--root", root,
                "--port-file", port_file, "--log", os.path.join(self.dir, "requests.log")]
        if kind == "http":
            args += ["--routes", self.routes]
        self.proc = subprocess.Popen(args + list(options), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

        def port():
            if self.proc.poll() is not None:
                raise AssertionError(f"{kind} server ended at start")
            try:
                with open(port_file) as f:
                    text = f.read().strip()
                return int(text) if text else None
            except FileNotFoundError:
                return None
        self.port = wait_until(port, f"the {kind} server", 30)
        self.scheme = kind

    def url(self, path=""):
        return f"{self.scheme}://127.0.0.1:{self.port}/{path}"

    def set_routes(self, routes):
        with open(self.routes + ".tmp", "w") as f:
            json.dump(routes, f)
        os.replace(self.routes + ".tmp", self.routes)

    def requests(self):
        try:
            with open(os.path.join(self.dir, "requests.log")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        # The lines that close each answer are not requests.
        return [line for line in lines if not line.startswith('{"done"')]

    def answers(self):
        """{"done": path, "status": s, "sent": bytes} of each answer that is over."""
        try:
            with open(os.path.join(self.dir, "requests.log")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in lines if line.startswith('{"done"')]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def free_port():
    """A port on 127.0.0.1 where nothing listens."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- the patcher -----------------------------------------------------------

def xdotool(*args):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True,
                          text=True).stdout.split()


def visible_windows(name, pid=None):
    args = ["search", "--onlyvisible", "--name", name]
    if pid is not None:
        args = ["search", "--onlyvisible", "--pid", str(pid), "--name", name]
    try:
        return [int(w) for w in xdotool(*args)]
    except subprocess.CalledProcessError:
        return []


class Patcher:
    """One run of the real tarv-patcher on the current display, read back
    from its session log (TARV_PATCHER_LOG)."""

    TITLE = "^Obelk Patcher $"

    def __init__(self, workdir, args, env, binary=None, elevated=False):
        self.log = os.path.join(workdir, "session.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.stdout = open(os.path.join(workdir, "patcher.out"), "wb")
        full_env = dict(os.environ, TARV_PATCHER_LOG=self.log, NO_AT_BRIDGE="1",
                        WEBKIT_DISABLE_COMPOSITING_MODE="1", **env)
        # A value of None removes the variable.
        full_env = {k: v for k, v in full_env.items() if v is not None}
        # A list is a command the patcher runs under (a tracer).
        command = (binary + [program("tarv-patcher")] if isinstance(binary, list)
                   else [binary or program("tarv-patcher")])
        self.proc = subprocess.Popen([*command, *args], env=full_env,
                                     stdout=self.stdout, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.first = self.wait_for(lambda e: "window" in e, "the window")["window"]
        # Restarted through the elevation launcher, the window is the
        # elevated copy's, a child of the started process.
        self.window_pid = self.proc.pid
        if elevated:
            self.window_pid = int(wait_until(
                lambda: subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True,
                                       text=True).stdout.split(), "the elevated copy")[0])
        self.wid = min(wait_until(lambda: visible_windows(self.TITLE, self.window_pid),
                                  "the mapped window"))

    def entries(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def wait_for(self, match, what, after=0):
        def probe():
            if self.proc.poll() is not None:
                found = next((e for e in self.entries()[after:] if match(e)), None)
                if found is None:
                    raise AssertionError(f"the patcher ended ({self.proc.returncode}) "
                                         f"before {what}")
                return found
            return next((e for e in self.entries()[after:] if match(e)), None)
        return wait_until(probe, what)

    def wait_line(self, text):
        return self.wait_for(lambda e: e.get("text") == text, repr(text))

    def wait_finished(self):
        return self.wait_for(lambda e: e.get("event") == "finished", "the finish notice")

    def lines(self):
        return [(e["level"], e["text"]) for e in self.entries() if "level" in e]

    def texts(self):
        return [e["text"] for e in self.entries() if "level" in e]

    def boxes(self):
        return [e["box"] for e in self.entries() if "box" in e]

    def events(self):
        return [e["event"] for e in self.entries() if "event" in e]

    def describe(self):
        count = len(self.entries())
        os.kill(self.window_pid, signal.SIGUSR1)
        return self.wait_for(lambda e: "window" in e, "a description", count)["window"]

    def click(self, rect, window=None):
        x, y, w, h = rect
        xdotool("mousemove", "--window", str(window or self.wid), str(x + w // 2),
                str(y + h // 2), "click", "1")

    def press(self, which):
        self.click(self.describe()[which]["rect"])

    def dialog(self, caption):
        return wait_until(lambda: [w for w in visible_windows(caption) if w != self.wid],
                          "the dialog " + caption)[0]

    def answer(self, caption, yes=True):
        """Presses OK of a message box, or Yes / No of a question."""
        dialog = self.dialog(caption)
        geometry = dict(line.split("=") for line in
                        xdotool("getwindowgeometry", "--shell", str(dialog)))
        width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
        x = width // 2 if yes is None else (width * 3 // 4 if yes else width // 4)
        xdotool("mousemove", "--window", str(dialog), str(x), str(height - 14), "click", "1")
        wait_until(lambda: dialog not in visible_windows(caption), "the dialog to close")

    def close(self):
        """Closes the window as its close box would and waits for the end."""
        if self.proc.poll() is None:
            subprocess.run([program("tarv-x-close"), str(self.wid)], check=False)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.kill()
        self.stdout.close()
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def output(self):
        with open(self.stdout.name, "rb") as f:
            return f.read().decode("utf-8", "replace")


# CTest's SKIP_RETURN_CODE for the end-to-end tests.
SKIPPED_EXIT = 77


def main(verbosity=1):
    """unittest's main for one test file. A run in which every test that ran
    was skipped ends with SKIPPED_EXIT, so that CTest reports it as skipped
    instead of passed."""
    result = unittest.main(verbosity=verbosity, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIPPED_EXIT)
    sys.exit(0)

