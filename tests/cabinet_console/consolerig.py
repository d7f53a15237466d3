"""A simulated rack, the controller and the console as processes, for the
browser tests, the console bench and the demo."""

import json
import os
import shlex
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_line(path, text, timeout, proc=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        if proc is not None and proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


class SimRack:
    """The simulated rack's command line program, one command per line."""

    def __init__(self, binary, folder, count, first_number=5001, kind="1300"):
        self.proc = subprocess.Popen(
            [binary, "--dir", folder, "--count", str(count), "--type", kind, "--first-number", str(first_number)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8", bufsize=1)
        self.port_base = self._read().split(" ", 1)[1]
        self.udevadm_dir = self._read().split(" ", 1)[1]
        ready = self._read()
        if not ready.startswith("ready"):
            raise RuntimeError("simrack did not start: " + ready)

    def _read(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("simrack ended")
        return line.rstrip("\n")

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        answer = self._read()
        if not answer.startswith("ok"):
            raise RuntimeError(command + " -> " + answer)
        return answer

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(5)
            except Exception:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


def hub_id(position):
    return "-1.%d:1.0" % position


class Rig:
    """A working folder with settings.ini, the controller and the console."""

    def __init__(self, console_bin, server_bin, simrack_bin, cells, devices, rest=30, columns=6, hub_cells=None):
        self.folder = tempfile.mkdtemp(prefix="console-rig-")
        self.ram = os.path.join(self.folder, "ram")
        os.mkdir(self.ram)
        self.console_bin = console_bin
        self.server_bin = server_bin
        self.rack = SimRack(simrack_bin, os.path.join(self.folder, "rack"), devices)
        self.controller_port = free_port()
        self.console_port = free_port()
        self.settings = os.path.join(self.folder, "settings.ini")
        with open(self.settings, "w", encoding="utf-8") as f:
            f.write("[Settings]\nkas_count_cell=%d\nPath_RAM=%s\ntype_ppd=1300\nTime_energe_ppd=%d\n"
                    "port_base=%s\ntcp_port=%d\nrack_columns=%d\nconsole_listen=127.0.0.1:%d\n"
                    "console_users=%s\n" % (cells, self.ram, rest, self.rack.port_base, self.controller_port,
                                            columns, self.console_port, os.path.join(self.folder, "users")))
        if hub_cells:
            with open(os.path.join(self.folder, "hub.ini"), "w", encoding="utf-8") as f:
                f.write("".join(hub_id(p) + "\n" for p in range(1, hub_cells + 1)))
        self.env = dict(os.environ)
        self.env["PATH"] = self.rack.udevadm_dir + ":" + self.env.get("PATH", "")
        self.env["QT_MESSAGE_PATTERN"] = "%{message}"
        self.procs = []
        self.base = "http://127.0.0.1:%d" % self.console_port

    def add_user(self, name, role, password):
        subprocess.run([self.console_bin, "--settings", self.settings, "--add-user", name, role],
                       input=password + "\n", text=True, check=True, capture_output=True)

    def _start(self, argv, log_name, ready_text, timeout):
        log_path = os.path.join(self.folder, log_name)
        with open(log_path, "w") as log:
            proc = subprocess.Popen(argv, cwd=self.folder, env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.procs.append(proc)
        if not wait_for_line(log_path, ready_text, timeout, proc):
            raise RuntimeError(log_name + " did not start:\n" + open(log_path).read())
        return proc

    def start(self):
        server = shlex.split(os.environ.get("CABINET_SERVER_CMD", "")) or [self.server_bin]
        self.controller = self._start(server, "controller.log", "server is started", 120)
        self.console = self._start([self.console_bin, "--settings", self.settings], "console.log",
                                   "console listening on", 20)

    def command(self, request, timeout=60):
        """One command to the controller; the reply ends when it parses as JSON."""
        data = b""
        with socket.create_connection(("127.0.0.1", self.controller_port), 5) as s:
            s.sendall(json.dumps(request, ensure_ascii=False).encode("utf-8"))
            s.settimeout(timeout)
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                try:
                    return json.loads(data.decode("utf-8"), strict=False)
                except ValueError:
                    continue
        raise RuntimeError("no reply to %r: %r" % (request, data))

    def state_line(self, name, cell):
        with open(os.path.join(self.ram, name), encoding="utf-8") as f:
            lines = f.read().split("\n")
        return lines[cell - 1] if cell - 1 < len(lines) else None

    def hub_lines(self):
        with open(os.path.join(self.folder, "hub.ini"), encoding="utf-8") as f:
            return f.read().split("\n")[:-1]

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        self.rack.stop()
        subprocess.run(["rm", "-rf", self.folder], check=False)
