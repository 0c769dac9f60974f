"""The window as a screen reader meets it, through AT-SPI.

Run by screen-reader-test.sh on Xvfb with a private D-Bus session:
    ScreenReaderTest.py PROGRAM APPLIANCE FAKE_TOOLS

It switches assistive technologies on the way a screen reader does (org.a11y.Status IsEnabled),
starts the stand-in appliance and the real program, and then:
- lists every control of the window with its role, name and description; each one a user reaches
  or reads has a name, and the boxes and fields whose name alone says too little a description;
- presses Tab through the form and checks that the focus follows it from top to bottom;
- logs in with a wrong and then the right password, only through AT-SPI (text and actions), and
  checks that what a sighted user sees reaches the screen reader: the loading notice, the
  "Information" box with the appliance's message, the connected notice.
"""

import os
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

program, appliance, fakeTools = sys.argv[1:4]
address = "127.0.0.61"  # no other test serves on it
failures = []


def check(condition, what):
    print(("ok      " if condition else "FAILED  ") + what)
    if not condition:
        failures.append(what)


# A screen reader's start: assistive technologies on, for every program of the session.
session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                  GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled", GLib.Variant("b", True))),
                  None, Gio.DBusCallFlags.NONE, -1, None)
import pyatspi  # noqa: E402  (it connects to the accessibility bus when imported)

events = []


def remember(event):
    try:
        events.append((event.type, event.detail1, event.source.getRoleName(), event.source.name))
    except Exception:  # a source that went away meanwhile
        pass


pyatspi.Registry.registerEventListener(remember, "object:state-changed:showing",
                                       "object:state-changed:focused", "window:activate")
# A round trip to the registry: the accessibility bus is up before the program looks for it, as
# when a screen reader runs from the start of the session.
pyatspi.Registry.getDesktop(0).childCount
# And its address on the display, where a desktop session's bus launcher puts it: Qt reads it there
# at start. Without it Qt asks the session bus, and that path loses the connection now and then.
address_reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                  None, None, Gio.DBusCallFlags.NONE, -1, None)
subprocess.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                address_reply.unpack()[0]], check=True)


def pump(seconds, until=lambda: False):
    """Lets AT-SPI deliver its events until the condition holds or the time is up."""
    end = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while True:
        while context.pending():
            context.iteration(False)
        if until():
            return True
        if time.monotonic() > end:
            return False
        time.sleep(0.02)


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


home = tempfile.mkdtemp(prefix="velmora-a11y-")
os.mkdir(home + "/runtime", 0o700)
environment = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/config",
                   XDG_STATE_HOME=home + "/state", XDG_RUNTIME_DIR=home + "/runtime",
                   QT_QPA_PLATFORM="xcb", PATH=fakeTools + ":" + os.environ["PATH"])
