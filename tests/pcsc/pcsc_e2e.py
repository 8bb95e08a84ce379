#!/usr/bin/env python3
"""End-to-end runs of orva with the CT-API library over PC/SC (-LPCS) against software we did
not write: pcsc-lite's daemon, the virtual reader of vsmartcard-vpcd and a virtual eGK on
python3-virtualsmartcard (virtual_egk.py). Each record must be byte for byte the record that
the simulated terminal (-LSIM) gives for the same card files.

The daemon runs in the foreground in a mount namespace of its own, with /run/pcscd bound to a
private folder: pcscd 1.9 always makes its socket there, and a system pcscd (or its systemd
socket) must not be disturbed; its USB driver folder is hidden as well. The clients find the private socket through
PCSCLITE_CSOCK_NAME; vpcd listens on a free port of its own. The daemon and every card are
stopped by their process ids; every wait is bounded.

With --windows the same card files are read by ORVA.exe under wine64, once with the simulated
terminal and once with ct_api_usbPCS.dll, whose SCard calls a test-only winscard.dll
(winscard_relay.cpp) hands to scard_relay.py on the host, which makes them with pcsc-lite.

Exit status 0 when every scenario passed, 1 when one failed, 77 when the stack cannot run
here (no mount namespace).
"""
import argparse
import ctypes
import gzip
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEBIAN_PYTHON = "/usr/bin/python3"  # the one that sees Debian's python3-* packages
ERROR_RECORD = b"\x04OKVK 01-\x04"
RECORD_START = b"\x04OKVK 01"
SCARD_E_NO_SMARTCARD = 0x8010000C
SCARD_W_REMOVED_CARD = 0x80100069


class Failure(Exception):
    pass


