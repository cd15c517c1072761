import time

import fakeserver

# A server slow to start: a second passes before it serves at all.
time.sleep(1.0)
s = fakeserver.server()
print('Serving on http://127.0.0.1:%d/' % fakeserver.port, flush=True)
fakeserver.exit_on_sigterm()
s.serve_forever()
