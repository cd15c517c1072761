import fakeserver

fakeserver.record_launch()
s = fakeserver.server()
print('Serving on http://127.0.0.1:%d/' % fakeserver.port)
fakeserver.exit_on_sigterm()
s.serve_forever()
