#!/usr/bin/env python3
"""Checks a built zavex_updater.exe without running it: PE kind, GUI
subsystem, imports limited to Windows system DLLs, and the embedded
manifest, icon and version resources."""
import argparse
import struct
import sys

MACHINES = {"i386": (0x14C, 0x10B), "amd64": (0x8664, 0x20B)}
SUBSYSTEM_WINDOWS_GUI = 2
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll",
    "shell32.dll", "shlwapi.dll", "ole32.dll", "oleaut32.dll", "advapi32.dll",
    "winhttp.dll", "bcrypt.dll", "msvcrt.dll", "ws2_32.dll", "psapi.dll",
    "version.dll", "uxtheme.dll",
}


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raw
        raise ValueError("RVA %#x outside every section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        rva, _ = self.directories[1]
        names = []
        if rva == 0:
            return names
        entry = self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, entry)
            if not any(fields):
                return names
            names.append(self.cstring(fields[3]).lower())
            entry += 20

    def resources(self):
        """{(type, id): bytes} for the first language of every resource."""
        base_rva, _ = self.directories[2]
        found = {}
        if base_rva == 0:
            return found
        base = self.offset(base_rva)

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, directory + 16 + 8 * i)

        for type_id, type_dir in entries(base):
            for res_id, lang_dir in entries(base + (type_dir & 0x7FFFFFFF)):
                _, leaf = next(entries(base + (lang_dir & 0x7FFFFFFF)))
                data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                start = self.offset(data_rva)
                found[(type_id, res_id)] = self.data[start:start + size]
        return found


def check(path, machine_name):
    failures = []
    pe = PeFile(open(path, "rb").read())
    machine, magic = MACHINES[machine_name]
    if (pe.machine, pe.magic) != (machine, magic):
        failures.append("machine %#x magic %#x, expected %s" % (pe.machine, pe.magic, machine_name))
    if pe.subsystem != SUBSYSTEM_WINDOWS_GUI:
        failures.append("subsystem %d is not the GUI subsystem" % pe.subsystem)
    foreign = [dll for dll in pe.imported_dlls()
               if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")]
    if foreign:
        failures.append("imports non-system DLLs: " + ", ".join(foreign))

    resources = pe.resources()
    manifest = resources.get((RT_MANIFEST, 1), b"").decode("utf-8", "replace")
    for needle in ('level="requireAdministrator"', 'uiAccess="false"',
                   'name="Microsoft.Windows.Common-Controls"', 'version="6.0.0.0"'):
        if needle not in manifest:
            failures.append("manifest lacks " + needle)

    group = resources.get((RT_GROUP_ICON, 1), b"")
    count = struct.unpack_from("<H", group, 4)[0] if len(group) >= 6 else 0
    sizes = sorted({group[6 + 14 * i] or 256 for i in range(count)})
    if len(sizes) < 3 or 16 not in sizes or 32 not in sizes:
        failures.append("icon 1 sizes %s: expected several, with 16 and 32" % sizes)
    if not any(key[0] == RT_ICON for key in resources):
        failures.append("no icon images")

    version = resources.get((RT_VERSION, 1), b"")
    fixed = version.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        failures.append("no version resource")
    else:
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", version, fixed + 8)
        if (file_ms, file_ls, product_ms, product_ls) != (0x10000, 0, 0x10000, 0):
            failures.append("version resource is not 1.0.0.0")
        for key in ("FileVersion", "ProductVersion"):
            text = (key + "\0").encode("utf-16-le")
            at = version.find(text)
            value = version[at + len(text):].decode("utf-16-le", "replace") if at >= 0 else ""
            if not value.lstrip("\0").startswith("1.0.0.0"):
                failures.append(key + " string is not 1.0.0.0")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--machine", choices=sorted(MACHINES), default="i386")
    parser.add_argument("exe")
    args = parser.parse_args()
    failures = check(args.exe, args.machine)
    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print("OK: %s is a %s GUI executable with system imports and its resources" % (args.exe, args.machine))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
