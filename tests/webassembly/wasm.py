"""Reads what a dynamic linker sees of a WebAssembly module: its imports, its
exports and the libraries its dynamic-linking section names.

Only the module's outline is decoded (sections, names and kinds); its code is
left to LLVM's disassembler (test_side_module.py).
"""

import dataclasses
import pathlib

KINDS = {0: "func", 1: "table", 2: "memory", 3: "global", 4: "tag"}


class Reader:
    def __init__(self, data, pos=0, end=None):
        self.data = data
        self.pos = pos
        self.end = len(data) if end is None else end

    def byte(self):
        value = self.data[self.pos]
        self.pos += 1
        return value

    def leb(self, signed):
        result = shift = 0
        while True:
            b = self.byte()
            result |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                if signed and b & 0x40:
                    result -= 1 << shift
                return result

    def uleb(self):
        return self.leb(signed=False)

    def sleb(self):
        return self.leb(signed=True)

    def name(self):
        size = self.uleb()
        text = self.data[self.pos : self.pos + size].decode("utf-8")
        self.pos += size
        return text

    def skip(self, size):
        self.pos += size

    def limits(self):
        flags = self.byte()
        self.uleb()
        if flags & 1:
            self.uleb()

    def valtype(self):
        # Reference types with a heap type (0x63, 0x64) carry one more index.
        kind = self.byte()
        if kind in (0x63, 0x64):
            self.sleb()
        return kind


@dataclasses.dataclass
class Module:
    imports: list  # (module, name, kind)
    exports: list  # (name, kind)
    custom: dict  # name -> bytes


def read(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:4] == b"\0asm", f"{path} is not a WebAssembly module"
    reader = Reader(data, 8)
    imports, exports, custom = [], [], {}
    while reader.pos < len(data):
        section = reader.byte()
        size = reader.uleb()
        end = reader.pos + size
        if section == 0:
            name = reader.name()
            custom[name] = data[reader.pos : end]
        elif section == 2:
            for _ in range(reader.uleb()):
                module, name, kind = reader.name(), reader.name(), reader.byte()
                if kind == 0:
                    reader.uleb()
                elif kind == 1:
                    reader.valtype()
                    reader.limits()
                elif kind == 2:
                    reader.limits()
                elif kind == 3:
                    reader.valtype()
                    reader.byte()
                elif kind == 4:
                    reader.byte()
                    reader.uleb()
                imports.append((module, name, KINDS[kind]))
        elif section == 7:
            for _ in range(reader.uleb()):
                name, kind = reader.name(), reader.byte()
                reader.uleb()
                exports.append((name, KINDS[kind]))
        reader.pos = end
    return Module(imports, exports, custom)


def needed_libraries(module):
    """The shared libraries named in the dylink.0 section (WASM_DYLINK_NEEDED)."""
    section = module.custom.get("dylink.0", b"")
    reader = Reader(section)
    needed = []
    while reader.pos < len(section):
        kind, size = reader.byte(), reader.uleb()
        end = reader.pos + size
        if kind == 2:
            needed = [reader.name() for _ in range(reader.uleb())]
        reader.pos = end
    return needed