stand_in = subprocess.Popen([appliance, "--listen", address + ":8090:https", "--user", "ann:secret"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
client = subprocess.Popen([program], env=environment, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
try:
    application = None

    def found():
        global application
        for candidate in pyatspi.Registry.getDesktop(0):
            if candidate is None or candidate.name != "VelmoraAuth":
                continue
            # The program may join the bus before its window exists; ask again, not the cache.
            candidate.clear_cache()
            if candidate.childCount:
                application = candidate
                return True
        return False

    if not pump(30, found):
        sys.exit("the program did not appear on the accessibility bus")
    window = application[0]
    pump(1)

    print("Controls of the window (role | name | description):")
    quiet = {"application", "frame", "filler", "layered pane", "panel", "scroll pane"}
    controls = {}
    for node in walk(window):
        role = node.getRoleName()
        if role in quiet and not node.getState().contains(pyatspi.STATE_FOCUSABLE):
            continue
        print(f"  {role} | {node.name!r} | {node.description!r}")
        controls[node.name] = node
        check(node.name.strip() != "", f"{role} has a name")
    for name in ["Auto detect IP address", "IP Address", "Auto detect Port address",
                 "Port Address", "Remember me", "Login", "Logout"]:
        check(name in controls and controls[name].description != "", f"{name} has a description")
    check(controls.get("Loading ...") is not None
          and controls["Loading ..."].getRoleName() == "notification",
          "the loading text is a notification")
    check(controls.get("You are connected to Internet") is not None
          and controls["You are connected to Internet"].getRoleName() == "notification",
          "the connected text is a notification")

    def press(name):
        action = controls[name].queryAction()
        action.doAction(0)

    def tab_order(count):
        """The names that get the focus as Tab is pressed, starting at the user name."""
        # A click into the field gives the window the keyboard, as a window manager would.
        field = controls["User name"].queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(field.x + field.width // 2,
                                            field.y + field.height // 2, "b1c")
        pump(2, lambda: controls["User name"].getState().contains(pyatspi.STATE_FOCUSED))
        order = ["User name"]
        for _ in range(count):
            del events[:]
            pyatspi.Registry.generateKeyboardEvent(0xFF09, None, pyatspi.KEY_SYM)  # Tab
            pump(2, lambda: any(e[0] == "object:state-changed:focused" and e[1] == 1
                                for e in events))
            focused = [e[3] for e in events if e[0] == "object:state-changed:focused" and e[1]]
            order.append(focused[-1] if focused else "(nothing)")
        return order

    start_order = ["User name", "Password", "Auto detect IP address", "Auto detect Port address",
                   "Remember me", "Login", "How to use", "Terms and condition", "User name"]
    seen = tab_order(len(start_order) - 1)
    print("Tab order, both boxes ticked: " + " > ".join(seen))
    check(seen == start_order, "Tab follows the form from top to bottom")

    press("Auto detect IP address")
    press("Auto detect Port address")
    pump(1, lambda: showing(controls["IP Address"]) and showing(controls["Port Address"]))
    full_order = ["User name", "Password", "Auto detect IP address", "IP Address",
                  "Auto detect Port address", "Port Address", "Remember me", "Login",
                  "How to use", "Terms and condition"]
    seen = tab_order(len(full_order) - 1)
    print("Tab order, both boxes unticked: " + " > ".join(seen))
    check(seen == full_order, "Tab reaches the address and port fields in their places")

    def type_into(name, text):
        controls[name].queryEditableText().setTextContents(text)

    def noticed(kind, role, name):
        return any(e[0] == kind and e[1] == 1 and e[2] == role and e[3] == name for e in events)

    type_into("User name", "ann")
    type_into("IP Address", address)
    type_into("Port Address", "8090")

    # A refused login: the loading notice, then the "Information" box with the appliance's text.
    type_into("Password", "wrong")
    del events[:]
    press("Login")
    check(pump(10, lambda: noticed("object:state-changed:showing", "notification", "Loading ...")),
          "a screen reader hears the loading notice")
    box = None

    def box_shown():
        global box
        for top in application:
            if top is not None and top.name == "Information" and showing(top):
                box = top
                return True
        return False

    check(pump(20, box_shown), "the Information box reaches the screen reader")
    if box is not None:
        texts = [node.name for node in walk(box) if node.getRoleName() == "label" and node.name]
        print(f"  Information box: role {box.getRoleName()}, texts {texts}")
        check(any("Invalid username or password" in text for text in texts),
              "the box's text is the appliance's message")
        check(any(kind in ("window:activate", "object:state-changed:showing") and on
                  and name == "Information" for kind, on, role, name in events),
              "the box announces itself when it opens")
        ok = next(node for node in walk(box) if node.getRoleName() == "push button")
        ok.queryAction().doAction(0)
        pump(5, lambda: not box_shown())

    # The right password: the loading notice again, then the connected notice.
    type_into("Password", "secret")
    del events[:]
    press("Login")
    check(pump(20, lambda: noticed("object:state-changed:showing", "notification",
                                   "You are connected to Internet")),
          "a screen reader hears the connected notice")
    check(noticed("object:state-changed:showing", "notification", "Loading ..."),
          "and the loading notice before it")
finally:
    client.terminate()
    stand_in.terminate()
    client.wait(10)
    stand_in.wait(10)

print(f"{len(failures)} failed" if failures else "all screen reader checks passed")
sys.exit(1 if failures else 0)
