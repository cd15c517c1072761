# The server and a child of its own both ignore SIGTERM.
import signal
import subprocess
import time

import fakeserver

signal.signal(signal.SIGTERM, signal.SIG_IGN)
kid = subprocess.Popen(['/usr/bin/python3', '-c',
                        'import signal,time; signal.signal(signal.SIGTERM, signal.SIG_IGN); '
                        'time.sleep(60)'])
with open('kid.pid', 'w') as f:
    f.write(str(kid.pid))
print('http://127.0.0.1:%d' % fakeserver.port, flush=True)
time.sleep(60)
