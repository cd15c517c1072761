# A stand-in for the served application, installed by the tests as the
# payload's app.py. What it does is read from behaviour.json beside it:
#   record   file that gets a line with the launch's secret when the server
#            starts, one line per HTTP request ("GET /path"), and for the
#            root a line with the Cookie header it brought
#   mode     "serve" (default), "ignore-term" (serves, but ignores SIGTERM),
#            "cache-forever" (its script tells browsers to keep it a year)
#            or "pending" (the page has work pending from its start)
# The page has a text field, a link to another site, one that asks for a new
# window and plain text. It polls /ping, reports the width of its viewport
# in CSS pixels (which page zoom divides) as "GET /report?w=N", asks for
# notifications on "n" and reports the answer ("GET /notification?granted")
# before showing one, and on "g" moves itself to /go, which redirects to
# another site. "s" asks the shell for the sign-in window, "o" signs out of
# 127.0.0.1 and reports it done ("GET /signed-out?true"). What the shell
# sends it is reported as "GET /shell?<JSON>". It loads /static/app.js,
# which asks for /pwned when it comes from a "cache-forever" server and for
# /fine otherwise.
import http.server
import json
import os
import signal
import socket
import sys

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "behaviour.json"), encoding="utf-8") as f:
    behaviour = json.load(f)

port = int(sys.argv[sys.argv.index("--port") + 1])
mode = behaviour.get("mode", "serve")
# What the shell gave this launch, so that a test can compare it with the
# cookie the window sends.
with open(behaviour["record"], "a", encoding="utf-8") as rec:
    rec.write("secret %s\n" % os.environ.get("ZORMAK_LAUNCH_SECRET", ""))

if mode == "ignore-term":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>fake</title><style>
body{margin:0;font:20px sans-serif;background:#f4f4fa}
#field{position:absolute;left:40px;top:40px;width:400px;font-size:20px}
#out{position:absolute;left:40px;top:120px}
#text{position:absolute;left:40px;top:200px}
#popup{position:absolute;left:40px;top:400px}
</style></head><body>
<input id="field" value="可以编辑的文字 editable text">
<a id="out" href="http://outside.invalid/page">一个链接 a link</a>
<p id="text">普通的文字 plain text</p>
<a id="popup" href="http://popup.invalid/new" target="_blank">新窗口 new window</a>
<img alt="" src="http://thumbs.invalid/t.png" width="1" height="1">
<script>
// Work pending from the start, before anyone clicked in the page, said the web's way.
if (PENDING_AT_START) window.addEventListener('beforeunload', function (ev) { ev.preventDefault(); });
// "n" asks for notifications, reports the answer and shows one when granted;
// "g" moves the page to an address that redirects to another site.
document.addEventListener('keydown', function (e) {
  if (e.target.id === 'field') return;
  if (e.key === 'g') location.href = '/go';
  if (e.key !== 'n') return;
  Notification.requestPermission().then(function (p) {
    fetch('/notification?' + p);
    if (p === 'granted') new Notification('下载完成', {body: '桌面通知 e2e'});
  });
});
// The shell's sign-in handler, asked the way the settings page asks it.
document.addEventListener('keydown', function (e) {
  var handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.zormakSignIn;
  if (!handler || e.target.id === 'field') return;
  if (e.key === 's') handler.postMessage({action: 'open'});
  if (e.key === 'o') handler.postMessage({action: 'signOut', site: '127.0.0.1'}).then(function (r) {
    fetch('/signed-out?' + r);
  });
});
setInterval(function(){fetch('/ping').catch(function(){});}, 200);
setInterval(function(){fetch('/report?w=' + window.innerWidth).catch(function(){});}, 200);
</script>
<script>
// The shell's side of the page: its events are reported as "GET /shell?JSON";
// "f" asks for the folder dialog.
var shell = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.zormak;
window.addEventListener('zormak-shell', function (e) { fetch('/shell?' + encodeURIComponent(JSON.stringify(e.detail))); });
document.addEventListener('keydown', function (e) { if (e.key === 'f' && e.target.id !== 'field') shell.postMessage('pick-folder'); });
if (shell) { shell.postMessage('clipboard:on'); shell.postMessage('ready'); }
</script>
<script src="/static/app.js"></script>
</body></html>"""


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(behaviour["record"], "a", encoding="utf-8") as rec:
            rec.write("GET %s\n" % self.path)
            if self.path == "/":
                rec.write("cookie %s\n" % self.headers.get("Cookie", ""))
        if self.path == "/go":
            self.send_response(302)
            self.send_header("Location", "http://outside.invalid/redirected")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        cache = None
        if self.path == "/api/status":
            body, kind = b'{"ok":true}', "application/json"
        elif self.path == "/static/app.js":
            forever = mode == "cache-forever"
            body = b"fetch('/pwned');" if forever else b"fetch('/fine');"
            kind = "application/javascript"
            cache = "max-age=31536000, immutable" if forever else "no-store"
        elif self.path == "/":
            page = PAGE.replace("PENDING_AT_START", "true" if mode == "pending" else "false")
            body, kind = page.encode("utf-8"), "text/html; charset=utf-8"
        else:
            body, kind = b"ok", "text/plain"
        self.send_response(200)
        self.send_header("Content-Type", kind)
        if cache:
            self.send_header("Cache-Control", cache)
        if self.path == "/":
            self.send_header("Set-Cookie", "kept=yes; Max-Age=86400; Path=/")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


# The socket the shell listens on, handed over as descriptor 3.
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler, bind_and_activate=False)
server.socket.close()
server.socket = socket.socket(fileno=3)
print("serving at http://127.0.0.1:%d" % port, flush=True)
server.serve_forever()
