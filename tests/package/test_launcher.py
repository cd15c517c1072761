"""The installed launcher entry starts the installed program wherever the install went:
by name from the system's bin folders, by its full path (quoted and escaped) elsewhere."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

BUILD = sys.argv.pop(1) if len(sys.argv) > 1 else os.environ.get("ZORMAK_BUILD", "build/default")
ENTRY = "share/applications/org.zormak.Zormak.desktop"


def program_of(exec_value: str) -> str:
    """The program an Exec value starts, read as the desktop entry format reads it."""
    value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r"}.get(m.group(1), m.group(1)),
                   exec_value)
    if value.startswith('"'):
        m = re.match(r'"((?:\\.|[^"\\])*)"', value)
        assert m, value
        program = re.sub(r"\\(.)", r"\1", m.group(1))
    else:
        program = value.split(" ")[0]
    return program.replace("%%", "%")


class LauncherTest(unittest.TestCase):
    def test_exec_names_the_installed_program(self):
        for prefix, named in (("/usr", "zormak"), ("/usr/local", "zormak"), ("/opt/zormak", None),
                              ("/home/用户/.local", None), ('/opt/a b/"x" $HOME `y` 100%', None)):
            with self.subTest(prefix=prefix), tempfile.TemporaryDirectory() as root:
                run = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix, "--component", "launcher"],
                                     env={**os.environ, "DESTDIR": root}, capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stderr)
                path = root + os.path.join(prefix, ENTRY)
                with open(path, encoding="utf-8") as f:
                    exec_value = re.search(r"^Exec=(.*)$", f.read(), re.M).group(1)
                self.assertEqual(program_of(exec_value), named or os.path.join(prefix, "bin", "zormak"))
                check = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


if __name__ == "__main__":
    unittest.main()
