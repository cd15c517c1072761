# Valid lines around an invalid byte, then a long flood of progress redraws
# without a line feed.
import os
import sys
import time

out = sys.stdout.buffer
for chunk in (b'before\n', b'bad \xff\n', b'after\n'):
    out.write(chunk)
    out.flush()
    time.sleep(0.1)
block = b'\r 42%' * 13107  # 64 KiB
for _ in range(int(os.environ.get('FLOOD_MB', '100')) * 16):
    out.write(block)
out.flush()
time.sleep(0.3)
