#!/usr/bin/python3
"""What Debian's python3-pefile reads of a program: an independent reader of
what kesto-pack build writes with --icon, --version and --info.

  pe_identity.py icon OUT.ico         writes a test icon: 16 (8-bit), 24 (4-bit),
                                      32 (24-bit), 48 (32-bit) bitmaps, a PNG 256
  pe_identity.py read PROGRAM         prints one JSON object: the identity in the
                                      shape of kesto-pack inspect --json's, the
                                      resources (type, name, language, size), the
                                      checksum (stored, computed), the headers
                                      kesto-pack must keep or set
"""
import json
import re
import struct
import sys
import zlib


def bitmap(size, bits):
    colors = 1 << bits if bits <= 8 else 0
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, colors, 0)
    palette = b''.join(struct.pack('<BBBB', i, (i * 7) % 256, (i * 13) % 256, 0) for i in range(colors))
    row = (size * bits + 31) // 32 * 4
    pixels = bytearray()
    for y in range(size):
        line = bytearray(row)
        for x in range(size):
            v = (x * 5 + y * 3) % (colors or 256)
            if bits == 32:
                line[4 * x:4 * x + 4] = bytes((v, 255 - v, (x * y) % 256, 255))
            elif bits == 24:
                line[3 * x:3 * x + 3] = bytes((v, 255 - v, (x * y) % 256))
            elif bits == 8:
                line[x] = v
            elif bits == 4:
                line[x // 2] |= v << (0 if x % 2 else 4)
        pixels += line
    mask = bytes((size + 31) // 32 * 4 * size)
    return header + palette + bytes(pixels) + mask, colors % 256


def png(size):
    # Squares of a few colours: compresses well, as real 256-pixel icons do.
    rows = b''.join(b'\0' + b''.join(bytes(((x // 32) * 32, (y // 32) * 32, 128, 255)) for x in range(size))
                    for y in range(size))
    chunk = lambda kind, data: struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b'')), 0


def write_icon(path):
    images = [(16, 8) + bitmap(16, 8), (24, 4) + bitmap(24, 4), (32, 24) + bitmap(32, 24), (48, 32) + bitmap(48, 32),
              (256, 32) + png(256)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data, colors in images:
        out += struct.pack('<BBBBHHII', size % 256, size % 256, colors, 0, 1, bits, len(data), offset)
        offset += len(data)
    open(path, 'wb').write(out + b''.join(image[2] for image in images))


def read(path):
    import pefile
    pe = pefile.PE(path)
    resources, icons, groups = [], {}, []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                resources.append([kind.id, name.id, language.id, len(data)])
                if kind.id == pefile.RESOURCE_TYPE['RT_ICON']:
                    icons[name.id] = data
                if kind.id == pefile.RESOURCE_TYPE['RT_GROUP_ICON']:
                    groups.append(data)
    identity = None
    if hasattr(pe, 'VS_FIXEDFILEINFO') or groups:
        identity = {'file_version': None, 'product_version': None, 'strings': {}, 'icon': []}
    if hasattr(pe, 'VS_FIXEDFILEINFO'):
        fixed = pe.VS_FIXEDFILEINFO[0]
        text = lambda high, low: '%d.%d.%d.%d' % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
        identity['file_version'] = text(fixed.FileVersionMS, fixed.FileVersionLS)
        identity['product_version'] = text(fixed.ProductVersionMS, fixed.ProductVersionLS)
        for info in pe.FileInfo[0]:
            if info.Key == b'StringFileInfo':
                for table in info.StringTable:
                    # pefile writes a character beyond the BMP as two escaped surrogates, "\\ud83d\\ude00".
                    text = lambda value: re.sub(r'\\u(d[89ab][0-9a-f]{2})\\u(d[c-f][0-9a-f]{2})', lambda pair: chr(
                        0x10000 + ((int(pair[1], 16) - 0xD800) << 10) + int(pair[2], 16) - 0xDC00), value.decode())
                    identity['strings'].update({text(k): text(v) for k, v in table.entries.items()})
                    identity['string_table'] = table.LangID.decode()
            if info.Key == b'VarFileInfo':
                for var in info.Var:
                    identity['translation'] = {k.decode(): v for k, v in var.entry.items()}
    if groups:
        count = struct.unpack_from('<H', groups[0], 4)[0]
        for i in range(count):
            width, height, colors, _, planes, bits, size, number = struct.unpack_from('<BBBBHHIH', groups[0], 6 + 14 * i)
            image = icons[number]
            is_png = image.startswith(b'\x89PNG')
            if is_png:
                width, height = struct.unpack_from('>II', image, 16)
            assert size == len(image), 'the group names the wrong size for image %d' % number
            identity['icon'].append({'width': width or 256, 'height': height or 256, 'bits': bits, 'png': is_png})
    header = pe.OPTIONAL_HEADER
    last = max(pe.sections, key=lambda section: section.VirtualAddress)
    aligned = lambda value, alignment: (value + alignment - 1) // alignment * alignment
    print(json.dumps({
        'identity': identity,
        'resources': resources,
        # Without parsing the resources: pefile's write() (which generate_checksum
        # calls) puts back a string beyond the BMP as it decoded it, wrongly.
        'checksum': [header.CheckSum, pefile.PE(path, fast_load=True).generate_checksum()],
        'dll_characteristics': header.DllCharacteristics,
        'characteristics': pe.FILE_HEADER.Characteristics,
        'size_of_image_matches': header.SizeOfImage ==
            aligned(last.VirtualAddress + max(last.Misc_VirtualSize, last.SizeOfRawData), header.SectionAlignment),
        'sections_aligned': all(s.VirtualAddress % header.SectionAlignment == 0 and
                                s.PointerToRawData % header.FileAlignment == 0 for s in pe.sections),
        'warnings': pe.get_warnings(),
    }, ensure_ascii=False, sort_keys=True))


if __name__ == '__main__':
    {'icon': write_icon, 'read': read}[sys.argv[1]](sys.argv[2])
