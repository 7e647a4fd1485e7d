#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lists the public names that the API reference leaves without a description; exit status 1
if there is any.

Doxygen itself warns about undocumented functions, variables, types, macros and struct members,
but not about enumerators or the members of an anonymous union. This walks its XML output, in
which every member of a documented enum or struct appears, described or not.

Usage: undocumented.py <Doxygen's XML directory>
"""
import pathlib
import sys
import xml.etree.ElementTree as ET


def described(node):
    for tag in ("briefdescription", "detaileddescription"):
        text = node.find(tag)
        if text is not None and "".join(text.itertext()).strip():
            return True
    return False


def main(xml_dir):
    missing = set()
    for path in sorted(pathlib.Path(xml_dir).glob("*.xml")):
        for compound in ET.parse(path).getroot().iter("compounddef"):
            if compound.get("kind") in ("struct", "union") and not described(compound):
                where = compound.find("location").attrib
                missing.add((where["file"], int(where["line"]), compound.findtext("compoundname")))
            for member in compound.iter("memberdef"):
                where = member.find("location").attrib
                for node in [member] + member.findall("enumvalue"):
                    # An anonymous union has no name to document; its members are checked.
                    if not node.findtext("name").startswith("@") and not described(node):
                        missing.add((where["file"], int(where["line"]), node.findtext("name")))
    for file, line, name in sorted(missing):
        print(f"{file}:{line}: {name} is not documented", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
