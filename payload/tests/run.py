"""Runs pytest under the payload's own interpreter. That environment leaves out the system's packages so
the bundled engine is the one imported; Debian's pytest is appended after it, so it cannot shadow it."""

import sys

sys.path.append("/usr/lib/python3/dist-packages")
import pytest  # noqa: E402

sys.exit(pytest.main(["-p", "no:cacheprovider", *sys.argv[1:]]))
