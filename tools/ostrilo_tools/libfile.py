"""One reader for the three formats the modules are built in: ELF (Linux), Mach-O (macOS) and
PE (Windows). It tells what a library exports, the bytes of an exported data symbol, what it
imports and from which libraries, and for which processor it was built.

The stub generator reads the interface records through it, the wheel checks read every
library of a wheel through it, and the tests read the installed module through it, on every
platform the suite runs on. It is plain Python with no dependency, so it runs wherever the
tests do (32-bit ARM under an emulator and interpreters too new for compiled packages included).

    lib = read("ostrilo_py.cpython-311-darwin.so")   # a path, or the file's bytes
    for sym in lib.exports:                          # names as the C source spells them
        data = lib.symbol_bytes(sym)

An export's size is the symbol's own on ELF. Mach-O and PE record no sizes: there it is the
distance to the next export in the same section, or to the section's end, which is exact for
the records, since each format gives them a section of their own (frame/records.hpp).
"""
from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass, field
from pathlib import Path


@dataclass(frozen=True)
class Symbol:
    name: str
    address: int  # virtual address (PE: relative to the image base)
    size: int
    section: str


@dataclass(frozen=True)
class Section:
    name: str
    address: int
    size: int  # in memory
    offset: int  # in the file
    file_size: int  # bytes present in the file; the rest of `size` is zeros


@dataclass
class Library:
    path: str
    format: str  # "ELF", "Mach-O" or "PE"
    machine: str  # "x86_64", "aarch64", "arm", "i386", or the raw number
    bits: int
    data: bytes = field(repr=False)
    sections: list[Section] = field(default_factory=list, repr=False)
    exports: list[Symbol] = field(default_factory=list, repr=False)  # defined and exported, by address
    imports: set[str] = field(default_factory=set, repr=False)  # symbols taken from other libraries
    needed: list[str] = field(default_factory=list)  # the libraries it loads
    stripped: bool = True  # no static symbol table, no debug information
    # ELF: the header flags and the symbol versions asked of other libraries, (library, version).
    elf_flags: int = 0
    version_needs: list[tuple[str, str]] = field(default_factory=list)
    # Mach-O: the file type (6 dylib, 8 bundle) and the oldest macOS it loads on, (major, minor).
    macho_filetype: int = 0
    min_macos: tuple[int, int] | None = None
    # Mach-O: None without a code signature, else whether every page hashes to the value its
    # code directory holds (an arm64 Mac loads no library whose signature does not match).
    signature_matches: bool | None = None

    def symbol(self, name: str) -> Symbol:
        return next(s for s in self.exports if s.name == name)

    def symbol_bytes(self, sym: Symbol) -> bytes:
        """The bytes an exported data symbol holds."""
        return self.read_at(sym.address, sym.size)

    def read_at(self, address: int, size: int) -> bytes:
        for sec in self.sections:
            if sec.address <= address and address + size <= sec.address + sec.size:
                start = address - sec.address
                present = self.data[sec.offset + start:sec.offset + min(sec.file_size, start + size)]
                return present + bytes(size - len(present))
        raise ValueError(f"{self.path}: no section holds 0x{address:x}+{size}")


def read(source: str | Path | bytes) -> Library:
    if isinstance(source, (bytes, bytearray)):
        data, path = bytes(source), "<bytes>"
    else:
        data, path = Path(source).read_bytes(), str(source)
    if data[:4] == b"\x7fELF":
        return _read_elf(data, path)
    if data[:4] in (b"\xcf\xfa\xed\xfe", b"\xce\xfa\xed\xfe"):
        return _read_macho(data, path)
    if data[:2] == b"MZ":
        return _read_pe(data, path)
    if data[:4] in (b"\xca\xfe\xba\xbe", b"\xbe\xba\xfe\xca"):
        raise ValueError(f"{path}: a universal (fat) Mach-O file; read one architecture's slice")
    raise ValueError(f"{path}: not an ELF, Mach-O or PE file")


def _cstr(data: bytes, at: int) -> str:
    end = data.index(b"\0", at)
    return data[at:end].decode("utf-8")


def _sized_by_neighbours(found: list[tuple[str, int]], sections: list[Section]) -> list[Symbol]:
    """Symbols of formats without sizes: each extends to the next one in its section."""
    out = []
    found = sorted(found, key=lambda f: f[1])
    for i, (name, addr) in enumerate(found):
        sec = next((s for s in sections if s.address <= addr < s.address + s.size), None)
        if sec is None:
            out.append(Symbol(name, addr, 0, ""))
            continue
        end = sec.address + sec.size
        if i + 1 < len(found) and found[i + 1][1] < end:
            end = found[i + 1][1]
        out.append(Symbol(name, addr, end - addr, sec.name))
    return out


