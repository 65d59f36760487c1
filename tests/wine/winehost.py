"""Running Windows programs under Wine for the tests: one prefix per build
tree, one server and one set of Wine's own services for a whole run.

Wine's server and services outlive the command that started them. Started
with the test's own standard streams, they would hold ctest's pipes open and
ctest would wait for them forever, so they never get those streams; and
whatever the set-up started is stopped again if the set-up fails."""

import os
import shutil
import subprocess

QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def make_prefix(prefix):
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    subprocess.run(["wineboot", "-i"], check=True, timeout=300, **QUIET)
    subprocess.run(["wineserver", "-w"], timeout=120, **QUIET)


def starts():
    """Starts the server and Wine's services; whether a program then runs."""
    subprocess.run(["wineserver", "-p"], check=True, timeout=60, **QUIET)
    done = subprocess.run(["wine", "cmd.exe", "/c", "exit"], timeout=120, **QUIET)
    return done.returncode == 0


def start():
    prefix = os.environ["WINEPREFIX"]
    try:
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            make_prefix(prefix)
        if not starts():
            # A prefix made before another Wine was installed can fail to
            # start (wine exits 53): make it anew, once.
            stop()
            make_prefix(prefix)
            if not starts():
                raise RuntimeError(f"Wine does not start in {prefix}")
    except BaseException:
        stop()
        raise


def stop():
    subprocess.run(["wineserver", "-k"], timeout=60, **QUIET)


def run(*arguments):
    """Exit status, standard output (CRLF made LF) and standard error."""
    done = subprocess.run(["wine", *arguments], stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode().replace("\r\n", "\n"), done.stderr.decode()
