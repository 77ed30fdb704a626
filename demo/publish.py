#!/usr/bin/env python3
"""Builds the update servers' folders for the Kestrel start program.

usage: publish.py ROOT BASE_URL [ROOT BASE_URL ...] --client KESTREL_EXE [options]

For every update server, whose base URL is BASE_URL (it ends in
"/twkestrel/"), writes ROOT/twkestrel/ as a publisher lays it out:

  Kestrel.txt        the client's control file: the ten packages, each
                     fetched from BASE_URL into {APP}\\Cab and stamped there
                     with the date and time given for it
  KestrelStart.txt   the start program's control file
  *.cab              the ten packages, real cabinets made with gcab; the
                     client KESTREL_EXE goes into Kestrel.cab, the others
                     hold small stand-ins for the client's libraries
  KestrelStart.exe_New   with --start-program: the start program offered

Every server gets the same packages with the same dates; each server's
control files name its own URLs, so either can serve a start alone.

Options:
  --start-program FILE  offer FILE as the start program. KestrelStart.txt
                        then names its version, and a start program older
                        than it downloads it and restarts through the
                        restarter; one of the same version finds nothing new.
                        Without it KestrelStart.txt offers nothing.
  --kupdate FILE        the kupdate program that reads the version of the
                        start program (default: next to KESTREL_EXE)
  --date DD/MM/YYYY --time HH:NN
                        the date and time every package is published with
                        (default: the time its content was first published,
                        to the minute)
  --revision TEXT       goes into the stand-ins, so a new revision makes new
                        packages (default: 1)
  --sign SECRET_KEY     sign both control files with this secret key (not
                        encrypted; from kupdate keygen or minisign -G -W)
                        into CONTROL_FILE.minisig, for a start program built
                        with the key's public half
  --pace MS             packages are fetched through the loopback test
                        server's pacing path, 4096 bytes every MS
                        milliseconds, so that a demo's progress can be seen

Every entry states the SHA-256 of its file, which a start program with a key
checks before it uses the file.

A package is rewritten only when its content changes, so publishing the same
content again keeps the date a client has already stamped its copy with, and
the client finds nothing new.
"""

import argparse
import datetime
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile

# The ten packages in the order of the start program's unpack table, with the
# folder each unpacks into and the demo files each holds: (name, size, seed).
# A size of 0 makes a small text stand-in; a larger size adds bytes that do
# not compress, so the packages take a moment to download.
PACKAGES = [
    ("Addin.cab", "Core", [("ChartAddin.bpl", 0), ("AlertAddin.bpl", 0), ("Addin.dat", 96 << 10)]),
    ("AppBpl.cab", "Core", [("KestrelApp.bpl", 0), ("KestrelQuote.bpl", 0), ("AppBpl.dat", 160 << 10)]),
    ("CommonUI.cab", "Core", [("CommonUI.bpl", 0), ("CommonUI.dat", 128 << 10)]),
    ("Kestrel.cab", "", None),  # the client program itself
    ("ExeLib.cab", "", [("KestrelLink.dll", 0), ("KestrelCrypt.dll", 0), ("ExeLib.dat", 64 << 10)]),
    ("IniFile.cab", "", [("Kestrel.ini", 0), ("Servers.ini", 0)]),
    ("KernelBPL.cab", "System", [("KestrelKernel.bpl", 0), ("KestrelBase.bpl", 0),
                                 ("KernelBPL.dat", 256 << 10)]),
    ("Language.cab", "", [("Language_ENU.ini", 0), ("Language_CHT.ini", 0), ("Language.dat", 48 << 10)]),
    ("PMMServer.cab", "", [("PMMServer.dll", 0), ("PMMServer.ini", 0), ("PMMServer.dat", 192 << 10)]),
    ("ShareBpl.cab", "Core", [("ShareData.bpl", 0), ("ShareNet.bpl", 0), ("ShareBpl.dat", 96 << 10)]),
]

# The start program downloads its successor under this name into its Temp
# folder; the restarter copies it over KestrelStart.exe.
START_PROGRAM = "KestrelStart.exe"
START_OFFERED = START_PROGRAM + "_New"

# Every file goes into a cabinet with this time, so equal content makes
# equal cabinets.
ENTRY_TIME = datetime.datetime(2026, 1, 1, 9, 0).timestamp()


def stand_in(package, name, size, revision):
    if size == 0:
        if name.endswith(".ini"):
            return ("; Kestrel demo settings, %s\r\n[%s]\r\nrevision=%s\r\n"
                    % (package, os.path.splitext(name)[0], revision)).encode()
        return ("Kestrel demo stand-in for the library %s (package %s, revision %s).\r\n"
                % (name, package, revision)).encode()
    seed = "%s/%s/%s" % (package, name, revision)
    return random.Random(seed).randbytes(size)


def make_cabinet(files):
    """Packs (name, bytes or source path) pairs into the cabinet target."""
    with tempfile.TemporaryDirectory() as staging:
        names = []
        for name, content in files:
            path = os.path.join(staging, name)
            if isinstance(content, bytes):
                with open(path, "wb") as f:
                    f.write(content)
            else:
                shutil.copyfile(content, path)
            os.utime(path, (ENTRY_TIME, ENTRY_TIME))
            names.append(name)
        made = os.path.join(staging, "made.cab")
        subprocess.run(["gcab", "-c", "-z", made] + names, cwd=staging, check=True)
        with open(made, "rb") as f:
            return f.read()


def put(path, content):
    """Writes the file unless it already holds exactly this content; tells
    whether it wrote."""
    try:
        with open(path, "rb") as f:
            if f.read() == content:
                return False
    except FileNotFoundError:
        pass
    partial = path + ".partial"
    with open(partial, "wb") as f:
        f.write(content)
    os.replace(partial, path)
    return True