# --- ELF ------------------------------------------------------------------------------------------
_ELF_MACHINES = {3: "i386", 40: "arm", 62: "x86_64", 183: "aarch64"}
SHT_SYMTAB, SHT_NOBITS, SHT_DYNSYM, SHT_DYNAMIC, SHT_GNU_VERNEED = 2, 8, 11, 6, 0x6FFFFFFE
STT_SECTION, STT_FILE = 3, 4
DT_NEEDED = 1


def _read_elf(data: bytes, path: str) -> Library:
    is64 = data[4] == 2
    e = "<" if data[5] == 1 else ">"
    machine, = struct.unpack_from(e + "H", data, 0x12)
    if is64:
        flags, = struct.unpack_from(e + "I", data, 0x30)
        shoff, = struct.unpack_from(e + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(e + "HHH", data, 0x3A)
        shdr = e + "IIQQQQIIQQ"
    else:
        flags, = struct.unpack_from(e + "I", data, 0x24)
        shoff, = struct.unpack_from(e + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(e + "HHH", data, 0x2E)
        shdr = e + "IIIIIIIIII"
    raw = [struct.unpack_from(shdr, data, shoff + i * shentsize) for i in range(shnum)]
    names_at = raw[shstrndx][4] if shnum else 0
    # name, type, flags, addr, offset, size, link, info, align, entsize
    heads = [(_cstr(data, names_at + r[0]) if shnum else "", *r[1:]) for r in raw]
    lib = Library(path, "ELF", _ELF_MACHINES.get(machine, str(machine)), 64 if is64 else 32, data, elf_flags=flags)
    lib.sections = [Section(h[0], h[3], h[5], h[4], 0 if h[1] == SHT_NOBITS else h[5]) for h in heads]
    lib.stripped = not any(h[1] == SHT_SYMTAB or h[0].startswith(".debug") for h in heads)
    for h in heads:
        name, typ, _fl, _addr, offset, size, link, info, _al, entsize = h
        strtab = heads[link][4] if link < len(heads) else 0
        if typ == SHT_DYNSYM:
            fmt = e + ("IBBHQQ" if is64 else "IIIBBH")
            for at in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
                if is64:
                    n, st_info, _o, shndx, value, sz = struct.unpack_from(fmt, data, at)
                else:
                    n, value, sz, st_info, _o, shndx = struct.unpack_from(fmt, data, at)
                sym_name = _cstr(data, strtab + n)
                if not sym_name or st_info & 0xF in (STT_SECTION, STT_FILE):
                    continue
                if shndx == 0:
                    lib.imports.add(sym_name)
                else:
                    sec = heads[shndx][0] if shndx < len(heads) else ""
                    lib.exports.append(Symbol(sym_name, value, sz, sec))
        elif typ == SHT_DYNAMIC:
            fmt, step = (e + "qQ", 16) if is64 else (e + "iI", 8)
            for at in range(offset, offset + size, step):
                tag, val = struct.unpack_from(fmt, data, at)
                if tag == 0:
                    break
                if tag == DT_NEEDED:
                    lib.needed.append(_cstr(data, strtab + val))
        elif typ == SHT_GNU_VERNEED:
            at = offset
            for _ in range(info):
                _ver, cnt, file, aux, nxt = struct.unpack_from(e + "HHIII", data, at)
                library = _cstr(data, strtab + file)
                a = at + aux
                for _ in range(cnt):
                    _hash, _flags, _other, vname, anext = struct.unpack_from(e + "IHHII", data, a)
                    lib.version_needs.append((library, _cstr(data, strtab + vname)))
                    a += anext
                at += nxt
    lib.exports.sort(key=lambda s: s.address)
    return lib


# --- Mach-O -----------------------------------------------------------------------------------------
_MACHO_CPUS = {0x01000007: "x86_64", 0x0100000C: "aarch64", 7: "i386", 12: "arm"}
LC_SYMTAB, LC_SEGMENT_64, LC_LOAD_DYLIB, LC_DYLD_INFO = 0x2, 0x19, 0xC, 0x22
LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB, LC_DYLD_EXPORTS_TRIE = 0x80000018, 0x8000001F, 0x80000033
LC_VERSION_MIN_MACOSX, LC_BUILD_VERSION, LC_CODE_SIGNATURE = 0x24, 0x32, 0x1D
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
N_STAB, N_TYPE, N_EXT, N_UNDF = 0xE0, 0x0E, 0x01, 0x0
S_ZEROFILL_TYPES = (0x1, 0xC, 0x12)  # S_ZEROFILL, S_GB_ZEROFILL, S_THREAD_LOCAL_ZEROFILL


def _uleb(data: bytes, at: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        b = data[at]
        at += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            return value, at


def _version(v: int) -> tuple[int, int]:
    return v >> 16, (v >> 8) & 0xFF


def _read_macho(data: bytes, path: str) -> Library:
    if data[:4] != b"\xcf\xfa\xed\xfe":
        raise ValueError(f"{path}: a 32-bit Mach-O file")
    cputype, _sub, filetype, ncmds, _size, _flags = struct.unpack_from("<iiIIII", data, 4)
    lib = Library(path, "Mach-O", _MACHO_CPUS.get(cputype, str(cputype)), 64, data, macho_filetype=filetype)
    base = None
    trie = None
    symtab = None
    at = 32
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<II", data, at)
        if cmd == LC_SEGMENT_64:
            segname = data[at + 8:at + 24].rstrip(b"\0").decode()
            vmaddr, _vmsize, fileoff, _filesize = struct.unpack_from("<QQQQ", data, at + 24)
            nsects, = struct.unpack_from("<I", data, at + 64)
            if fileoff == 0 and base is None:
                base = vmaddr
            s = at + 72
            for _ in range(nsects):
                sectname = data[s:s + 16].rstrip(b"\0").decode()
                addr, size, offset = struct.unpack_from("<QQI", data, s + 32)
                sflags, = struct.unpack_from("<I", data, s + 64)
                file_size = 0 if sflags & 0xFF in S_ZEROFILL_TYPES else size
                lib.sections.append(Section(f"{segname},{sectname}", addr, size, offset, file_size))
                s += 80
        elif cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB):
            name_off, = struct.unpack_from("<I", data, at + 8)
            lib.needed.append(_cstr(data, at + name_off))
        elif cmd == LC_DYLD_INFO or cmd == (LC_DYLD_INFO | 0x80000000):
            export_off, export_size = struct.unpack_from("<II", data, at + 40)
            if export_size:
                trie = (export_off, export_size)
        elif cmd == LC_DYLD_EXPORTS_TRIE:
            trie = struct.unpack_from("<II", data, at + 8)
        elif cmd == LC_SYMTAB:
            symtab = struct.unpack_from("<IIII", data, at + 8)
        elif cmd == LC_BUILD_VERSION:
            platform, minos = struct.unpack_from("<II", data, at + 8)
            if platform == 1:  # PLATFORM_MACOS
                lib.min_macos = _version(minos)
        elif cmd == LC_VERSION_MIN_MACOSX:
            lib.min_macos = _version(struct.unpack_from("<I", data, at + 8)[0])
        elif cmd == LC_CODE_SIGNATURE:
            lib.signature_matches = _signature_matches(data, struct.unpack_from("<I", data, at + 8)[0])
        at += cmdsize

    if trie is not None:
        found: list[tuple[str, int]] = []
        start, size = trie
        stack = [(start, "")]
        while stack:
            node, prefix = stack.pop()
            terminal, p = _uleb(data, node)
            if terminal:
                flags, q = _uleb(data, p)
                if not flags & 0x08:  # a re-export names no address of this library
                    address, _ = _uleb(data, q)
                    found.append((prefix, (base or 0) + address))
            p += terminal
            children = data[p]
            p += 1
            for _ in range(children):
                edge = _cstr(data, p)
                p += len(edge.encode()) + 1
                child, p = _uleb(data, p)
                stack.append((start + child, prefix + edge))
        lib.exports = _sized_by_neighbours([(n.removeprefix("_"), a) for n, a in found], lib.sections)

    if symtab is not None:
        symoff, nsyms, stroff, _strsize = symtab
        for i in range(nsyms):
            n_strx, n_type, _n_sect, _n_desc, _n_value = struct.unpack_from("<IBBHQ", data, symoff + 16 * i)
            name = _cstr(data, stroff + n_strx).removeprefix("_")
            if n_type & N_STAB:
                lib.stripped = False
            elif n_type & N_TYPE == N_UNDF and n_type & N_EXT:
                lib.imports.add(name)
            elif not n_type & N_EXT:
                lib.stripped = False  # a local symbol
    return lib


def _signature_matches(data: bytes, at: int) -> bool:
    """Whether the code directories of the signature at `at` hash every page as it is now."""
    hashes = {1: "sha1", 2: "sha256"}
    _magic, _length, count = struct.unpack_from(">III", data, at)
    found = False
    for i in range(count):
        _type, offset = struct.unpack_from(">II", data, at + 12 + 8 * i)
        cd = at + offset
        if struct.unpack_from(">I", data, cd)[0] != CSMAGIC_CODEDIRECTORY:
            continue
        (hash_offset, _ident, _special, n_code, code_limit, hash_size, hash_type, _platform,
         page_log2) = struct.unpack_from(">IIIIIBBBB", data, cd + 16)
        if hash_type not in hashes:
            return False
        page = 1 << page_log2
        for k in range(n_code):
            digest = hashlib.new(hashes[hash_type], data[k * page:min((k + 1) * page, code_limit)]).digest()
            if digest[:hash_size] != data[cd + hash_offset + k * hash_size:cd + hash_offset + (k + 1) * hash_size]:
                return False
        found = found or n_code * page >= code_limit
    return found


# --- PE ---------------------------------------------------------------------------------------------
_PE_MACHINES = {0x8664: "x86_64", 0xAA64: "aarch64", 0x14C: "i386", 0x1C4: "arm"}
IMAGE_DEBUG_TYPE_CODEVIEW = 2


def _read_pe(data: bytes, path: str) -> Library:
    pe, = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: an MS-DOS program, not a PE file")
    machine, nsections, _time, symtab_at, nsyms, opt_size, _chars = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic, = struct.unpack_from("<H", data, opt)
    is64 = magic == 0x20B
    ndirs, = struct.unpack_from("<I", data, opt + (108 if is64 else 92))
    dirs_at = opt + (112 if is64 else 96)
    dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) for i in range(min(ndirs, 16))]
    lib = Library(path, "PE", _PE_MACHINES.get(machine, str(machine)), 64 if is64 else 32, data)
    at = opt + opt_size
    for _ in range(nsections):
        raw_name = data[at:at + 8].rstrip(b"\0")
        vsize, va, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
        lib.sections.append(Section(raw_name.decode("utf-8", "replace"), va, vsize or raw_size, raw_at,
                                    min(raw_size, vsize or raw_size)))
        at += 40
    lib.stripped = not (symtab_at and nsyms)

    def string_at(rva: int) -> str:
        return _cstr(data, _file_offset(lib, rva))

    if len(dirs) > 0 and dirs[0][1]:
        exp = _file_offset(lib, dirs[0][0])
        (_c, _t, _mj, _mn, _name, _base, nfuncs, nnames, funcs_rva, names_rva,
         ords_rva) = struct.unpack_from("<IIHHIIIIIII", data, exp)
        funcs, names, ords = (_file_offset(lib, r) for r in (funcs_rva, names_rva, ords_rva))
        found = []
        for i in range(nnames):
            name_rva, = struct.unpack_from("<I", data, names + 4 * i)
            ordinal, = struct.unpack_from("<H", data, ords + 2 * i)
            rva, = struct.unpack_from("<I", data, funcs + 4 * ordinal)
            found.append((string_at(name_rva), rva))
        lib.exports = _sized_by_neighbours(found, lib.sections)

    if len(dirs) > 1 and dirs[1][1]:
        desc = _file_offset(lib, dirs[1][0])
        while True:
            lookup, _t, _f, name_rva, first = struct.unpack_from("<IIIII", data, desc)
            if not name_rva:
                break
            lib.needed.append(string_at(name_rva))
            thunk = _file_offset(lib, lookup or first)
            width, ordinal_bit = (8, 1 << 63) if is64 else (4, 1 << 31)
            while True:
                entry = int.from_bytes(data[thunk:thunk + width], "little")
                if not entry:
                    break
                if not entry & ordinal_bit:
                    lib.imports.add(_cstr(data, _file_offset(lib, entry & 0x7FFFFFFF) + 2))
                thunk += width
            desc += 20

    if len(dirs) > 6 and dirs[6][1]:
        d = _file_offset(lib, dirs[6][0])
        for k in range(dirs[6][1] // 28):
            typ, = struct.unpack_from("<I", data, d + 28 * k + 12)
            if typ == IMAGE_DEBUG_TYPE_CODEVIEW:
                lib.stripped = False  # names a program database
    return lib


def _file_offset(lib: Library, rva: int) -> int:
    for sec in lib.sections:
        if sec.address <= rva < sec.address + max(sec.size, sec.file_size):
            return sec.offset + rva - sec.address
    raise ValueError(f"{lib.path}: no section holds RVA 0x{rva:x}")