def wait_until(what, check, timeout=30.0, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(step)


def free_port_pair():
    """A port p with p and p + 1 free (vpcd's two readers listen on both)."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port >= 65535:
            continue
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("", port))
                b.bind(("", port + 1))
            return port
        except OSError:
            continue
    raise Failure("no free pair of ports")


def stop(process):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Pcsc:
    """Just enough of pcsc-lite's client library to see whether a card can be connected."""

    def __init__(self, socket_name):
        os.environ["PCSCLITE_CSOCK_NAME"] = socket_name
        self.lib = ctypes.CDLL("libpcsclite.so.1")

    def readers(self):
        ctx = ctypes.c_long()
        if self.lib.SCardEstablishContext(2, None, None, ctypes.byref(ctx)) != 0:
            return None
        try:
            size = ctypes.c_ulong()
            if self.lib.SCardListReaders(ctx, None, None, ctypes.byref(size)) != 0:
                return []
            names = ctypes.create_string_buffer(size.value)
            if self.lib.SCardListReaders(ctx, None, names, ctypes.byref(size)) != 0:
                return []
            return [n.decode() for n in names.raw.split(b"\0") if n]
        finally:
            self.lib.SCardReleaseContext(ctx)

    def connect_result(self, reader):
        """0 when a card in the reader can be connected, else the PC/SC error."""
        ctx = ctypes.c_long()
        if self.lib.SCardEstablishContext(2, None, None, ctypes.byref(ctx)) != 0:
            return -1
        try:
            card = ctypes.c_long()
            protocol = ctypes.c_ulong()
            rv = self.lib.SCardConnect(ctx, reader.encode(), 2, 3, ctypes.byref(card),
                                       ctypes.byref(protocol)) & 0xFFFFFFFF
            if rv == 0:
                self.lib.SCardDisconnect(card, 0)
            return rv
        finally:
            self.lib.SCardReleaseContext(ctx)


class Stack:
    """pcscd with vpcd on a private socket and port, and the virtual card going in and out."""

    READER = "Virtual PCD 00 00"  # vpcd's first reader: the card's port

    def __init__(self, folder, debug=False):
        self.folder = folder
        self.port = free_port_pair()
        self.run_dir = os.path.join(folder, "run")
        conf = os.path.join(folder, "reader.conf.d")
        no_drivers = os.path.join(folder, "no-drivers")
        for path in (self.run_dir, conf, no_drivers):
            os.makedirs(path)
        # The daemon gets vpcd from a copy and sees no USB drivers: it must not claim a real
        # reader that a system pcscd serves.
        vpcd = os.path.join(folder, "libifdvpcd.so")
        shutil.copy("/usr/lib/pcsc/drivers/serial/libifdvpcd.so", vpcd)
        with open(os.path.join(conf, "vpcd"), "w") as f:
            f.write('FRIENDLYNAME "Virtual PCD"\n'
                    "DEVICENAME   /dev/null:0x%X\n"
                    "LIBPATH      %s\n"
                    "CHANNELID    0x%X\n" % (self.port, vpcd, self.port))
        self.socket_name = os.path.join(self.run_dir, "pcscd.comm")
        self.made_run_pcscd = False
        if os.geteuid() == 0:
            unshare = ["unshare", "-m", "--propagation", "private"]
            if not os.path.isdir("/run/pcscd"):
                os.makedirs("/run/pcscd")
                self.made_run_pcscd = True
        elif os.path.isdir("/run/pcscd"):
            unshare = ["unshare", "-r", "-m", "--propagation", "private"]
        else:
            raise SkipStack("not root and no /run/pcscd to bind a private folder on")
        env = {k: v for k, v in os.environ.items() if not k.startswith("LISTEN_")}
        self.log = open(os.path.join(folder, "pcscd.log"), "wb")
        debug_option = ["-d"] if debug else []
        self.daemon = subprocess.Popen(
            unshare + ["sh", "-c", 'mount --bind "$1" /run/pcscd && '
                       'mount --bind "$3" /usr/lib/pcsc/drivers && exec pcscd -f -c "$2" $4',
                       "sh", self.run_dir, conf, no_drivers] + debug_option,
            stdout=self.log, stderr=subprocess.STDOUT, env=env)
        self.card = None
        wait_until("pcscd's socket", lambda: os.path.exists(self.socket_name) or
                   self.daemon.poll() is not None)
        if self.daemon.poll() is not None:
            # No mount namespace here (a container without the right). Without a system pcscd
            # the daemon may take its own place; with one, the test cannot run beside it.
            if os.geteuid() != 0 or os.path.exists("/run/pcscd/pcscd.comm"):
                raise SkipStack("pcscd cannot run in a mount namespace of its own here, and "
                                "a system pcscd holds /run/pcscd: " + self.daemon_log())
            self.socket_name = "/run/pcscd/pcscd.comm"
            self.daemon = subprocess.Popen(["pcscd", "-f", "-c", conf] + debug_option,
                                           stdout=self.log, stderr=subprocess.STDOUT, env=env)
        # pcsc-lite's client library takes the socket's name once, at its first call.
        self.pcsc = Pcsc(self.socket_name)
        wait_until("pcscd and vpcd's readers", self._ready)

    def _ready(self):
        if self.daemon.poll() is not None:
            raise Failure("pcscd ended: " + self.daemon_log())
        if not os.path.exists(self.socket_name):
            return False
        readers = self.pcsc.readers()
        return readers is not None and self.READER in readers

    def daemon_log(self):
        with open(os.path.join(self.folder, "pcscd.log"), "rb") as f:
            return f.read().decode(errors="replace")[-2000:]

    def insert(self, files, *options):
        """Puts a card made of these files into the reader and waits until it can be connected."""
        assert self.card is None
        self.card_log = open(os.path.join(self.folder, "card.log"), "ab")
        self.card = subprocess.Popen(
            [DEBIAN_PYTHON, os.path.join(HERE, "virtual_egk.py"), "--port", str(self.port),
             "--files", files] + list(options),
            stdout=self.card_log, stderr=subprocess.STDOUT)

        def connected():
            if self.card.poll() is not None:
                raise Failure("the virtual card ended: see " + self.card_log.name)
            return self.pcsc.connect_result(self.READER) == 0

        wait_until("the virtual card to be connectable", connected)

    def insert_later(self, files, *options):
        """Starts a card without waiting: the program under test sees it come."""
        self.card_log = open(os.path.join(self.folder, "card.log"), "ab")
        self.card = subprocess.Popen(
            [DEBIAN_PYTHON, os.path.join(HERE, "virtual_egk.py"), "--port", str(self.port),
             "--files", files] + list(options),
            stdout=self.card_log, stderr=subprocess.STDOUT)

    def remove(self):
        """Takes the card out (its process ends) and waits until the reader is empty."""
        stop(self.card)
        self.card = None
        # SCARD_W_REMOVED_CARD: the daemon has not seen it go yet (it looks every 400 ms).
        wait_until("the reader to be empty",
                   lambda: self.pcsc.connect_result(self.READER) == SCARD_E_NO_SMARTCARD)

    def close(self):
        stop(self.card)
        stop(self.daemon)
        self.log.close()
        if self.made_run_pcscd:
            try:
                os.rmdir("/run/pcscd")
            except OSError:
                pass


class SkipStack(Exception):
    pass


# Card files ------------------------------------------------------------------------------

def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def card_folder(folder, name, gdo, versions, status, pd, vd):
    path = os.path.join(folder, name)
    os.makedirs(path)
    write(os.path.join(path, "gdo.bin"), gdo)
    for n, record in enumerate(versions, 1):
        write(os.path.join(path, "version%d.bin" % n), record)
    write(os.path.join(path, "status.bin"), status)
    write(os.path.join(path, "pd.bin"), pd)
    write(os.path.join(path, "vd.bin"), vd)
    return path


def sim_image(files, extended=True):
    """A card image of the simulated terminal over the same files."""
    versions = ", ".join(read(os.path.join(files, "version%d.bin" % n)).hex(" ")
                         for n in (1, 2, 3))
    path = files + (".ini" if extended else "-short.ini")
    with open(path, "w") as f:
        f.write("[card]\nkind = egk\nextended_length = %s\nversion = %s\n"
                "gdo = @%s/gdo.bin\nstatus = @%s/status.bin\npd = @%s/pd.bin\n"
                "vd = @%s/vd.bin\n" % ("yes" if extended else "no", versions,
                                       files, files, files, files))
    return path


def ini_values(path):
    values = {}
    for line in open(path, encoding="latin-1"):
        line = line.split("#")[0].split(";")[0].strip()
        if "=" in line:
            key, value = (part.strip() for part in line.split("=", 1))
            values[key] = value
    return values


def pd_file(xml):
    member = gzip.compress(xml, mtime=0)
    return len(member).to_bytes(2, "big") + member


def vd_file(vd_xml, gvd_xml):
    vd = gzip.compress(vd_xml, mtime=0)
    gvd = gzip.compress(gvd_xml, mtime=0)
    end_vd = 8 + len(vd) - 1
    end_gvd = end_vd + len(gvd)
    header = b"".join(n.to_bytes(2, "big") for n in (8, end_vd, end_vd + 1, end_gvd))
    return header + vd + gvd


def make_cards(folder, cards_dir, samples_dir):
    """The fixture eGK and the public sample cards, as card files."""
    cards = []
    fixture = ini_values(os.path.join(cards_dir, "egk.ini"))
    xml = {k: read(os.path.join(cards_dir, fixture[k][1:])) for k in ("pd_xml", "vd_xml", "gvd_xml")}
    cards.append(card_folder(
        folder, "fixture-egk", bytes.fromhex(fixture["gdo"]),
        [bytes.fromhex(v) for v in fixture["version"].split(",")],
        bytes.fromhex(fixture["status"]), pd_file(xml["pd_xml"]),
        vd_file(xml["vd_xml"], xml["gvd_xml"])))
    if samples_dir and os.path.isdir(os.path.join(samples_dir, "egk_bin")):
        b = os.path.join(samples_dir, "egk_bin")
        gdo = read(os.path.join(b, "gematik_refCRP_PCSC_EF.GDO.bin"))
        status = read(os.path.join(b, "egkfeuer_sim_EF.StatusVD.bin"))
        pd = read(os.path.join(b, "egkfeuer_sim_EF.PD.bin"))
        for name, generation, vd in (
                ("sample-g1plus", "G1Plus", "egkfeuer_sim_EF.VD.bin"),
                ("sample-g2-vd", "G1", "openhealthcore_G2_1_testcard_EF.VD.bin")):
            versions = [read(os.path.join(b, "egkfeuer_sim_%s_EF.Version_rec%d.bin" %
                                          (generation, n))) for n in (1, 2, 3)]
            cards.append(card_folder(folder, name, gdo, versions, status, pd,
                                     read(os.path.join(b, vd))))
    return cards


# The program ----------------------------------------------------------------------------

class Orva:
    """One orva process; standard output and error go to files in its own folder."""
    count = 0

    def __init__(self, bin_dir, folder, args, env):
        Orva.count += 1
        self.dir = os.path.join(folder, "orva%d" % Orva.count)
        self.tmp = os.path.join(self.dir, "tmp")
        os.makedirs(self.tmp)
        self.out_path = os.path.join(self.dir, "stdout")
        self.err_path = os.path.join(self.dir, "stderr")
        self.trace_path = os.path.join(self.dir, "trace")
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("TMP", "ORVA_SIM_CARDS", "ORVA_PCSC_READER")}
        full_env.update({"TMP": self.tmp + "/", "ORVA_PCSC_TRACE": self.trace_path,
                         "ORVA_SIM_TRACE": self.trace_path})
        full_env.update(env)
        self.args = args
        self.process = subprocess.Popen([os.path.join(bin_dir, "orva")] + args,
                                        stdout=open(self.out_path, "wb"),
                                        stderr=open(self.err_path, "wb"), env=full_env,
                                        cwd=self.dir)

    def trace(self):
        return read(self.trace_path).decode() if os.path.exists(self.trace_path) else ""

    def out(self):
        return read(self.out_path)

    def count_in_trace(self, text):
        return self.trace().count(text)

    def wait(self, timeout=60):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure("orva %s did not end: %s" % (" ".join(self.args), self.tail()))

    def tail(self):
        return "\n--- trace:\n%s\n--- stderr:\n%s" % (
            self.trace()[-3000:], read(self.err_path).decode(errors="replace")[-1500:])

    def kill(self):
        stop(self.process)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class WindowsOrva(Orva):
    """ORVA.exe under wine64 (through the project's Wine runner), started from its folder."""

    def __init__(self, wine_run, app, folder, args, env):
        Orva.count += 1
        self.dir = os.path.join(folder, "orva%d" % Orva.count)
        os.makedirs(self.dir)
        self.out_path = os.path.join(self.dir, "stdout")
        self.err_path = os.path.join(self.dir, "stderr")
        self.trace_path = os.path.join(self.dir, "trace")
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("ORVA_SIM_CARDS", "ORVA_PCSC_READER")}
        full_env.update({"ORVA_PCSC_TRACE": windows_path(self.trace_path),
                         "ORVA_SIM_TRACE": windows_path(self.trace_path)})
        full_env.update(env)
        self.args = args
        self.process = subprocess.Popen([wine_run, os.path.join(app, "ORVA.exe")] + args,
                                        stdout=open(self.out_path, "wb"),
                                        stderr=open(self.err_path, "wb"), env=full_env,
                                        cwd=app, start_new_session=True)

    def kill(self):
        # SIGTERM first: the runner then ends the prefix's wineserver and its display.
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


