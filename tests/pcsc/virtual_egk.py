#!/usr/bin/env python3
"""A virtual eGK for pcsc-lite's virtual reader (vsmartcard-vpcd).

The card's file system is built from card files in one folder, with the ISO 7816 card engine of
python3-virtualsmartcard:

    MF (D2 76 00 01 44 80 00)
      EF.GDO      2F02, SFI 02     gdo.bin
      EF.Version  2F10, SFI 16     version1.bin version2.bin version3.bin (one record each)
      DF.HCA (D2 76 00 00 01 02)
        EF.PD        D001, SFI 01  pd.bin
        EF.VD        D002, SFI 02  vd.bin
        EF.StatusVD  D00C, SFI 12  status.bin

The card connects to vpcd on the loopback (vpcd listens on every address), answers until vpcd
goes away or the process is stopped; stopping the process takes the card out of the reader.

Where the engine differs from a real card, this script answers itself:
  - SELECT with P2 00 or 04 (FCI/FCP asked for) makes the engine fail: the file is selected as
    with P2 0C and the answer is 90 00 without data;
  - ERASE BINARY truncates the engine's file: it is answered 90 00 and nothing changes, so the
    same card can be read again;
  - a wildcard Le (00, or 00 00 00) that reaches the end of the file is answered 90 00, as
    real cards do, not 62 82.

Options: --no-extended answers 67 00 to every extended-length command (a card without extended
length); --pull-on HEX takes the card out when a command starting with these bytes arrives,
before answering it (a card pulled out in the middle of a read).
"""
import argparse
import logging
import importlib
import importlib.abc
import importlib.util
import os
import signal
import socket
import struct
import sys

# Debian installs the module outside Python's search path.
sys.path.insert(0, "/usr/lib/python3/site-packages/virtualsmartcard")


class _CryptoAlias(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """The engine imports Crypto (PyCrypto's name); Debian's pycryptodome is Cryptodome."""

    def find_spec(self, name, path, target=None):
        if name == "Crypto" or name.startswith("Crypto."):
            return importlib.util.spec_from_loader(name, self)
        return None

    def create_module(self, module_spec):
        return importlib.import_module("Cryptodome" + module_spec.name[len("Crypto"):])

    def exec_module(self, module):
        pass


sys.meta_path.insert(0, _CryptoAlias())

from virtualsmartcard.SmartcardFilesystem import (  # noqa: E402
    DF, MF, Record, RecordStructureEF, TransparentStructureEF)
from virtualsmartcard.ConstantDefinitions import FDB  # noqa: E402
from virtualsmartcard.SmartcardSAM import SAM  # noqa: E402
from virtualsmartcard.VirtualSmartcard import Iso7816OS  # noqa: E402

VPCD_CTRL_OFF = 0
VPCD_CTRL_ON = 1
VPCD_CTRL_RESET = 2
VPCD_CTRL_ATR = 4


def read(folder, name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def build_card(folder):
    mf = MF(dfname=bytes.fromhex("D2760001448000"))
    mf.append(TransparentStructureEF(parent=mf, fid=0x2F02, shortfid=2,
                                     data=read(folder, "gdo.bin")))
    records = [Record(data=read(folder, "version%d.bin" % n)) for n in (1, 2, 3)]
    mf.append(RecordStructureEF(parent=mf, fid=0x2F10, shortfid=16,
                                filedescriptor=FDB["EFSTRUCTURE_LINEAR_VARIABLE_NOFURTHERINFO"],
                                records=records))
    hca = DF(parent=mf, fid=0xD000, dfname=bytes.fromhex("D27600000102"))
    for fid, sfi, name in ((0xD001, 1, "pd.bin"), (0xD002, 2, "vd.bin"),
                           (0xD00C, 12, "status.bin")):
        hca.append(TransparentStructureEF(parent=hca, fid=fid, shortfid=sfi,
                                          data=read(folder, name)))
    mf.append(hca)
    return Iso7816OS(mf, SAM(None, None, mf), extended_length=True)


def is_extended(apdu):
    return len(apdu) >= 7 and apdu[4] == 0x00


def wildcard_le(apdu):
    """A case-2 command asking for everything there is."""
    return (len(apdu) == 5 and apdu[4] == 0x00) or (len(apdu) == 7 and apdu[4:] == b"\0\0\0")


class Card:
    def __init__(self, os_, no_extended):
        self.os = os_
        self.no_extended = no_extended

    def answer(self, apdu):
        if self.no_extended and is_extended(apdu):
            return b"\x67\x00"
        if len(apdu) < 4 or apdu[0] != 0x00:
            return self.os.execute(apdu)
        ins, p2 = apdu[1], apdu[3]
        if ins == 0x0E:  # ERASE BINARY: the data stay as they are
            return b"\x90\x00"
        if ins == 0xA4 and p2 in (0x00, 0x04):
            reply = self.os.execute(apdu[:3] + b"\x0C" + apdu[4:])
            return reply[-2:]
        reply = self.os.execute(apdu)
        if ins in (0xB0, 0xB2) and wildcard_le(apdu) and reply[-2:] == b"\x62\x82":
            reply = reply[:-2] + b"\x90\x00"
        return reply


def receive(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def quickack(sock):
    # Without it each answer waits for the delayed ACK of the last one (about 40 ms).
    if hasattr(socket, "TCP_QUICKACK"):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)


def serve(port, card, pull_on):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    while True:
        quickack(sock)
        head = receive(sock, 2)
        if head is None:
            return
        (size,) = struct.unpack("!H", head)
        msg = receive(sock, size) if size else b""
        if msg is None:
            return
        quickack(sock)
        if size == 1:
            if msg[0] in (VPCD_CTRL_ON, VPCD_CTRL_RESET):
                card.os.reset()
            elif msg[0] == VPCD_CTRL_ATR:
                atr = card.os.getATR()
                sock.sendall(struct.pack("!H", len(atr)) + atr)
            continue
        if pull_on and msg.startswith(pull_on):
            sock.close()
            signal.pause()  # out of the reader until the process is stopped
            return
        reply = card.answer(msg)
        sock.sendall(struct.pack("!H", len(reply)) + reply)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True, help="vpcd's port of the reader")
    parser.add_argument("--files", required=True, help="the folder of card files")
    parser.add_argument("--no-extended", action="store_true")
    parser.add_argument("--pull-on", default="", help="hex bytes")
    args = parser.parse_args()
    logging.basicConfig(level=logging.ERROR)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    card = Card(build_card(args.files), args.no_extended)
    serve(args.port, card, bytes.fromhex(args.pull_on))


if __name__ == "__main__":
    main()
