#!/usr/bin/env python3
"""Calls the Vorsel agent on the session bus as the main app does, with
Python's standard modules only: a bare D-Bus client over the bus's unix
socket, and the proof that each call carries (docs/link.md).

    vorsel-call.py BUSNAME version|held|hold RULES-FILE

Prints the reply (the version, or the rules held as JSON, or "null" when a
hand-over was not taken), or the D-Bus error and its message on standard
error with status 1.
"""
import hashlib
import os
import select
import socket
import struct
import sys

SO_TIMESTAMPNS = 35  # Linux's value on the common architectures; Python lacks the name
SO_PASSPIDFD = 76    # Linux 6.5 on; older kernels refuse it, which is fine
PATH, INTERFACE = "/com/ordwyn/Guard", "com.ordwyn.GuardLink"


def pad(data, size):
    return data + b"\0" * (-len(data) % size)


def string(data, text, kind="s"):
    raw = text.encode()
    if kind == "g":
        return data + bytes([len(raw)]) + raw + b"\0"
    return pad(data, 4) + struct.pack("<I", len(raw)) + raw + b"\0"


class Bus:
    """One connection to the session bus, little-endian, one call at a time."""

    def __init__(self, address=None):
        address = address or os.environ["DBUS_SESSION_BUS_ADDRESS"]
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self._path(address))
        self.serial, self.buffer = 0, b""
        uid = str(os.getuid()).encode().hex().encode()
        self.sock.sendall(b"\0AUTH EXTERNAL " + uid + b"\r\n")
        if not self._line().startswith(b"OK "):
            raise OSError("the bus refused us")
        self.sock.sendall(b"NEGOTIATE_UNIX_FD\r\n")
        if self._line() != b"AGREE_UNIX_FD":
            raise OSError("the bus passes no descriptors")
        self.sock.sendall(b"BEGIN\r\n")
        serial = self.send("org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "Hello")
        self.name = self.reply(serial)[1][0]

    @staticmethod
    def _path(address):
        for part in address.split(";"):
            kind, _, rest = part.partition(":")
            keys = dict(item.split("=", 1) for item in rest.split(",") if "=" in item)
            if kind == "unix" and "path" in keys:
                return keys["path"]
            if kind == "unix" and "abstract" in keys:
                return "\0" + keys["abstract"]
        raise OSError("no unix socket in " + address)

    def _line(self):
        while b"\r\n" not in self.buffer:
            more = self.sock.recv(4096)
            if not more:
                raise OSError("the bus hung up")
            self.buffer += more
        line, _, self.buffer = self.buffer.partition(b"\r\n")
        return line

    def send(self, destination, path, interface, member, signature="", body=b"", fds=()):
        self.serial += 1
        fields = [(1, "o", path), (2, "s", interface), (3, "s", member), (6, "s", destination)]
        if signature:
            fields.append((8, "g", signature))
        if fds:
            fields.append((9, "u", len(fds)))
        array = b""
        for code, kind, value in fields:
            array = pad(array, 8) + bytes([code]) + string(b"", kind, "g")
            if kind == "u":
                array = pad(array, 4) + struct.pack("<I", value)
            else:
                # Aligned relative to the message: the array starts at 16.
                array = string(b"\0" * 16 + array, value, kind)[16:]
        header = struct.pack("<cBBBII", b"l", 1, 0, 1, len(body), self.serial)
        message = pad(header + struct.pack("<I", len(array)) + array, 8) + body
        ancillary = [(socket.SOL_SOCKET, socket.SCM_RIGHTS, struct.pack("%di" % len(fds), *fds))]
        self.sock.sendmsg([message], ancillary if fds else [])
        return self.serial

    def fill(self):
        more = self.sock.recv(65536)
        if not more:
            raise OSError("the bus hung up")
        self.buffer += more

    def take(self, serial):
        """(error name or None, values) of the reply to `serial` if it has been
        read whole, else None; other messages (signals) are passed over."""
        while len(self.buffer) >= 16:
            kind = self.buffer[1]
            body_size, fields_size = struct.unpack_from("<I", self.buffer, 4)[0], \
                struct.unpack_from("<I", self.buffer, 12)[0]
            header_size = 16 + fields_size + (-(16 + fields_size) % 8)
            if len(self.buffer) < header_size + body_size:
                return None
            header, body = self.buffer[:header_size], \
                self.buffer[header_size:header_size + body_size]
            self.buffer = self.buffer[header_size + body_size:]
            fields, at = {}, 16
            while at < 16 + fields_size:
                at += -at % 8
                code, size = header[at], header[at + 1]
                values, at = parse(header, at + 3 + size, header[at + 2:at + 2 + size].decode())
                fields[code] = values[0]
            if kind in (2, 3) and fields.get(5) == serial:
                values, _ = parse(body, 0, fields.get(8, ""))
                return (fields.get(4) if kind == 3 else None), values
        return None

    def reply(self, serial):
        result = self.take(serial)
        while result is None:
            self.fill()
            result = self.take(serial)
        return result


def parse(data, at, signature):
    values, kinds = [], iter(signature)
    for kind in kinds:
        if kind in "bhu":
            at += -at % 4
            value = struct.unpack_from("<I", data, at)[0]
            values.append(bool(value) if kind == "b" else value)
            at += 4
        elif kind == "x":
            at += -at % 8
            values.append(struct.unpack_from("<q", data, at)[0])
            at += 8
        elif kind in "so":
            at += -at % 4
            size = struct.unpack_from("<I", data, at)[0]
            values.append(data[at + 4:at + 4 + size].decode())
            at += 5 + size
        elif kind == "g":
            size = data[at]
            values.append(data[at + 1:at + 1 + size].decode())
            at += 2 + size
        elif kind == "a" and next(kinds) == "y":
            at += -at % 4
            size = struct.unpack_from("<I", data, at)[0]
            values.append(data[at + 4:at + 4 + size])
            at += 4 + size
        else:
            raise ValueError("cannot read " + signature)
    return values, at


def call_vorsel(bus, service, member, rules=b""):
    """Calls `member` with its proof; answers the challenge; returns the reply."""
    kept, passed = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)  # close-on-exec
    passed.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
    passed.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    try:
        passed.setsockopt(socket.SOL_SOCKET, SO_PASSPIDFD, 1)
    except OSError:
        pass
    arguments = rules if member == "Hold" else b""
    # Who listens at the other end of our bus socket: the kernel says, so
    # that a call captured on another bus proves nothing on this one.
    listener = struct.unpack("3i", bus.sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                                       struct.calcsize("3i")))[0]
    text = ("%s %s %s %d" % (member, hashlib.sha256(arguments).hexdigest(), bus.name,
                             listener)).encode()
    pidfd = os.pidfd_open(os.getpid())
    kept.sendmsg([text], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, struct.pack("i", pidfd))])
    os.close(pidfd)

    body = b""
    if member == "Hold":
        body = struct.pack("<I", len(rules)) + rules
    body = pad(body, 4) + struct.pack("<I", 0)  # the proof: descriptor number 0
    serial = bus.send(service, PATH, INTERFACE, member, ("ay" if member == "Hold" else "") + "h",
                      body, [passed.fileno()])
    passed.close()
    # The agent asks once it has judged us: answer from this very process.
    while True:
        ready, _, _ = select.select([kept, bus.sock] if kept else [bus.sock], [], [], 30)
        if not ready:
            raise TimeoutError("no reply")
        if kept in ready:
            challenge = kept.recv(64)
            if challenge:
                kept.send(text + b" " + challenge)
            kept.close()
            kept = None
        if bus.sock in ready:
            bus.fill()
            result = bus.take(serial)
            if result is not None:
                if kept:
                    kept.close()
                return result


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    service, what = sys.argv[1], sys.argv[2]
    rules = open(sys.argv[3], "rb").read() if what == "hold" else b""
    bus = Bus()
    error, values = call_vorsel(bus, service, what.capitalize(), rules)
    if error:
        print("%s: %s" % (error, values[0] if values else ""), file=sys.stderr)
        sys.exit(1)
    if what == "version":
        print(values[0])
    elif what == "hold":
        print(values[1].decode() if values[0] else "null")
    else:
        print(values[0].decode() or "null")


if __name__ == "__main__":
    main()