EJECT = "cmd=20 15 01"


def sim_record(bin_dir, folder, image):
    orva = Orva(bin_dir, folder, ["USB", "-LSIM"], {"ORVA_SIM_CARDS": image})
    orva.wait()
    record = orva.out()
    if not record.startswith(RECORD_START) or record == ERROR_RECORD:
        raise Failure("the simulated terminal gave no eGK record for %s: %r%s" %
                      (image, record[:40], orva.tail()))
    return record


def pcsc_env(stack):
    return {"PCSCLITE_CSOCK_NAME": stack.socket_name}


def take_out_when_asked(stack, orva, since=0):
    """Waits for the program to ask for the card to be taken out (in the trace from the
    offset since on), then takes it out."""
    wait_until("EJECT ICC", lambda: EJECT in orva.trace()[since:] or
               orva.process.poll() is not None, timeout=60)
    stack.remove()


def expect_equal(what, got, wanted, orva):
    if got != wanted:
        raise Failure("%s: the record differs from the simulated terminal's\n got    %r\n"
                      " wanted %r%s" % (what, got[:200], wanted[:200], orva.tail()))


def read_once(bin_dir, folder, stack, files, *card_options):
    out = os.path.join(folder, "record-%d" % (Orva.count + 1))
    stack.insert(files, *card_options)
    orva = Orva(bin_dir, folder, ["USB", "-LPCS", "-F" + out], pcsc_env(stack))
    take_out_when_asked(stack, orva)
    orva.wait()
    return (read(out) if os.path.exists(out) else b""), orva


