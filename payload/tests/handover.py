"""Starts a program with a listening socket as descriptor 3 and LISTEN_PID
naming it, as the shell's spawner does between fork and exec.

Usage: handover.py FD [--no-pid] PROGRAM [ARGUMENTS...]
--no-pid leaves LISTEN_PID out, as posix_spawn must."""
import os
import sys

fd = int(sys.argv[1])
if fd != 3:
    os.dup2(fd, 3)
    os.close(fd)
os.set_inheritable(3, True)
program = sys.argv[2:]
if program[0] == "--no-pid":
    program = program[1:]
else:
    os.environ["LISTEN_PID"] = str(os.getpid())
os.execv(program[0], program)
