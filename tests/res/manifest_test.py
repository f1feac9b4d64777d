"""The application manifest inside every built RadeVare.exe names the
architecture of the file it sits in: x86 in a PE32 file for Intel 80386,
amd64 in a PE32+ file for x86-64. A 64-bit program that asks for the x86
common controls is given the 32-bit comctl32.dll wherever both are installed,
and then cannot show a single message box.

The resource is read straight out of the file, without Wine, so the check
holds on machines that cannot run the build it reads."""
import os
import struct
import unittest
import xml.etree.ElementTree as ElementTree

RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1
MACHINE_ARCHITECTURES = {0x014C: "x86", 0x8664: "amd64"}


class PeImage:
    """The few parts of a PE file that the check needs: its machine type and
    its resources, read from the bytes alone."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        # The data directories follow the standard and Windows-specific
        # fields, which are 96 bytes in PE32 and 112 in PE32+.
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        for i in range(sections):
            header = optional + optional_size + 40 * i
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, header + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def _entries(self, directory):
        """(id or None for a named entry, offset of the target, is a subdirectory) of one resource directory."""
        base = self.offset(self.resource_rva)
        named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), target & 0x7FFFFFFF, bool(target & 0x80000000)

    def resource(self, kind, ident):
        """The bytes of resource kind/ident in its first language, or None."""
        if self.resource_rva == 0:
            return None
        base = self.offset(self.resource_rva)
        for type_id, type_dir, _ in self._entries(0):
            if type_id != kind:
                continue
            for name_id, name_dir, _ in self._entries(type_dir):
                if name_id != ident:
                    continue
                for _, leaf, is_dir in self._entries(name_dir):
                    if is_dir:
                        continue
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(rva)
                    return self.data[start:start + size]
        return None


def architecture_mistakes(manifest, machine):
    """Every processorArchitecture in the manifest that does not fit the
    machine type, as readable lines; and how many it names in all."""
    expected = MACHINE_ARCHITECTURES.get(machine)
    if expected is None:
        return ["machine type 0x%04x is not one this project builds" % machine], 0
    mistakes = []
    named = 0
    for element in ElementTree.fromstring(manifest).iter():
        value = element.get("processorArchitecture")
        if value is None:
            continue
        named += 1
        if value != expected:
            mistakes.append("%s of %s names %r, the file is %s" % (element.tag.split("}")[-1], element.get("name"),
                                                                     value, expected))
    return mistakes, named


def built_programs():
    """This build's RadeVare.exe, and the other architecture's when it has been built beside it."""
    own = os.path.join(os.environ["RADEVARE_BIN"], "RadeVare.exe")
    build = os.path.dirname(os.environ["RADEVARE_BIN"])
    if os.environ.get("RADEVARE_ARCH") == "x86-64":
        other = os.path.join(os.path.dirname(build), "bin", "RadeVare.exe")
    else:
        other = os.path.join(build, "x86-64", "bin", "RadeVare.exe")
    return [own] + ([other] if os.path.isfile(other) else [])


class ManifestTest(unittest.TestCase):
    def test_every_built_program_names_its_own_architecture(self):
        programs = built_programs()
        self.assertTrue(os.path.isfile(programs[0]), "%s is not built" % programs[0])
        for path in programs:
            with self.subTest(program=path):
                with open(path, "rb") as f:
                    image = PeImage(f.read())
                manifest = image.resource(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID)
                self.assertIsNotNone(manifest, "no application manifest in %s" % path)
                mistakes, named = architecture_mistakes(manifest, image.machine)
                self.assertEqual(mistakes, [], path)
                # The identity and the common-controls dependency.
                self.assertEqual(named, 2, path)
                self.assertIn(b"Microsoft.Windows.Common-Controls", manifest)

    def test_a_manifest_for_the_other_architecture_is_caught(self):
        manifest = (b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
                    b'<assemblyIdentity name="A" processorArchitecture="amd64"/>'
                    b'<dependency><dependentAssembly><assemblyIdentity name="B" processorArchitecture="x86"/>'
                    b'</dependentAssembly></dependency></assembly>')
        self.assertEqual(architecture_mistakes(manifest, 0x8664), (["assemblyIdentity of B names 'x86', the file is amd64"], 2))
        self.assertEqual(len(architecture_mistakes(manifest, 0x014C)[0]), 1)
        self.assertEqual(architecture_mistakes(manifest, 0x01C4)[1], 0, "an ARM file is no build of ours")


if __name__ == "__main__":
    unittest.main(verbosity=2)