def scenario_records_as_the_simulator(args, folder, stack, cards, records):
    bin_dir = args.bin
    for files in cards:
        record, orva = read_once(bin_dir, folder, stack, files)
        expect_equal(os.path.basename(files), record, records[files], orva)
        if "rc=-" in orva.trace():
            raise Failure("a failed call in a good read" + orva.tail())


def scenario_extended_length_refused(args, folder, stack, cards, records):
    bin_dir = args.bin
    files = cards[0]
    wanted = sim_record(bin_dir, folder, sim_image(files, extended=False))
    record, orva = read_once(bin_dir, folder, stack, files, "--no-extended")
    expect_equal("extended length refused", record, wanted, orva)
    trace = orva.trace()
    if "cmd=00 B0 81 00 00 00 00 -> 67 00 rc=0" not in trace or \
            "cmd=00 B0 82 00 00 -> " not in trace:
        raise Failure("no 67 00 fallback to short reads" + orva.tail())


def scenario_endless(args, folder, stack, cards, records):
    bin_dir = args.bin
    orva = Orva(bin_dir, folder, ["USB", "-LPCS", "-E"], pcsc_env(stack))
    try:
        wanted = b""
        for n, files in enumerate(cards, 1):
            since = len(orva.trace())
            stack.insert_later(files)
            take_out_when_asked(stack, orva, since)
            wanted += records[files]
            wait_until("record %d" % n, lambda: len(orva.out()) >= len(wanted) or
                       orva.process.poll() is not None, timeout=60)
            expect_equal("endless, card %d" % n, orva.out(), wanted, orva)
        # Waiting for one more card: Ctrl-C ends the program with the ErrorRecord.
        wait_until("the next REQUEST ICC", lambda: orva.count_in_trace(
            "cmd=20 12 01 00 01 01 -> 62 00") >= 1, timeout=30)
        orva.process.send_signal(signal.SIGINT)
        orva.wait(30)
        expect_equal("endless, Ctrl-C", orva.out(), wanted + ERROR_RECORD, orva)
        if orva.count_in_trace("CT_init") != len(cards) + 1:
            raise Failure("one run per card expected" + orva.tail())
    finally:
        orva.kill()


