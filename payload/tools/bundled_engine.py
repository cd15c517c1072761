"""Chooses the download engine the payload bundles and writes down where it came from.

  bundled_engine.py DIR     write DIR/engine.json naming the engine's files, source and version

The newest engine Debian ships for this release is yt-dlp from
bookworm-backports. It is fetched through an apt configuration of its own in
DIR (sources, lists, cache and state all there), so the machine's sources
and its apt lock are never touched, and apt checks the archive's signature
against Debian's keyring as usual. When backports cannot be reached, the
download fails or the package does not import, the installed bookworm
package is bundled instead. The build output says which one was taken.

ZORMAK_ENGINE_MIRROR replaces the Debian mirror (tests point it at a closed
port to see the fallback); otherwise the mirror is the one the machine's own
sources name for bookworm.
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import Any

SUITE = "bookworm-backports"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
DEFAULT_MIRROR = "http://deb.debian.org/debian"
DIST = "usr/lib/python3/dist-packages"
COPYRIGHT = "usr/share/doc/yt-dlp/copyright"
# A mirror that does not answer must not hold the build up for long.
NETWORK_OPTIONS = ["-o", "Acquire::http::Timeout=10", "-o", "Acquire::https::Timeout=10",
                   "-o", "Acquire::Retries=0"]


class Unavailable(Exception):
    """Backports gave no usable engine; the message says why."""


def _one_line_mirrors(text: str) -> list[str]:
    found = []
    for line in text.splitlines():
        words = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
        if len(words) >= 3 and words[0] == "deb" and words[2] == "bookworm":
            found.append(words[1])
    return found


def _deb822_mirrors(text: str) -> list[str]:
    found = []
    for stanza in re.split(r"\n\s*\n", text):
        fields: dict[str, str] = {}
        for line in stanza.splitlines():
            if line.startswith("#") or ":" not in line or line[:1].isspace():
                continue
            key, value = line.split(":", 1)
            fields[key.strip().lower()] = value.strip()
        if fields.get("enabled", "yes").lower() == "no":
            continue
        if "deb" in fields.get("types", "").split() and "bookworm" in fields.get("suites", "").split():
            found += fields.get("uris", "").split()
    return found


def machine_mirror(etc: str = "/etc/apt") -> str:
    """The Debian mirror the machine's own sources use for bookworm, else deb.debian.org."""
    found: list[str] = []
    for path in [os.path.join(etc, "sources.list"), *sorted(glob.glob(os.path.join(etc, "sources.list.d", "*")))]:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        if path.endswith(".sources"):
            found += _deb822_mirrors(text)
        elif path.endswith(".list"):
            found += _one_line_mirrors(text)
    return next((m.rstrip("/") for m in found if m.startswith(("http://", "https://"))), DEFAULT_MIRROR)


def engine_version(dist: str) -> str:
    """The __version__ in dist/yt_dlp/version.py, read without importing it."""
    with open(os.path.join(dist, "yt_dlp", "version.py"), encoding="utf-8") as f:
        m = re.search(r"""^__version__\s*=\s*['"]([^'"]+)['"]""", f.read(), re.M)
    if not m:
        raise Unavailable(f"{dist}/yt_dlp/version.py names no version")
    return m.group(1)


def _apt(folder: str) -> list[str]:
    """The apt options that make folder the whole of apt's world, except its main configuration
    (where a proxy is set) and the archive keyring."""
    etc = os.path.join(folder, "etc")
    state = os.path.join(folder, "state")
    options = {
        "Dir::Etc::SourceList": os.path.join(etc, "sources.list"),
        "Dir::Etc::SourceParts": os.path.join(etc, "sources.list.d"),
        "Dir::Etc::Preferences": os.path.join(etc, "preferences"),
        "Dir::Etc::PreferencesParts": os.path.join(etc, "preferences.d"),
        "Dir::State": state,
        "Dir::State::Lists": os.path.join(state, "lists"),
        "Dir::State::status": os.path.join(state, "status"),
        "Dir::Cache": os.path.join(folder, "cache"),
        "APT::Get::List-Cleanup": "false",
    }
    if os.geteuid() == 0:
        # apt's download user cannot write into a build folder; root downloads itself, quietly.
        options["APT::Sandbox::User"] = "root"
    return [arg for key, value in options.items() for arg in ("-o", f"{key}={value}")]


