"""The engine that consecutive zirm runs share, as the tests see it from
outside: its processes by name, its socket in the kernel's table, and the
run folder that decides whether a run may use it."""

import contextlib
import os
import signal
import subprocess
import time

RUN_DIR = "/run/zirm"
NAME = "zirm-engine"


def processes():
    """{pid: parent pid} of every process named as the engine: the engine
    itself and its processes per run. Only those of our network namespace,
    where its abstract name is seen: another namespace has engines of its
    own."""
    found = {}
    ours = os.readlink("/proc/self/ns/net")
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
            if os.readlink(f"/proc/{entry}/ns/net") != ours:
                continue
        except OSError:
            continue
        # "pid (comm) state ppid ...": the name may hold blanks and parentheses.
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        state, parent = stat[stat.rindex(")") + 2:].split()[:2]
        # A process that has ended waits only for its parent to take note.
        if name == NAME and state != "Z":
            found[int(entry)] = int(parent)
    return found


def engines():
    """The engines themselves, not their processes per run."""
    found = processes()
    return {pid for pid, parent in found.items() if parent not in found}


def children(engine):
    return {pid for pid, parent in processes().items() if parent == engine}


def stop(pids=None, timeout=10):
    """Kills the engines and their processes per run (all of them when no
    pids are given) and waits until they are gone."""
    deadline = time.time() + timeout
    while True:
        found = processes()
        targets = set(found) if pids is None else {p for p in found if p in pids or found[p] in pids}
        if not targets:
            return
        if time.time() > deadline:
            raise RuntimeError(f"engine processes {sorted(targets)} do not end")
        for pid in targets:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.02)


def socket_names():
    """The abstract names the engine's sockets listen on."""
    names = set()
    with open("/proc/net/unix") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if len(fields) == 8 and fields[7].startswith("@" + NAME + "-"):
                names.add(fields[7][1:])
    return names


@contextlib.contextmanager
def run_folder_as(mode=None, owner=None):
    """The run folder with another mode or owner for a while: a run must
    then not use it, nor any engine. Put back as it was, whatever happens."""
    os.makedirs(RUN_DIR, 0o700, exist_ok=True)
    st = os.lstat(RUN_DIR)
    try:
        if mode is not None:
            os.chmod(RUN_DIR, mode)
        if owner is not None:
            os.chown(RUN_DIR, owner, -1)
        yield
    finally:
        os.chown(RUN_DIR, st.st_uid, st.st_gid)
        os.chmod(RUN_DIR, st.st_mode & 0o7777)


def cold():
    """No engine for the runs meanwhile: each starts a helper of its own."""
    return run_folder_as(mode=0o755)


class MountNamespace:
    """A mount namespace of the test's own, beside the test's (the same
    network namespace, so runs from it reach the same engine), its mounts
    private: what is mounted there is seen there alone. Commands run in it
    through nsenter; it goes with close()."""

    def __init__(self):
        ours = os.readlink("/proc/self/ns/mnt")
        self.holder = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sleep", "600"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        self.path = f"/proc/{self.holder.pid}/ns/mnt"
        deadline = time.time() + 10
        while True:
            with contextlib.suppress(OSError):
                if os.readlink(self.path) != ours:
                    break
            if time.time() > deadline or self.holder.poll() is not None:
                self.close()
                raise RuntimeError("no mount namespace of the test's own")
            time.sleep(0.01)

    def run(self, command, check=False, **options):
        options.setdefault("capture_output", True)
        options.setdefault("text", True)
        options.setdefault("timeout", 60)
        return subprocess.run(["nsenter", f"--mount={self.path}", "--", *command], check=check, **options)

    def close(self):
        with contextlib.suppress(ProcessLookupError):
            self.holder.kill()
        self.holder.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
