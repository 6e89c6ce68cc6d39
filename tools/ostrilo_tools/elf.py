"""A small reader of ELF files: sections by name and the dynamic symbol table.

Enough for the stub generator, which reads the exported interface records out of the built
library, and for the checks that compare them.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path

SHT_NOBITS = 8
SHT_DYNSYM = 11


@dataclass
class Section:
    name: str
    type: int
    addr: int
    offset: int
    size: int
    link: int
    entsize: int


@dataclass
class Symbol:
    name: str
    value: int
    size: int
    shndx: int


class ElfFile:
    def __init__(self, path: str | Path):
        self.data = Path(path).read_bytes()
        if self.data[:4] != b"\x7fELF":
            raise ValueError(f"{path}: not an ELF file")
        self.is64 = self.data[4] == 2
        self.endian = "<" if self.data[5] == 1 else ">"
        if self.is64:
            shoff, = struct.unpack_from(self.endian + "Q", self.data, 0x28)
            shentsize, shnum, shstrndx = struct.unpack_from(self.endian + "HHH", self.data, 0x3A)
        else:
            shoff, = struct.unpack_from(self.endian + "I", self.data, 0x20)
            shentsize, shnum, shstrndx = struct.unpack_from(self.endian + "HHH", self.data, 0x2E)
        raw = [self._section_header(shoff + i * shentsize) for i in range(shnum)]
        names = raw[shstrndx] if shnum else None
        self.sections = []
        for name_off, typ, addr, offset, size, link, entsize in raw:
            name = self._cstr(names[3] + name_off) if names else ""
            self.sections.append(Section(name, typ, addr, offset, size, link, entsize))

    def _section_header(self, at: int):
        if self.is64:
            name, typ, _flags, addr, offset, size, link, _info, _align, entsize = struct.unpack_from(
                self.endian + "IIQQQQIIQQ", self.data, at)
        else:
            name, typ, _flags, addr, offset, size, link, _info, _align, entsize = struct.unpack_from(
                self.endian + "IIIIIIIIII", self.data, at)
        return name, typ, addr, offset, size, link, entsize

    def _cstr(self, at: int) -> str:
        end = self.data.index(b"\0", at)
        return self.data[at:end].decode("utf-8")

    def dynamic_symbols(self) -> list[Symbol]:
        out = []
        for s in self.sections:
            if s.type != SHT_DYNSYM:
                continue
            strtab = self.sections[s.link]
            fmt = self.endian + ("IBBHQQ" if self.is64 else "IIIBBH")
            for at in range(s.offset, s.offset + s.size, s.entsize):
                if self.is64:
                    name, _info, _other, shndx, value, size = struct.unpack_from(fmt, self.data, at)
                else:
                    name, value, size, _info, _other, shndx = struct.unpack_from(fmt, self.data, at)
                out.append(Symbol(self._cstr(strtab.offset + name), value, size, shndx))
        return out

    def symbol_bytes(self, sym: Symbol) -> bytes:
        """The bytes a defined data symbol holds in the file."""
        sec = self.sections[sym.shndx]
        if sec.type == SHT_NOBITS:
            return bytes(sym.size)
        start = sec.offset + (sym.value - sec.addr)
        return self.data[start:start + sym.size]
