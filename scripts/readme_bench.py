#!/usr/bin/env python3
"""Copies the body of a benchmark markdown page (everything after its title,
headings one level down) into another markdown file (docs/benchmarks.md)
between its bench markers."""
import sys

BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: readme_bench.py PAGE.md TARGET.md", file=sys.stderr)
        return 2
    page, readme = sys.argv[1], sys.argv[2]
    lines = open(page, encoding="utf-8").read().splitlines()
    if lines and lines[0].startswith("# "):
        lines = lines[1:]
    body = "\n".join("#" + l if l.startswith("## ") else l for l in lines).strip()
    text = open(readme, encoding="utf-8").read()
    a, b = text.find(BEGIN), text.find(END)
    if a < 0 or b < a:
        print(f"{readme}: bench markers missing", file=sys.stderr)
        return 1
    text = text[: a + len(BEGIN)] + "\n" + body + "\n" + text[b:]
    open(readme, "w", encoding="utf-8").write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
