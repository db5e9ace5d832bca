"""Runs the Windows program under Wine on a private X display; reads each box's
text from Wine's trace, answers it with xdotool; close() ends Xvfb and wineserver."""
import os
import re
import subprocess
import tempfile
import time

BOX_CAPTIONS = re.compile(r"Tessaran|^ERROR$")
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


def decode_trace_text(line):
    """The text of a MSGBOX_OnInit trace line: L"..." with \\xxxx escapes."""
    body = line[line.index('L"') + 2:line.rindex('"')]
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c == "\\" and body[i + 1] in _ESCAPES:
            out.append(_ESCAPES[body[i + 1]])
            i += 2
        elif c == "\\":
            out.append(chr(int(body[i + 1:i + 5], 16)))
            i += 5
        else:
            out.append(c)
            i += 1
    return "".join(out)


ARCH = os.environ.get("WINE_ARCH", "win32")
LOADERS = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
# 32-bit Wine where the kernel hands 32-bit programs to qemu-i386
# (scripts/register-qemu-i386): Wine needs all of the 4 GiB space reserved,
# and everything takes about ten times as long.
EMULATED = ARCH == "win32" and os.path.exists("/proc/sys/fs/binfmt_misc/qemu-i386")
SLOWER = 10 if EMULATED else 1


def wine_can_run(arch=ARCH):
    """False where Wine of that width cannot start (32-bit Wine needs a kernel
    that runs 32-bit programs)."""
    try:
        return subprocess.run([LOADERS[arch], "--version"], capture_output=True,
                              timeout=60).returncode == 0
    except OSError:
        return False


class WineSession:
    def __init__(self, prefix, arch=ARCH):
        self.loader = LOADERS[arch]
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=arch, WINELOADER=self.loader,
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all")
        if EMULATED:
            self.env["QEMU_RESERVED_VA"] = "0xffff0000"
        self.xvfb = None
        self.wm = None
        self.wineserver = None
        self.returncode = None
        try:
            self._start_display()
            self._prepare_prefix(prefix)
            # A persistent server of our own keeps each run fast and has a known pid.
            self.wineserver = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env)
            # The first program starts Wine's services, which inherit its standard
            # handles and outlive it: start them here, where those lead nowhere.
            subprocess.run([self.loader, "cmd", "/c", "exit"], env=self.env, timeout=120 * SLOWER,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except BaseException:
            self.close()
            raise

    def _start_display(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        display = b""
        while not display.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            display += chunk
        os.close(read_end)
        self.env["DISPLAY"] = ":" + display.decode().strip()
        # Without a window manager Wine waits two seconds for each closed box to
        # be withdrawn; a small one answers at once.
        self.wm = subprocess.Popen(["matchbox-window-manager", "-use_titlebar", "no"],
                                   env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)

    def _prepare_prefix(self, prefix):
        if os.path.isdir(os.path.join(prefix, "drive_c")):
            return
        subprocess.run([self.loader, "wineboot", "-i"], env=self.env, check=True,
                       timeout=600 * SLOWER,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=120)

    def close(self):
        if self.wineserver and self.wineserver.poll() is None:
            # Ends the programs and services of this prefix, then the server itself.
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        for proc in (self.wineserver, self.wm, self.xvfb):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()

    def _xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True,
                              text=True, timeout=30).stdout

    def _visible_boxes(self):
        return self._xdotool("search", "--onlyvisible", "--name", BOX_CAPTIONS.pattern).split()

    def _find_box(self, last, timeout=120 * SLOWER):
        """The window of the box Wine has just traced. A box is shown only once
        the one before it closed, so the window answered last, if still listed,
        is that one's (the X server not done with it yet) or a new box given
        its id again: after a moment it counts as the new one."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            visible = self._visible_boxes()
            fresh = [wid for wid in visible if not last or wid != last[0]]
            if fresh:
                return fresh[0]
            if last and last[0] in visible and time.monotonic() - last[2] > 2:
                return last[0]
            time.sleep(0.1)
        raise RuntimeError("message box window not found")

    def run(self, exe, args, cwd, answer=lambda caption, text: "Return", timeout=180 * SLOWER):
        """Runs exe; answers each box with the key answer(caption, text) returns.
        Returns the boxes shown, as (caption, text) pairs; the exit code is
        left in self.returncode."""
        env = dict(self.env, WINEDEBUG="-all,+msgbox")
        # The trace goes to a file, not a pipe: Wine's helper processes inherit
        # the handle and would keep a pipe open after the program ends.
        with tempfile.TemporaryFile() as trace:
            proc = subprocess.Popen([self.loader, exe, *args], cwd=cwd, env=env,
                                    stdout=subprocess.DEVNULL, stderr=trace)
            try:
                return self._answer_boxes(proc, trace, answer, time.monotonic() + timeout)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()

    def _answer_boxes(self, proc, trace, answer, deadline):
        """Answers each box as Wine traces it, waiting for what it needs (the
        trace line, then the window) rather than for fixed delays, so that a
        loaded machine only makes it slower."""
        boxes, pending, offset = [], b"", 0
        last = None  # (window, key, when sent) of the box answered last
        while True:
            exited = proc.poll() is not None
            trace.seek(offset)
            chunk = trace.read()
            offset += len(chunk)
            pending += chunk
            *lines, pending = pending.split(b"\n")
            traced = [raw.decode("latin-1") for raw in lines]
            for line in traced:
                if "MSGBOX_OnInit" in line:
                    last = self._answer_one(decode_trace_text(line), last, answer, boxes)
            if exited and not chunk:
                break
            if time.monotonic() > deadline:
                raise RuntimeError("the program did not end in time")
            # A key sent before the box took input is lost: while the program
            # shows no next box and that window is still up, it goes again.
            if (last and not traced and not exited and time.monotonic() - last[2] > 5 and
                    last[0] in self._visible_boxes()):
                self._xdotool("key", "--window", last[0], last[1])
                last = (last[0], last[1], time.monotonic())
            time.sleep(0.05)
        self.returncode = proc.returncode
        return boxes

    def _answer_one(self, text, last, answer, boxes):
        wid = self._find_box(last)
        caption = self._xdotool("getwindowname", wid).rstrip("\n")
        key = answer(caption, text)
        self._xdotool("key", "--window", wid, key)
        boxes.append((caption, text))
        return wid, key, time.monotonic()
