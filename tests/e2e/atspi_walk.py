#!/usr/bin/python3
"""Walks one window of a program through AT-SPI, as a screen reader sees it.

Usage: atspi_walk.py APP_NAME WINDOW_TITLE [ROLE=NAME | NAME~=TEXT ...]

Prints every node under the window (depth, role, name, and "focusable" where it is). Fails
(status 1) when the window is not there, when a focusable control that shows has no name, or
when one of the ROLE=NAME pairs (AT-SPI role names, e.g. "push button=OK") is missing, or when
the node named NAME of a NAME~=TEXT pair does not hold TEXT (an edit field's contents).
"""
import sys

import pyatspi


def walk(node, depth, out):
    out.append((depth, node))
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            walk(child, depth + 1, out)


def find_window(app_name, title):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None or app.name != app_name:
            continue
        for window in app:
            if window is not None and window.name == title:
                return window
    return None


def text_of(node):
    try:
        return node.queryText().getText(0, -1)
    except NotImplementedError:
        return None


def main():
    app_name, title, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
    window = find_window(app_name, title)
    if window is None:
        print(f"no window {title!r} of {app_name!r} on the accessibility bus")
        return 1
    nodes = []
    walk(window, 0, nodes)
    unnamed, seen = [], set()
    for depth, node in nodes:
        states = node.getState()
        focusable = states.contains(pyatspi.STATE_FOCUSABLE)
        showing = states.contains(pyatspi.STATE_SHOWING)
        role, name = node.getRoleName(), node.name or ""
        seen.add(f"{role}={name}")
        if (text := text_of(node)) is not None:
            seen.add(f"{name}~={text}")
        print(f"{'  ' * depth}{role}: {name!r}{' focusable' if focusable else ''}")
        if focusable and showing and not name.strip():
            unnamed.append(role)
    status = 0
    if unnamed:
        print(f"focusable controls without a name: {', '.join(unnamed)}")
        status = 1
    for pair in wanted:
        if pair not in seen:
            print(f"missing: {pair}")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
