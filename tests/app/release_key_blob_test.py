#!/usr/bin/env python3
"""The configure-time key reader (scripts/release_key_blob.py) takes P-256
public keys as openssl writes them and refuses every other file."""
import base64
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "release_key_blob.py")
KEYS = os.path.join(ROOT, "tests", "support", "keys")


def run(path):
    return subprocess.run([sys.executable, SCRIPT, path], capture_output=True, text=True)


def pem(label, der):
    return "-----BEGIN %s-----\n%s\n-----END %s-----\n" % (label, base64.b64encode(der).decode(), label)


def main():
    failures = []
    first = run(os.path.join(KEYS, "first.pub.pem"))
    blob = bytes(int(byte, 16) for byte in first.stdout.split(", "))
    der = base64.b64decode("".join(open(os.path.join(KEYS, "first.pub.pem")).read().split("\n")[1:-2]))
    if first.returncode != 0 or blob != b"ECS1\x20\0\0\0" + der[27:]:
        failures.append("first.pub.pem: %r %r" % (first.returncode, first.stdout[:40]))

    off_curve = bytearray(der)
    off_curve[-1] ^= 1
    refused = {
        "P-384 key": open(os.path.join(KEYS, "p384.pub.pem")).read(),
        "Ed25519 key": open(os.path.join(KEYS, "not-p256.pub.pem")).read(),
        "private key": open(os.path.join(KEYS, "first.pem")).read(),
        "point off the curve": pem("PUBLIC KEY", bytes(off_curve)),
        "one byte short": pem("PUBLIC KEY", der[:-1]),
        "empty": "",
    }
    with tempfile.TemporaryDirectory() as folder:
        for name, text in refused.items():
            path = os.path.join(folder, "key.pem")
            with open(path, "w") as file:
                file.write(text)
            result = run(path)
            if result.returncode == 0 or result.stdout:
                failures.append("%s: accepted" % name)
        if run(os.path.join(folder, "missing.pem")).returncode == 0:
            failures.append("a missing file: accepted")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
