"""Checking a release: its signed list of SHA2-256 sums, with gpgv and the release key shipped with the payload."""

import os
import re
import subprocess
import tempfile



def parse_sums(text: str) -> dict[str, str]:
    """File name -> lower-case SHA-256 from a GNU-style list ("<hex>  <name>" or "<hex> *<name>")."""
    found = {}
    for line in text.splitlines():
        m = re.match(r"^([0-9a-fA-F]{64}) [ *](.+)$", line.strip())
        if m:
            found[m.group(2).strip()] = m.group(1).lower()
    return found


def _gpg_home() -> tempfile.TemporaryDirectory[str]:
    # A throwaway home: gpg must neither read nor change the user's own keys.
    return tempfile.TemporaryDirectory(prefix="zormak-gpg-")


def key_fingerprint(key_file: str) -> str | None:
    """The primary fingerprint of the (armored or binary) key in key_file, None if it cannot be read."""
    with _gpg_home() as home:
        try:
            out = subprocess.run(["gpg", "--homedir", home, "--batch", "--with-colons", "--show-keys", key_file],
                                 capture_output=True, text=True, timeout=30, check=False).stdout
        except (OSError, subprocess.TimeoutExpired):
            return None
    prints = [line.split(":")[9] for line in out.splitlines() if line.startswith("fpr:")]
    return prints[0].upper() if prints else None


def signature_valid(key_file: str, fingerprint: str, data: bytes, signature: bytes) -> bool:
    """Whether signature is a good detached signature of data by the key with that fingerprint."""
    with _gpg_home() as home:
        keyring = os.path.join(home, "release.gpg")
        data_file, sig_file = os.path.join(home, "data"), os.path.join(home, "data.sig")
        with open(data_file, "wb") as f:
            f.write(data)
        with open(sig_file, "wb") as f:
            f.write(signature)
        try:
            dearmor = subprocess.run(["gpg", "--homedir", home, "--batch", "--yes", "--output", keyring,
                                      "--dearmor", key_file], capture_output=True, timeout=30, check=False)
            if dearmor.returncode != 0:
                return False
            result = subprocess.run(["gpgv", "--homedir", home, "--keyring", keyring, "--status-fd", "1",
                                     sig_file, data_file], capture_output=True, text=True, timeout=30, check=False)
        except (OSError, subprocess.TimeoutExpired):
            return False
    if result.returncode != 0:
        return False
    # VALIDSIG's last field is the primary key's fingerprint, whichever subkey signed.
    return any(line.startswith("[GNUPG:] VALIDSIG ") and line.split()[-1].upper() == fingerprint
               for line in result.stdout.splitlines())
