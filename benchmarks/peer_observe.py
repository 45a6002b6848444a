#!/usr/bin/env python3
"""What a user would script on Linux instead of 'larkspire-computer' observe:
a pyatspi walk of one window reading what our observe reads of each node,
then ImageMagick's `import -window` of the same window as a PNG. The
yardstick of benchmarks/observe_desktop.py, which times this program as a
whole (interpreter start included).

    /usr/bin/python3 benchmarks/peer_observe.py PID XWINDOW

PID is the application's process, XWINDOW the X window to picture. The
accessible window walked is the application's first showing top-level
object. Prints one JSON line: the nodes walked and the picture's size.
"""

import collections
import json
import struct
import subprocess
import sys

import pyatspi


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    sys.exit(f"no accessible application of process {pid}")


def window_of(app):
    for i in range(app.childCount):
        window = app.getChildAtIndex(i)
        if window is not None and window.getState().contains(pyatspi.STATE_SHOWING):
            return window
    sys.exit("the application shows no window")


def read(node):
    """The facts our walk reads of each node: role, name, description,
    states, interfaces, parent, child count; extents of showing components,
    action names of actionable ones."""
    role = node.getRole()
    name = node.name
    description = node.description
    states = node.getState()
    interfaces = node.get_interfaces()
    node.parent  # noqa: B018 (read, as ours reads it)
    count = node.childCount
    extents = None
    if "Component" in interfaces and states.contains(pyatspi.STATE_SHOWING):
        extents = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    actions = []
    if "Action" in interfaces:
        action = node.queryAction()
        actions = [action.getName(i) for i in range(action.nActions)]
    editable = "EditableText" in interfaces and states.contains(pyatspi.STATE_EDITABLE)
    return role, name, description, actions, editable, extents, count


def main():
    pid, xwindow = int(sys.argv[1]), sys.argv[2]
    root = window_of(application(pid))
    nodes = 0
    queue = collections.deque([root])
    while queue:
        node = queue.popleft()
        nodes += 1
        count = read(node)[-1]
        for i in range(count):
            child = node.getChildAtIndex(i)
            if child is not None:
                queue.append(child)
    png = subprocess.run(["import", "-window", xwindow, "png:-"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, check=True).stdout
    if png[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("import gave no PNG")
    width, height = struct.unpack(">II", png[16:24])
    print(json.dumps({"nodes": nodes, "width": width, "height": height}))


if __name__ == "__main__":
    main()
