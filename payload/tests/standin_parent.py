"""Stands in for the shell: starts the command given as arguments the way the
shell starts the server (a process group of its own, output and errors on
one pipe), prints the child's pid and then copies the child's output.
The tests SIGKILL this process to see what its orphan does."""

import io
import os
import subprocess
import sys

# A listening socket handed over as descriptor 3 goes on to the server.
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, process_group=0,
                         pass_fds=(3,) if os.environ.get("LISTEN_FDS") == "1" else ())
sys.stdout.write(f"{child.pid}\n")
sys.stdout.flush()
output: io.BufferedReader = child.stdout  # type: ignore[assignment]
while chunk := output.read1(65536):
    sys.stdout.buffer.write(chunk)
    sys.stdout.flush()
sys.exit(child.wait())
