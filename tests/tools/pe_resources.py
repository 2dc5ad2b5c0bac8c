#!/usr/bin/env python3
"""Reads a Windows program's resources and checks what the release promises:
the version resource's numbers and texts, the icon group of four sizes, the
manifest's execution level, and a banner that names the same version.

    pe_resources.py PROGRAM.exe VERSION LABEL      (e.g. 1.3.0 beta)

Prints "ok", or each difference on a line of its own and exits 1.
Standard library only.
"""

import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
PRODUCT = "Lumaret Desktop Proxy Launcher"
PROGRAM_FILE = "LumaretDesktopProxyLauncher.exe"


def resources(image):
    """{(type, name, language): bytes} of the image's resource section."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 96)
    root, _ = struct.unpack_from("<II", image, directories + 2 * 8)
    table = [struct.unpack_from("<8xIIII", image, optional + optional_size + 40 * i)
             for i in range(sections)]

    def at(rva):
        for _, address, raw_size, raw in table:
            if address <= rva < address + raw_size:
                return raw + rva - address
        raise ValueError("address %#x outside the sections" % rva)

    found = {}
    if root == 0:
        return found

    def walk(offset, path):
        named, numbered = struct.unpack_from("<12xHH", image, at(root) + offset)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, at(root) + offset + 16 + 8 * i)
            if name & 0x80000000:
                length = struct.unpack_from("<H", image, at(root) + (name & 0x7FFFFFFF))[0]
                start = at(root) + (name & 0x7FFFFFFF) + 2
                name = image[start:start + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, path + (name,))
            else:
                rva, size = struct.unpack_from("<II", image, at(root) + target)
                found[path + (name,)] = image[at(rva):at(rva) + size]

    walk(0, ())
    return found


def version_node(data, offset=0):
    """One node of a version resource: (key, value, children, end)."""
    length, value_length, text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    size = value_length * 2 if text else value_length
    value = data[position:position + size]
    if text:
        value = value.decode("utf-16-le").rstrip("\0")
    position = (position + size + 3) & ~3
    children = []
    while position < end:
        child = version_node(data, position)
        children.append(child)
        position = (child[3] + 3) & ~3
    return key, value, children, end


def check(image, version, label):
    problems = []
    found = resources(image)

    def one(kind):
        items = sorted((key, data) for key, data in found.items() if key[0] == kind)
        return items[0] if items else (None, b"")

    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    short = "%d.%d %s" % (numbers[0], numbers[1], label)
    key, data = one(RT_VERSION)
    if key is None:
        return ["no version resource"]
    _, fixed, children, _ = version_node(data)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    expected = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
    if signature != 0xFEEF04BD or (file_ms, file_ls) != expected or (product_ms, product_ls) != expected:
        problems.append("version numbers are not %s" % ".".join(map(str, numbers)))
    blocks = {child[0]: child for child in children}
    strings = {}
    for table in blocks.get("StringFileInfo", (0, 0, []))[2]:
        strings[table[0]] = {entry[0]: entry[1] for entry in table[2]}
    wanted = {"FileDescription": PRODUCT, "ProductName": PRODUCT, "ProductVersion": short,
              "FileVersion": ".".join(map(str, numbers)), "OriginalFilename": PROGRAM_FILE,
              "InternalName": PROGRAM_FILE}
    texts = strings.get("040904B0", strings.get("040904b0", {}))
    for name, value in wanted.items():
        if texts.get(name) != value:
            problems.append("version text %s is %r, not %r" % (name, texts.get(name), value))
    if not texts.get("LegalCopyright", "").startswith("Copyright"):
        problems.append("no LegalCopyright")
    translations = [entry[1] for entry in blocks.get("VarFileInfo", (0, 0, []))[2]]
    if translations != [struct.pack("<HH", 0x409, 1200)]:
        problems.append("the translation is not US English, UTF-16")
    if key[2] != 0x409:
        problems.append("the version resource's language is %#x" % key[2])

    key, group = one(RT_GROUP_ICON)
    sizes = []
    if key is not None:
        for i in range(struct.unpack_from("<4xH", group)[0]):
            width, icon_id = struct.unpack_from("<B11xH", group, 6 + 14 * i)
            if not any(k[:2] == (RT_ICON, icon_id) for k in found):
                problems.append("icon %d of the group is missing" % icon_id)
            sizes.append(width or 256)
    if sorted(sizes) != [16, 32, 48, 256]:
        problems.append("the first icon group holds sizes %s, not 16, 32, 48 and 256" % sizes)

    manifest = found.get(next((k for k in found if k[:2] == (RT_MANIFEST, 1)), None), b"")
    if b'level="asInvoker"' not in manifest or b'uiAccess="false"' not in manifest:
        problems.append("no manifest 1 that asks for asInvoker without uiAccess")

    if (PRODUCT + " " + short).encode() + b"\0" not in image:
        problems.append("the program holds no banner %r" % (PRODUCT + " " + short))
    return problems


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: pe_resources.py PROGRAM.exe VERSION LABEL")
    with open(sys.argv[1], "rb") as f:
        problems = check(f.read(), sys.argv[2], sys.argv[3])
    print("\n".join(problems) if problems else "ok")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
