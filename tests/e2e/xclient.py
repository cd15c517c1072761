"""What the tests do to X windows as other X clients would, there being no
window manager under Xvfb: ask a window to close as a close button does, and
drop data onto it as a drag source does under XDND (version 5)."""
import ctypes
import time

x = ctypes.CDLL("libX11.so.6")
Display = ctypes.c_void_p
x.XOpenDisplay.restype = Display
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XCloseDisplay.argtypes = [Display]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [Display, ctypes.c_char_p, ctypes.c_int]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [Display]
x.XCreateSimpleWindow.restype = ctypes.c_ulong
x.XCreateSimpleWindow.argtypes = [Display, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                  ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
x.XSetSelectionOwner.argtypes = [Display, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
x.XSendEvent.argtypes = [Display, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XChangeProperty.argtypes = [Display, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                              ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
x.XPending.argtypes = [Display]
x.XNextEvent.argtypes = [Display, ctypes.c_void_p]
x.XFlush.argtypes = [Display]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", Display), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class SelectionRequest(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", Display), ("owner", ctypes.c_ulong), ("requestor", ctypes.c_ulong),
                ("selection", ctypes.c_ulong), ("target", ctypes.c_ulong),
                ("property", ctypes.c_ulong), ("time", ctypes.c_ulong)]


class SelectionNotify(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", Display), ("requestor", ctypes.c_ulong), ("selection", ctypes.c_ulong),
                ("target", ctypes.c_ulong), ("property", ctypes.c_ulong), ("time", ctypes.c_ulong)]


class Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("client", ClientMessage), ("request", SelectionRequest),
                ("notify", SelectionNotify), ("pad", ctypes.c_long * 24)]


CLIENT_MESSAGE, SELECTION_REQUEST, SELECTION_NOTIFY = 33, 30, 31


def open_display(name):
    d = x.XOpenDisplay(name.encode())
    if not d:
        raise OSError("cannot open display " + name)
    return d, lambda atom: x.XInternAtom(d, atom.encode(), 0)


def send(d, target, message_type, *values):
    """A 32-bit client message to `target`."""
    e = Event()
    e.client.type = CLIENT_MESSAGE
    e.client.window = target
    e.client.message_type = message_type
    e.client.format = 32
    for i, v in enumerate(values):
        e.client.l[i] = v
    x.XSendEvent(d, target, 0, 0, ctypes.byref(e))
    x.XFlush(d)


def close_window(display, window):
    """WM_DELETE_WINDOW, as a window manager's close button sends it."""
    d, atom = open_display(display)
    send(d, window, atom("WM_PROTOCOLS"), atom("WM_DELETE_WINDOW"))
    x.XCloseDisplay(d)


def drop(display, target, px, py, kind, data, timeout=10):
    """Enter with one offered type, a position, the drop, the data when the
    target asks for it; True once the target says it has finished."""
    d, atom = open_display(display)
    source = x.XCreateSimpleWindow(d, x.XDefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0)
    x.XSetSelectionOwner(d, atom("XdndSelection"), source, 0)
    offered = atom(kind)
    position = lambda: send(d, target, atom("XdndPosition"), source, 0, (px << 16) | py, 0,
                            atom("XdndActionCopy"))
    send(d, target, atom("XdndEnter"), source, 5 << 24, offered, 0, 0)
    position()
    deadline = time.monotonic() + timeout
    dropped = finished = False
    while not finished and time.monotonic() < deadline:
        if not x.XPending(d):
            time.sleep(0.01)
            continue
        e = Event()
        x.XNextEvent(d, ctypes.byref(e))
        if e.type == CLIENT_MESSAGE and e.client.message_type == atom("XdndStatus") and not dropped:
            if not e.client.l[1] & 1:  # not accepted yet
                position()
                time.sleep(0.05)
                continue
            send(d, target, atom("XdndDrop"), source, 0, 0)
            dropped = True
        elif e.type == CLIENT_MESSAGE and e.client.message_type == atom("XdndFinished"):
            finished = True
        elif e.type == SELECTION_REQUEST:
            r = e.request
            ok = r.target == offered
            if ok:
                x.XChangeProperty(d, r.requestor, r.property, r.target, 8, 0, data, len(data))
            n = Event()
            n.notify.type = SELECTION_NOTIFY
            n.notify.requestor, n.notify.selection = r.requestor, r.selection
            n.notify.target, n.notify.property, n.notify.time = r.target, r.property if ok else 0, r.time
            x.XSendEvent(d, r.requestor, 0, 0, ctypes.byref(n))
            x.XFlush(d)
    x.XCloseDisplay(d)
    return finished
