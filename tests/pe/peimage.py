"""Reads the parts of a 32-bit PE image that the checks of halunupd.exe and
halunmsi.dll need: the headers, the import and export tables and the
resource tree. Standard library only;
every offset is bounds-checked so a damaged file fails with a message rather
than a wrong answer."""

import struct

IMAGE_FILE_MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
DIRECTORY_EXPORT = 0
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
RT_STRING = 6
RT_MANIFEST = 24


class PeError(Exception):
    pass


class PeImage:
    def __init__(self, data):
        self.data = data
        if self._unpack("<H", 0) != (0x5A4D,):
            raise PeError("no MZ signature")
        (pe,) = self._unpack("<I", 0x3C)
        if self._bytes(pe, 4) != b"PE\0\0":
            raise PeError("no PE signature at 0x%x" % pe)
        (self.machine, section_count, _, _, _, optional_size,
         self.characteristics) = self._unpack("<HHIIIHH", pe + 4)
        optional = pe + 24
        (self.magic,) = self._unpack("<H", optional)
        if self.magic != PE32_MAGIC:
            raise PeError("optional header magic 0x%04x, not PE32" % self.magic)
        self.section_alignment, self.file_alignment = self._unpack("<II", optional + 32)
        self.os_version = self._unpack("<HH", optional + 40)
        self.subsystem_version = self._unpack("<HH", optional + 48)
        (self.subsystem,) = self._unpack("<H", optional + 68)
        self.directories = [self._unpack("<II", optional + 96 + 8 * i)
                            for i in range(min(self._unpack("<I", optional + 92)[0], 16))]
        self.sections = []
        self.section_flags = {}
        self.section_table = optional + optional_size
        for i in range(section_count):
            raw = self._bytes(self.section_table + 40 * i, 40)
            name = raw[:8].rstrip(b"\0").decode("latin-1")
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", raw, 8)
            self.sections.append((name, rva, virtual_size, raw_offset, raw_size))
            self.section_flags[name] = struct.unpack_from("<I", raw, 36)[0]

    # Bounded readers over the file.
    def _bytes(self, offset, count):
        if offset < 0 or count < 0 or offset + count > len(self.data):
            raise PeError("read of %d bytes at 0x%x is past the end of the file (%d bytes)"
                          % (count, offset, len(self.data)))
        return self.data[offset:offset + count]

    def _unpack(self, fmt, offset):
        return struct.unpack_from(fmt, self._bytes(offset, struct.calcsize(fmt)))

    def section_at(self, rva):
        """(name, rva, virtual size, raw offset, raw size) of the section that holds `rva`."""
        for section in self.sections:
            name, start, virtual_size, _, raw_size = section
            if start <= rva < start + max(virtual_size, raw_size):
                return section
        raise PeError("RVA 0x%x is in no section" % rva)

    def offset_of(self, rva):
        name, start, _, raw_offset, raw_size = self.section_at(rva)
        if rva - start >= raw_size:
            raise PeError("RVA 0x%x lies in the uninitialised part of %s" % (rva, name))
        return raw_offset + (rva - start)

    def read_rva(self, rva, count):
        return self._bytes(self.offset_of(rva), count)

    def c_string_at(self, rva, limit=512):
        offset = self.offset_of(rva)
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            raise PeError("unterminated name at RVA 0x%x" % rva)
        return self.data[offset:end].decode("latin-1")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imports(self):
        """[(dll name, [function names, or '#ordinal' for imports by number])]"""
        rva, size = self.directory(DIRECTORY_IMPORT)
        result = []
        if rva == 0:
            return result
        for entry in range(4096):
            lookup, _, _, name_rva, thunk = struct.unpack("<IIIII", self.read_rva(rva + 20 * entry, 20))
            if lookup == 0 and name_rva == 0 and thunk == 0:
                return result
            names = []
            table = lookup or thunk
            for i in range(65536):
                value = struct.unpack("<I", self.read_rva(table + 4 * i, 4))[0]
                if value == 0:
                    break
                names.append("#%d" % (value & 0xFFFF) if value & 0x80000000 else self.c_string_at(value + 2))
            result.append((self.c_string_at(name_rva), names))
        raise PeError("import directory has no terminating entry")

    def exports(self):
        """The names the export table gives, in its order."""
        rva, size = self.directory(DIRECTORY_EXPORT)
        if rva == 0:
            return []
        # The number of names, the address table, the name pointer table.
        count, _, names_rva = struct.unpack("<III", self.read_rva(rva + 24, 12))
        if count > 65536:
            raise PeError("export table claims %d names" % count)
        return [self.c_string_at(struct.unpack("<I", self.read_rva(names_rva + 4 * i, 4))[0])
                for i in range(count)]

    def resources(self):
        """{(type, name, language): bytes}; named entries are keyed by their text."""
        rva, size = self.directory(DIRECTORY_RESOURCE)
        found = {}
        if rva == 0:
            return found

        def entries(table_rva):
            named, numbered = struct.unpack("<HH", self.read_rva(rva + table_rva + 12, 4))
            for i in range(named + numbered):
                ident, target = struct.unpack("<II", self.read_rva(rva + table_rva + 16 + 8 * i, 8))
                if ident & 0x80000000:
                    at = rva + (ident & 0x7FFFFFFF)
                    length = struct.unpack("<H", self.read_rva(at, 2))[0]
                    ident = self.read_rva(at + 2, 2 * length).decode("utf-16-le")
                yield ident, target

        for type_id, type_target in entries(0):
            if not type_target & 0x80000000:
                raise PeError("resource type %r points at data, not a directory" % (type_id,))
            for name_id, name_target in entries(type_target & 0x7FFFFFFF):
                if not name_target & 0x80000000:
                    raise PeError("resource %r/%r has no language level" % (type_id, name_id))
                for language, leaf in entries(name_target & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PeError("resource %r/%r/%r nests too deep" % (type_id, name_id, language))
                    data_rva, data_size = struct.unpack("<II", self.read_rva(rva + leaf, 8))
                    found[(type_id, name_id, language)] = self.read_rva(data_rva, data_size)
        return found


def string_table(resources, language):
    """{number: UTF-16LE bytes of the text} from the RT_STRING blocks of
    `language`. Block n holds the counted strings n*16-16 .. n*16-1; an empty
    slot is a zero count and is not a string."""
    strings = {}
    for (type_id, name_id, lang), block in resources.items():
        if type_id != RT_STRING or lang != language:
            continue
        if not isinstance(name_id, int) or name_id == 0:
            raise PeError("string block with name %r" % (name_id,))
        at = 0
        for slot in range(16):
            if at + 2 > len(block):
                raise PeError("string block %d ends inside slot %d" % (name_id, slot))
            count = struct.unpack_from("<H", block, at)[0]
            at += 2
            if at + 2 * count > len(block):
                raise PeError("string block %d: slot %d of %d characters runs past the block"
                              % (name_id, slot, count))
            if count:
                strings[(name_id - 1) * 16 + slot] = block[at:at + 2 * count]
            at += 2 * count
    return strings
