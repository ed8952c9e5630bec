"""The real windows under an X server with a window manager.

Starts Xvfb on a free display, openbox on it and the built program on its own
settings (loopback addresses 127.0.11.x only), drives it with xdotool as a user
would and reads what the window manager sees with xprop and xwininfo. Shows that:
  1. the main window is a normal top-level window (type NORMAL, not transient),
     titled "Orvane Pallador", not left out of the taskbar, fixed at 608 x 411,
     and centred on the screen with its frame;
  2. Return and keypad Enter in the universe list press no button: the next
     double click opens the port dialog of the row clicked;
  3. the port dialog is modal and transient for the main window, fixed at
     318 x 177 and centred on the screen with its frame, and a click on the
     main window behind it changes nothing;
  4. a click on a check box makes its row current: the row carries the focus
     mark;
  5. the close buttons of the title bars close the dialog without a change and
     close the program, which saves its settings.

Exits with 77 (skipped) when Xvfb, openbox, xdotool, xprop, xwininfo or
ImageMagick are missing. Usage:
  window_manager_test.py --pallador <binary> [--keep]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

SKIP = 77
TITLE = "Orvane Pallador"
DIALOG_TITLE = "Port configuration"
MAIN_SIZE = (608, 411)
DIALOG_SIZE = (318, 177)
INPUT_IP = "127.0.11.1"
BIND_IP = "127.0.11.2"
DESTINATION_IP = "127.0.11.3"
FOCUS_COLOUR = (0xE0, 0x60, 0x7A)

# Client-area layout of the main window: the list's first row starts below
# its frame line and the 21 px header; rows are 17 px.
LIST_LEFT, LIST_TOP, LIST_WIDTH = 16, 83, 577
FIRST_ROW_TOP = LIST_TOP + 1 + 21
ROW_HEIGHT = 17


class Failure(Exception):
    pass


class Checks:
    def __init__(self):
        self.failed = []

    def __call__(self, point, ok, text):
        print("[%s] %s: %s" % ("PASS" if ok else "FAIL", point, text), flush=True)
        if not ok:
            self.failed.append("%s: %s" % (point, text))
        return ok


def wait_for(predicate, timeout_s, what):
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.05)


class Desktop:
    """Xvfb with openbox; every process it starts is ended by its PID."""

    def __init__(self, work):
        self.work = work
        self.processes = []
        self.env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SESSION_MANAGER"):
            self.env.pop(name, None)
        # openbox reads its configuration below HOME: keep the user's out.
        self.env["HOME"] = work
        self.env["XDG_CONFIG_HOME"] = os.path.join(work, "config")
        self.env["XDG_RUNTIME_DIR"] = work
        os.chmod(work, 0o700)

    def start(self):
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(xvfb)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as display_fd:
            number = display_fd.readline().strip()
        if not number:
            raise Failure("Xvfb did not report a display")
        self.env["DISPLAY"] = ":" + number.decode()
        print("display", self.env["DISPLAY"], flush=True)
        self.processes.append(subprocess.Popen(
            ["openbox"], env=self.env, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.work, "openbox.txt"), "w")))
        wait_for(lambda: "window id" in self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]),
                 20, "openbox")

    def launch(self, argv, stderr_path):
        process = subprocess.Popen(argv, env=self.env, cwd=self.work,
                                   stdout=subprocess.DEVNULL, stderr=open(stderr_path, "w"))
        self.processes.append(process)
        return process

    def run(self, argv):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=20)
        return result.stdout

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()

    # What the window manager and the server know of a window.
    def prop(self, window, name):
        out = self.run(["xprop", "-id", str(window), "-notype", name])
        if "not found" in out or "no such atom" in out:
            return None
        return out.split("=", 1)[1].strip() if "=" in out else out.strip()

    def atoms(self, window, name):
        value = self.prop(window, name)
        return [a.strip() for a in value.split(",")] if value else []

    def geometry(self, window):
        """(x, y, width, height) of the client area on the screen."""
        out = self.run(["xwininfo", "-id", str(window)])
        field = lambda label: int(re.search(label + r":\s+(-?\d+)", out).group(1))
        return (field("Absolute upper-left X"), field("Absolute upper-left Y"),
                field("Width"), field("Height"))

    def frame(self, window):
        """(x, y, width, height) of the window with its frame, or None before it has one."""
        extents = self.prop(window, "_NET_FRAME_EXTENTS")
        if not extents:
            return None
        left, right, top, bottom = (int(v) for v in extents.split(","))
        x, y, w, h = self.geometry(window)
        return (x - left, y - top, w + left + right, h + top + bottom)

    def screen(self):
        out = self.run(["xwininfo", "-root"])
        return (int(re.search(r"Width:\s+(\d+)", out).group(1)),
                int(re.search(r"Height:\s+(\d+)", out).group(1)))

    def visible(self, title):
        out = self.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title)])
        return [int(w) for w in out.split()]

    def close_button(self, window):
        """The centre of the rightmost button of the window's title bar (openbox
        lays out its buttons by titleLayout, the close button last)."""
        client_x, client_y, _, _ = self.geometry(window)
        parent = re.search(r"Parent window id: (0x[0-9a-f]+)",
                           self.run(["xwininfo", "-tree", "-id", str(window)])).group(1)
        buttons = []
        for line in self.run(["xwininfo", "-tree", "-id", parent]).splitlines():
            m = re.search(r"(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$", line)
            if not m:
                continue
            w, h, x, y = (int(v) for v in m.groups())
            if w == h and 8 <= w <= 30 and y + h <= client_y and x > client_x:
                buttons.append((x + w // 2, y + h // 2))
        if not buttons:
            raise Failure("no title bar button found")
        return max(buttons)

    def click(self, x, y, repeat=1):
        argv = ["xdotool", "mousemove", str(x), str(y), "click"]
        if repeat > 1:
            argv += ["--repeat", str(repeat), "--delay", "80"]
        self.run(argv + ["1"])

    def pixel(self, window, x, y, image_tool):
        shot = os.path.join(self.work, "shot.png")
        self.run(["import", "-window", str(window), shot])
        out = subprocess.run([image_tool, shot, "-crop", "1x1+%d+%d" % (x, y), "+repage",
                              "-depth", "8", "txt:-"], capture_output=True, text=True).stdout
        m = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1] if out else "")
        return tuple(int(v) for v in m.groups()) if m else None

    def row_pixels(self, window, y, x_from, x_to, image_tool):
        shot = os.path.join(self.work, "shot.png")
        self.run(["import", "-window", str(window), shot])
        out = subprocess.run([image_tool, shot, "-crop", "%dx1+%d+%d" % (x_to - x_from, x_from, y),
                              "+repage", "-depth", "8", "txt:-"],
                             capture_output=True, text=True).stdout
        return [tuple(int(v) for v in m.groups())
                for m in re.finditer(r"\((\d+),(\d+),(\d+)", out)]


def settings_xml():
    slots = ['<interface port="%s" destination="" interfacetype="Art-Net Node (INPUT)" '
             'isinput="True" universe="0" universeartnet="0" channelcount="512" '
             'active="False"/>' % INPUT_IP]
    for u in range(16):
        slots.append('<interface port="%s" destination="%s" interfacetype="Art-Net Server '
                     '(OUTPUT)" isinput="False" universe="%d" universeartnet="%d" '
                     'channelcount="512" active="False"/>' % (BIND_IP, DESTINATION_IP, u, u))
    return "<config><interfaces>%s</interfaces></config>" % "".join(slots)


def centred(frame, screen):
    x, y, w, h = frame
    return abs(2 * x + w - screen[0]) <= 2 and abs(2 * y + h - screen[1]) <= 2


def settled_frame(desktop, window, screen):
    """The window's frame once it is centred (the program centres it again when
    the window manager has framed it), or as it is when that does not happen."""
    try:
        return wait_for(lambda: (lambda f: f if f and centred(f, screen) else None)(
            desktop.frame(window)), 10, "a centred frame")
    except Failure:
        return desktop.frame(window)


def row_centre(client, row, column_x):
    return (client[0] + LIST_LEFT + column_x,
            client[1] + FIRST_ROW_TOP + ROW_HEIGHT * row + ROW_HEIGHT // 2)


def exercise(desktop, pallador, image_tool, check):
    binary = os.path.join(desktop.work, "pallador")
    shutil.copy(pallador, binary)
    settings = os.path.join(desktop.work, "config_unibridge.xml")
    with open(settings, "w") as f:
        f.write(settings_xml())
    program = desktop.launch([binary], os.path.join(desktop.work, "stderr.txt"))
    screen = desktop.screen()

    # 1. The main window as the window manager sees it.
    main = wait_for(lambda: desktop.visible(TITLE), 20, "the main window")[0]
    frame = settled_frame(desktop, main, screen)
    check("main window", frame is not None and centred(frame, screen),
          "frame %s on a screen of %s" % (frame, screen))
    types = desktop.atoms(main, "_NET_WM_WINDOW_TYPE")
    check("main window", types == ["_NET_WM_WINDOW_TYPE_NORMAL"], "window type %s" % types)
    check("main window", desktop.prop(main, "WM_TRANSIENT_FOR") is None,
          "transient for %s" % desktop.prop(main, "WM_TRANSIENT_FOR"))
    state = desktop.atoms(main, "_NET_WM_STATE")
    check("main window", not {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
                              "_NET_WM_STATE_HIDDEN"} & set(state), "state %s" % state)
    check("main window", desktop.prop(main, "_NET_WM_NAME") == '"%s"' % TITLE,
          "title %s" % desktop.prop(main, "_NET_WM_NAME"))
    hints = desktop.run(["xprop", "-id", str(main), "WM_NORMAL_HINTS"])
    fixed = ("minimum size: %d by %d" % MAIN_SIZE in hints
             and "maximum size: %d by %d" % MAIN_SIZE in hints)
    actions = desktop.atoms(main, "_NET_WM_ALLOWED_ACTIONS")
    check("main window", fixed and desktop.geometry(main)[2:] == MAIN_SIZE
          and "_NET_WM_ACTION_RESIZE" not in actions
          and "_NET_WM_ACTION_MAXIMIZE_HORZ" not in actions,
          "fixed at %s, allowed %s" % (desktop.geometry(main)[2:], actions))

    # 2. Return and keypad Enter in the list, then a double click on row 5.
    client = desktop.geometry(main)
    desktop.click(*row_centre(client, 3, 120))
    desktop.run(["xdotool", "key", "Return", "KP_Enter"])
    # A loaded machine (a sanitizer build) may take the two clicks as two
    # single ones; a click on the Bind IP cell only selects, so try again.
    for attempt in range(3):
        desktop.click(*row_centre(client, 5, 120), repeat=2)
        try:
            dialogs = wait_for(lambda: desktop.visible(DIALOG_TITLE), 10, "the port dialog")
            break
        except Failure:
            if attempt == 2:
                raise
    dialog = dialogs[0]
    # In the universe mode of a row the destination field shows (black);
    # the input's dialog hides it.
    field = desktop.pixel(dialog, 250, 102, image_tool)
    check("Enter", len(dialogs) == 1 and field == (0, 0, 0),
          "%d dialog(s); destination field pixel %s" % (len(dialogs), field))

    # 3. The dialog: modal, transient for the main window, centred with its frame.
    dialog_frame = settled_frame(desktop, dialog, screen)
    check("dialog", dialog_frame is not None and centred(dialog_frame, screen),
          "frame %s on a screen of %s" % (dialog_frame, screen))
    transient = desktop.prop(dialog, "WM_TRANSIENT_FOR") or ""
    check("dialog", transient.endswith(hex(main)), "transient for %s (main %s)" % (
        transient, hex(main)))
    dialog_state = desktop.atoms(dialog, "_NET_WM_STATE")
    check("dialog", "_NET_WM_STATE_MODAL" in dialog_state, "state %s" % dialog_state)
    check("dialog", desktop.geometry(dialog)[2:] == DIALOG_SIZE,
          "size %s" % (desktop.geometry(dialog)[2:],))
    desktop.run(["import", "-window", "root", os.path.join(desktop.work, "dialog-open.png")])
    # Row 8's box lies left of the dialog: the click must not reach it.
    desktop.click(*row_centre(client, 8, 9))

    # 5. The dialog's close button: closed, nothing changed.
    desktop.click(*desktop.close_button(dialog))
    wait_for(lambda: not desktop.visible(DIALOG_TITLE), 10, "the dialog to close")

    # 4. A click on row 7's box makes row 7 current: it carries the focus mark.
    desktop.click(*row_centre(client, 7, 9))
    top = FIRST_ROW_TOP + ROW_HEIGHT * 7
    try:
        wait_for(lambda: desktop.row_pixels(main, top, LIST_LEFT + 1, LIST_LEFT + LIST_WIDTH - 1,
                                            image_tool).count(FOCUS_COLOUR) > 500,
                 5, "the focus mark on row 7")
        marked = True
    except Failure:
        marked = False
    check("focus", marked, "focus mark along the top of row 7")

    # 5. The main window's close button: the program ends and saves.
    desktop.click(*desktop.close_button(main))
    try:
        status = program.wait(15)
    except subprocess.TimeoutExpired:
        status = None
    check("close", status == 0, "exit status %s" % status)
    saved = ET.parse(settings).getroot().find("interfaces").findall("interface")
    active = [i for i, e in enumerate(saved) if e.get("active") == "True"]
    check("close", len(saved) == 17 and active == [8],
          "active slots after the close: %s (expected only slot 8, row 7)" % active)
    check("close", saved[0].get("port") == INPUT_IP and saved[6].get("destination") == DESTINATION_IP,
          "input %s, row 5 destination %s" % (saved[0].get("port"), saved[6].get("destination")))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pallador", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()

    image_tool = shutil.which("convert-im6.q16") or shutil.which("convert")
    missing = [t for t in ("Xvfb", "openbox", "xdotool", "xprop", "xwininfo", "import")
               if not shutil.which(t)]
    if missing or not image_tool:
        print("SKIP: missing %s (scripts/deps.sh installs them)" % " ".join(missing or ["convert"]))
        return SKIP

    work = tempfile.mkdtemp(prefix="pallador-wm-")
    desktop = Desktop(work)
    check = Checks()
    try:
        desktop.start()
        exercise(desktop, args.pallador, image_tool, check)
    except Failure as error:
        check("run", False, str(error))
    finally:
        desktop.stop()
        if check.failed:
            # What the program said (a sanitizer's report, say) tells why.
            with open(os.path.join(work, "stderr.txt"), errors="replace") as f:
                print(f.read()[-6000:])
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    if check.failed:
        print("FAILED:\n  " + "\n  ".join(check.failed))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
