"""Assembles the payload directory: the server's files and its Python environment.

  assemble.py files VERSION SRC DEST ENGINE FILE...   copy the listed files, drop stale ones,
                                                      write PAYLOAD_VERSION for the product's VERSION
  assemble.py venv DEST ENGINE                         create DEST/.venv with the engine and its
                                                      Debian dependencies, their copyright files beside them

ENGINE is the record bundled_engine.py wrote: which yt-dlp is bundled, from where.

The venv is built with the system's own python3 -m venv and the Debian
packages' files are copied into its site-packages, so the copy does not
depend on what the system can import, and it survives being copied
elsewhere (cp -a) because it has no absolute paths of its own.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys

# The optional modules the download engine uses when present; secretstorage (with what it needs)
# reads the keyring that holds the key of Chromium's cookies.
PACKAGES = ["python3-brotli", "python3-certifi", "python3-mutagen",
            "python3-pycryptodome", "python3-websockets",
            "python3-secretstorage", "python3-jeepney", "python3-cryptography", "python3-cffi-backend"]
DIST = "/usr/lib/python3/dist-packages"


def read_engine(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def files(version, src, dest, engine, names):
    os.makedirs(dest, exist_ok=True)
    wanted = set()
    digest = hashlib.sha256()
    for name in sorted(names):
        rel = os.path.relpath(os.path.abspath(name), src)
        wanted.add(rel)
        target = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(src, rel), target)
        with open(os.path.join(src, rel), "rb") as f:
            digest.update(rel.encode() + b"\0" + f.read() + b"\0")
    # Remove what an earlier build put there and the sources no longer have.
    for root, dirs, fnames in os.walk(dest):
        top = os.path.relpath(root, dest).split(os.sep)[0]
        if top in (".venv", "data"):
            dirs[:] = []
            continue
        for fn in fnames:
            rel = os.path.relpath(os.path.join(root, fn), dest)
            if rel not in wanted and rel != "PAYLOAD_VERSION":
                os.unlink(os.path.join(root, fn))
    # The controller reinstalls only when this text changes, so it carries
    # a digest of the contents as well as the product's version.
    record = read_engine(engine)
    digest.update(f"{record['source']}\0{record['package_version']}".encode())
    with open(os.path.join(dest, "PAYLOAD_VERSION"), "w", encoding="utf-8") as f:
        f.write(f"{version}+{digest.hexdigest()[:12]}\n")


def package_entries(pkg):
    out = subprocess.run(["dpkg", "-L", pkg], capture_output=True, text=True, check=True).stdout
    return sorted({line for line in out.splitlines()
                   if os.path.dirname(line) == DIST and os.path.basename(line) != "__pycache__"})


def copy_entries(entries, site):
    for entry in entries:
        target = os.path.join(site, os.path.basename(entry))
        if os.path.isdir(entry) and not os.path.islink(entry):
            shutil.copytree(entry, target, symlinks=True)
        else:
            shutil.copy2(entry, target, follow_symlinks=False)


def venv(dest, engine):
    final = os.path.join(dest, ".venv")
    tmp = final + ".new"
    shutil.rmtree(tmp, ignore_errors=True)
    python = "/usr/bin/python3"
    subprocess.run([python, "-m", "venv", "--without-pip", tmp], check=True)
    site = subprocess.run([os.path.join(tmp, "bin", "python"), "-I", "-c",
                           "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    record = read_engine(engine)
    copies = [("yt-dlp", record["entries"], record["copyright"])]
    for pkg in PACKAGES:
        try:
            copies.append((pkg, package_entries(pkg), os.path.join("/usr/share/doc", pkg, "copyright")))
        except subprocess.CalledProcessError:
            continue
    for pkg, entries, licence in copies:
        copy_entries(entries, site)
        # The copies travel with their licences.
        doc = os.path.join(tmp, "share", "doc", pkg)
        os.makedirs(doc, exist_ok=True)
        shutil.copy2(licence, doc)
    # The engine's command line, for running the very engine the server runs; relative, like the venv.
    launcher = os.path.join(tmp, "bin", "yt-dlp")
    with open(launcher, "w", encoding="utf-8") as f:
        f.write('#!/bin/sh\nexec "$(dirname "$0")/python" -m yt_dlp "$@"\n')
    os.chmod(launcher, 0o755)
    # Which engine this is and where it came from, for whoever looks at an installed copy.
    with open(os.path.join(tmp, "share", "doc", "yt-dlp", "SOURCE"), "w", encoding="utf-8") as f:
        f.write(f"{record['source']} {record['package_version']} {record['version']}\n")
    imported = subprocess.run([os.path.join(tmp, "bin", "python"), "-I", "-c",
                               "import yt_dlp.version; print(yt_dlp.version.__version__)"],
                              capture_output=True, text=True, check=True).stdout.strip()
    if imported != record["version"]:
        sys.exit(f"assemble: the environment imports yt-dlp {imported}, not the bundled {record['version']}")
    print(f"assemble: the payload's engine is yt-dlp {imported} from {record['source']}")
    shutil.rmtree(final, ignore_errors=True)
    os.rename(tmp, final)


if __name__ == "__main__":
    if len(sys.argv) >= 6 and sys.argv[1] == "files":
        files(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6:])
    elif len(sys.argv) == 4 and sys.argv[1] == "venv":
        venv(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
