import fakeserver

# Lines naming other loopback servers come first, as a resumed download from
# a loopback site prints its address, then the real announcement.
s = fakeserver.server()
print('继续：http://127.0.0.1:%d/video.mp4' % (1 if fakeserver.port != 1 else 2), flush=True)
print('Serving on http://127.0.0.1:%d/' % fakeserver.port, flush=True)
fakeserver.exit_on_sigterm()
s.serve_forever()
