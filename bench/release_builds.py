#!/usr/bin/env python3
"""Inputs of bench/run.sh.

  release_builds.py builds OUT COUNT SIZE
      OUT/v1 and OUT/v2: COUNT files of SIZE random bytes each, the same paths
      in both; in v2 every second file (the first one included) has new
      content of the same size, the others are hard links to v1's.
  release_builds.py large-manifests OUT ENTRIES CHANGED SIZE
      OUT/record.json, an installed record (version code 1) of ENTRIES
      entries, and OUT/site, a release (version code 2) of the same entries
      in which CHANGED of them, spread evenly, are new files of SIZE bytes that
      lie in OUT/site; the others are never downloaded, so they need no file.
  release_builds.py fetch-lists BASE_URL TARGET LISTS NEW_MANIFEST [OLD_MANIFEST]
      For every file of NEW_MANIFEST (only those whose hash differs from
      OLD_MANIFEST's, when given): LISTS.curl, a curl config that fetches it
      from BASE_URL + path into TARGET/path, and LISTS.sha256, its line for
      "sha256sum -c".
  release_builds.py references OLD_BUILD NEW_BUILD
      One line "changed_files=N changed_bytes=B zstd_bytes=Z bsdiff_bytes=D":
      the files of NEW_BUILD whose content differs from (or is missing in)
      OLD_BUILD, their bytes, and the sum of each one's
      "zstd -19 --patch-from" and bsdiff patch from its old version (a file
      of one zero byte for a new one).
"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile

PIECE_BYTES = 8 << 20
FILES_PER_FOLDER = 100


def relative_path(index, count):
    if count == 1:
        return "app.bin"
    return "data/%03d/file_%05d.bin" % (index // FILES_PER_FOLDER, index)


def write_random_file(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left:
            piece = min(left, PIECE_BYTES)
            out.write(os.urandom(piece))
            left -= piece


def make_builds(out, count, size):
    for index in range(count):
        path = relative_path(index, count)
        first = os.path.join(out, "v1", path)
        second = os.path.join(out, "v2", path)
        write_random_file(first, size)
        if index % 2 == 0:
            write_random_file(second, size)
        else:
            os.makedirs(os.path.dirname(second), exist_ok=True)
            os.link(first, second)


def manifest(version_code, files):
    return {
        "version": "%d.0.0" % version_code,
        "versionCode": version_code,
        "releaseDate": "2024-01-01",
        "releaseNotes": "",
        "minVersion": "",
        "files": files,
    }


def entry(path, digest, size):
    return {"path": path, "hash": digest, "size": size, "required": True}


def write_json(path, document):
    with open(path, "w", encoding="utf-8") as out:
        json.dump(document, out, indent=2)
        out.write("\n")


def make_large_manifests(out, entries, changed, size):
    site = os.path.join(out, "site")
    stride = max(1, entries // max(1, changed))
    installed, published = [], []
    for index in range(entries):
        path = relative_path(index, entries)
        old_digest = hashlib.sha256(path.encode()).hexdigest()
        installed.append(entry(path, old_digest, size))
        if index % stride == 0 and index // stride < changed:
            target = os.path.join(site, path)
            write_random_file(target, size)
            with open(target, "rb") as data:
                published.append(entry(path, hashlib.sha256(data.read()).hexdigest(), size))
        else:
            published.append(entry(path, old_digest, size))
    os.makedirs(site, exist_ok=True)
    write_json(os.path.join(out, "record.json"), manifest(1, installed))
    write_json(os.path.join(site, "manifest.json"), manifest(2, published))


def curl_quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def manifest_files(path):
    with open(path, encoding="utf-8") as data:
        return json.load(data)["files"]


def write_fetch_lists(base_url, target, lists, new_manifest, old_manifest=None):
    old_hashes = {}
    if old_manifest:
        old_hashes = {item["path"]: item["hash"] for item in manifest_files(old_manifest)}
    with open(lists + ".curl", "w") as config, open(lists + ".sha256", "w") as checks:
        for item in manifest_files(new_manifest):
            if old_hashes.get(item["path"]) == item["hash"]:
                continue
            local = os.path.join(target, item["path"])
            config.write("url = %s\noutput = %s\n" % (curl_quoted(base_url + item["path"]),
                                                       curl_quoted(local)))
            checks.write("%s  %s\n" % (item["hash"], local))


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for piece in iter(lambda: data.read(PIECE_BYTES), b""):
            digest.update(piece)
    return digest.hexdigest()


def build_files(build):
    for folder, _, names in os.walk(build):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                yield os.path.relpath(path, build)


def changed_files(old_build, new_build):
    for path in sorted(build_files(new_build)):
        old = os.path.join(old_build, path)
        new = os.path.join(new_build, path)
        if not os.path.isfile(old) or file_digest(old) != file_digest(new):
            yield (old if os.path.isfile(old) else None), new


def patch_sizes(old, new, scratch):
    zstd = subprocess.run(["zstd", "-q", "-19", "--single-thread", "--patch-from=" + old, "-c", new],
                          check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout  # its tuning notes
    patch = os.path.join(scratch, "patch")
    subprocess.run(["bsdiff", old, new, patch], check=True)
    return len(zstd), os.path.getsize(patch)


def print_references(old_build, new_build):
    figures = {"changed_files": 0, "changed_bytes": 0, "zstd_bytes": 0, "bsdiff_bytes": 0}
    with tempfile.TemporaryDirectory() as scratch:
        # bsdiff cannot read an empty file.
        nothing = os.path.join(scratch, "nothing")
        with open(nothing, "wb") as out:
            out.write(b"\0")
        for old, new in changed_files(old_build, new_build):
            zstd, bsdiff = patch_sizes(old or nothing, new, scratch)
            figures["changed_files"] += 1
            figures["changed_bytes"] += os.path.getsize(new)
            figures["zstd_bytes"] += zstd
            figures["bsdiff_bytes"] += bsdiff
    print(" ".join("%s=%d" % item for item in figures.items()))


def main(arguments):
    command = arguments[0] if arguments else ""
    if command == "builds" and len(arguments) == 4:
        make_builds(arguments[1], int(arguments[2]), int(arguments[3]))
    elif command == "large-manifests" and len(arguments) == 5:
        make_large_manifests(arguments[1], int(arguments[2]), int(arguments[3]), int(arguments[4]))
    elif command == "fetch-lists" and len(arguments) in (5, 6):
        write_fetch_lists(*arguments[1:])
    elif command == "references" and len(arguments) == 3:
        print_references(arguments[1], arguments[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
