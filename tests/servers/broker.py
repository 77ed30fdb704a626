"""Starts Linux programs on behalf of Windows test programs running under Wine.

usage: broker.py start STATE_DIR | stop STATE_DIR

A Windows program under Wine cannot start a Linux program and keep a usable
handle or pipe to it, so the loopback servers and the shell commands the
tests need are started here. `start` runs the broker in the background on
127.0.0.1 (a port the system chooses) and returns once it listens, with the
port in STATE_DIR/port and its pid in STATE_DIR/pid; `stop` ends it and
every process it started. What the broker and its programs print goes to
STATE_DIR/log.

One request per connection, one JSON line:
  {"op": "spawn", "argv": [...], "cwd": "..."}
      starts the program and answers the first line it prints (a server's
      port; an empty line when it ends first). The program lives as long as
      the connection: when the client closes its side, the program's whole
      process group is killed, and then the broker closes the connection.
  {"op": "run", "command": "...", "cwd": "..."}
      runs the command through /bin/sh and answers its exit status as one
      line (-1 when a signal ended it).
Windows paths (C:\\x, Z:/x) in argv, cwd and command become Linux paths:
the drive through the Wine prefix's dosdevices/ link, \\ turned into /.
"""

import json
import os
import re
import signal
import socketserver
import subprocess
import sys
import threading
import time

WINDOWS_PATH = re.compile(r"(?<![\w])([A-Za-z]):([\\/][^\s'\"]*)")
children = set()
children_lock = threading.Lock()


def drive_root(letter):
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    link = os.path.join(prefix, "dosdevices", letter.lower() + ":")
    # Z: is the Linux root in every prefix, also one Wine has not made yet.
    if not os.path.exists(link) and letter in "zZ":
        return "/"
    return os.path.realpath(link)


def to_linux(text):
    return WINDOWS_PATH.sub(
        lambda m: drive_root(m.group(1)).rstrip("/") + m.group(2).replace("\\", "/"), text)


def start_child(args, **options):
    # Its own process group, so that what it starts goes with it.
    child = subprocess.Popen(args, start_new_session=True, stdin=subprocess.DEVNULL, **options)
    with children_lock:
        children.add(child)
    return child


def end_child(child):
    try:
        os.killpg(child.pid, signal.SIGTERM)
        child.wait(timeout=2)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
    with children_lock:
        children.discard(child)


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        request = json.loads(self.rfile.readline())
        cwd = to_linux(request.get("cwd") or "/")
        if not os.path.isdir(cwd):
            cwd = "/"
        if request["op"] == "spawn":
            child = start_child([to_linux(a) for a in request["argv"]], cwd=cwd,
                                stdout=subprocess.PIPE)
            try:
                self.wfile.write(child.stdout.readline().strip() + b"\n")
                self.wfile.flush()
                while self.request.recv(4096):
                    pass
            except OSError:
                pass
            finally:
                end_child(child)
        else:
            child = start_child(["/bin/sh", "-c", to_linux(request["command"])], cwd=cwd)
            status = child.wait()
            with children_lock:
                children.discard(child)
            self.wfile.write(b"%d\n" % (status if status >= 0 else -1))


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True


def serve(state):
    server = Server(("127.0.0.1", 0), Handler)

    def shut_down(*_):
        with children_lock:
            running = list(children)
        for child in running:
            end_child(child)
        os._exit(0)

    signal.signal(signal.SIGTERM, shut_down)
    with open(os.path.join(state, "port.new"), "w") as out:
        out.write("%d\n" % server.server_address[1])
    os.replace(os.path.join(state, "port.new"), os.path.join(state, "port"))
    server.serve_forever()


def stop(state):
    try:
        with open(os.path.join(state, "pid")) as f:
            pid = int(f.read())
        # The pid of a broker that ended long ago may name another program.
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if b"broker.py" not in f.read():
                raise ProcessLookupError
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            os.kill(pid, 0)
            time.sleep(0.05)
        os.kill(pid, signal.SIGKILL)
    except (OSError, ValueError):
        pass
    for name in ("port", "pid"):
        try:
            os.remove(os.path.join(state, name))
        except FileNotFoundError:
            pass


def start(state):
    stop(state)
    os.makedirs(state, exist_ok=True)
    with open(os.path.join(state, "log"), "ab") as log:
        broker = subprocess.Popen([sys.executable, __file__, "serve", state], stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(state, "pid"), "w") as out:
        out.write("%d\n" % broker.pid)
    for _ in range(200):
        if os.path.exists(os.path.join(state, "port")):
            return 0
        if broker.poll() is not None:
            break
        time.sleep(0.05)
    print("broker.py: the broker did not start; see " + os.path.join(state, "log"), file=sys.stderr)
    return 1


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "serve"):
        sys.exit(__doc__)
    sys.exit({"start": start, "stop": stop, "serve": serve}[sys.argv[1]](sys.argv[2]) or 0)