def _configure(folder: str, mirror: str) -> list[str]:
    for sub in ("etc/sources.list.d", "etc/preferences.d", "state/lists/partial", "cache/archives/partial"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    with open(os.path.join(folder, "etc", "sources.list"), "w", encoding="utf-8") as f:
        f.write(f"deb [signed-by={KEYRING}] {mirror} {SUITE} main\n")
    open(os.path.join(folder, "state", "status"), "a").close()
    return _apt(folder)


def _run(command: list[str], cwd: str | None = None, timeout: float = 120) -> str:
    try:
        done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout, check=False,
                              env={**os.environ, "LC_ALL": "C"})
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Unavailable(f"{command[0]}: {e}") from None
    # apt-get update exits 0 even when an index failed to download; its "Err:" lines say so,
    # with the reason on the line after.
    lines = (done.stdout + done.stderr).splitlines()
    failed = [" ".join([line, *(n.strip() for n in lines[i + 1:i + 2] if n[:1].isspace())])
              for i, line in enumerate(lines) if line.startswith(("E:", "Err:"))]
    if done.returncode != 0 or failed:
        raise Unavailable((failed or done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1])
    return done.stdout


def fetch_backports(folder: str, mirror: str) -> dict[str, Any]:
    """Downloads and unpacks backports' yt-dlp into folder; returns its record."""
    apt = os.path.join(folder, "apt")
    options = _configure(apt, mirror) + NETWORK_OPTIONS
    _run(["apt-get", *options, "-q", "update"])
    debs = os.path.join(folder, "debs")
    shutil.rmtree(debs, ignore_errors=True)
    os.makedirs(debs)
    _run(["apt-get", *options, "-q", "download", f"yt-dlp/{SUITE}"], cwd=debs, timeout=300)
    found = glob.glob(os.path.join(debs, "yt-dlp_*.deb"))
    if len(found) != 1:
        raise Unavailable(f"apt-get download left {len(found)} packages")
    deb = found[0]
    package_version = _run(["dpkg-deb", "-f", deb, "Version"]).strip()
    tmp = tempfile.mkdtemp(prefix="unpacked-", dir=folder)
    try:
        _run(["dpkg-deb", "-x", deb, tmp])
        dist = os.path.join(tmp, DIST)
        version = engine_version(dist)
        # The system's own interpreter, isolated from site-packages, must import this copy.
        check = ("import sys; sys.path.insert(0, sys.argv[1]); import yt_dlp, yt_dlp.version; "
                 "assert yt_dlp.__file__.startswith(sys.argv[1]); print(yt_dlp.version.__version__)")
        imported = _run(["/usr/bin/python3", "-I", "-c", check, dist]).strip()
        if imported != version:
            raise Unavailable(f"the unpacked engine imports as {imported!r}, not {version}")
        unpacked = os.path.join(folder, "backports")
        shutil.rmtree(unpacked, ignore_errors=True)
        os.rename(tmp, unpacked)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    dist = os.path.join(unpacked, DIST)
    return {"source": SUITE, "package_version": package_version, "version": version, "deb": deb,
            "entries": sorted(os.path.join(dist, n) for n in os.listdir(dist) if n != "__pycache__"),
            "copyright": os.path.join(unpacked, COPYRIGHT)}


def installed() -> dict[str, Any]:
    """The record of the installed bookworm package."""
    try:
        package_version = _run(["dpkg-query", "-W", "-f=${Version}", "yt-dlp"])
        listing = _run(["dpkg", "-L", "yt-dlp"]).splitlines()
    except Unavailable:
        sys.exit("bundled_engine: backports gave no engine and the Debian package yt-dlp is not installed")
    dist = "/" + DIST
    return {"source": "bookworm", "package_version": package_version, "version": engine_version(dist),
            "entries": sorted({line for line in listing
                               if os.path.dirname(line) == dist and os.path.basename(line) != "__pycache__"}),
            "copyright": "/" + COPYRIGHT}


def choose(folder: str) -> dict[str, Any]:
    os.makedirs(folder, exist_ok=True)
    mirror = os.environ.get("ZORMAK_ENGINE_MIRROR") or machine_mirror()
    try:
        record = fetch_backports(folder, mirror)
        print(f"bundled_engine: taking yt-dlp {record['version']} from {SUITE} "
              f"(Debian {record['package_version']}, {mirror})")
    except Unavailable as e:
        record = installed()
        print(f"bundled_engine: {SUITE} gave no engine from {mirror} ({e}); taking bookworm's installed "
              f"yt-dlp {record['version']} (Debian {record['package_version']}). "
              f"To try again, delete {os.path.join(folder, 'engine.json')} and build.")
    path = os.path.join(folder, "engine.json")
    with open(path + ".new", "w", encoding="utf-8") as f:
        json.dump(record, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(path + ".new", path)
    return record


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    choose(sys.argv[1])
