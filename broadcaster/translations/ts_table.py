#!/usr/bin/env python3
"""Writes the finished translations of a Qt Linguist file as a C++ table for programs without
Qt (the console broadcaster on Windows): entries sorted by context, then source text, bytewise.

usage: ts_table.py FILE.ts NAME OUTPUT.cpp
"""
import sys
import xml.etree.ElementTree as ET


def literal(text):
    out = []
    for byte in text.encode("utf-8"):
        if byte in (0x22, 0x5C):
            out.append("\\" + chr(byte))
        elif byte < 0x20 or byte == 0x7F or byte == 0x3F:
            # Octal escapes are always three digits: the next character never joins them.
            # '?' too, so that no trigraph forms.
            out.append("\\%03o" % byte)
        elif byte < 0x80:
            out.append(chr(byte))
        else:
            out.append("\\%03o" % byte)
    return '"' + "".join(out) + '"'


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    ts, name, output = sys.argv[1:]
    entries = {}
    for context in ET.parse(ts).getroot().iter("context"):
        context_name = context.findtext("name", "")
        for message in context.iter("message"):
            source = message.findtext("source", "")
            translation = message.find("translation")
            if translation is None or translation.get("type") or not (translation.text or ""):
                continue  # unfinished, obsolete or vanished: the source text shows
            key = (context_name.encode("utf-8"), source.encode("utf-8"))
            if key in entries:
                sys.exit("%s: %s / %s is translated twice" % (ts, context_name, source))
            entries[key] = (context_name, source, translation.text)
    lines = ["// Made from %s by ts_table.py at build time." % ts.rsplit("/", 1)[-1],
             '#include "app/translations.h"', "", "namespace app {", ""]
    if entries:
        lines.append("namespace {")
        lines.append("const basis::Translation kTable[] = {")
        for key in sorted(entries):
            lines.append("    {%s, %s, %s}," % tuple(literal(t) for t in entries[key]))
        lines += ["};", "}  // namespace", ""]
    lines += ["std::span<const basis::Translation> %s() {" % name,
              "    return %s;" % ("kTable" if entries else "{}"), "}", "",
              "}  // namespace app", ""]
    with open(output, "w", encoding="ascii") as f:
        f.write("\n".join(lines))


main()
