#!/usr/bin/env python3
"""Extracts table definitions and their rows from MariaDB's own test suite
(Debian package mariadb-test, /usr/share/mysql/mysql-test/main/*.test) for
the real-world corpus test.

    tests/corpus/extract.py FILE.test... > candidates.sql
    tests/corpus/extract.py --definitions FILE.test... > definitions.sql

Each block it prints is one table: a "-- from: <file>" line, the CREATE
TABLE statement and the INSERT statements that follow it in the file (until
the table is dropped), one statement a line. Statements after an expected
error, statements with mysqltest variables, temporary tables and CREATE ...
SELECT / LIKE are left out. The blocks that the corpus keeps were chosen
from this output by hand (tests/corpus/mariadb_main.sql)."""
import re
import sys


def statements(path):
    text = open(path, encoding="latin-1").read()
    delimiter = ";"
    buf, skip_next = [], False
    for line in text.split("\n"):
        stripped = line.strip()
        if not buf:
            low = stripped.lower()
            if low.startswith("--error") or low.startswith("error "):
                skip_next = True
                continue
            if low.startswith("delimiter"):
                # "delimiter |;" ends with the delimiter in force.
                new = stripped.split()[1] if len(stripped.split()) > 1 else ";"
                if new.endswith(delimiter) and len(new) > len(delimiter):
                    new = new[: -len(delimiter)]
                delimiter = new
                continue
            if not stripped or stripped.startswith("#") or stripped.startswith("--"):
                continue
        buf.append(line)
        if stripped.endswith(delimiter):
            stmt = "\n".join(buf).strip()[: -len(delimiter)].strip()
            buf = []
            yield stmt, skip_next
            skip_next = False


CREATE = re.compile(r"create\s+table\s+(if\s+not\s+exists\s+)?(`[^`]+`|\w+)", re.I)
INSERT = re.compile(r"insert\s+(ignore\s+)?into\s+(`[^`]+`|\w+)", re.I)
DROP = re.compile(r"drop\s+table\s+(if\s+exists\s+)?(.*)", re.I | re.S)


def name_of(token):
    return token.strip("`").lower()


def blocks(path):
    open_tables = {}
    order = []
    for stmt, expected_error in statements(path):
        if expected_error or "$" in stmt:
            continue
        one_line = " ".join(stmt.split("\n"))
        m = CREATE.match(one_line)
        if m:
            name = name_of(m.group(2))
            rest = one_line[m.end():].lower()
            if re.search(r"\bselect\b|^\s*like\b|\bengine\s*=\s*(merge|mrg_myisam|federated|connect|sequence|blackhole|archive|csv)", rest):
                continue
            open_tables[name] = [one_line]
            order.append((name, open_tables[name]))
            continue
        m = INSERT.match(one_line)
        if m and name_of(m.group(2)) in open_tables and re.search(r"\bvalues?\b", one_line, re.I) \
                and not re.search(r"\bselect\b", one_line, re.I):
            open_tables[name_of(m.group(2))].append(one_line)
            continue
        m = DROP.match(one_line)
        if m:
            for token in m.group(2).split(","):
                open_tables.pop(name_of(token.strip()), None)
    for name, stmts in order:
        if len(stmts) > 1:
            yield name, stmts


# With --definitions: blocks of views, routines and triggers with the
# tables they stand on. The file is replayed: every object that is live
# (made and not yet dropped) when a statement drops one is a block, if it
# holds a view, routine or trigger that no earlier block held. Each block
# is self-contained (one database each), its statements in the order the
# file made them, each under the sql_mode it was made with, ended by a
# line "-- ;".
OBJECT = re.compile(
    r"create\s+(or\s+replace\s+)?(definer\s*=\s*\S+\s+)?((algorithm\s*=\s*\w+|sql\s+security\s+\w+)\s+)*"
    r"(table|view|procedure|function|trigger)\s+(if\s+not\s+exists\s+)?(`[^`]+`|\w+)", re.I)
