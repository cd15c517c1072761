"""The payload's PAYLOAD_VERSION: the product's version first, then a digest
of what is bundled, so that a new version, changed files or another bundled
engine (and nothing else) make every installed runtime reinstall."""
import json
import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "payload", "tools"))
import assemble  # noqa: E402


class PayloadVersion(unittest.TestCase):
    def assembled(self, version, content, engine=("bookworm", "2023.03.04-1")):
        src = tempfile.mkdtemp(prefix="zormak-src-")
        dest = tempfile.mkdtemp(prefix="zormak-payload-")
        self.addCleanup(shutil.rmtree, src)
        self.addCleanup(shutil.rmtree, dest)
        with open(os.path.join(src, "app.py"), "w") as f:
            f.write(content)
        record = os.path.join(src, "engine.json")
        with open(record, "w") as f:
            json.dump({"source": engine[0], "package_version": engine[1]}, f)
        assemble.files(version, src, dest, record, [os.path.join(src, "app.py")])
        with open(os.path.join(dest, "PAYLOAD_VERSION")) as f:
            return f.read()

    def test_text_changes_with_the_version_and_the_files_only(self):
        first = self.assembled("1.0.0", "print('a')\n")
        self.assertRegex(first, r"^1\.0\.0\+[0-9a-f]{12}\n$")
        self.assertEqual(self.assembled("1.0.0", "print('a')\n"), first)
        self.assertTrue(self.assembled("1.0.1", "print('a')\n").startswith("1.0.1+"))
        self.assertNotEqual(self.assembled("1.0.0", "print('b')\n"), first)
        self.assertNotEqual(self.assembled("1.0.0", "print('a')\n", ("bookworm-backports", "2025.04.30-1~bpo12+1")),
                            first)


if __name__ == "__main__":
    unittest.main()
