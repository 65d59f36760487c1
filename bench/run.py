#!/usr/bin/python3
"""What one run of zirm costs, how it grows with the DACL, and how the
peers compare. Prints a table; never fails on a time.

    bash bench/run.sh
"""

import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import engines  # noqa: E402
from descriptors import descriptor  # noqa: E402
from sambaserver import SambaServer, port_445_free  # noqa: E402
from sambatool import SambaTool, read_blob, v1_blob, write_blob  # noqa: E402

from samba.dcerpc import security  # noqa: E402

BUILD = os.path.join(ROOT, "build", "bench")
ZIRM = os.path.join(ROOT, "build", "release", "zirm")
FLOOR = os.path.join(BUILD, "floor")
TIMER = os.path.join(BUILD, "spawn_timer")
RUNS = 200     # runs of one measurement
ROUNDS = 5     # measurements of each subject, taken in turn
FILES = 1000   # files changed one run per file
COLD_RUNS = 10  # first runs, each with no engine running
SPLIT_RUNS = 50  # share-file runs traced to see where their time goes
ENVIRONMENTS = {}  # a subject's own environment, by its name, where it needs one
WRAPPERS = {}  # what a subject's timer runs under, by its name (nsenter into a server's namespace)
DOMAIN_RUNS = 20  # runs of one measurement on the domain's servers: each smbcacls run logs on afresh
DOMAIN_SPLIT_RUNS = 20  # warm share runs traced on each domain server
DOMAIN_PATIENCE = 1200  # seconds the domain's section may take, the domain's set-up included


def blob(entries):
    """A version-1 blob whose DACL has this many 20-byte entries, every
    eighth one Everyone's."""
    sd = security.descriptor()
    sd.type = security.SEC_DESC_SELF_RELATIVE | security.SEC_DESC_DACL_PRESENT
    acl = security.acl()
    acl.revision = 2
    aces = []
    for i in range(entries):
        ace = security.ace()
        ace.type = security.SEC_ACE_TYPE_ACCESS_DENIED if i % 3 == 1 else security.SEC_ACE_TYPE_ACCESS_ALLOWED
        ace.access_mask = 0x001200A9
        ace.trustee = security.dom_sid("S-1-1-0" if i % 8 == 0 else f"S-1-5-{1000 + i}")
        aces.append(ace)
    acl.aces = aces
    acl.num_aces = entries
    sd.dacl = acl
    return v1_blob(sd)


def timed(runs, *command, env=None, wrapper=()):
    out = subprocess.run([*wrapper, TIMER, str(runs), *command], check=True, capture_output=True, text=True,
                         env=env).stdout
    fields = dict(item.split("=") for item in out.split())
    return float(fields["median_us"]), int(fields["max_rss_kib"]), int(fields["status"])


def timed_per_file(paths, env, *command):
    """One run per file, the file the command's last argument: the median
    run and the total, in microseconds."""
    with tempfile.NamedTemporaryFile("w") as listing:
        listing.write("".join(path + "\n" for path in paths))
        listing.flush()
        out = subprocess.run([TIMER, "-l", listing.name, *command], check=True, capture_output=True,
                             text=True, env=env).stdout
    fields = dict(item.split("=") for item in out.split())
    if int(fields["status"]) != 0:
        raise RuntimeError(f"{command} exited with {fields['status']}")
    return float(fields["median_us"]), float(fields["total_us"])


def side_by_side(subjects, runs=RUNS):
    """Median per-run time of each subject, measured in turn, round after
    round, so that a ratio holds on a noisy machine."""
    times = {name: [] for name in subjects}
    rss = {name: 0 for name in subjects}
    for _ in range(ROUNDS):
        for name, command in subjects.items():
            median, peak, status = timed(runs, *command, env=ENVIRONMENTS.get(name), wrapper=WRAPPERS.get(name, ()))
            if status != 0:
                raise RuntimeError(f"{name} exited with {status}")
            times[name].append(median)
            rss[name] = max(rss[name], peak)
    return {name: statistics.median(values) for name, values in times.items()}, rss