def scenario_no_card_within_the_time(args, folder, stack, cards, records):
    bin_dir = args.bin
    files = cards[0]
    out = os.path.join(folder, "late-card")
    orva = Orva(bin_dir, folder, ["USB", "-LPCS", "-F" + out], pcsc_env(stack))
    try:
        no_card = "cmd=20 12 01 00 01 01 -> 62 00 rc=0"
        wait_until("two REQUEST ICC without a card", lambda: orva.count_in_trace(no_card) >= 2,
                   timeout=30)
        stack.insert_later(files)
        take_out_when_asked(stack, orva)
        orva.wait()
        expect_equal("a card after waiting", read(out), records[files], orva)
    finally:
        orva.kill()


def scenario_card_pulled_mid_read(args, folder, stack, cards, records):
    bin_dir = args.bin
    out = os.path.join(folder, "pulled")
    stack.insert(cards[0], "--pull-on", "00 B0 81")
    orva = Orva(bin_dir, folder, ["USB", "-LPCS", "-F" + out], pcsc_env(stack))
    try:
        orva.wait(60)
        expect_equal("card pulled out", read(out), ERROR_RECORD, orva)
        if "cmd=00 B0 81 00 00 00 00 -> rc=-10" not in orva.trace():
            raise Failure("the pulled card's read is not a transmission error" + orva.tail())
    finally:
        orva.kill()
        stack.remove()


def windows_app(folder, windows_bin, relay_dll):
    """ORVA.exe, the two CT-API libraries and GZIP in a folder of their own, with the relaying
    winscard.dll beside them (the application folder comes first in the DLL search)."""
    app = os.path.join(folder, "app")
    os.makedirs(app)
    for name in ("ORVA.exe", "GZIP.exe", "ct_api_usbPCS.dll", "ct_api_usbSIM.dll"):
        shutil.copy(os.path.join(windows_bin, name), app)
    shutil.copy(relay_dll, os.path.join(app, "winscard.dll"))
    return app


