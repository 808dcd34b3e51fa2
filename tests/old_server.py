#!/usr/bin/env python3
"""Speaks the MySQL protocol as a server older than utf8mb4 and READ ONLY.

No such server is packaged any more (MySQL before 5.5.3 and 5.6.5), so the
session's set-up for old servers is tried against this stand-in. It serves
one connection on 127.0.0.1: any account is let in; SET NAMES with a
character set newer than those servers (utf8mb4, utf8mb3) fails with 1115 and a statement naming READ ONLY
with 1064 (parse error), as those servers answer; every other statement
succeeds without a result. Each statement is written to the log file.

  old_server.py PORT_FILE LOG_FILE   (the port is written once listening)
"""
import os
import socket
import struct
import sys

PORT_FILE, LOG_FILE = sys.argv[1], sys.argv[2]


def packet(seq, payload):
    return struct.pack('<I', len(payload))[:3] + bytes([seq]) + payload


def read_packet(conn):
    head = b''
    while len(head) < 4:
        part = conn.recv(4 - len(head))
        if not part:
            return None
        head += part
    length = int.from_bytes(head[:3], 'little')
    body = b''
    while len(body) < length:
        part = conn.recv(length - len(body))
        if not part:
            return None
        body += part
    return body


def ok():
    return b'\x00\x00\x00\x02\x00\x00\x00'


def error(code, message):
    return b'\xff' + struct.pack('<H', code) + b'#42000' + message.encode()


def handshake():
    caps = 0x0001 | 0x0002 | 0x0004 | 0x0008 | 0x0200 | 0x2000 | 0x8000 | 0x10000 | 0x20000
    return (b'\x0a' + b'5.1.73-old\x00' + struct.pack('<I', 7) + b'abcdefgh' + b'\x00' +
            struct.pack('<H', caps & 0xffff) + b'\x08' + struct.pack('<H', 2) +
            struct.pack('<H', caps >> 16) + b'\x00' + b'\x00' * 10 + b'ijklmnopqrst\x00')


def main():
    server = socket.socket()
    server.bind(('127.0.0.1', 0))
    server.listen(1)
    server.settimeout(30)
    with open(PORT_FILE + '.tmp', 'w') as f:
        f.write(str(server.getsockname()[1]))
    os.rename(PORT_FILE + '.tmp', PORT_FILE)
    conn, _ = server.accept()
    conn.settimeout(30)
    with conn, open(LOG_FILE, 'w') as log:
        conn.sendall(packet(0, handshake()))
        if read_packet(conn) is None:
            return
        conn.sendall(packet(2, ok()))
        while True:
            body = read_packet(conn)
            if not body or body[0] == 0x01:  # end or COM_QUIT
                return
            if body[0] != 0x03:  # anything but a query: OK
                conn.sendall(packet(1, ok()))
                continue
            sql = body[1:].decode('latin-1')
            log.write(sql + '\n')
            log.flush()
            words = sql.split()
            if (len(words) == 3 and words[0].upper() == 'SET' and words[1].upper() == 'NAMES' and
                    words[2].lower() not in ('utf8', 'latin1', 'binary')):
                reply = error(1115, "Unknown character set: '%s'" % words[2])
            elif 'READ ONLY' in sql.upper():
                reply = error(1064, 'You have an error in your SQL syntax')
            else:
                reply = ok()
            conn.sendall(packet(1, reply))


main()