def instructions(*command):
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                          capture_output=True, text=True)
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def calls_profile(*command):
    """Instructions spent in each function, as callgrind counts them."""
    with tempfile.NamedTemporaryFile() as out:
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}", *command],
                       check=True, capture_output=True)
        report = subprocess.run(["callgrind_annotate", out.name], check=True, capture_output=True,
                                text=True).stdout
    counts = {}
    for match in re.finditer(r"^\s*([\d,]+) \([^)]*\)\s+\S*:(\w+)", report, re.M):
        counts[match.group(2)] = int(match.group(1).replace(",", ""))
    return counts


def scratch_file(folder, name, contents):
    path = os.path.join(folder, name)
    open(path, "w").close()
    write_blob(path, contents)
    return path


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return f"{platform.node()}: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}"


def main():
    if sys.argv[1:2] == ["--domain"] and len(sys.argv) == 3:
        sys.exit(domain_main(sys.argv[2]))
    print(f"zirm benchmark, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print(f"machine: {machine()}")
    print(f"each time is the median of {ROUNDS} medians of {RUNS} runs, subjects measured in turn\n")
    shm = tempfile.mkdtemp(prefix="zirm-bench-", dir="/dev/shm")
    disk = tempfile.mkdtemp(prefix="zirm-bench-")
    try:
        largest_rss, floor_rss, largest = floor_and_growth(shm, disk)
        per_file = peers(disk)
        print()
        print("4. Memory: peak resident size of one run at the largest DACL")
        print(f"   zirm, 2000 entries: {largest_rss}KiB; the floor: {floor_rss}KiB")
        print("   (what every program starts with, the floor shows; zirm adds its 64 KiB descriptor buffer and the")
        print("   layer's two 64 KiB attribute buffers)")
        if per_file:
            print()
            per_file()
    finally:
        # The engine the share's runs started is the benchmark's own.
        engines.stop()
        shutil.rmtree(shm, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)
    print()
    domain_section()


def floor_and_growth(shm, disk):
    print("1. The floor: a static program that only starts and exits, and zirm rw on 8 entries")
    subjects = {"floor": [FLOOR],
                "zirm, 8 entries, ext4": [ZIRM, "rw", scratch_file(disk, "eight", blob(8))],
                "zirm, 8 entries, tmpfs": [ZIRM, "rw", scratch_file(shm, "eight", blob(8))]}
    times, _ = side_by_side(subjects)
    floor_ir = instructions(FLOOR)
    print(f"   {'':26} {'time':>10} {'x floor':>8} {'instructions':>13}")
    for name, command in subjects.items():
        print(f"   {name:26} {times[name]:8.0f}us {times[name] / times['floor']:8.2f} {instructions(*command):13,}")
    print(f"   goal: within 1.3 x the floor at 8 entries\n")

    print("2. Growth with the DACL (tmpfs: ext4 keeps all of a file's attributes in one 4 KiB block,")
    print("   about 140 entries; tmpfs takes an attribute up to 64 KiB)")
    sizes = [1, 16, 256, 1000, 2000]
    subjects = {"floor": [FLOOR]}
    for n in sizes:
        subjects[f"{n} entries"] = [ZIRM, "rw", scratch_file(shm, f"n{n}", blob(n))]
    times, rss = side_by_side(subjects, runs=RUNS // 2)
    print(f"   {'entries':>8} {'blob':>7} {'time':>10} {'x floor':>8} {'instructions':>13} {'peak RSS':>9}")
    for n in sizes:
        name = f"{n} entries"
        size = len(read_blob(subjects[name][2]))
        print(f"   {n:8} {size:7} {times[name]:8.0f}us {times[name] / times['floor']:8.2f} "
              f"{instructions(*subjects[name]):13,} {rss[name]:7}KiB")
    print(f"   floor: {times['floor']:.0f}us, {floor_ir:,} instructions, {rss['floor']}KiB")
    largest = f"{sizes[-1]} entries"
    calls = calls_profile(*subjects[largest])
    print(f"   at the largest DACL, GetAce takes {calls.get('GetAce', 0):,} instructions and AddAce"
          f" {calls.get('AddAce', 0):,}: each goes on from where")
    print("   the last call stopped, so appending with MAXDWORD no longer walks the whole new DACL each time")

    print("   goal: within 2 x the floor at the largest DACL: 2,000 entries, the most Samba's parser takes in")
    print("   one ACL")
    path = os.path.join(shm, "n2001")
    open(path, "w").close()
    write_blob(path, blob(2001))
    done = subprocess.run([ZIRM, "rw", path], capture_output=True, text=True)
    print(f"   2,001 entries: zirm exits {done.returncode}: " + " ".join(done.stdout.split()))
    print()
    return rss[largest], rss['floor'], subjects[largest]


def peers(disk):
    """Section 3; and, with smbd, what section 5 prints, measured while the
    server runs."""
    print("3. The peers, on the same change of the same file (8 entries, Everyone's get GR|GW); smbcacls -M")
    print("   replaces the Everyone entries with one, through a loopback smbd")
    samba = SambaTool()
    path = scratch_file(disk, "peer", blob(8))
    after = os.path.join(disk, "after")
    shutil.copy(path, after)
    write_blob(after, read_blob(path))
    subprocess.run([ZIRM, "rw", after], check=True)
    sddl = samba.get(after)
    subjects = {"zirm rw": [ZIRM, "rw", path],
                "samba-tool ntacl set": [shutil.which("samba-tool"), "ntacl", "set", sddl, path, "--use-ntvfs",
                                         "-s", samba.conf]}
    server, cold, per_file = None, None, None
    if os.geteuid() == 0 and port_445_free():
        server = SambaServer(tempfile.mkdtemp(prefix="zirm-bench-smbd-"))
        try:
            server.start()
            subjects.update(share_subjects(server))
        except Exception as error:
            print(f"   (no smbd peer: {error})")
    try:
        times, _ = side_by_side(subjects, runs=5)
        if "zirm rw, share, warm engine" in times:
            cold = cold_first_run(subjects["zirm rw, share, warm engine"])
            per_file = one_run_per_file(server, disk)
    finally:
        if server is not None:
            server.stop()
            shutil.rmtree(server.dir, ignore_errors=True)
    if cold is not None:
        times["zirm rw, share, cold first run"] = cold
    for name in times:
        print(f"   {name:36} {times[name]:10.0f}us {times[name] / times['zirm rw']:8.1f} x zirm")
    print("   goal: the codec path at least 10 x faster than either peer")
    if cold is not None:
        warm = times['zirm rw, share, warm engine']
        print(f"   a share's file, the first run with no engine running: {cold / 1000:.0f} ms, "
              f"{cold / times['samba-tool ntacl set --use-s3fs']:.2f} x samba-tool --use-s3fs (goal: at most 0.35);")
        print(f"   once the engine runs: {warm / 1000:.1f} ms, {warm / times['zirm rw']:.1f} x a codec-path run "
              f"(goal: at most 3), {warm / times['samba-tool ntacl set --use-s3fs']:.3f} x samba-tool --use-s3fs "
              "(goal: at most 0.05)")
    return per_file


def share_subjects(server):
    """The same change on a share's file: through Samba's engine, by zirm (the
    engine already running) and by samba-tool --use-s3fs (the same engine, no
    credentials), and by smbcacls through smbd."""
    done = server.client("v4", f"put {os.path.abspath(__file__)} peer")
    if done.returncode != 0:
        raise RuntimeError(done.stdout + done.stderr)
    shared = server.share_path("v4", "peer")
    # Eight entries again, the first the owner's, so that the client may change the DACL.
    owner = subprocess.run(server.cacls_command("v4", "peer"), capture_output=True, text=True, check=True)
    owner = re.search(r"OWNER:(\S+)", owner.stdout).group(1)
    entries = [f"ACL:{owner}:0/0x0/0x001f01ff"] + [
        f"ACL:{'S-1-1-0' if i % 4 == 0 else f'S-1-5-{1000 + i}'}:0/0x0/0x001200a9" for i in range(7)]
    subprocess.run(server.cacls_command("v4", "peer", "-S", f"REVISION:1,OWNER:{owner},GROUP:{owner},"
                                        + ",".join(entries)), check=True, capture_output=True)
    subprocess.run(["net", "-s", server.conf, "getlocalsid"], check=True, capture_output=True)
    on_server = [ZIRM, "rw", shared]
    # The server's configuration named in the environment, not by a program
    # that starts zirm: its start would count as zirm's.
    ENVIRONMENTS["zirm rw, share, warm engine"] = dict(os.environ, SMB_CONF_PATH=server.conf)
    subprocess.run(on_server, check=True, env=ENVIRONMENTS["zirm rw, share, warm engine"])
    sddl = subprocess.run([shutil.which("samba-tool"), "ntacl", "get", shared, "--as-sddl", "--use-s3fs",
                           "--service=v4", "-s", server.conf], check=True, capture_output=True, text=True).stdout
    cacls = server.cacls_command("v4", "peer", "-M", "ACL:S-1-1-0:0/0x0/0xc0000000")
    cacls[0] = shutil.which("smbcacls")
    return {"zirm rw, share, warm engine": on_server,
            "samba-tool ntacl set --use-s3fs": [shutil.which("samba-tool"), "ntacl", "set", sddl.strip(), shared,
                                                "--use-s3fs", "--service=v4", "-s", server.conf],
            "smbcacls -M via smbd": cacls}


def cold_first_run(command):
    """The median of first runs, each with no engine running: the run starts
    the engine, which loads Samba's modules, and is then served by it."""
    times = []
    for _ in range(COLD_RUNS):
        engines.stop()
        median, _, status = timed(1, *command, env=ENVIRONMENTS["zirm rw, share, warm engine"])
        if status != 0:
            raise RuntimeError(f"{command} exited with {status}")
        times.append(median)
    return statistics.median(times)


def replicas(server, folder, count):
    """Files as smbd left the peer file: its mode, owner, POSIX ACL and blob,
    whose hashes still match, so that Samba's engine takes the blob."""
    source = server.share_path("v4", "peer")
    st = os.stat(source)
    attributes = {name: os.getxattr(source, name) for name in ("security.NTACL", "system.posix_acl_access")}
    paths = []
    for i in range(count):
        path = os.path.join(folder, f"file{i}")
        with open(path, "w") as f:
            f.write("a file\n")
        os.chown(path, st.st_uid, st.st_gid)
        os.chmod(path, st.st_mode & 0o7777)
        for name, value in attributes.items():
            os.setxattr(path, name, value)
        paths.append(path)
    return paths


def one_run_per_file(server, disk):
    """A script's way: zirm once per file, on share files (one engine serving
    every run) and on files outside every share, in turn; and where a share
    file's run spends its time. Returns what prints section 5."""
    shared = server.share_path("v4", "many")
    outside = os.path.join(disk, "outside")
    for folder in (shared, outside):
        os.mkdir(folder)
    share_files = replicas(server, shared, FILES + SPLIT_RUNS)
    traced, share_files = share_files[FILES:], share_files[:FILES]
    codec_files = [scratch_file(outside, f"file{i}", blob(8)) for i in range(FILES)]
    command = [ZIRM, "rw"]
    env = dict(os.environ, SMB_CONF_PATH=server.conf)
    subprocess.run(command + [share_files[0]], check=True, env=env)  # the engine is running
    medians = {"share": [], "codec": []}
    totals = {"share": 0.0, "codec": 0.0}
    chunk = FILES // 4
    for start in range(0, FILES, chunk):
        for kind, paths in (("share", share_files), ("codec", codec_files)):
            median, total = timed_per_file(paths[start:start + chunk], env, *command)
            medians[kind].append(median)
            totals[kind] += total
    share, codec = statistics.median(medians["share"]), statistics.median(medians["codec"])
    phases, traced_total = where_the_time_goes(command, env, traced)

    def show():
        print(f"5. One run per file, {FILES:,} files each, in turn, in chunks of {chunk} (a script's way; the same")
        print("   smb.conf, the share's files as smbd left them with 8 entries, the others with a blob of 8)")
        print(f"   {'':38} {'total':>8} {'per run':>10}")
        print(f"   {'share files, one engine serving all':38} {totals['share'] / 1e6:7.2f}s {share:8.0f}us")
        print(f"   {'files outside every share (codec)':38} {totals['codec'] / 1e6:7.2f}s {codec:8.0f}us")
        print(f"   a share file's run: {share / codec:.1f} x a codec-path run (goal: at most 3)")
        print(f"   where a share file's run goes (median of {SPLIT_RUNS} runs under strace --seccomp-bpf -ttt -T,")
        print(f"   which stretches one from {share / 1000:.1f} to {traced_total:.1f} ms):")
        for name, value in phases.items():
            print(f"     {name:66} {value:6.2f} ms")
    return show


def where_the_time_goes(command, env, paths, wrapper=()):
    """A share file's run, from its system calls: zirm's own start (up to its
    connect to the engine), the engine's first answer (a loaded process for
    the run's namespace and configuration checks that nothing its load was
    built from has changed, mounts the object and finds its share), the get,
    zirm's rewrite, the set, and its exit."""
    names = ["zirm's start: exec, libraries, the cheap reading of smb.conf",
             "connect, and the engine's first answer (checks, mount, share)",
             "the engine's get", "zirm's rewrite between the two", "the engine's set", "exit"]
    phases = {name: [] for name in names}
    totals = []
    for path in paths:
        with tempfile.NamedTemporaryFile("r") as trace:
            # Only the calls traced stop the run (seccomp-bpf, which strace applies with -f).
            subprocess.run([*wrapper, "strace", "-f", "--seccomp-bpf", "-ttt", "-T", "-o", trace.name, "-e",
                            "trace=execve,connect,sendmsg,sendto,read,exit_group", *command, path], check=True,
                           env=env)
            calls = trace.read().splitlines()
        calls = [line.split(None, 1)[1] for line in calls]  # without -f's pid
        start = float(calls[0].split()[0])
        marks = {}
        channel = None
        for line in calls:
            fields = line.split(None, 1)
            if len(fields) < 2:
                continue
            at, call = float(fields[0]), fields[1]
            took = re.search(r"<([\d.]+)>$", line)
            end = at + (float(took.group(1)) if took else 0)
            if call.startswith("execve(") and ZIRM in call:
                marks["exec"] = at
            elif call.startswith("connect(") and "zirm-engine" in call:
                channel = call[8:call.index(",")]
                marks["connect"] = at
            elif channel and call.startswith(f"read({channel}, \"share "):
                marks["share"] = end
            elif channel and call.startswith(f"read({channel}, \"ok ") and "got" not in marks:
                marks["got"] = end
            elif channel and call.startswith(f"sendto({channel}, \"set "):
                marks["set"] = at
            elif channel and call.startswith(f"read({channel}, \"ok\\n\"") and "set" in marks:
                marks["done"] = end
            elif call.startswith("exit_group("):
                marks["exit"] = at
        # The get goes with the first line: its answer follows the share's.
        spans = [marks["connect"] - marks["exec"], marks["share"] - marks["connect"], marks["got"] - marks["share"],
                 marks["set"] - marks["got"], marks["done"] - marks["set"], marks["exit"] - marks["done"]]
        for name, span in zip(names, spans):
            phases[name].append(span * 1000)
        totals.append((marks["exit"] - start) * 1000)
    return {name: statistics.median(values) for name, values in phases.items()}, statistics.median(totals)


def domain_section():
    """Section 6, in namespaces of its own (a network namespace for the
    domain's addresses and ports, a PID namespace that ends every process
    the domain starts with it). Never fails the benchmark: when the domain
    cannot be stood up, says why."""
    print("6. A domain member and a domain controller (the tests' domain set-up: a DC on 127.0.0.1, members with")
    print(f"   idmap rid and autorid), each time the median of {ROUNDS} medians of {DOMAIN_RUNS} runs, subjects in turn")
    sys.stdout.flush()
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        print("   not measured: Samba's servers need root and unshare")
        return
    # Made here, so that it goes whatever becomes of the process measuring.
    base = tempfile.mkdtemp(prefix="zirm-bench-domain-")
    command = ["unshare", "--net", "--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc",
               "--kill-child", sys.executable, "-u", os.path.abspath(__file__), "--domain", base]
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              timeout=DOMAIN_PATIENCE)
    except subprocess.TimeoutExpired as error:
        # --kill-child: the namespace's first process ends, and with it every process of the domain.
        print(f"   not measured: no result within {DOMAIN_PATIENCE} s")
        if error.stderr:
            print("   " + "\n   ".join(str(error.stderr).strip().splitlines()[-5:]))
        return
    finally:
        shutil.rmtree(base, ignore_errors=True)
    if done.returncode != 0:
        print(f"   not measured (exit {done.returncode}):")
        print("   " + "\n   ".join(done.stderr.strip().splitlines()[-15:]))


def domain_main(base):
    """What domain_section runs as the first process of its namespaces,
    the domain's servers under base."""
    from domain import Domain, isolated

    if not isolated():
        print("not in namespaces of its own", file=sys.stderr)
        return 1
    domain = Domain(base)
    try:
        started = time.monotonic()
        domain.start()
        print(f"   the domain stood up in {time.monotonic() - started:.0f} s")
        rows = {}
        for label, server, share, folder in (
                ("member (rid)", domain.members["rid"], "xattr", domain.members["rid"].share_path("xattr")),
                ("member (autorid)", domain.members["autorid"], "xattr", domain.members["autorid"].share_path("xattr")),
                ("DC (data share)", domain.dc, "data", domain.dc.data)):
            rows[label] = domain_server_times(domain, server, share, folder)
        show_domain_rows(rows)
    finally:
        try:
            engines.stop()
        finally:
            domain.stop()
    return 0


def eight_entries(owner):
    """Eight entries, the first the owner's, every fourth Everyone's, as in
    section 3's share file."""
    return descriptor([(security.SEC_ACE_TYPE_ACCESS_ALLOWED, 0, 0x001F01FF if i == 0 else 0x001200A9,
                        owner if i == 0 else "S-1-1-0" if i % 4 == 1 else f"S-1-5-{1000 + i}") for i in range(8)])


def domain_server_times(domain, server, share, folder):
    """On one server: zirm rw on a share's file (a domain user's, made over
    SMB, 8 entries) with the engine of the server's namespace already
    running, zirm rw on a file outside every share (the codec path, the same
    server's smb.conf; whether that run had to ask the engine too), and smbcacls -M on the share's file through the
    server's smbd, NTLM as the domain's user. zirm and its timer run in the
    server's mount namespace, as a script on that server would."""
    from domain import DOMAIN, PASSWORDS

    secinfo_owner, secinfo_dacl = 1, 4
    conn = domain.connect(server, share, "zuser1")
    conn.savefile("peer", b"a file\n")
    owner = str(conn.get_acl("peer", secinfo_owner).owner_sid)
    conn.set_acl("peer", eight_entries(owner), secinfo_dacl)
    shared = os.path.join(folder, "peer")
    outside = os.path.join(server.dir, "outside")
    os.mkdir(outside)
    codec = scratch_file(outside, "peer", blob(8))
    inside = server.command()
    env = server.environment()
    engines.stop()
    first = subprocess.run(server.command(ZIRM, "rw", codec), capture_output=True, text=True, env=env, cwd="/")
    if first.returncode != 0:
        raise RuntimeError(f"the run outside every share on {server.name} failed: {first.stdout}{first.stderr}")
    # A pathless [homes] whose accounts come from winbindd may hold any folder: the engine is asked.
    asked = bool(engines.engines())
    engines.stop()
    started = time.monotonic()
    first = subprocess.run(server.command(ZIRM, "rw", shared), capture_output=True, text=True, env=env, cwd="/")
    cold = time.monotonic() - started
    if first.returncode != 0 or not engines.engines():
        raise RuntimeError(f"the share run on {server.name} went otherwise: exit {first.returncode}, "
                           f"{first.stdout}{first.stderr}, engines {sorted(engines.engines())}")
    cacls = [shutil.which("smbcacls"), f"//{server.address}/{share}", "peer", "-U", f"zuser1%{PASSWORDS['zuser1']}",
             "-W", DOMAIN, "-s", domain.client_conf, "--numeric",
             "-M", "ACL:S-1-1-0:0/0x0/0xc0000000"]
    subjects = {"codec": [ZIRM, "rw", codec], "warm": [ZIRM, "rw", shared], "smbcacls": cacls}
    for name in ("codec", "warm"):
        WRAPPERS[name] = inside
        ENVIRONMENTS[name] = env
    times, _ = side_by_side(subjects, runs=DOMAIN_RUNS)
    if len(engines.engines()) != 1:
        raise RuntimeError(f"the warm runs on {server.name} were not served by one engine: "
                           f"{sorted(engines.engines())}")
    times["phases"], times["traced"] = where_the_time_goes([ZIRM, "rw"], env, [shared] * DOMAIN_SPLIT_RUNS,
                                                           wrapper=inside)
    times["first"] = cold * 1e6
    times["asked"] = asked
    # The next server's runs start an engine of their own namespace.
    engines.stop()
    return times


def show_domain_rows(rows):
    print(f"   {'':18} {'share, warm':>12} {'codec path':>11} {'smbcacls':>10} {'x codec':>8} {'x smbcacls':>11}"
          f" {'first run':>10}")
    for label, times in rows.items():
        print(f"   {label:18} {times['warm']:10.0f}us {times['codec']:9.0f}us {times['smbcacls']:8.0f}us"
              f" {times['warm'] / times['codec']:8.1f} {times['warm'] / times['smbcacls']:11.3f}"
              f" {times['first'] / 1000:8.0f}ms")
    print("   share, warm: zirm rw on a share's file, the engine of the server's namespace running; codec path: zirm")
    print("   rw on a file outside every share on the same server; smbcacls -M through the server's smbd; first run:")
    print("   the share run that started the engine (once, with nsenter)")
    asked = [label for label, times in rows.items() if times["asked"]]
    if asked:
        print(f"   outside every share, the engine is asked first on: {', '.join(asked)} (a pathless [homes] whose")
        print("   accounts only winbindd knows may hold any folder)")
    print(f"   where a warm share run goes (median of {DOMAIN_SPLIT_RUNS} runs under strace --seccomp-bpf -ttt -T; a "
          "run,")
    print("   stretched: " + ", ".join(f"{label} {times['warm'] / 1000:.1f} to {times['traced']:.1f} ms"
                                     for label, times in rows.items()) + "):")
    print(f"     {'':62}" + "".join(f" {label:>17}" for label in rows))
    for name in next(iter(rows.values()))["phases"]:
        print(f"     {name:62}" + "".join(f" {times['phases'][name]:14.2f} ms" for times in rows.values()))
    for label, times in rows.items():
        goal = 8 if label.startswith("DC") else 3
        ratio = times["warm"] / times["codec"]
        print(f"   goal: {label}, a warm share run at most {goal} x a codec-path run: {ratio:.1f} x, "
              + ("met" if ratio <= goal else "not met"))


if __name__ == "__main__":
    main()
