#!/usr/bin/env python3
"""Prints the CNG public key blob (BCRYPT_ECCKEY_BLOB, magic ECS1) of a PEM
P-256 public key as C++ byte literals; exits 1 with the reason for any other
file. Used by cmake/ZavexReleaseKeys.cmake at configure time."""
import base64
import binascii
import re
import sys

# DER SubjectPublicKeyInfo of an uncompressed P-256 point: the algorithm
# (id-ecPublicKey, prime256v1), then a bit string 00 04 X Y.
SPKI_PREFIX = bytes.fromhex(
    "3059301306072a8648ce3d020106082a8648ce3d030107034200" "04")
BLOB_HEADER = b"ECS1" + (32).to_bytes(4, "little")
# The curve y^2 = x^3 - 3x + b over the prime p (FIPS 186-4, D.1.2.3).
P = 0xffffffff00000001000000000000000000000000ffffffffffffffffffffffff
B = 0x5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b
PEM = re.compile(r"-----BEGIN PUBLIC KEY-----\s*([A-Za-z0-9+/=\s]+?)\s*-----END PUBLIC KEY-----")


def point_of(text):
    found = PEM.fullmatch(text.strip())
    if not found:
        raise ValueError("no single PEM block \"BEGIN PUBLIC KEY\"")
    try:
        der = base64.b64decode("".join(found.group(1).split()), validate=True)
    except binascii.Error as error:
        raise ValueError("its base64 is invalid (%s)" % error)
    if len(der) != len(SPKI_PREFIX) + 64 or not der.startswith(SPKI_PREFIX):
        raise ValueError("it is not an ECDSA P-256 public key")
    point = der[len(SPKI_PREFIX):]
    x, y = int.from_bytes(point[:32], "big"), int.from_bytes(point[32:], "big")
    if x >= P or y >= P or (y * y - x * x * x + 3 * x - B) % P != 0:
        raise ValueError("its point is not on the P-256 curve")
    return point


def main():
    path = sys.argv[1]
    try:
        with open(path, encoding="ascii") as file:
            point = point_of(file.read())
    except (OSError, UnicodeDecodeError, ValueError) as error:
        print(error, file=sys.stderr)
        return 1
    print(", ".join("0x%02x" % byte for byte in BLOB_HEADER + point))
    return 0


if __name__ == "__main__":
    sys.exit(main())
