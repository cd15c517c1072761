# A character cut between two writes, with a pause between them so that they
# arrive as two reads, and an announcement in the line it ends.
import sys
import time

import fakeserver

out = sys.stdout.buffer
line = ('启动 http://127.0.0.1:%d 就绪\n' % fakeserver.port).encode()
cut = line.index('就'.encode()) + 1
out.write(line[:cut])
out.flush()
time.sleep(0.3)
out.write(line[cut:])
out.flush()
time.sleep(60)
