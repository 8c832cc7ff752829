#!/usr/bin/python3
"""Makes the fuzz targets' seed corpora from real traffic.

Starts veldoran-sim in a private port map, talks to it over its pseudo-terminal the way the tool
does (status query, event read, card upload, clock, controller number, clearing), has it present
cards and send line noise, and records every byte both ways. The replies, cut into deliveries,
seed the receive dispatcher; the command lines seed the controller model; Config.ini files as the
tests and the tool write them seed the INI engine; their Polish texts seed the code page.

    tests/fuzz/capture_corpus.py build/debug/tools/sim/veldoran-sim [tests/fuzz/corpus]

The seeds are small (at most 4 KiB each) and the same for the same simulator: it runs with a
fixed seed. The clock values in the replies are the PC's time of the capture.
"""
import os
import re
import select
import subprocess
import sys
import tempfile
import termios
import time
import tty

MAX_SEED = 4096


class Sim:
    def __init__(self, program, home):
        env = dict(os.environ, XDG_CONFIG_HOME=home)
        self.proc = subprocess.Popen(
            [program, "--seed", "7", "--events", "1000", "--quiet",
             "--card", "0:0011AABB", "--card", "1:00334455", "--card", "5:0BADF00D"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        line = self.proc.stdout.readline().decode()
        m = re.match(r"veldoran-sim: COM(\d+) -> (\S+)", line)
        if not m:
            raise SystemExit("veldoran-sim did not name its port: %r" % line)
        self.fd = os.open(m.group(2), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[4] = attrs[5] = termios.B57600
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.sent = []  # command lines, in order
        self.typed = []  # standard-input commands, in order

    def command(self, text):
        self.typed.append(text)
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()
        return self.proc.stdout.readline().decode().strip()

    def read(self, count, timeout=10.0):
        """Reads until `count` bytes came or the line was quiet for 300 ms; returns the pieces as
        they arrived (each a delivery the port would make)."""
        pieces, got, end = [], 0, time.monotonic() + timeout
        while got < count and time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], 0.3)
            if not ready:
                break
            data = os.read(self.fd, 4096)
            pieces.append(data)
            got += len(data)
        return pieces

    def exchange(self, line, reply_length):
        self.sent.append(line)
        os.write(self.fd, line)
        return self.read(reply_length)

    def close(self):
        os.close(self.fd)
        self.command("quit")
        self.proc.wait(timeout=10)


def frame_deliveries(pieces, limit=255):
    """The receive dispatcher target's layout: each delivery is a length byte and its bytes."""
    out = b""
    for piece in pieces:
        while piece:
            part, piece = piece[:limit], piece[limit:]
            out += bytes([len(part)]) + part
    return out


def frame_lines(lines, pause=0):
    """The controller model target's layout: a control byte (pause code in the top three bits,
    piece length in the low five) before each piece."""
    out = b""
    for line in lines:
        while line:
            part, line = line[:31], line[31:]
            out += bytes([(pause << 5) | len(part)]) + part
    return out


def cut(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


def fuzz_string(text):
    """A string as FuzzedDataProvider.ConsumeRandomLengthString reads it: a backslash doubled,
    and a backslash with another character after it ends the string."""
    return text.replace(b"\\", b"\\\\") + b"\\ "


def first_start_config():
    out = b"[Szafki]\r\n" + b"".join(b"%d=Szafka %d\r\n" % (n, n) for n in range(1, 11))
    for section in (b"Users_ime", b"Users_nazwisko", b"kod"):
        out += b"[" + section + b"]\r\n" + b"".join(b"%d=\r\n" % n for n in range(1, 101))
    out += b"[uprawnienia]\r\n" + b"".join(b"%d=1111111111\r\n" % n for n in range(1, 101))
    return out


def configs():
    lukasz, zolc = b"\xA3ukasz", b"\xAF\xF3\xB3\xE6"
    hall = b"Hala; wej\x9Ccie B"
    users = [(1, lukasz, zolc, b"0011AABB", b"1111111111"),
             (2, b"Anna", b"Nowak", b"00334455", b"1111111111")]

    def ini(lockers, users, eol=b"\r\n"):
        out = b"[Szafki]" + eol + b"".join(b"%d=%s%s" % (n, name, eol) for n, name in lockers)
        for i, name in enumerate((b"Users_ime", b"Users_nazwisko", b"kod", b"uprawnienia")):
            out += b"[" + name + b"]" + eol
            out += b"".join(b"%d=%s%s" % (u[0], u[1 + i], eol) for u in users)
        return out

    earlier = (b"; Konfiguracja szafek\r\n[Szafki]\r\n1=\xA3\xF3d\x9F\r\n2=Hala\r\n"
               b"[Users_ime]\r\n1=\xAFaneta\r\n101=nadmiarowy\r\n[Users_nazwisko]\r\n1=G\xEA\x9C\r\n"
               b"[kod]\r\n1=0011AABB\r\n[uprawnienia]\r\n1=0101\r\n5=\r\n"
               b"[Serwis]\r\ntechnik=Kowalski\r\n")
    blanks = (b"[szafki]\r\n 1 = ' Szatnia ' \r\n2=\"Hala\"\r\n3=\r\n[SZAFKI]\r\n1=druga\r\n"
              b"[kod]\r\n1=0011AABB\r\n1=powt\xF3rzony\r\n  ; komentarz\r\nbez znaku\r\n[bez konca")
    return {
        "first-start": first_start_config(),
        "two-users": ini([(1, hall), (3, b"Magazyn")], users),
        "earlier-version": earlier,
        "lf-endings": ini([(1, b"Szatnia A"), (2, b"Szatnia B")], users, b"\n"),
        "blanks-quotes-duplicates": blanks,
    }


class Provider:
    """Writes an input as FuzzedDataProvider reads it: integers and booleans from the end (one
    byte below 256 values, big end first), strings from the front."""

    def __init__(self):
        self.front = b""
        self.back = []

    def int(self, lo, hi, value):
        span, offset, width = hi - lo, value - lo, 0
        while span >> (8 * width):
            width += 1
        for i in reversed(range(width)):
            self.back.append((offset >> (8 * i)) & 0xFF)

    def bool(self, value):
        self.back.append(1 if value else 0)

    def string(self, text, max_length):
        # A string as long as the target reads at most needs no end mark.
        if len(text) >= max_length:
            self.front += text[:max_length].replace(b"\\", b"\\\\")
        else:
            self.front += fuzz_string(text)

    def data(self):
        return self.front + bytes(reversed(self.back))


def port_map_seeds():
    """Systems as Linux lays them out, in the port map target's steps (tests/fuzz/
    port_map_fuzz.cpp): PC ports, adapters, on-board UARTs, links the user made."""

    def tty_s(p, k, uart_type):
        p.int(0, 6, 0)
        p.int(0, 255, k)
        p.string(b"%d\n" % uart_type, 8)
        p.bool(uart_type != 0)  # a real port sits on pnp, a phantom on the 8250 platform driver
        if uart_type != 0:
            p.string(b"PNP0501\n", 12)
        p.bool(True)  # it has its type file

    def usb(p, acm, index, port, strings, driver, by_id):
        p.int(0, 6, 1)
        p.bool(acm)
        p.int(0, 9, index)
        p.int(1, 9, port)
        for attribute in ("idVendor", "idProduct", "bcdDevice", "manufacturer", "product",
                          "serial"):
            p.bool(attribute in strings)
            if attribute in strings:
                p.string(strings[attribute] + b"\n", 16)
        p.string(b"00\n", 4)
        p.string(driver, 12)
        p.string(by_id, 64)

    def link(p, number, kind, index=0, count=1, to=7):
        p.int(0, 6, 3)
        p.bool(True)
        p.int(0, 300, number)
        p.int(0, 5, kind)
        if kind in (0, 1, 2) and count > 1:
            p.int(0, count - 1, index)  # which of the devices or by-id links made so far
        elif kind == 4:
            p.int(0, 300, to)

    ftdi = {"idVendor": b"0403", "idProduct": b"6001", "bcdDevice": b"0600",
            "manufacturer": b"FTDI", "product": b"FT232R USB UART", "serial": b"A12345"}
    ch340 = {"idVendor": b"1a86", "idProduct": b"7523", "bcdDevice": b"0254",
             "product": b"USB Serial"}
    acm = {"idVendor": b"2341", "idProduct": b"0043", "bcdDevice": b"0001"}
    seeds = {}

    p = Provider()
    p.int(0, 12, 4)
    tty_s(p, 0, 4)
    for k in (1, 2, 3):
        tty_s(p, k, 0)
    seeds["pc-with-phantom-ports"] = p.data()

    p = Provider()
    p.int(0, 12, 4)
    tty_s(p, 0, 4)
    usb(p, False, 0, 1, ftdi, b"ftdi_sio", b"usb-FTDI_FT232R_USB_UART_A12345-if00-port0")
    usb(p, True, 0, 2, acm, b"cdc_acm", b"")
    usb(p, False, 1, 3, ch340, b"ch341", b"usb-1a86_USB_Serial-if00-port0")
    seeds["adapters"] = p.data()

    p = Provider()
    p.int(0, 12, 6)
    tty_s(p, 0, 4)
    usb(p, False, 0, 1, ftdi, b"ftdi_sio", b"usb-FTDI_FT232R_USB_UART_A12345-if00-port0")
    link(p, 7, 1)  # the user's COM7 for the adapter, by its by-id path
    link(p, 9, 3)  # a dangling link: a port that is not plugged in
    link(p, 12, 4, to=7)  # a link to a link
    link(p, 2, 0, index=0, count=2)  # COM2 for the real ttyS0, which is COM1 without it
    seeds["links-the-user-made"] = p.data()

    p = Provider()
    p.int(0, 12, 4)
    p.int(0, 6, 2)
    p.string(b"ttyAMA0", 12)
    p.string(b"uart-pl011", 12)
    p.int(0, 6, 2)
    p.string(b"ttymxc0", 12)
    p.string(b"imx-uart", 12)
    p.int(0, 6, 5)  # a node gone: the second UART's
    p.int(0, 1, 1)
    p.int(0, 6, 6)  # a virtual console
    p.string(b"tty1", 10)
    p.bool(False)
    seeds["board-uarts"] = p.data()
    return seeds


def regfile_seeds():
    """The registry store's file as it is written (platform/posix/reg_file.h): the port
    component's stored settings, a serial-port map, texts, numbers and long binary values."""
    settings = bytes([0x1C, 0, 0, 0, 0x00, 0xE1, 0, 0, 0x11, 0x30, 0, 0]) + bytes(range(37))
    hex_lines = []
    for i in range(0, len(settings), 25):
        hex_lines.append(",".join("%02x" % b for b in settings[i:i + 25]))
    settings_text = ",\\\r\n  ".join(hex_lines)
    store = ("REGEDIT4\r\n\r\n"
             "[HKEY_CURRENT_USER\\Software\\Veldoran\\spComm1]\r\n"
             "\"Settings\"=hex:" + settings_text + "\r\n"
             "\"Port\"=\"COM3\"\r\n"
             "\"Baud\"=dword:0000e100\r\n"
             "@=\"the key's default value\"\r\n\r\n"
             "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
             "\"\\\\Device\\\\Serial0\"=\"COM1\"\r\n"
             "\"\\\\Device\\\\VCP0\"=\"COM3\"\r\n").encode()
    odd = ("\xef\xbb\xbfREGEDIT4\n; a comment\n[HKEY_USERS\\.DEFAULT\\Keyboard Layout]\n"
           "\"Names\"=hex(7):43,00,4f,00,4d,00,31,00,00,00,00,00\n"
           "\"Empty\"=hex:\n\"Path\"=\"C:\\\\Program Files\\\\\\\"Veldoran\\\"\"\n"
           "[hkey_current_user\\software\\VELDORAN\\spcomm1]\n\"port\"=\"COM4\"\n").encode("latin-1")
    damaged = store[:len(store) * 2 // 3]  # a file cut off in the middle of a hex list
    # The last byte chooses reading a file (odd) rather than writing keys.
    return {"store-as-written": store + b"\x01", "bom-lf-comments-and-case": odd + b"\x01",
            "cut-off": damaged + b"\x01"}


def main():
    program = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "corpus")
    seeds = {"dispatcher_fuzz": {}, "sim_model_fuzz": {}, "ini_fuzz": {}, "cp1250_fuzz": {},
             "sim_command_fuzz": {}}
    with tempfile.TemporaryDirectory() as home:
        sim = Sim(program, home)
        status = sim.exchange(b"0\r", 29)
        records = b"".join(sim.exchange(b"5\r", 21000))
        acks = [b"".join(sim.exchange(b"2%02X%s\r" % (slot, code), 19))
                for slot, code in ((0, b"0011AABB"), (1, b"00334455"), (2, b"FFFFFFFF"),
                                   (3, b"abcdef12"), (99, b"FEDCBA98"))]
        sim.exchange(b"4%08X\r" % int(time.time() - 1577836800), 0)
        renumbered = b"".join(sim.exchange(b"703\r", 29))
        sim.command("card 1")
        card = b"".join(sim.read(18))
        sim.command("code 99999999")
        unknown_card = b"".join(sim.read(18))
        cleared = b"".join(sim.exchange(b"3\r", 29))
        sim.command("noise 300")
        noise = b"".join(sim.read(300))
        for command in ("store 7 C0FFEE11", "events 5", "garble 5", "split 4 10", "delay 2 300",
                        "drop 1", "faults", "faults off", "mute", "unmute", "number 3", "clear",
                        "hangup", "plug", "dump"):
            sim.command(command)
        sim.close()
    status_line = b"".join(status)
    if len(status_line) != 29 or len(records) != 21000 or len(card) != 18 or len(noise) != 300:
        raise SystemExit("short capture: status %d, records %d, card %d, noise %d" %
                         (len(status_line), len(records), len(card), len(noise)))

    d = seeds["dispatcher_fuzz"]
    d["status-line"] = frame_deliveries([status_line])
    d["status-line-split"] = frame_deliveries([status_line[:10], status_line[10:]])
    d["status-line-deliveries-as-read"] = frame_deliveries(status)
    d["card-read"] = frame_deliveries([card, unknown_card])
    d["status-crlf-then-card"] = frame_deliveries([status_line + card])
    d["acks-one-per-delivery"] = frame_deliveries(acks)
    d["acks-together"] = frame_deliveries([b"".join(acks)])
    d["renumbered-and-cleared"] = frame_deliveries([renumbered, cleared])
    d["records-first-hundred"] = frame_deliveries(cut(records[:2100], 32))
    d["records-end-of-read"] = frame_deliveries(cut(records[-210:], 32) + [status_line])
    d["records-crlf-between"] = frame_deliveries([records[:21] + b"\r" + records[21:130]])
    d["noise-then-status"] = frame_deliveries(cut(noise, 40) + [status_line])
    d["status-then-records-lost"] = frame_deliveries([status_line + records[:63]])

    m = seeds["sim_model_fuzz"]
    lines = sim.sent
    m["status-query"] = frame_lines([b"0\r"] * 3, pause=1)
    m["tool-session"] = frame_lines(lines)
    m["upload"] = frame_lines([b"2%02X%s\r" % (slot, b"%08X" % (slot * 0x1010101))
                               for slot in range(50)])
    m["line-split-by-timeout"] = frame_lines([b"2000011"]) + frame_lines([b"AABB\r"], pause=4)
    m["cards-presented"] = b"\xff0011AABB\xff99999999" + frame_lines([b"0\r"])
    m["number-out-of-range"] = frame_lines([b"70B\r", b"700\r", b"7ZZ\r", b"0\r"])

    i = seeds["ini_fuzz"]
    for name, text in configs().items():
        i[name] = text + b"\x00"  # no writes: the whole file is the input
    earlier = configs()["earlier-version"]
    i["earlier-version-renamed"] = (fuzz_string(b"Szafki") + fuzz_string(b"2") +
                                    fuzz_string(b"Hala g\xB3\xF3wna") + earlier + b"\x01")
    i["new-section-and-key"] = (fuzz_string(b"Users_ime") + fuzz_string(b"7") +
                                fuzz_string(b"\xA3ucja") + fuzz_string(b"Port") +
                                fuzz_string(b"ComPortNo") + fuzz_string(b"3") + earlier + b"\x02")

    t = seeds["sim_command_fuzz"]
    t["session"] = "".join(command + "\n" for command in sim.typed).encode()
    t["fault-commands"] = b"garble 5\nsplit 4 10\ndelay 2 300\ndrop 1\nfaults\nfaults off\n"
    t["unplugged-then-plugged"] = b"hangup\nnoise 10\ncard 0\nplug\nnoise 10\nhangup\n"
    t["help-and-dump"] = b"help\ndump\nevents 3\ndump\n"
    t["no-line-end"] = b"store 7 C0FFEE11\nnumber 3"

    seeds["port_map_fuzz"] = port_map_seeds()
    seeds["regfile_fuzz"] = regfile_seeds()

    c = seeds["cp1250_fuzz"]
    polish = "Łódź Żółć Gęś Świętokrzyska NAZWISKO;IMIĘ Połączono z szafką nr 1 Rozłączony"
    c["polish-texts"] = (fuzz_string(polish.encode("cp1250")) +
                         fuzz_string(polish.upper().encode("cp1250")) + polish.encode("utf-16-le"))
    c["csv-heading"] = (fuzz_string("NAZWISKO;IMIĘ;DATA;CZAS;NR;LOKALIZACJA;KARTA".encode("cp1250"))
                        + fuzz_string(b"") + "€‰„”–—™".encode("utf-16-le"))
    c["config-bytes"] = configs()["earlier-version"][:400]

    for target, files in seeds.items():
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in files.items():
            if len(data) > MAX_SEED and target != "ini_fuzz":
                raise SystemExit("%s/%s is %d bytes" % (target, name, len(data)))
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print("%-16s %2d seeds, %6d bytes" % (target, len(files), sum(map(len, files.values()))))


if __name__ == "__main__":
    main()