def put_control_file(path, lines, secret_key):
    """Writes a control file, and signs it again when it changed."""
    written = put(path, control_file(lines))
    signature = path + ".minisig"
    if secret_key and (written or not os.path.exists(signature)):
        subprocess.run(["minisign", "-S", "-s", secret_key, "-m", path], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    elif not secret_key and os.path.exists(signature):
        os.remove(signature)


def sha256(content):
    return hashlib.sha256(content).hexdigest()


def file_version(kupdate, path):
    out = subprocess.run([kupdate, "checksum", path], check=True, capture_output=True,
                         text=True).stdout
    for field in out.rstrip("\n").split("\t")[1:]:
        key, _, value = field.partition("=")
        if key == "version":
            return value
    return ""


def control_file(lines):
    return ("\r\n".join(lines) + "\r\n").encode()


def package_base(base_url, pace):
    if not pace:
        return base_url
    scheme, _, rest = base_url.partition("://")
    host, _, path = rest.partition("/")
    return "%s://%s/slow/%d/%s" % (scheme, host, pace, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("servers", nargs="+", metavar="ROOT BASE_URL")
    parser.add_argument("--client", required=True)
    parser.add_argument("--start-program")
    parser.add_argument("--kupdate")
    parser.add_argument("--date")
    parser.add_argument("--time")
    parser.add_argument("--revision", default="1")
    parser.add_argument("--pace", type=int)
    parser.add_argument("--sign")
    args = parser.parse_args()
    if len(args.servers) % 2:
        parser.error("ROOT and BASE_URL come in pairs")
    servers = list(zip(args.servers[0::2], args.servers[1::2]))
    for _, base_url in servers:
        if not base_url.endswith("/twkestrel/"):
            parser.error("%s must end in /twkestrel/" % base_url)
    if bool(args.date) != bool(args.time):
        parser.error("--date and --time go together")
    folders = [os.path.join(root, "twkestrel") for root, _ in servers]
    for folder in folders:
        os.makedirs(folder, exist_ok=True)

    control = [["; The Kestrel client: ten packages, fetched into the Cab folder and",
                "; unpacked by the start program. Every package is selected by its date,",
                "; time and size against the copy in the Cab folder. No entry is marked",
                "; compressed: the start program unpacks the packages, not the engine.",
                "[update]", "descr=Kestrel client packages", "unconditional=1",
                "[files]", "count=%d" % len(PACKAGES)] for _ in servers]
    for n, (name, unpacks_into, contents) in enumerate(PACKAGES, 1):
        if contents is None:
            files = [("Kestrel.exe", args.client)]
        else:
            files = [(f, stand_in(name, f, size, args.revision)) for f, size in contents]
        cabinet = make_cabinet(files)
        # The first server's copy keeps the time the content was first
        # published; the others take it over.
        first = os.path.join(folders[0], name)
        put(first, cabinet)
        published = os.stat(first).st_mtime
        for folder in folders[1:]:
            put(os.path.join(folder, name), cabinet)
            os.utime(os.path.join(folder, name), (published, published))
        if args.date:
            date, time = args.date, args.time
        else:
            stamp = datetime.datetime.fromtimestamp(published)
            date, time = stamp.strftime("%d/%m/%Y"), stamp.strftime("%H:%M")
        for lines, (_, base_url) in zip(control, servers):
            lines += ["[file%d]" % n,
                      "descr=%s (unpacked into %s)" % (name, unpacks_into or "the program folder"),
                      "url=%s%s" % (package_base(base_url, args.pace), name),
                      "targetdir={APP}\\Cab",
                      "localversion={APP}\\Cab\\%s" % name,
                      "date=%s" % date,
                      "time=%s" % time,
                      "filesize=%d" % len(cabinet),
                      "sha256=%s" % sha256(cabinet)]
    for lines, folder in zip(control, folders):
        put_control_file(os.path.join(folder, "Kestrel.txt"), lines, args.sign)

    offered = None
    version = None
    if args.start_program:
        kupdate = args.kupdate or os.path.join(os.path.dirname(args.client), "kupdate")
        version = file_version(kupdate, args.start_program)
        if not version:
            sys.exit("publish.py: %s has no file version" % args.start_program)
        with open(args.start_program, "rb") as f:
            offered = f.read()
    for folder, (_, base_url) in zip(folders, servers):
        start = ["; The Kestrel start program."]
        offered_path = os.path.join(folder, START_OFFERED)
        if offered is None:
            if os.path.exists(offered_path):
                os.remove(offered_path)
            start += ["[update]", "descr=Kestrel start program"]
        else:
            put(offered_path, offered)
            # A copy older than the offered version fetches it into its Temp
            # folder, which is where the restarter takes it from.
            start += ["[update]", "descr=Kestrel start program %s" % version,
                      "localversion={APP}\\%s" % START_PROGRAM, "newversion=%s" % version,
                      "[application]", "appupdate=1", "appname=%s" % START_PROGRAM,
                      "appcomps=%s" % START_OFFERED, "silentrestart=1",
                      "[files]", "count=1",
                      "[file1]", "descr=Kestrel start program %s" % version,
                      "url=%s%s" % (base_url, START_OFFERED),
                      "targetdir={APP}\\Temp",
                      "localversion={APP}\\%s" % START_PROGRAM,
                      "newversion=%s" % version,
                      "sha256=%s" % sha256(offered)]
        put_control_file(os.path.join(folder, "KestrelStart.txt"), start, args.sign)
    return 0


if __name__ == "__main__":
    sys.exit(main())
