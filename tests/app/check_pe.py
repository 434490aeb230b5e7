#!/usr/bin/env python3
"""Checks a built zavex_updater.exe without running it: PE kind, GUI
subsystem, static imports limited to known DLLs (the others are delay
loaded), the hardening flags and relocations, and the embedded manifest,
icon and version resources. With --console, a console tool such as
zavex_publish.exe: the same without the resources."""
import argparse
import re
import struct
import sys

MACHINES = {"i386": (0x14C, 0x10B), "amd64": (0x8664, 0x20B)}
SUBSYSTEM_WINDOWS_GUI, SUBSYSTEM_WINDOWS_CUI = 2, 3
RELOCS_STRIPPED = 0x0001
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT = 0x0020, 0x0040, 0x0100
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# Windows' known DLLs: always loaded from System32, never from the
# executable's folder. Any other DLL statically imported could be planted.
KNOWN_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
    "ole32.dll", "oleaut32.dll", "msvcrt.dll", "comdlg32.dll", "shlwapi.dll",
    "rpcrt4.dll", "ws2_32.dll", "psapi.dll", "imm32.dll", "sechost.dll",
    "setupapi.dll", "combase.dll", "shcore.dll", "wldap32.dll", "normaliz.dll",
    "nsi.dll", "imagehlp.dll", "msctf.dll", "gdiplus.dll", "clbcatq.dll",
}
DELAY_DESCRIPTOR = struct.Struct("<8I")


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
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

    def mapped(self, rva):
        return any(vaddr <= rva < vaddr + size for vaddr, size, _ in self.sections)

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

    def delay_imported_dlls(self):
        """MinGW's linker leaves the delay import directory empty, so the
        descriptors that dlltool makes (RVA based, no time stamp) are looked
        for in every section."""
        names = []
        for vaddr, size, raw in self.sections:
            for found in re.finditer(b"\x01\0\0\0", self.data[raw:raw + size]):
                if found.start() % 4:
                    continue
                fields = DELAY_DESCRIPTOR.unpack_from(self.data, raw + found.start())
                if fields[5:] != (0, 0, 0) or not all(self.mapped(rva) for rva in fields[1:5]):
                    continue
                try:
                    name = self.cstring(fields[1]).lower()
                except (ValueError, UnicodeDecodeError):
                    continue
                if name.endswith(".dll"):
                    names.append(name)
        return names

    def hardening_failures(self, machine_name):
        failures = []
        wanted = {"DYNAMIC_BASE": DYNAMIC_BASE, "NX_COMPAT": NX_COMPAT}
        if machine_name == "amd64":
            wanted["HIGH_ENTROPY_VA"] = HIGH_ENTROPY_VA
        for flag, bit in wanted.items():
            if not self.dll_characteristics & bit:
                failures.append("DllCharacteristics %#x lacks %s" % (self.dll_characteristics, flag))
        relocations_rva, relocations_size = self.directories[5]
        if self.characteristics & RELOCS_STRIPPED or relocations_size == 0 or not self.mapped(relocations_rva):
            failures.append("no relocation section: the image cannot move")
        return failures

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


def check(pe, machine_name, console):
    failures = []
    machine, magic = MACHINES[machine_name]
    if (pe.machine, pe.magic) != (machine, magic):
        failures.append("machine %#x magic %#x, expected %s" % (pe.machine, pe.magic, machine_name))
    subsystem = SUBSYSTEM_WINDOWS_CUI if console else SUBSYSTEM_WINDOWS_GUI
    if pe.subsystem != subsystem:
        failures.append("subsystem %d, expected %d" % (pe.subsystem, subsystem))
    foreign = [dll for dll in pe.imported_dlls()
               if dll not in KNOWN_DLLS and not dll.startswith("api-ms-win-")]
    if foreign:
        failures.append("statically imports DLLs that are not known DLLs: " + ", ".join(foreign))
    failures += pe.hardening_failures(machine_name)
    return failures if console else failures + resource_failures(pe)


def resource_failures(pe):
    failures = []
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
    parser.add_argument("--console", action="store_true", help="a console tool, without resources")
    parser.add_argument("exe")
    args = parser.parse_args()
    pe = PeFile(open(args.exe, "rb").read())
    failures = check(pe, args.machine, args.console)
    print("Delay imports: " + (", ".join(pe.delay_imported_dlls()) or "none"))
    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print("OK: %s is a hardened %s %s executable that statically imports only known DLLs"
              % (args.exe, args.machine, "console" if args.console else "GUI"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
