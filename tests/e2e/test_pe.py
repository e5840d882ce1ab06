"""What archver.exe is as a file, read back from the build: header, size,
imports, hardening, and its resources (manifest, version information, icon).
"""
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile
import pytest

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
# IsWow64Process2, IsWow64Process and GetSystemMetrics are looked up at run
# time.
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

DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x0040, 0x0100, 0x0400, 0x8000
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
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
    ("FILE_HEADER", "Characteristics", 0x0001, 0),  # relocations kept: ASLR needs them
]
DIRECTORIES = [(5, True), (6, False)]  # (directory, present): base relocations, debug

# (field, expected) beside the version numbers: FileOS 4 is VOS__WINDOWS32, FileType 1 VFT_APP
FIXED_VERSION = [("FileFlagsMask", 0x17), ("FileFlags", 0), ("FileOS", 0x4), ("FileType", 1),
                 ("FileSubtype", 0), ("FileDateMS", 0), ("FileDateLS", 0)]
STRINGS = {"FileDescription": "WindowsOS Version and x86/x64 Check tool",
           "OriginalFilename": "archver.exe"}
PUBLISHER_STRINGS = ["CompanyName", "ProductName", "InternalName", "LegalCopyright"]


@pytest.fixture(scope="module")
def pe(built):
    return pefile.PE(built["exe"])


@pytest.fixture(scope="module")
def found(pe):
    """{type: {name: {language: bytes}}} of the resources"""
    return {kind.id: {name.id: {language.id: pe.get_data(language.data.struct.OffsetToData,
                                                         language.data.struct.Size)
                                for language in name.directory.entries}
                      for name in kind.directory.entries}
            for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries}


def test_no_handler_registered(built):
    """NO_SEH is honest only while no code registers a handler: that takes a
    store to fs:[0], the head of the thread's handler chain."""
    code = subprocess.run([built["objdump"], "-d", built["exe"]], stdout=subprocess.PIPE,
                          check=True).stdout
    assert re.findall(rb"\bmov\w*\s+[^,\n]+,\s*%fs:(?:0x0+|0)\n", code) == []


@pytest.mark.parametrize("header, name, bits, want", HEADER, ids=lambda v: str(v))
def test_header(pe, header, name, bits, want):
    value = getattr(getattr(pe, header), name)
    assert (value if bits is None else value & bits) == want


def test_file(pe, built):
    assert [pe.OPTIONAL_HEADER.DATA_DIRECTORY[index].Size > 0 for index, _ in DIRECTORIES] == \
        [present for _, present in DIRECTORIES]
    assert os.path.getsize(built["exe"]) <= MAX_SIZE
    assert [s.Name for s in pe.sections
            if s.Characteristics & SCN_MEM_WRITE and s.Characteristics & SCN_MEM_EXECUTE] == []


def test_imports(pe):
    imports = {entry.dll: {f.name for f in entry.imports} for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert sorted(imports) == sorted(WINDOWS_2000_IMPORTS)
    assert {dll: sorted(names - WINDOWS_2000_IMPORTS.get(dll, set()))
            for dll, names in imports.items()} == {dll: [] for dll in imports}
    assert REQUIRED_IMPORTS - set().union(*imports.values()) == set()


def test_resources(found):
    assert {t: {n: sorted(l) for n, l in names.items()} for t, names in found.items()} == RESOURCES


def test_manifest(found, built):
    text = found[RT_MANIFEST][1][1033]
    with open(os.path.join(built["source_dir"], "res", "archver.manifest"), "rb") as f:
        assert text == f.read()
    root = ET.fromstring(text)

    def shape(element):
        return (element.tag, element.attrib, [shape(child) for child in element])

    assert shape(root) == (ASM + "assembly", {"manifestVersion": "1.0"}, [
        (COMPAT + "compatibility", {}, [(COMPAT + "application", {}, [
            (COMPAT + "supportedOS", {"Id": id}, []) for id in SUPPORTED_OS])])])
    assert [t for e in root.iter() for t in (e.text, e.tail) if t and t.strip()] == []


def test_icon(found, built):
    group, image = found[RT_GROUP_ICON][101][1041], found[RT_ICON][1][1041]
    # GRPICONDIR and its one GRPICONDIRENTRY.
    assert struct.unpack_from("<HHHBBBBHHIH", group) == (0, 1, 1, 32, 32, 16, 0, 1, 4,
                                                         len(image), 1)
    assert struct.unpack_from("<iiHH", image, 4) == (32, 64, 1, 4)
    with open(os.path.join(built["source_dir"], "res", "archver.ico"), "rb") as f:
        ico = f.read()
    assert image == ico[22:], "the icon is the picture in res/"
    drawn = subprocess.run([sys.executable, os.path.join(built["source_dir"], "res",
                                                         "make_icon.py"), "-"],
                           stdout=subprocess.PIPE, check=True).stdout
    assert drawn == ico, "res/make_icon.py draws res/archver.ico"


def test_version_resource(pe, built):
    major, minor, patch = (int(n) for n in built["version"].split("."))
    text = "%d, %d, %d, 0" % (major, minor, patch)
    numbers = [("FileVersionMS", major << 16 | minor), ("FileVersionLS", patch << 16),
               ("ProductVersionMS", major << 16 | minor), ("ProductVersionLS", patch << 16)]
    assert [(name, getattr(pe.VS_FIXEDFILEINFO[0], name)) for name, _ in
            numbers + FIXED_VERSION] == numbers + FIXED_VERSION
    tables = [t for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for t in info.StringTable]
    assert [t.LangID for t in tables] == [b"041104b0"]
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
    assert [key for key in PUBLISHER_STRINGS if not strings.pop(key, "").strip()] == []
    assert strings == dict(STRINGS, FileVersion=text, ProductVersion=text)
    assert [v.entry for info in pe.FileInfo[0] if info.Key == b"VarFileInfo"
            for v in info.Var] == [{b"Translation": "0x0411 0x04b0"}]
