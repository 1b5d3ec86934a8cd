"""Generates the packed string table header from module/strings.txt.

Usage: gen_strings.py INPUT OUTPUT
"""

import ast
import sys
import zlib


def parse(path):
    groups = {"literals": [], "names": []}
    current = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("[") and line.endswith("]"):
                current = line[1:-1]
                if current not in groups:
                    sys.exit("%s:%d: unknown group %s" % (path, number, current))
                continue
            if current is None:
                sys.exit("%s:%d: entry outside a group" % (path, number))
            ident, _, literal = line.partition(" ")
            text = ast.literal_eval(literal.strip())
            if not ident.isidentifier() or not isinstance(text, str):
                sys.exit("%s:%d: expected: identifier \"text\"" % (path, number))
            groups[current].append((ident, text))
    return groups["literals"], groups["names"]


def main(argv):
    literals, names = parse(argv[1])
    entries = literals + names
    idents = [ident for ident, _ in entries]
    if len(set(idents)) != len(idents):
        sys.exit("duplicate identifier in %s" % argv[1])
    encoded = [text.encode("utf-8") for _, text in entries]
    stream = zlib.compress(b"".join(encoded), 9)

    out = []
    out.append("// Generated from module/strings.txt by tools/gen_strings.py; do not edit.")
    out.append("#pragma once")
    out.append("#include <cstddef>")
    out.append("#include <cstdint>")
    out.append("")
    out.append("namespace trigmod {")
    out.append("")
    out.append("enum StringId : int {")
    for ident in idents:
        out.append("    S_%s," % ident)
    out.append("    kStringCount")
    out.append("};")
    out.append("")
    out.append("// Entries before this index stay ordinary strings; the rest are interned.")
    out.append("constexpr int kLiteralCount = %d;" % len(literals))
    out.append("")
    out.append("inline constexpr std::uint32_t kStringLengths[kStringCount] = {")
    out.append("    " + ", ".join(str(len(e)) for e in encoded))
    out.append("};")
    out.append("")
    out.append("inline constexpr std::size_t kStringStreamSize = %d;" % len(stream))
    out.append("inline constexpr unsigned char kStringStream[kStringStreamSize] = {")
    for start in range(0, len(stream), 16):
        chunk = stream[start:start + 16]
        out.append("    " + ", ".join("0x%02x" % b for b in chunk) + ",")
    out.append("};")
    out.append("")
    out.append("}  // namespace trigmod")
    text = "\n".join(out) + "\n"
    try:
        with open(argv[2], encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
