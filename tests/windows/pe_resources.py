#!/usr/bin/env python3
"""Checks the resources of a built Windows program, as Explorer reads them.

  pe_resources.py FILE icons 16,24,32,48,256   its first icon group holds exactly these sizes,
                                                each image present at its size
  pe_resources.py FILE manifest TEXT...         its application manifest contains every TEXT
  pe_resources.py FILE version NAME=VALUE...    its version resource has these strings, and a
                                                fixed file version equal to FileVersion

Prints what is wrong and exits 1; exits 0 when everything holds. Needs python3-pefile.
"""

import struct
import sys

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resources(pe, kind):
    """The data of every resource of a type, in the order of the resource directory."""
    found = []
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id != kind:
            continue
        for named in entry.directory.entries:
            for language in named.directory.entries:
                data = language.data.struct
                found.append((named.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def icon_size(image):
    """Width and height of one RT_ICON image: a PNG stream or a DIB (twice the height)."""
    if image[:8] == b"\x89PNG\r\n\x1a\n":
        return struct.unpack(">II", image[16:24])
    width, height = struct.unpack("<ii", image[4:12])
    return width, height // 2


def check_icons(pe, wanted):
    groups = resources(pe, RT_GROUP_ICON)
    if not groups:
        return ["no icon group"]
    directory = groups[0][1]
    count = struct.unpack("<H", directory[4:6])[0]
    images = dict(resources(pe, RT_ICON))
    sizes, problems = [], []
    for i in range(count):
        entry = directory[6 + 14 * i : 20 + 14 * i]
        width = entry[0] or 256
        icon_id = struct.unpack("<H", entry[12:14])[0]
        sizes.append(width)
        if icon_id not in images:
            problems.append(f"the {width} px entry names image {icon_id}, which is missing")
        elif icon_size(images[icon_id]) != (width, width):
            problems.append(f"the {width} px entry's image is {icon_size(images[icon_id])}")
    if sorted(sizes) != sorted(wanted):
        problems.append(f"icon sizes {sorted(sizes)}, wanted {sorted(wanted)}")
    return problems


def check_manifest(pe, texts):
    manifests = resources(pe, RT_MANIFEST)
    if not manifests:
        return ["no application manifest"]
    manifest = manifests[0][1].decode("utf-8", "replace")
    return [f"the manifest lacks {text!r}" for text in texts if text not in manifest]


def check_version(pe, pairs):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode()] = value.decode()
    if not strings:
        return ["no version strings"]
    problems = []
    for pair in pairs:
        name, value = pair.split("=", 1)
        if strings.get(name) != value:
            problems.append(f"{name} is {strings.get(name)!r}, wanted {value!r}")
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    file_version = strings.get("FileVersion", "")
    if not fixed:
        problems.append("no fixed file version")
    elif file_version:
        ms, ls = fixed[0].FileVersionMS, fixed[0].FileVersionLS
        numbers = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
        if numbers != file_version:
            problems.append(f"fixed file version {numbers}, FileVersion {file_version}")
    return problems


def main(argv):
    if len(argv) < 4 or argv[2] not in ("icons", "manifest", "version"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    pe = pefile.PE(argv[1], fast_load=False)
    what, args = argv[2], argv[3:]
    if what == "icons":
        problems = check_icons(pe, [int(size) for size in args[0].split(",")])
    elif what == "manifest":
        problems = check_manifest(pe, args)
    else:
        problems = check_version(pe, args)
    for problem in problems:
        print(f"{argv[1]}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
