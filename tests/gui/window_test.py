#!/usr/bin/env python3
"""The patcher's window on a real X server, used as a person would: mouse
clicks on its buttons and on the answers of its questions, the close box
(WM_DELETE_WINDOW), a click on a link of the banner. What the window shows is
read back from its session log: the report lines, the boxes it showed, and on
request (SIGUSR1) a description of its controls read from the widgets.

The scripted cases run the test window program, whose worker plays a
script; when TARV_PATCHER names the patcher itself, the cases that need no
script run it as a player's launcher would, in English, German and French.
"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("TARV_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
PROGRAM = os.path.join(BIN, "tarv-window-harness")
PATCHER = os.environ.get("TARV_PATCHER", "")
SOURCE = os.environ.get("TARV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
X_CLOSE = os.path.join(BIN, "tarv-x-close")
TITLE = "^Obelk Patcher $"
HANG_GUARD_S = 120  # only to name a hang instead of waiting for CTest's limit


def xdotool(*args):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True,
                          text=True).stdout.split()


def visible_windows(name=TITLE):
    try:
        return [int(w) for w in xdotool("search", "--onlyvisible", "--name", name)]
    except subprocess.CalledProcessError:  # nothing matches
        return []


class Window:
    """One run of the window program and its session log."""

    def __init__(self, *args, env=None, program=PROGRAM):
        self.dir = tempfile.TemporaryDirectory(prefix="tarv-window-")
        self.log = os.path.join(self.dir.name, "session.log")
        full_env = dict(os.environ, TARV_PATCHER_LOG=self.log, **(env or {}))
        self.stderr_path = os.path.join(self.dir.name, "stderr")
        with open(self.stderr_path, "wb") as stderr:
            self.proc = subprocess.Popen([program, *args], env=full_env,
                                         stdout=subprocess.DEVNULL, stderr=stderr)
        try:
            self.first = self.wait_for(lambda e: "window" in e, "the window")["window"]
            self.wid = min(self.poll(visible_windows, "the mapped window"))
        except BaseException:
            self.close_down()
            raise

    def close_down(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            errors = f.read()
        self.dir.cleanup()
        # A sanitizer build reports memory and undefined-behaviour faults here.
        for mark in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer"):
            if mark in errors:
                raise AssertionError("the program reported a fault:\n" + errors[-4000:])

    # --- the session log ---------------------------------------------------

    def entries(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def poll(self, probe, what):
        start = time.monotonic()
        while True:
            found = probe()
            if found:
                return found
            if time.monotonic() - start > HANG_GUARD_S:
                raise AssertionError(f"waited {HANG_GUARD_S} s for {what}: hang")
            time.sleep(0.05)

    def wait_for(self, match, what, after=0):
        def probe():
            return next((e for e in self.entries()[after:] if match(e)), None)
        return self.poll(probe, what)

    def wait_event(self, name, after=0):
        return self.wait_for(lambda e: e.get("event") == name, f"event {name}", after)

    def events(self):
        return [e["event"] for e in self.entries() if "event" in e]

    def boxes(self):
        return [e["box"] for e in self.entries() if "box" in e]

    def lines(self):
        return [(e["level"], e["text"]) for e in self.entries() if "level" in e]

    def describe(self):
        """What the window shows now, read from its widgets."""
        count = len(self.entries())
        self.proc.send_signal(signal.SIGUSR1)
        return self.wait_for(lambda e: "window" in e, "a description", count)["window"]

    def describe_until(self, match, what):
        return self.poll(lambda: (lambda d: d if match(d) else None)(self.describe()), what)

    # --- what a person does ------------------------------------------------

    def click(self, rect, window=None, button=1):
        x, y, w, h = rect
        xdotool("mousemove", "--window", str(window or self.wid), str(x + w // 2),
                str(y + h // 2), "click", str(button))

    def press(self, which):
        self.click(self.describe()[which]["rect"])

    def close_box(self):
        subprocess.run([X_CLOSE, str(self.wid)], check=True)

    def question(self, caption=TITLE):
        """Waits for a dialog with the caption and returns its window."""
        return self.poll(lambda: [w for w in visible_windows(caption) if w != self.wid],
                         "the dialog " + caption)[0]

    def answer(self, yes):
        dialog = self.question()
        geometry = dict(line.split("=") for line in
                        xdotool("getwindowgeometry", "--shell", str(dialog)))
        width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
        # The question's buttons fill its bottom row: No on the left, Yes on
        # the right.
        x = width * 3 // 4 if yes else width // 4
        xdotool("mousemove", "--window", str(dialog), str(x), str(height - 14), "click", "1")
        self.poll(lambda: dialog not in visible_windows(), "the question to close")

    def answer_box(self, caption):
        """Presses the OK button of a message box."""
        dialog = self.question(caption)
        geometry = dict(line.split("=") for line in
                        xdotool("getwindowgeometry", "--shell", str(dialog)))
        xdotool("mousemove", "--window", str(dialog), str(int(geometry["WIDTH"]) // 2),
                str(int(geometry["HEIGHT"]) - 14), "click", "1")
        self.poll(lambda: dialog not in visible_windows(caption), "the box to close")

    def exit_code(self):
        start = time.monotonic()
        while self.proc.poll() is None:
            if time.monotonic() - start > HANG_GUARD_S:
                raise AssertionError("the program did not end: hang")
            time.sleep(0.05)
        return self.proc.returncode


class WindowCase(unittest.TestCase):
    """Opens windows that are closed down after the test."""

    def open(self, *args, **kw):
        window = Window(*args, **kw)
        self.addCleanup(window.close_down)
        return window

    def assertShown(self, shown, **expected):
        for key, value in expected.items():
            part = shown
            for name in key.split("__"):
                part = part[name]
            self.assertEqual(part, value, key)


class WindowTest(WindowCase):
    """The window with a scripted worker."""

    # --- start-up per mode -------------------------------------------------

    def test_download_mode_starts_at_once_with_apply_disabled(self):
        w = self.open("--mode", "download", "--script", "line:0:Searching for patches...;hold",
                      "--summary", "Patch Installer Version: 30323\nPatch server candidate: x\n")
        self.assertShown(w.first, apply__label="Apply Update", apply__enabled=False,
                         cancel__label="Cancel", running=True, folderLabel="Patching install:",
                         folder__enabled=False)
        self.assertTrue(w.first["log"].startswith(
            "Patch Installer Version: 30323\nPatch server candidate: x\n"))
        w.wait_event("worker:started")
        self.assertIn("Searching for patches...\n", w.describe()["log"])

    def test_repair_and_standalone_wait_for_their_button(self):
        for mode, folder_label, apply_label in [("repair", "Repairing install:", "Repair"),
                                                ("standalone", "Patching install:",
                                                 "Apply Update")]:
            with self.subTest(mode=mode):
                w = self.open("--mode", mode, "--script", "line:0:working;sleep:300")
                self.assertShown(w.first, folderLabel=folder_label, apply__label=apply_label,
                                 apply__enabled=True, cancel__label="Cancel", running=False)
                # Several timer ticks later nothing has started on its own.
                for _ in range(3):
                    time.sleep(0.5)
                    self.assertShown(w.describe(), running=False, apply__enabled=True)
                self.assertNotIn("worker:started", w.events())
                w.press("apply")
                w.wait_event("finished")
                shown = w.describe()
                self.assertShown(shown, apply__label=apply_label, apply__enabled=False,
                                 cancel__label="Exit", running=False)
                self.assertTrue(shown["log"].endswith("working\n"))
                w.press("cancel")
                self.assertEqual(w.exit_code(), 0)
                self.assertEqual(w.boxes(), [])
                self.assertEqual(w.events()[-1], "app:exit")

    # --- cancelling --------------------------------------------------------

    def test_cancel_answered_no_changes_nothing(self):
        w = self.open("--mode", "download", "--script",
                      "line:0:one;sleep:1500;line:2:two;wait-stop;line:0:after")
        w.wait_for(lambda e: e.get("text") == "one", "the first line")
        w.press("cancel")
        w.answer(yes=False)
        self.assertEqual(w.boxes(), [{"caption": "Obelk Patcher ",
                                      "text": "Do you really want to cancel?"}])
        # The session goes on and its lines keep coming.
        w.wait_for(lambda e: e.get("text") == "two", "the line after the question")
        shown = w.describe()
        self.assertShown(shown, running=True, cancelled=False, cancel__label="Cancel",
                         apply__enabled=False)
        self.assertNotIn("app:told-cancelled", w.events())
        self.assertNotIn("worker:step-refused", w.events())

    def test_cancel_answered_yes_tells_the_application_and_second_press_closes(self):
        w = self.open("--mode", "download", "--script", "line:0:one;wait-stop;line:0:late;hold")
        w.wait_for(lambda e: e.get("text") == "one", "the first line")
        w.press("cancel")
        w.answer(yes=True)
        w.wait_event("app:told-cancelled")
        w.wait_event("worker:step-refused")
        time.sleep(1)  # the line the worker sends next would have arrived by now
        shown = w.describe()
        self.assertShown(shown, running=False, cancelled=True, cancel__label="Cancel",
                         apply__enabled=False)
        self.assertNotIn("late", shown["log"])
        self.assertEqual(w.lines(), [(0, "one")])
        w.press("cancel")
        self.assertEqual(w.exit_code(), 0)
        self.assertEqual(len(w.boxes()), 1)  # no second question

    def test_cancelled_session_refuses_steps_and_shows_no_more_lines(self):
        w = self.open("--mode", "download", "--script", "line:0:one;wait-stop;line:2:after")
        w.wait_for(lambda e: e.get("text") == "one", "the first line")
        w.press("cancel")
        w.answer(yes=True)
        w.wait_event("worker:step-refused")
        w.wait_event("finished")
        shown = w.describe()
        self.assertShown(shown, cancel__label="Exit")
        self.assertNotIn("after", shown["log"])
        self.assertEqual(w.lines(), [(0, "one")])

    # --- the close box -----------------------------------------------------

    def test_close_box_while_running(self):
        w = self.open("--mode", "download", "--script", "line:0:one;sleep:1500;line:0:two;hold")
        w.wait_for(lambda e: e.get("text") == "one", "the first line")
        w.close_box()
        w.answer(yes=False)
        w.wait_for(lambda e: e.get("text") == "two", "the line after the question")
        self.assertShown(w.describe(), running=True, cancel__label="Cancel")
        w.close_box()
        w.answer(yes=True)
        self.assertEqual(w.exit_code(), 0)
        self.assertNotIn("app:told-cancelled", w.events())
        self.assertEqual(len(w.boxes()), 2)

    def test_close_box_without_session_closes_without_question(self):
        for mode, script in [("standalone", ""), ("download", "line:0:done")]:
            with self.subTest(mode=mode):
                w = self.open("--mode", mode, "--script", script)
                if mode == "download":
                    w.wait_event("finished")
                w.close_box()
                self.assertEqual(w.exit_code(), 0)
                self.assertEqual(w.boxes(), [])

    # --- the end of a session ----------------------------------------------

    def test_finish_notice_turns_cancel_into_exit(self):
        w = self.open("--mode", "download", "--script",
                      "line:0:Patching completed.;box:Files In Use:Unable to patch;apply-on")
        w.wait_for(lambda e: "box" in e, "the worker's message box")
        self.assertEqual(w.boxes(), [{"caption": "Files In Use", "text": "Unable to patch"}])
        # The worker waits for the box.
        time.sleep(1)
        self.assertNotIn("worker:box-closed", w.events())
        w.answer_box("^Files In Use$")
        w.wait_event("worker:box-closed")
        w.wait_event("finished")
        shown = w.describe()
        self.assertShown(shown, cancel__label="Exit", apply__enabled=True, running=False)
        # Apply is enabled again after the files-in-use failure: a new session.
        w.press("apply")
        w.poll(lambda: w.events().count("worker:started") == 2, "the second session")
        w.answer_box("^Files In Use$")
        w.poll(lambda: w.events().count("finished") == 2, "the second finish")
        w.press("cancel")
        self.assertEqual(w.exit_code(), 0)
        self.assertEqual(len(w.boxes()), 2)  # the worker's two boxes, no question

    # --- the download display ----------------------------------------------

    def test_download_display(self):
        w = self.open("--mode", "download", "--script",
                      "sleep:600;download:51200:12000;unpack:300;total:4;steps:4;sleep:800")
        # Under 2 minutes left the time counts seconds.
        text = re.compile(r"^Download Progress (\d+) kB of 51200 kB, (\d+) s remaining$")
        shown = w.describe_until(lambda d: text.match(d["status"]) and
                                 0 < d["gauge"]["value"] < 100, "the download text")
        done_kb = int(text.match(shown["status"]).group(1))
        self.assertGreater(done_kb, 0)
        self.assertLessEqual(shown["gauge"]["value"], done_kb * 100 // 51200 + 1)
        # After 100 % the line is cleared and the later phase owns the gauge.
        shown = w.describe_until(lambda d: d["gauge"]["range"] == 4, "the counted phase")
        self.assertEqual(shown["status"], "")
        w.wait_event("finished")
        shown = w.describe_until(lambda d: d["gauge"]["value"] == 0, "the gauge at rest")
        self.assertEqual(shown["status"], "")

    def test_unfinished_download_keeps_its_text(self):
        w = self.open("--mode", "download", "--script", "cut:1000:1500;sleep:1000;line:2:cut off")
        w.wait_event("finished")
        time.sleep(1)
        shown = w.describe()
        # The last tick saw 900 of 1000 kB at most; the text stays after the end.
        self.assertRegex(shown["status"], r"^Download Progress \d+ kB of 1000 kB, \d+ (min|s) remaining$")
        self.assertEqual(shown["gauge"]["value"], 0)

    def test_sizeless_download_shows_no_text(self):
        w = self.open("--mode", "download", "--script", "nosize:600000")
        # A server that gave no size: no text, the gauge follows the percentage.
        for _ in range(3):
            time.sleep(0.5)
            self.assertShown(w.describe(), status="", gauge__value=0, running=True)

    def test_session_sets_the_folder_field(self):
        w = self.open("--mode", "download", "--folder", "/games/Tarv", "--script",
                      "sleep:500;folder:/games/Tarv (applying);hold")
        self.assertShown(w.first, folder__text="/games/Tarv")
        shown = w.describe_until(lambda d: d["folder"]["text"] != "/games/Tarv", "the folder")
        self.assertShown(shown, folder__text="/games/Tarv (applying)", folder__enabled=False)

    def test_cancel_during_unpack_ends_the_worker(self):
        w = self.open("--mode", "download", "--script", "download:100:200;unpack:600000;line:0:x")
        w.wait_event("worker:unpacking")
        w.press("cancel")
        w.answer(yes=True)
        w.wait_event("worker:ended-without-notice")
        shown = w.describe()
        self.assertShown(shown, cancel__label="Cancel", running=False, cancelled=True)
        w.press("cancel")
        self.assertEqual(w.exit_code(), 0)

    # --- the banner --------------------------------------------------------

    def test_banner_shows_its_page_and_keeps_links_inside(self):
        w = self.open("--mode", "standalone")
        shown = w.describe_until(lambda d: d["banner"]["shown"], "the banner")
        self.assertTrue(shown["banner"]["address"].endswith("/banner/index.html"))
        x, y, width, height = shown["banner"]["rect"]
        self.assertEqual(height, 100)
        self.assertGreaterEqual(width, 450)
        # A right-click brings up no menu.
        before = len(xdotool("search", "--onlyvisible", "--name", ""))
        w.click([x + 50, y + 50, 1, 1], button=3)
        time.sleep(1)
        self.assertEqual(len(xdotool("search", "--onlyvisible", "--name", "")), before)
        # The link at the right end of the page opens in the banner itself.
        w.click([x + width - 60, y + height // 2 - 3, 1, 1])
        shown = w.describe_until(lambda d: d["banner"]["address"].endswith("/news.html"),
                                 "the linked page")
        self.assertTrue(shown["banner"]["shown"])
        self.assertEqual(visible_windows(), [w.wid])

    def test_banner_that_never_loads_stays_hidden(self):
        missing = "file:///nonexistent/tarv-banner.html"
        w = self.open("--mode", "standalone", "--banner", missing)
        for _ in range(6):
            time.sleep(0.5)
            self.assertFalse(w.describe()["banner"]["shown"])
        w.press("apply")  # the window works as usual
        w.wait_event("finished")


def string_table(language):
    """The window's texts by id from the program's string table."""
    texts = {}
    path = os.path.join(SOURCE, "resources", "strings", language + ".txt")
    with open(path, encoding="utf-8") as f:
        for line in f:
            match = re.match(r'^(\d+) "(.*)"$', line.rstrip("\n"))
            if match:
                texts[int(match.group(1))] = match.group(2)
    return texts


@unittest.skipUnless(PATCHER, "TARV_PATCHER names no patcher program")
class PatcherProgramTest(WindowCase):
    """The patcher itself, started with a command line, in each language."""

    LANGUAGES = [("en", None), ("de", 2), ("fr", 1)]

    def start(self, language_id, *options):
        """The patcher on a fresh installation the user may write to."""
        folder = tempfile.TemporaryDirectory(prefix="tarv-install-")
        self.addCleanup(folder.cleanup)
        install = os.path.join(folder.name, "Tarv")
        os.makedirs(os.path.join(install, "Binaries", "LauncherApp"))
        with open(os.path.join(install, "Binaries", "LauncherApp", "index.html"), "w") as f:
            f.write("<html></html>\n")
        registry = os.path.join(folder.name, "machine.conf")
        with open(registry, "w", encoding="utf-8") as f:
            f.write(f"[SOFTWARE/Obelk/Tarv]\nInstallPath={install}\n")
            if language_id is not None:
                f.write(f"LanguageID=dword:{language_id:08x}\n")
        env = {"OBELK_MACHINE_REGISTRY": registry,
               "OBELK_USER_REGISTRY": os.path.join(folder.name, "user.conf"),
               "TEMP": os.path.join(folder.name, "temp")}
        self.folder = folder.name
        return self.open("1.0", install, "--admin", *options, env=env, program=PATCHER)

    def test_download_mode_starts_the_session_at_once(self):
        for language, language_id in self.LANGUAGES:
            with self.subTest(language=language):
                texts = string_table(language)
                w = self.start(language_id, "--server", "http://127.0.0.1:9/")
                self.assertShown(w.first, folderLabel=texts[171], apply__enabled=False,
                                 apply__label="Apply Update")
                self.assertTrue(w.first["log"].startswith(texts[164]))
                w.wait_event("finished")
                self.assertShown(w.describe(), cancel__label="Exit", apply__enabled=False)
                w.press("cancel")
                self.assertEqual(w.exit_code(), 0)
                self.assertEqual(w.boxes(), [])

    def test_repair_and_standalone_wait_for_their_button(self):
        for language, language_id in self.LANGUAGES:
            texts = string_table(language)
            for options, folder_label, apply_label in [
                    (["--server", "http://127.0.0.1:9/", "--repair"], texts[172], texts[173]),
                    (["--patch", "/nonexistent/patch"], texts[171], "Apply Update")]:
                with self.subTest(language=language, options=options):
                    w = self.start(language_id, *options)
                    self.assertShown(w.first, folderLabel=folder_label, apply__label=apply_label,
                                     apply__enabled=True, cancel__label="Cancel")
                    time.sleep(1.5)
                    self.assertNotIn("finished", w.events())
                    w.press("apply")
                    w.wait_event("finished")
                    self.assertShown(w.describe(), cancel__label="Exit", apply__enabled=False)
                    w.close_box()
                    self.assertEqual(w.exit_code(), 0)
                    self.assertEqual(w.boxes(), [])

    def test_confirmed_cancel_drops_the_on_exit_program(self):
        # A server that accepts and never answers keeps the session searching.
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(8)
        held = []
        stop = threading.Event()

        def hold_connections():
            server.settimeout(0.1)
            while not stop.is_set():
                try:
                    held.append(server.accept()[0])
                except socket.timeout:
                    pass

        holder = threading.Thread(target=hold_connections)
        holder.start()
        try:
            marker = os.path.join(tempfile.gettempdir(), f"tarv-onexit-{os.getpid()}")
            w = self.start(None, "--server", f"http://127.0.0.1:{server.getsockname()[1]}/",
                           "--onexit", f"touch {marker}")
            w.poll(lambda: held or "finished" in w.events(), "the session's request")
            if not held:
                self.skipTest("this build's worker runs no patch session")
            w.press("cancel")
            w.answer(yes=True)
            w.wait_event("cancelled")
            self.assertShown(w.describe(), running=False, cancelled=True,
                             cancel__label="Cancel")
            w.press("cancel")
            w.poll(lambda: not visible_windows(), "the window to close")
        finally:
            # Let the stalled request fail so that the worker can end.
            stop.set()
            holder.join()
            for connection in held:
                connection.close()
            server.close()
        self.assertEqual(w.exit_code(), 0)
        self.assertFalse(os.path.exists(marker), "the on-exit program ran after a cancel")
        self.assertEqual(len(w.boxes()), 1)
        self.assertNotIn("Patching aborted.", [text for _, text in w.lines()])

    def test_banner_and_close_box_before_a_session(self):
        w = self.start(None, "--patch", "/nonexistent/patch")
        w.describe_until(lambda d: d["banner"]["shown"], "the banner")
        w.close_box()
        self.assertEqual(w.exit_code(), 0)
        self.assertEqual(w.boxes(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
