#!/usr/bin/python3
"""Reads the terminal's windows through AT-SPI: demo-probe.py --pid PID COMMAND [ARGUMENT]

ready            the main window or a message box is showing
title [DESC]     title of the showing window that holds the control whose description
                 is DESC; without DESC, of the main window
name DESC        accessible name of the control whose description is DESC
octets           the four octet boxes, joined by dots
point DESC [right]
                 screen point inside the control (its centre, or near its right edge)
item NAME        centre of the showing list item NAME (an open drop-down list)
dialog           text of the open message box; exit 1 when none is open
ok               presses OK in the open message box
close WINDOW     asks the X window WINDOW to close, as a window manager's close button
                 does (needs no --pid)

PID is the process of the terminal. Controls are found by their description, which is
the name the program gives each control (btnConnect(0), txtTcp1, rtfReceive); the main
window is the program's top-level frame that holds the control Frame1. Exit status 0
when the command found what it asked for, 1 when not, 2 for a wrong command line.
Runs with the system's python, where Debian's python3-pyatspi and python3-xlib live.
"""
import argparse
import sys

# The control that only the main window holds.
MAIN_WINDOW_CONTROL = "Frame1"


def close(window_id):
    from Xlib import X, display, protocol
    d = display.Display()
    w = d.create_resource_object("window", window_id)
    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    event = protocol.event.ClientMessage(window=w, client_type=protocols,
                                         data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    w.send_event(event, event_mask=X.NoEventMask)
    d.flush()


def application(pid):
    import pyatspi
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            pass
    return None


def children(node):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield child


def descendants(node):
    for child in children(node):
        yield child
        yield from descendants(child)


def holds(window, description):
    """Whether the window holds a control with this description, nearest levels first."""
    level = [window]
    while level:
        below = []
        for node in level:
            for child in children(node):
                if child.description == description:
                    return True
                below.append(child)
        level = below
    return False


def showing(node):
    import pyatspi
    return node.getState().contains(pyatspi.STATE_SHOWING)


def text_of(node):
    try:
        t = node.queryText()
        return t.getText(0, t.characterCount)
    except NotImplementedError:
        return node.name


def windows(app):
    """The main window and the other showing top-level windows (message boxes)."""
    import pyatspi
    main, others = None, []
    for w in children(app):
        if main is None and w.getRole() == pyatspi.ROLE_FRAME and holds(w, MAIN_WINDOW_CONTROL):
            main = w
        elif showing(w):
            others.append(w)
    return main, others


def window_holding(app, description):
    for w in children(app):
        if showing(w) and holds(w, description):
            return w
    return None


def control(app, description):
    main, _ = windows(app)
    for node in descendants(main) if main else []:
        if node.description == description:
            return node
    return None


def centre(node, right=False):
    import pyatspi
    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    if e.width <= 0 or e.height <= 0 or not showing(node):
        return None
    x = e.x + e.width - 8 if right else e.x + e.width // 2
    return "%d %d" % (x, e.y + e.height // 2)


def dialog_text(app):
    _, others = windows(app)
    lines = []
    for w in others:
        for node in descendants(w):
            role = node.getRoleName()
            if role in ("label", "static") and node.name:
                lines.append(node.name)
            elif role == "text":
                lines.append(text_of(node))
    return "\n".join(line.replace("\r\n", "\n") for line in lines if line)


def run(command, arguments, pid):
    if command == "close":
        close(int(arguments[0]))
        return 0
    app = application(pid)
    if app is None:
        return 1
    argument = arguments[0] if arguments else ""
    if command == "ready":
        main_window, others = windows(app)
        return 0 if others or (main_window is not None and showing(main_window)) else 1
    if command == "title":
        window = window_holding(app, argument or MAIN_WINDOW_CONTROL)
        if window is not None:
            print(window.name)
        return 0 if window is not None else 1
    if command == "name":
        node = control(app, argument)
        print(node.name if node else "?")
        return 0 if node else 1
    if command == "octets":
        boxes = [control(app, "txtTcp%d" % i) for i in range(1, 5)]
        print(".".join(text_of(b) if b else "?" for b in boxes))
        return 0
    if command == "point":
        node = control(app, argument)
        right = len(arguments) > 1 and arguments[1] == "right"
        point = centre(node, right) if node else None
        if point:
            print(point)
        return 0 if point else 1
    if command == "item":
        for node in descendants(app):
            if node.getRoleName() == "list item" and node.name == argument:
                point = centre(node)
                if point:
                    print(point)
                    return 0
        return 1
    if command == "dialog":
        text = dialog_text(app)
        if text:
            print(text)
        return 0 if text else 1
    if command == "ok":
        _, others = windows(app)
        for w in others:
            for node in descendants(w):
                if node.getRoleName() == "push button" and node.name.replace("&", "") == "OK":
                    node.queryAction().doAction(0)
                    return 0
        return 1
    return 2


# The commands, and how many arguments each takes (at least, at most).
COMMANDS = {"ready": (0, 0), "title": (0, 1), "name": (1, 1), "octets": (0, 0),
            "point": (1, 2), "item": (1, 1), "dialog": (0, 0), "ok": (0, 0), "close": (1, 1)}


def main(argv):
    parser = argparse.ArgumentParser(add_help=False, usage=__doc__)
    parser.add_argument("--pid", type=int)
    parser.add_argument("command")
    parser.add_argument("arguments", nargs="*")
    try:
        args = parser.parse_args(argv[1:])
    except SystemExit:
        return 2
    least, most = COMMANDS.get(args.command, (1, 0))
    if not least <= len(args.arguments) <= most or (args.pid is None and args.command != "close"):
        print(__doc__, file=sys.stderr)
        return 2
    return run(args.command, args.arguments, args.pid)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
