# Much output written just before the end: the exit line must come after it.
import os
import sys

for i in range(2000):
    sys.stdout.write('line %d\n' % i)
sys.stdout.write('bye\n')
sys.stdout.flush()
os._exit(int(os.environ.get('FAKE_EXIT', '0')))
