import fakeserver

s = fakeserver.server()
fakeserver.exit_on_sigterm()
s.serve_forever()
