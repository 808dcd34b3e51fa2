#!/usr/bin/env python3
"""Extracts table definitions and their rows from MariaDB's own test suite
(Debian package mariadb-test, /usr/share/mysql/mysql-test/main/*.test) for
the real-world corpus test.

    tests/corpus/extract.py FILE.test... > candidates.sql

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
                delimiter = stripped.split()[1] if len(stripped.split()) > 1 else ";"
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


sys.stdout.reconfigure(encoding="latin-1")
for path in sys.argv[1:]:
    for name, stmts in blocks(path):
        print("-- from: " + path.split("/")[-1])
        for stmt in stmts:
            print(stmt + ";")
        print()
