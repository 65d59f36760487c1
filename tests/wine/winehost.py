"""Running Windows programs under Wine for the tests: one prefix per build
tree, one server and one set of Wine's own services for a whole run."""

import os
import subprocess


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def start():
    prefix = os.environ["WINEPREFIX"]
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineboot", "-i"], check=True, capture_output=True, timeout=300)
        subprocess.run(["wineserver", "-w"], timeout=120)
    # Wine's services are started here, away from the pipes the tests read,
    # which they would otherwise hold open for as long as they run.
    subprocess.run(["wineserver", "-p"], check=True, timeout=60)
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=120)


def stop():
    subprocess.run(["wineserver", "-k"], timeout=60)


def run(*arguments):
    """Exit status, standard output (CRLF made LF) and standard error."""
    done = subprocess.run(["wine", *arguments], capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode().replace("\r\n", "\n"), done.stderr.decode()
