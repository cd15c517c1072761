# A served application for the desktop tests, installed as the payload's
# app.py. Its page has a text field, a link and plain text, and reports the
# width of its viewport in CSS pixels (which page zoom divides) as
# "GET /report?w=N" lines in the record file named by behaviour.json. A
# check box gives it pending work (a beforeunload handler), "GET /pending?1";
# with mode "pending" it has some from the start. It asks for notifications and
# reports the answer, "GET /notification?granted", and shows one on "n".
import http.server
import json
import os
import socket
import sys

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "behaviour.json"), encoding="utf-8") as f:
    behaviour = json.load(f)

port = int(sys.argv[sys.argv.index("--port") + 1])

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>desktop</title><style>
body{margin:0;font:20px sans-serif;background:#f4f4fa}
#field{position:absolute;left:40px;top:40px;width:400px;font-size:20px}
#link{position:absolute;left:40px;top:120px}
#text{position:absolute;left:40px;top:200px}
#pending{position:absolute;left:40px;top:300px;width:30px;height:30px;margin:0}
</style></head><body>
<input id="field" value="可以编辑的文字 editable text">
<a id="link" href="http://outside.invalid/page">一个链接 a link</a>
<p id="text">普通的文字 plain text</p>
<input id="pending" type="checkbox">
<script>
// Checked, the page has work pending and says so the web's way.
document.getElementById('pending').addEventListener('change', function (e) {
  window.onbeforeunload = e.target.checked ? function (ev) { ev.preventDefault(); ev.returnValue = ''; } : null;
  fetch('/pending?' + (e.target.checked ? 1 : 0)).catch(function(){});
});
// Work the page had from its start, before anyone clicked in it.
if (PENDING_AT_START) {
  document.getElementById('pending').checked = true;
  window.addEventListener('beforeunload', function (ev) { ev.preventDefault(); });
}
// "n" asks for notifications, reports the answer and shows one when granted.
document.addEventListener('keydown', function (e) {
  if (e.key !== 'n' || e.target.id === 'field') return;
  Notification.requestPermission().then(function (p) {
    fetch('/notification?' + p);
    if (p === 'granted') new Notification('下载完成', {body: '桌面通知 e2e'});
  });
});
setInterval(function(){fetch('/report?w=' + window.innerWidth).catch(function(){});}, 200);
</script>
</body></html>"""


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(behaviour["record"], "a", encoding="utf-8") as rec:
            rec.write("GET %s\n" % self.path)
        if self.path == "/api/status":
            body, kind = b'{"ok":true}', "application/json"
        elif self.path == "/":
            page = PAGE.replace("PENDING_AT_START", "true" if behaviour["mode"] == "pending" else "false")
            body, kind = page.encode("utf-8"), "text/html; charset=utf-8"
        else:
            body, kind = b"ok", "text/plain"
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


if os.environ.get("LISTEN_FDS") == "1":
    # The socket the shell listens on, handed over as descriptor 3.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler, bind_and_activate=False)
    server.socket.close()
    server.socket = socket.socket(fileno=3)
else:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
print("serving at http://127.0.0.1:%d" % port, flush=True)
server.serve_forever()
