"""Reads valgrind memcheck logs and fails on tarnu's errors.

    python valgrind_check.py LOG...

Every memory error (invalid read, write or free, use of uninitialised
values, overlapping copies) counts, whatever its stack: a wrong reference
count in tarnu shows up in the interpreter's code. A definite leak counts
only when tarnu's code is on its allocation stack, and the block is not
tracemalloc's own bookkeeping; the interpreter leaves its own blocks behind
at exit, which are counted and ignored.
"""
import re
import sys

TARNU_FRAME = re.compile(r"tarnu::|/tarnu/[a-z_]+\.cpython-\d+[^ ]*\.so|tarnu/[a-z_/]+\.(?:cpp|hpp)")
LINE = re.compile(r"^==\d+== ?(.*)$")
# Blocks of tracemalloc's own bookkeeping, whatever it was tracing.
INTERPRETER_OWNED = re.compile(r"_tracemalloc\.c")


def records(lines):
    """Groups the lines of a log into error records."""
    current = []
    for line in lines:
        m = LINE.match(line)
        if not m:
            continue
        text = m.group(1)
        if not text.strip():
            if current:
                yield current
            current = []
        elif text.startswith(" "):
            if current:
                current.append(text.strip())
        else:
            if current:
                yield current
            current = [text]
    if current:
        yield current


def classify(record):
    head = record[0]
    if head.startswith(("Invalid read", "Invalid write", "Invalid free", "Mismatched free", "Conditional jump",
                        "Use of uninitialised", "Syscall param", "Source and destination overlap")):
        return "error"
    if "definitely lost" in head and "blocks are definitely lost" in head:
        return "leak"
    return None


def main(paths):
    errors = leaks = ignored = 0
    for path in paths:
        with open(path, errors="replace") as f:
            for record in records(f):
                kind = classify(record)
                if kind == "error":
                    errors += 1
                    print("\n".join([path] + record), end="\n\n")
                elif kind == "leak":
                    if any(TARNU_FRAME.search(line) for line in record) and not any(
                        INTERPRETER_OWNED.search(line) for line in record):
                        leaks += 1
                        print("\n".join([path] + record), end="\n\n")
                    else:
                        ignored += 1
    print("valgrind: %d memory errors, %d definite leaks from tarnu, %d interpreter leak records ignored, %d logs"
          % (errors, leaks, ignored, len(paths)))
    return 1 if errors or leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
