#!/usr/bin/python3
"""The demo that scripts/demo runs once the programs are built: a game
installation at version 1.0, a server folder with the chain 1.0 -> 1.1 ->
1.2 made by `tarv-mkpatch chain`, served over HTTP on 127.0.0.1, and the real
patcher bringing the installation to 1.2 in its window. Prints the session
log and the comparison of the installation with version 1.2.

  demo_run.py WORK_FOLDER [--close]   (--close: close the window at the end)
  demo_run.py WORK_FOLDER --unattended [--binary PROGRAM]
      (the same without a window or display, with PROGRAM, for example the
      installed /usr/bin/tarv-patcher; exit 0 only when the session
      completed and the installation equals 1.2)
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tarv_e2e as e2e  # noqa: E402


def say(text):
    print(f"demo: {text}", flush=True)


def run_unattended(binary, install, url, env):
    """The patcher without a window; its report is printed as it comes."""
    full = dict(os.environ, **env)
    full.pop("DISPLAY", None)
    args = [binary, "--unattended", "1.0", install, "-s", url]
    say("running " + " ".join(args))
    return subprocess.run(args, env=full).returncode


def main():
    work = os.path.abspath(sys.argv[1])
    close_at_end = "--close" in sys.argv[2:]
    unattended = "--unattended" in sys.argv[2:]
    binary = None
    if "--binary" in sys.argv[2:]:
        binary = sys.argv[sys.argv.index("--binary") + 1]
    if os.path.exists(work):
        subprocess.run(["rm", "-rf", work], check=True)
    os.makedirs(work)

    say("making game versions 1.0, 1.1 and 1.2")
    trees = e2e.make_versions(os.path.join(work, "versions"), names=("1.0", "1.1", "1.2"))
    server_dir = e2e.make_chain(os.path.join(work, "server"), trees)
    say("server folder: " + ", ".join(sorted(os.listdir(server_dir))))
    install = e2e.make_install(os.path.join(work, "Tarv"), trees["1.0"])
    log_before = e2e.uninstall_log(install)
    say(f"installation at version 1.0: {install}")

    server = e2e.Server("http", server_dir)
    try:
        env = e2e.make_registry(os.path.join(work, "registry"), install)
        env["TEMP"] = os.path.join(work, "temp")
        if unattended:
            code = run_unattended(binary or e2e.program("tarv-patcher"), install, server.url(), env)
            say(f"tarv-patcher ended with exit code {code}")
            different = e2e.differences(install, trees["1.2"])
            say("the installation equals version 1.2" if not different else
                f"the installation does NOT equal version 1.2: {different}")
            return 1 if code != 0 or different else 0
        say(f"serving on {server.url()}; starting tarv-patcher 1.0 {install} -s {server.url()}")
        patcher = e2e.Patcher(work, ["1.0", install, "-s", server.url()], env)
        patcher.wait_finished()
        if close_at_end:
            shot = os.path.join(work, "screenshot.png")
            subprocess.run(["import", "-window", "root", shot], check=False)
            say(f"screenshot saved: {shot}")
        print("\n--- session log (" + patcher.log + ") ---")
        for level, text in patcher.lines():
            print(f"[level {level}] {text.rstrip()}")
        print("--- end of session log ---\n", flush=True)
        if close_at_end:
            patcher.close()
    finally:
        server.stop()

    different = e2e.differences(install, trees["1.2"])
    files = len(e2e.snapshot(trees["1.2"]))
    valid, count, paths = e2e.uninstall_log(install)
    say(f"uninstaller log: {'valid' if valid else 'BROKEN'}, {count} records "
        f"({count - log_before[1]} added: one delete record per file the patches copied in)")
    if different:
        say("the installation does NOT equal version 1.2:")
        for line in different:
            print("  " + line)
        return 1
    say(f"the installation now equals version 1.2: all {files} game files identical byte for byte")
    if not close_at_end:
        say("close the patcher window (Exit) to end the demo")
        patcher.proc.wait()
    return 0 if valid else 1


if __name__ == "__main__":
    sys.exit(main())
