#!/usr/bin/env python3
"""Turns the manual's UTF-8 source (docs/manual.md: "# " and "## " headings,
"- " list items, indented lines as code, blank lines between paragraphs) into
the RTF document that ships as Lumeno.doc:
    python3 scripts/make-manual.py docs/manual.md Lumeno.doc
(the build runs it and puts Lumeno.doc beside the program).
RTF is 7-bit: every character outside ASCII is written as \\uN? escape.
"""
import sys


def escape(text):
    out = []
    for ch in text:
        code = ord(ch)
        if ch in "\\{}":
            out.append("\\" + ch)
        elif code < 128:
            out.append(ch)
        else:
            signed = code - 65536 if code > 32767 else code
            out.append("\\u%d?" % signed)
    return "".join(out)


def convert(lines):
    body = []
    for raw in lines:
        line = raw.rstrip("\n")
        if not line.strip():
            continue
        if line.startswith("# "):
            body.append("\\pard\\sa240\\qc\\b\\fs36 %s\\b0\\fs22\\par" % escape(line[2:]))
        elif line.startswith("## "):
            body.append("\\pard\\sb240\\sa120\\b\\fs28 %s\\b0\\fs22\\par" % escape(line[3:]))
        elif line.startswith("- "):
            body.append("\\pard\\sa80\\fi-240\\li480 \\bullet  %s\\par" % escape(line[2:]))
        elif line.startswith("    "):
            body.append("\\pard\\sa120\\li480\\f1 %s\\f0\\par" % escape(line.strip()))
        else:
            body.append("\\pard\\sa120 %s\\par" % escape(line))
    head = ("{\\rtf1\\ansi\\ansicpg936\\deff0\\uc1"
            "{\\fonttbl{\\f0\\fnil\\fcharset134 SimSun;}{\\f1\\fmodern\\fcharset0 Courier New;}}"
            "\\viewkind4\\f0\\fs22")
    return head + "\n" + "\n".join(body) + "\n}\n"


def main(source, target):
    with open(source, encoding="utf-8") as f:
        rtf = convert(f.readlines())
    with open(target, "w", encoding="ascii", newline="\n") as f:
        f.write(rtf)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
