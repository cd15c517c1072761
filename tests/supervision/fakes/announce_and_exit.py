# Announces, answers the status poll and ends at once, a little later in some
# rounds than in others.
import os
import time

import fakeserver

fakeserver.serve_in_background()
print('http://127.0.0.1:%d' % fakeserver.port, flush=True)
time.sleep(int(os.environ['RACE_ROUND']) % 4 * 0.002)
os._exit(0)
