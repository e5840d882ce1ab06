"""What archver.exe is as a file, read back from the build: header, size,
imports, hardening, and the resources it carries (manifest, version
information, icon).

usage: test_pe.py ARCHVER_EXE SOURCE_DIR VERSION OBJDUMP
"""
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

from checks import check, failures, finish

ASM = "{urn:schemas-microsoft-com:asm.v1}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
                "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]  # 10

MAX_SIZE = 20480

# Every function it may import: all present in Windows 2000's kernel32.dll
# and msvcrt.dll, so the file loads there (memset is the clang build's).
# IsWow64Process2 (Windows 10 1511) and IsWow64Process (XP SP2) are looked up
# at run time, GetSystemMetrics from user32 likewise.
WINDOWS_2000_IMPORTS = {
    b"KERNEL32.dll": {
        b"DeleteCriticalSection", b"EnterCriticalSection", b"FreeLibrary",
        b"GetCurrentProcess", b"GetLastError", b"GetModuleHandleA", b"GetModuleHandleW",
        b"GetProcAddress", b"GetStartupInfoA", b"GetVersionExA", b"InitializeCriticalSection",
        b"LeaveCriticalSection", b"LoadLibraryA", b"SetUnhandledExceptionFilter", b"Sleep",
        b"TlsGetValue", b"VirtualProtect", b"VirtualQuery", b"lstrcmpiA"},
    b"msvcrt.dll": {
        b"__getmainargs", b"__initenv", b"__p__acmdln", b"__p__commode", b"__p__fmode",
        b"__set_app_type", b"__setusermatherr", b"_amsg_exit", b"_cexit", b"_initterm",
        b"_iob", b"_onexit", b"_snprintf", b"abort", b"calloc", b"exit", b"fprintf", b"free",
        b"fwrite", b"malloc", b"memcpy", b"memset", b"printf", b"putchar", b"puts", b"signal",
        b"strlen", b"strncmp", b"vfprintf"},
}
# Functions the run needs from the system, whatever the runtime adds.
REQUIRED_IMPORTS = {b"GetModuleHandleA", b"GetProcAddress", b"GetCurrentProcess",
                    b"GetVersionExA", b"LoadLibraryA", b"lstrcmpiA", b"printf"}

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x0040, 0x0100, 0x0400, 0x8000
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
BASERELOC, DEBUG = 5, 6

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# type -> name -> language: exactly these and nothing else.
RESOURCES = {RT_ICON: {1: [1041]}, RT_GROUP_ICON: {101: [1041]},
             RT_VERSION: {1: [1041]}, RT_MANIFEST: {1: [1033]}}

HEADER = [  # (header, field, bits looked at or None for all, expected)
    ("FILE_HEADER", "Machine", None, 0x14C),  # x86
    ("OPTIONAL_HEADER", "Magic", None, 0x10B),  # PE32
    ("OPTIONAL_HEADER", "Subsystem", None, 3),  # console
    ("OPTIONAL_HEADER", "MajorOperatingSystemVersion", None, 5),
    ("OPTIONAL_HEADER", "MinorOperatingSystemVersion", None, 0),
    ("OPTIONAL_HEADER", "MajorSubsystemVersion", None, 5),
    ("OPTIONAL_HEADER", "MinorSubsystemVersion", None, 0),
    ("FILE_HEADER", "TimeDateStamp", None, 0),  # the same file from every build
    # ASLR, DEP, no SEH handlers, terminal-server aware, and nothing else:
    # FORCE_INTEGRITY (0x80) would make Windows refuse every copy without a
    # trusted signature.
    ("OPTIONAL_HEADER", "DllCharacteristics", None,
     DYNAMIC_BASE | NX_COMPAT | NO_SEH | TERMINAL_SERVER_AWARE),
    ("FILE_HEADER", "Characteristics", IMAGE_FILE_RELOCS_STRIPPED, 0),
]
DIRECTORIES = [(BASERELOC, True), (DEBUG, False)]  # (directory, present): ASLR needs relocations

# (field, expected) beside the version numbers: FileOS 4 is VOS__WINDOWS32, FileType 1 VFT_APP
FIXED_VERSION = [("FileFlagsMask", 0x17), ("FileFlags", 0), ("FileOS", 0x4), ("FileType", 1),
                 ("FileSubtype", 0), ("FileDateMS", 0), ("FileDateLS", 0)]
STRINGS = {"FileDescription": "WindowsOS Version and x86/x64 Check tool",
           "OriginalFilename": "archver.exe"}
PUBLISHER_STRINGS = ["CompanyName", "ProductName", "InternalName", "LegalCopyright"]