DROP_OBJECT = re.compile(r"drop\s+(table|view|procedure|function|trigger)s?\s+(if\s+exists\s+)?(.*)",
                         re.I | re.S)
TRIGGER_TABLE = re.compile(r"\s+on\s+(`[^`]+`|\w+)\s+for\s+each\s+row", re.I)
SQL_MODE = re.compile(r"set\s+(session\s+|@@session\.|@@)?sql_mode\s*=\s*(.*)", re.I | re.S)
CHANGES = re.compile(r"(insert\s+(ignore\s+)?into|alter\s+table)\s+(`[^`]+`|\w+)", re.I)


def definition_blocks(path):
    live = {}  # (namespace, name) -> {"order", "mode", "stmts", "code", "table"}
    emitted = set()
    mode, order = None, 0
    for stmt, expected_error in statements(path):
        if expected_error or "$" in stmt:
            continue
        low = stmt.lower()
        m = SQL_MODE.match(stmt)
        if m:
            value = m.group(2).strip()
            mode = None if value.lower() == "default" else value
            continue
        m = OBJECT.match(stmt)
        if m and stmt[m.end():m.end() + 1] == ".":
            continue  # an object of another database
        if m:
            kind, name = m.group(5).lower(), name_of(m.group(7))
            if kind == "table" and re.search(r"\btemporary\b|\bengine\s*=\s*(merge|mrg_myisam|federated|connect)",
                                             low):
                continue
            space = "table" if kind in ("table", "view") else kind
            order += 1
            entry = {"order": order, "mode": mode, "stmts": [stmt], "code": kind != "table",
                     "key": (path, order), "table": None}
            if kind == "trigger":
                t = TRIGGER_TABLE.search(stmt)
                entry["table"] = name_of(t.group(1)) if t else None
            live[(space, name)] = entry
            continue
        m = CHANGES.match(stmt)
        if m and ("table", name_of(m.group(3))) in live:
            live[("table", name_of(m.group(3)))]["stmts"].append(stmt)
            continue
        m = DROP_OBJECT.match(stmt)
        if not m:
            continue
        fresh = [e for e in live.values() if e["code"] and e["key"] not in emitted]
        if fresh:
            block = sorted(live.values(), key=lambda e: e["order"])
            emitted.update(e["key"] for e in block)
            yield block
        kind = m.group(1).lower()
        space = "table" if kind in ("table", "view") else kind
        for token in m.group(3).split(","):
            name = name_of(token.strip())
            live.pop((space, name), None)
            if space == "table":
                for key in [k for k, e in live.items() if e["table"] == name]:
                    live.pop(key)


def renamed(stmt, names, prefix):
    """The block's object names in stmt with prefix, so that blocks share
    one database."""
    for name in names:
        stmt = re.sub(r"(?<![\w$.@])(`?)" + re.escape(name) + r"\1(?![\w$])",
                      lambda m: m.group(1) + prefix + name + m.group(1), stmt, flags=re.I)
    return stmt


def main():
    sys.stdout.reconfigure(encoding="latin-1")
    args = sys.argv[1:]
    definitions = args[:1] == ["--definitions"]
    number = 0
    for path in args[1:] if definitions else args:
        if definitions:
            for block in definition_blocks(path):
                number += 1
                prefix = "d%03d_" % number
                names = sorted({name_of(OBJECT.match(e["stmts"][0]).group(7)) for e in block},
                               key=len, reverse=True)
                print("-- from: " + path.split("/")[-1])
                for entry in block:
                    for stmt in entry["stmts"]:
                        if entry["mode"] is not None:
                            print("SET SESSION sql_mode = " + entry["mode"] + "\n-- ;")
                        print(renamed(stmt, names, prefix) + "\n-- ;")
                        if entry["mode"] is not None:
                            print("SET SESSION sql_mode = DEFAULT\n-- ;")
                print()
            continue
        for name, stmts in blocks(path):
            print("-- from: " + path.split("/")[-1])
            for stmt in stmts:
                print(stmt + ";")
            print()


if __name__ == "__main__":
    main()