def scenario_windows_records(args, folder, stack, cards, records):
    relay = subprocess.Popen([DEBIAN_PYTHON, os.path.join(HERE, "scard_relay.py"),
                              "--port-file", os.path.join(folder, "relay.port")],
                             env=dict(os.environ, PCSCLITE_CSOCK_NAME=stack.socket_name),
                             stdout=open(os.path.join(folder, "relay.log"), "wb"),
                             stderr=subprocess.STDOUT)
    try:
        port = wait_until("the relay", lambda: os.path.exists(os.path.join(folder, "relay.port"))
                          and read(os.path.join(folder, "relay.port")).decode())
        app = windows_app(folder, args.windows, args.relay_dll)
        for files in cards:
            name = os.path.basename(files)
            sim_out = os.path.join(folder, name + "-wine-sim")
            sim = WindowsOrva(args.wine_run, app, folder,
                              ["USB", "-LSIM", "-F" + windows_path(sim_out)],
                              {"ORVA_SIM_CARDS": windows_path(sim_image(files))})
            try:
                sim.wait(120)
            finally:
                sim.kill()
            wanted = read(sim_out) if os.path.exists(sim_out) else b""
            if not wanted.startswith(RECORD_START) or wanted == ERROR_RECORD:
                raise Failure("ORVA.exe with the simulated terminal: no eGK record for %s%s" %
                              (name, sim.tail()))
            if files in records:
                expect_equal(name + ": Wine and Linux", wanted, records[files], sim)
            out = os.path.join(folder, name + "-wine-pcsc")
            stack.insert(files)
            orva = WindowsOrva(args.wine_run, app, folder,
                               ["USB", "-LPCS", "-F" + windows_path(out)],
                               {"ORVA_SCARD_RELAY": port,
                                # Wine takes its own (backend-less) winscard.dll otherwise.
                                "ORVA_WINEDLLOVERRIDES": "winscard=n"})
            try:
                take_out_when_asked(stack, orva)
                orva.wait(120)
            finally:
                orva.kill()
            expect_equal(name + " under Wine", read(out) if os.path.exists(out) else b"",
                         wanted, orva)
    finally:
        stop(relay)


SCENARIOS = [
    scenario_records_as_the_simulator,
    scenario_extended_length_refused,
    scenario_endless,
    scenario_no_card_within_the_time,
    scenario_card_pulled_mid_read,
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("ORVA_PCSC_LINUX_BIN"),
                        help="folder of the Linux orva and the CT-API libraries")
    parser.add_argument("--windows", help="folder of ORVA.exe and the Windows libraries: "
                        "run ORVA.exe under Wine instead")
    parser.add_argument("--relay-dll", help="the test-only winscard.dll")
    parser.add_argument("--wine-run", help="the Wine runner")
    parser.add_argument("--cards", required=True, help="tests/data/cards")
    parser.add_argument("--samples", help="the public sample card files")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--only", help="run only the scenario of this name")
    parser.add_argument("--debug", action="store_true", help="pcscd's debug log")
    args = parser.parse_args()
    for name in ("bin", "windows", "relay_dll", "wine_run"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    if not args.bin and not args.windows:
        parser.error("--bin or --windows")
    scenarios = [scenario_windows_records] if args.windows else SCENARIOS

    folder = tempfile.mkdtemp(prefix="orva-pcsc-")
    stack = None
    failed = []
    try:
        cards = make_cards(folder, args.cards, args.samples)
        records = ({files: sim_record(args.bin, folder, sim_image(files)) for files in cards}
                   if args.bin else {})
        try:
            stack = Stack(folder, args.debug)
        except SkipStack as e:
            print("skipped: %s" % e)
            return 77
        for scenario in scenarios:
            name = scenario.__name__[len("scenario_"):]
            if args.only and name != args.only:
                continue
            started = time.monotonic()
            try:
                scenario(args, folder, stack, cards, records)
                print("passed: %s (%.1f s)" % (name, time.monotonic() - started))
            except Failure as e:
                print("FAILED: %s: %s" % (name, e))
                failed.append(name)
                if stack.card is not None:
                    stop(stack.card)
                    stack.card = None
        print("%d cards, %d scenarios, %d failed" % (len(cards), len(scenarios), len(failed)))
    finally:
        if stack is not None:
            stack.close()
        if args.keep or failed:
            print("work folder: " + folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
