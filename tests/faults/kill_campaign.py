#!/usr/bin/env python3
"""Kills update runs at random moments and checks that nothing is lost.

usage: kill_campaign.py KUPDATE [--kills N] [--seed S] [--keep]

Publishes an update of plain files, an LZ-compressed file and a cabinet on
a loopback HTTP server, installs the old versions into a program folder,
and then, N times (default 50): starts `kupdate run` on the update, kills it
with SIGKILL after a random time within the length of a whole run, checks
that every target file holds either its old or its new content, and runs
the update again to its end, which must install every new file and leave
no temporary or partial file behind. The program folder goes back to the
old versions before each kill.

Runs on demand, never in CI (a kill can only be aimed at random). Prints the
counts and exits with 1 when any check failed. A Release build of kupdate
gives the most moments inside the work; a sanitizer build works too.
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SERVERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "servers")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def text(size, tag):
    line = ("%s: the quick brown fox jumps over the lazy dog\n" % tag).encode()
    return (line * (size // len(line) + 1))[:size]


def publish(www, rng):
    """The new versions on the server, and every target with its old and new content."""
    new = {
        "plain1.dll": rng.randbytes(3 << 20),
        "plain2.dat": rng.randbytes(1 << 20),
        "lz1.bin": text(4 << 20, "new"),
        "pkg/pkgA.bin": rng.randbytes(2 << 20),
        "pkg/sub/pkgB.txt": text(3 << 20, "new b"),
        "pkg/pkgC.dat": b"new c\n",
    }
    old = {
        "plain1.dll": rng.randbytes(2 << 20),
        "plain2.dat": b"old plain 2\n",
        "lz1.bin": text(1 << 20, "old"),
        "pkg/pkgA.bin": rng.randbytes(1 << 20),
        "pkg/sub/pkgB.txt": text(1 << 20, "old b"),
        "pkg/pkgC.dat": b"old c\n",
    }
    for name in ("plain1.dll", "plain2.dat", "lz1.bin"):
        write(os.path.join(www, name), new[name])
    subprocess.run(["mscompress", os.path.join(www, "lz1.bin")], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.remove(os.path.join(www, "lz1.bin"))
    source = os.path.join(www, "cabsource")
    for name in ("pkgA.bin", "sub/pkgB.txt", "pkgC.dat"):
        write(os.path.join(source, name), new["pkg/" + name])
    subprocess.run(["gcab", "-c", "-z", os.path.join(www, "pack.cab"),
                    "pkgA.bin", "sub/pkgB.txt", "pkgC.dat"], cwd=source, check=True)
    shutil.rmtree(source)
    return old, new


def control(port):
    base = "http://127.0.0.1:%d/" % port
    return ("[update]\nunconditional=1\n[files]\ncount=4\n"
            "[file1]\nurl=%splain1.dll\ntargetdir={APP}\\\n"
            "[file2]\nurl=%splain2.dat\ntargetdir={APP}\\\n"
            "[file3]\nurl=%slz1.bin_\ntargetdir={APP}\\\ncompressed=1\n"
            "[file4]\nurl=%spack.cab\ntargetdir={APP}\\pkg\\\ncompressed=1\n"
            % (base, base, base, base)).encode()


def leftovers(*folders):
    """Temporaries and partial files anywhere under the folders."""
    found = []
    for folder in folders:
        for root, _, files in os.walk(folder):
            for name in files:
                if name.endswith(".partial") or (name.startswith("UPD") and name.endswith(".tmp")):
                    found.append(os.path.join(root, name))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("kupdate")
    parser.add_argument("--kills", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    kupdate = os.path.abspath(args.kupdate)
    rng = random.Random(args.seed)

    work = tempfile.mkdtemp(prefix="kill-campaign-")
    www, app, tmp, home = (os.path.join(work, n) for n in ("www", "app", "tmp", "home"))
    for folder in (www, tmp, home):
        os.makedirs(folder)
    env = dict(os.environ, TMPDIR=tmp, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "DISPLAY"):
        env.pop(name, None)
    env["ASAN_OPTIONS"] = "detect_leaks=0"

    old, new = publish(www, rng)
    server = subprocess.Popen([sys.executable, os.path.join(SERVERS, "http_server.py"), www,
                               os.path.join(work, "http.log")], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    port = int(server.stdout.readline())
    write(os.path.join(www, "upd.txt"), control(port))
    # Through the temporary folder, so a kill can also fall between a
    # download and its move.
    command = [kupdate, "run", "--dir", app, "--yes", "--set", "UseWinTempDir=True",
               "--set", "UpdateUpdate=wuuSilent", "http://127.0.0.1:%d/upd.txt" % port]

    def install_old():
        shutil.rmtree(app, ignore_errors=True)
        for name, content in old.items():
            write(os.path.join(app, name), content)

    def run_whole():
        return subprocess.run(command, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode

    # The length of a whole run is the span the kills are spread over.
    spans = []
    for _ in range(3):
        install_old()
        started = time.monotonic()
        if run_whole() != 0:
            sys.exit("kill_campaign: a whole run of the update failed")
        spans.append(time.monotonic() - started)
    span = sorted(spans)[1]

    counts = {"killed while running": 0, "ended before the kill": 0, "targets left old": 0,
              "targets already new": 0, "torn targets": 0, "failed recoveries": 0,
              "leftovers after recovery": 0}
    problems = []
    for kill in range(args.kills):
        install_old()
        delay = rng.uniform(0, span)
        process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(delay)
        process.send_signal(signal.SIGKILL)
        status = process.wait()
        counts["killed while running" if status == -signal.SIGKILL else "ended before the kill"] += 1
        for name in old:
            content = read(os.path.join(app, name))
            if content == old[name]:
                counts["targets left old"] += 1
            elif content == new[name]:
                counts["targets already new"] += 1
            else:
                counts["torn targets"] += 1
                size = "missing" if content is None else "%d bytes" % len(content)
                problems.append("kill %d after %.3f s: %s is neither old nor new (%s)"
                                % (kill, delay, name, size))
        if run_whole() != 0 or any(read(os.path.join(app, n)) != c for n, c in new.items()):
            counts["failed recoveries"] += 1
            problems.append("kill %d after %.3f s: the next run did not complete the update"
                            % (kill, delay))
        left = leftovers(app, tmp)
        if left:
            counts["leftovers after recovery"] += 1
            problems.append("kill %d after %.3f s: left behind: %s" % (kill, delay, ", ".join(left)))

    server.terminate()
    print("kill campaign: %d kills over a run of %.3f s (seed %d)" % (args.kills, span, args.seed))
    for name, count in counts.items():
        print("  %-26s %d" % (name, count))
    for problem in problems:
        print("  FAULT: " + problem)
    if args.keep:
        print("  work folder: " + work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