def check_imports(pe):
    imports = {entry.dll: {f.name for f in entry.imports} for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check("imported DLLs", sorted(imports), sorted(WINDOWS_2000_IMPORTS))
    for dll, names in imports.items():
        check("imports from %s missing in Windows 2000" % dll,
              sorted(names - WINDOWS_2000_IMPORTS.get(dll, set())), [])
    check("required imports", REQUIRED_IMPORTS - set().union(*imports.values()), set())


def resources(pe):
    """{type: {name: {language: bytes}}}"""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                found.setdefault(kind.id, {}).setdefault(name.id, {})[language.id] = data
    return found


def check_manifest(text, source):
    with open(os.path.join(source, "res", "archver.manifest"), "rb") as f:
        check("manifest is res/archver.manifest", text, f.read())
    root = ET.fromstring(text)
    check("manifest root", (root.tag, root.attrib), (ASM + "assembly", {"manifestVersion": "1.0"}))

    def shape(element):
        return (element.tag, [shape(child) for child in element])

    check("manifest elements", shape(root),
          (ASM + "assembly", [(COMPAT + "compatibility", [(COMPAT + "application", [
              (COMPAT + "supportedOS", [])] * 5)])]))
    check("supportedOS Ids", [e.attrib for e in root.iter(COMPAT + "supportedOS")],
          [{"Id": id} for id in SUPPORTED_OS])
    check("manifest text", [t for e in root.iter() for t in (e.text, e.tail) if t and t.strip()],
          [])


def check_icon(group, image, source):
    # GRPICONDIR and its one GRPICONDIRENTRY.
    check("icon group header", struct.unpack_from("<HHH", group), (0, 1, 1))
    check("icon group entry", struct.unpack_from("<BBBBHHIH", group, 6),
          (32, 32, 16, 0, 1, 4, len(image), 1))
    width, height, planes, bits = struct.unpack_from("<iiHH", image, 4)
    check("icon bitmap", (width, height, planes, bits), (32, 64, 1, 4))
    with open(os.path.join(source, "res", "archver.ico"), "rb") as f:
        ico = f.read()
    check("icon image is the picture in res/", image, ico[22:])
    drawn = subprocess.run([sys.executable, os.path.join(source, "res", "make_icon.py"), "-"],
                           stdout=subprocess.PIPE, check=True).stdout
    check("res/make_icon.py draws res/archver.ico", drawn, ico)


def check_version(pe, version):
    major, minor, patch = (int(n) for n in version.split("."))
    text = "%d, %d, %d, 0" % (major, minor, patch)
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = [("FileVersionMS", major << 16 | minor), ("FileVersionLS", patch << 16),
               ("ProductVersionMS", major << 16 | minor), ("ProductVersionLS", patch << 16)]
    for name, want in numbers + FIXED_VERSION:
        check("version " + name, getattr(fixed, name), want)
    tables = [t for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for t in info.StringTable]
    check("string tables", [t.LangID for t in tables], [b"041104b0"])
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
    for key in PUBLISHER_STRINGS:
        check("publisher entry " + key, bool(strings.pop(key, "").strip()), True)
    check("string entries", strings, dict(STRINGS, FileVersion=text, ProductVersion=text))
    translations = [v.entry for info in pe.FileInfo[0] if info.Key == b"VarFileInfo"
                    for v in info.Var]
    check("translation", translations, [{b"Translation": "0x0411 0x04b0"}])


def main():
    exe, source, version, objdump = sys.argv[1:5]
    pe = pefile.PE(exe)
    # NO_SEH is honest only while no code registers a handler: that takes a
    # store to fs:[0], the head of the thread's handler chain.
    code = subprocess.run([objdump, "-d", exe], stdout=subprocess.PIPE, check=True).stdout
    check("stores to fs:[0]", re.findall(rb"\bmov\w*\s+[^,\n]+,\s*%fs:(?:0x0+|0)\n", code), [])
    for header, name, bits, want in HEADER:
        value = getattr(getattr(pe, header), name)
        check("%s.%s" % (header, name), value if bits is None else value & bits, want)
    for index, present in DIRECTORIES:
        check("data directory %d present" % index,
              pe.OPTIONAL_HEADER.DATA_DIRECTORY[index].Size > 0, present)
    check("size at most %d bytes" % MAX_SIZE, os.path.getsize(exe) <= MAX_SIZE, True)
    check("sections both writable and executable",
          [s.Name for s in pe.sections
           if s.Characteristics & SCN_MEM_WRITE and s.Characteristics & SCN_MEM_EXECUTE], [])
    check_imports(pe)

    found = resources(pe)
    check("resources", {t: {n: sorted(l) for n, l in names.items()} for t, names in found.items()},
          RESOURCES)
    if not failures:
        check_manifest(found[RT_MANIFEST][1][1033], source)
        check_icon(found[RT_GROUP_ICON][101][1041], found[RT_ICON][1][1041], source)
        check_version(pe, version)

    return finish()


if __name__ == "__main__":
    sys.exit(main())
