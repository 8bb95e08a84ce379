#!/usr/bin/env python3
"""The host half of the test-only winscard.dll (winscard_relay.cpp): listens on 127.0.0.1 and
makes each SCard call it is sent with pcsc-lite (PCSCLITE_CSOCK_NAME picks the daemon).

Message format and functions: see winscard_relay.cpp. One thread per connection (one
connection per Windows process)."""
import argparse
import os
import ctypes
import socket
import struct
import sys
import threading

MAX_ATR_SIZE = 33


class ReaderState(ctypes.Structure):  # pcsc-lite's SCARD_READERSTATE on Linux
    _fields_ = [("szReader", ctypes.c_char_p), ("pvUserData", ctypes.c_void_p),
                ("dwCurrentState", ctypes.c_ulong), ("dwEventState", ctypes.c_ulong),
                ("cbAtr", ctypes.c_ulong), ("rgbAtr", ctypes.c_ubyte * MAX_ATR_SIZE)]


class IoRequest(ctypes.Structure):
    _fields_ = [("dwProtocol", ctypes.c_ulong), ("cbPciLength", ctypes.c_ulong)]


LIB = ctypes.CDLL("libpcsclite.so.1")
for name in ("SCardEstablishContext", "SCardReleaseContext", "SCardListReaders",
             "SCardGetStatusChange", "SCardConnect", "SCardStatus", "SCardTransmit",
             "SCardDisconnect"):
    getattr(LIB, name).restype = ctypes.c_long


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("short request")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def bytes(self):
        return self.take(self.u32())


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def blob(b):
    return u32(len(b)) + bytes(b)


def signed(v):
    """A handle as pcsc-lite's long."""
    return ctypes.c_long(v if v < (1 << 63) else v - (1 << 64))


def establish(r):
    scope = r.u32()
    ctx = ctypes.c_long()
    rv = LIB.SCardEstablishContext(ctypes.c_ulong(scope), None, None, ctypes.byref(ctx))
    return u32(rv) + u64(ctx.value)


def release(r):
    return u32(LIB.SCardReleaseContext(signed(r.u64())))


def list_readers(r):
    ctx = signed(r.u64())
    size = ctypes.c_ulong()
    rv = LIB.SCardListReaders(ctx, None, None, ctypes.byref(size))
    if rv != 0:
        return u32(rv) + blob(b"")
    names = ctypes.create_string_buffer(size.value)
    rv = LIB.SCardListReaders(ctx, None, names, ctypes.byref(size))
    return u32(rv) + blob(names.raw[:size.value] if rv == 0 else b"")


def get_status_change(r):
    ctx = signed(r.u64())
    timeout = r.u32()
    count = r.u32()
    states = (ReaderState * max(count, 1))()
    names = []
    for i in range(count):
        names.append(ctypes.c_char_p(r.bytes()))
        states[i].szReader = names[-1].value
        states[i].dwCurrentState = r.u32()
    rv = LIB.SCardGetStatusChange(ctx, ctypes.c_ulong(timeout), states, ctypes.c_ulong(count))
    out = u32(rv)
    for i in range(count):
        out += u32(states[i].dwEventState) + blob(bytes(states[i].rgbAtr[:states[i].cbAtr]))
    return out


def connect(r):
    ctx = signed(r.u64())
    reader = r.bytes()
    share, protocols = r.u32(), r.u32()
    card = ctypes.c_long()
    active = ctypes.c_ulong()
    rv = LIB.SCardConnect(ctx, reader, ctypes.c_ulong(share), ctypes.c_ulong(protocols),
                          ctypes.byref(card), ctypes.byref(active))
    return u32(rv) + u64(card.value) + u32(active.value)


def status(r):
    card = signed(r.u64())
    name = ctypes.create_string_buffer(512)
    name_len = ctypes.c_ulong(512)
    state = ctypes.c_ulong()
    protocol = ctypes.c_ulong()
    atr = (ctypes.c_ubyte * MAX_ATR_SIZE)()
    atr_len = ctypes.c_ulong(MAX_ATR_SIZE)
    rv = LIB.SCardStatus(card, name, ctypes.byref(name_len), ctypes.byref(state),
                         ctypes.byref(protocol), atr, ctypes.byref(atr_len))
    if rv != 0:
        return u32(rv)
    return (u32(rv) + blob(name.raw[:name_len.value]) + u32(state.value) +
            u32(protocol.value) + blob(bytes(atr[:atr_len.value])))


def transmit(r):
    card = signed(r.u64())
    protocol = r.u32()
    command = r.bytes()
    room = r.u32()
    pci = IoRequest(protocol, ctypes.sizeof(IoRequest))
    answer = ctypes.create_string_buffer(max(room, 1))
    length = ctypes.c_ulong(room)
    rv = LIB.SCardTransmit(card, ctypes.byref(pci), command, ctypes.c_ulong(len(command)),
                           None, answer, ctypes.byref(length))
    return u32(rv) + blob(answer.raw[:length.value] if rv == 0 else b"")


def disconnect(r):
    card = signed(r.u64())
    return u32(LIB.SCardDisconnect(card, ctypes.c_ulong(r.u32())))


FUNCTIONS = {1: establish, 2: release, 3: list_readers, 4: get_status_change, 5: connect,
             6: status, 7: transmit, 8: disconnect}


def receive(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve(sock):
    with sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            head = receive(sock, 4)
            if head is None:
                return
            body = receive(sock, struct.unpack("<I", head)[0])
            if body is None:
                return
            r = Reader(body)
            try:
                answer = FUNCTIONS[r.u8()](r)
            except (KeyError, ValueError):
                answer = u32(0x80100004)  # SCARD_E_INVALID_PARAMETER
            sock.sendall(u32(len(answer)) + answer)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port-file", required=True, help="where to write the port")
    args = parser.parse_args()
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    with open(args.port_file + ".part", "w") as f:
        f.write(str(server.getsockname()[1]))

    os.rename(args.port_file + ".part", args.port_file)
    while True:
        client, _ = server.accept()
        threading.Thread(target=serve, args=(client,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
