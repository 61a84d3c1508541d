#!/usr/bin/env python3
"""The Wireshark dissector, run by tshark over recordings of the chip.

The kept recordings (tests/recordings) must decode to the steps the recorded
command took; their JSON reports and the update file are the independent
truth the decode is held against. A capture made here by hand carries
requests the chip does not know and broken frames, which must be marked and
never decoded as something else. With --fw, further recordings are made with
korvalen-fw --simulate --record (I2C, media key, identity texts, status, and
a whole 256 KiB update).

Usage: dissector_test.py --tshark T --dissector korvalen.lua --recordings DIR
                         [--fw korvalen-fw] [unittest arguments...]
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

ARGS = None
SCRATCH = tempfile.TemporaryDirectory()  # fresh recordings; removed at exit

FIELDS = [
    "frame.number", "usb.urb_type", "usb.bmRequestType", "korvalen.summary",
    "korvalen.request", "korvalen.request_in", "korvalen.device", "korvalen.isp",
    "korvalen.reg.bank", "korvalen.reg.num", "korvalen.reg.value",
    "korvalen.flash.cmd", "korvalen.flash.addr", "korvalen.flash.len", "korvalen.flash.data",
    "korvalen.flash.id", "korvalen.flash.status", "korvalen.flash.blank",
    "korvalen.mailbox.cmd", "korvalen.mailbox.what", "korvalen.key",
    "korvalen.i2c.op", "korvalen.i2c.addr", "korvalen.i2c.byte", "korvalen.i2c.ack",
    "korvalen.unknown", "korvalen.rejected", "korvalen.malformed", "korvalen.unmatched",
]

PROBLEMS = ("korvalen.unknown", "korvalen.malformed", "korvalen.unmatched")


def tshark(capture, *extra):
    """Runs tshark with the dissector; fails the test run on a Lua error."""
    command = [ARGS.tshark, "-n", "-X", "lua_script:" + ARGS.dissector, "-r", capture, *extra]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    lua_error = ("Lua Error", "Lua: Error")
    if done.returncode != 0 or any(e in done.stdout or e in done.stderr for e in lua_error):
        raise AssertionError("tshark failed on %s:\n%s%s" % (capture, done.stderr, done.stdout[-2000:]))
    return done.stdout


def decode(capture, *extra):
    """One dict per frame, field name -> text ('' when absent)."""
    args = ["-T", "fields", "-E", "separator=\t", "-E", "occurrence=f"]
    for field in FIELDS:
        args += ["-e", field]
    rows = []
    for line in tshark(capture, *extra, *args).splitlines():
        values = line.split("\t")
        rows.append(dict(zip(FIELDS, values + [""] * (len(FIELDS) - len(values)))))
    return rows


def number(text):
    return int(text, 0)


def truth(text):
    return text in ("1", "True", "true")


def data_bytes(text):
    return bytes.fromhex(text.replace(" ", "").replace(":", ""))


class Request:
    """A vendor request: its submit row and, when recorded, its completion."""

    def __init__(self, submit):
        self.submit = submit
        self.complete = None

    def __getitem__(self, field):
        return self.submit[field]

    @property
    def cmd(self):
        return number(self["korvalen.flash.cmd"]) if self["korvalen.flash.cmd"] else None


def requests_of(rows):
    """The vendor requests in order, each with its completion."""
    by_frame = {}
    ordered = []
    for row in rows:
        if row["usb.urb_type"] == "'S'" and row["usb.bmRequestType"] in ("0x43", "0xc3"):
            request = Request(row)
            by_frame[row["frame.number"]] = request
            ordered.append(request)
        elif row["korvalen.request_in"] in by_frame:
            by_frame[row["korvalen.request_in"]].complete = row
    return ordered


def recording(name):
    return os.path.join(ARGS.recordings, name)


class KeptUpdates(unittest.TestCase):
    """The one-click update on each flash part decodes step by step."""

    def check_update(self, name, chunk, word_program=False):
        rows = decode(recording(name + ".pcap"))
        with open(recording(name + ".json")) as f:
            report = json.load(f)
        with open(recording("small.bin"), "rb") as f:
            image = f.read()
        self.assertEqual(report["length"], len(image))
        self.assertFalse([r for r in rows if any(r[p] for p in PROBLEMS)])
        self.assertTrue(rows[0]["korvalen.summary"].startswith("device note: " + report["id"]))
        reqs = requests_of(rows)
        self.assertEqual(len(reqs) + 1, report["requests"])  # + the presence check
        self.assertTrue(all(r["korvalen.summary"] and r.complete for r in reqs))

        # ISP on first, ISP off after everything the flash was told.
        self.assertTrue(truth(reqs[0]["korvalen.isp"]))
        off = [i for i, r in enumerate(reqs) if r["korvalen.isp"] and not truth(r["korvalen.isp"])]
        self.assertEqual(len(off), 1)
        self.assertFalse([r for r in reqs[off[0]:] if r["korvalen.flash.cmd"]])

        flash = [r for r in reqs if r.cmd is not None]
        ops = [r.cmd for r in flash]
        # The ID read with its answer, the one the report names.
        self.assertEqual(ops[0], 0x9F)
        answer = next(r for r in flash if r.cmd == 0x9F and r["korvalen.request"] == "0x82")
        self.assertEqual(data_bytes(answer.complete["korvalen.flash.id"]),
                         bytes.fromhex(report["jedec_id"]))

        # Status cleared before the erase, protection written after the verify.
        erase = ops.index(0xC7)
        writes = [i for i, op in enumerate(ops) if op == 0x01]
        self.assertEqual(len(writes), 2)
        self.assertLess(writes[0], erase)
        self.assertEqual(number(flash[writes[0]]["korvalen.flash.status"]), 0)
        self.assertNotEqual(number(flash[writes[1]]["korvalen.flash.status"]) & 0x3C, 0)

        # The erase is polled busy until the flash is ready.
        polls = []
        for r in flash[erase + 1:]:
            if r.cmd == 0x05 and r["korvalen.request"] == "0x82":
                polls.append(number(r.complete["korvalen.flash.status"]) & 1)
            elif r.cmd != 0x05:
                break
        self.assertGreater(len(polls), 1)
        self.assertEqual(polls[-1], 0)
        self.assertTrue(all(busy for busy in polls[:-1]))

        programs = [i for i, r in enumerate(flash)
                    if r.cmd in (0x02, 0xAD) and r["korvalen.flash.len"]]
        first, last = programs[0], programs[-1]
        reads = [r for r in flash if r.cmd == 0x03 and r["korvalen.request"] == "0x82"]
        blank = [r for r in reads if flash.index(r) < first]
        verify = [r for r in reads if flash.index(r) > last]
        self.assertEqual(len(blank) + len(verify), len(reads))

        def covered(rows, size):
            """The bytes of consecutive chunks from address 0 on."""
            data = b""
            for row in rows:
                self.assertEqual(number(row["korvalen.flash.addr"]), len(data))
                self.assertEqual(number(row["korvalen.flash.len"]), size)
                data += data_bytes(row["korvalen.flash.data"])
            return data

        self.assertEqual(covered([r.complete for r in blank], 64), b"\xff" * len(image))
        self.assertTrue(all(truth(r.complete["korvalen.flash.blank"]) for r in blank))
        self.assertEqual(covered([flash[i].submit for i in programs], chunk), image)
        self.assertEqual(covered([r.complete for r in verify], 64), image)
        if word_program:
            # Word programming is closed before the verify reads.
            self.assertEqual(flash[last + 1].cmd, 0x04)
        self.assertLess(last, writes[1])

    def test_page_program_part(self):
        self.check_update("update-page256", 256)

    def test_32_byte_chunk_part(self):
        self.check_update("update-page32", 32)

    def test_word_program_part(self):
        self.check_update("update-aai", 2, word_program=True)

    def test_two_passes_decode_as_one(self):
        # tshark's first pass of two builds no protocol tree; the decode must
        # not depend on one.
        one = decode(recording("update-retry.pcap"))
        two = decode(recording("update-retry.pcap"), "-2")
        self.assertEqual([r["korvalen.summary"] for r in two], [r["korvalen.summary"] for r in one])

    def test_retry_marks_the_rejected_request_and_erases_again(self):
        rows = decode(recording("update-retry.pcap"))
        with open(recording("update-retry.json")) as f:
            report = json.load(f)
        rejected = [r for r in rows if r["korvalen.rejected"]]
        self.assertEqual(len(rejected), 1)
        self.assertEqual(rejected[0]["usb.urb_type"], "'C'")
        self.assertIn("REJECTED", rejected[0]["korvalen.summary"])
        self.assertFalse([r for r in rows if any(r[p] for p in PROBLEMS)])
        erases = [r for r in requests_of(rows) if r.cmd == 0xC7]
        self.assertEqual(len(erases), len(report["attempts"]))
        self.assertGreater(len(erases), 1)


class KeptEngineering(unittest.TestCase):
    """The Register page's Read Bank and the settings exchange."""

    def test_read_bank_is_256_reads_of_the_selected_bank(self):
        with open(recording("read-bank.json")) as f:
            report = json.load(f)
        reqs = requests_of(decode(recording("read-bank.pcap")))
        select, reads = reqs[0], reqs[1:]
        self.assertEqual(number(select["korvalen.reg.value"]), report["bank"])
        self.assertIn("select bank %d" % report["bank"], select["korvalen.summary"])
        self.assertEqual(len(reads), 256)
        self.assertTrue(all(r["korvalen.request"] == "0x91" for r in reads))
        self.assertEqual({r["korvalen.reg.bank"] for r in reads}, {str(report["bank"])})
        self.assertEqual([number(r["korvalen.reg.num"]) for r in reads], list(range(256)))
        self.assertEqual([number(r.complete["korvalen.reg.value"]) for r in reads],
                         [number(x["value"]) for x in report["registers"]])

    def test_settings_exchange_reads_writes_and_reads_back_the_block(self):
        with open(recording("settings-exchange.json")) as f:
            block = [number(b) for b in json.load(f)["bytes"]]
        reqs = requests_of(decode(recording("settings-exchange.pcap")))
        self.assertEqual({r["korvalen.reg.bank"] for r in reqs[1:]}, {"0"})
        commands = [r for r in reqs if r["korvalen.mailbox.cmd"]]
        self.assertEqual([r["korvalen.mailbox.what"] for r in commands],
                         ["settings block read", "settings block write", "settings block read"])
        written = " ".join("%02X" % b for b in block)
        self.assertTrue(commands[1]["korvalen.summary"].endswith(
            "(mailbox: settings block write: %s)" % written))
        # Each command is polled until the firmware says done.
        for command in commands:
            after = reqs[reqs.index(command) + 1:]
            polls = [r for r in after[:3] if r["korvalen.reg.num"] == "144" and
                     r["korvalen.request"] == "0x91"]
            self.assertTrue(polls)
            self.assertIn("mailbox: done", polls[-1].complete["korvalen.summary"])
        # The block read back is the block written.
        last = reqs.index(commands[2])
        fetched = [r for r in reqs[last:] if r["korvalen.request"] == "0x91" and
                   147 <= number(r["korvalen.reg.num"]) < 151]
        self.assertEqual([number(r.complete["korvalen.reg.value"]) for r in fetched], block)
        self.assertTrue(all("settings block byte" in r.complete["korvalen.summary"]
                            for r in fetched))


# --- A capture made by hand ---------------------------------------------------

USBMON = struct.Struct("<QcBBBHccqiiII8siiII")
NOTE = ("korvalen-device\nclass={50894fa4-9206-4a91-8728-cf6f268f271d}\n"
        "path=usb:bus-001:port-1#vid_5e1a&pid_f070#{50894fa4-9206-4a91-8728-cf6f268f271d}\n")


def usbmon(event, urb, device=1, setup=None, data=b"", status=0, transfer=2, endpoint=0,
           length=None):
    flag_setup = b"\0" if setup else b"-"
    raw_setup = struct.pack("<BBHHH", *setup) if setup else b"\0" * 8
    if endpoint == 0 and setup and setup[0] & 0x80:
        endpoint = 0x80
    header = USBMON.pack(urb, event.encode(), transfer, endpoint, device, 1, flag_setup, b"\0",
                         0, 0, -115 if event == "S" and setup else status,
                         len(data) if length is None else length, len(data), raw_setup, 0, 0,
                         0x200 if endpoint & 0x80 else 0, 0)
    return header + data


def write_capture(path, frames):
    """frames: (record, bytes kept); a record longer than that is cut, as a
    small snapshot length cuts it."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 0x10040, 220))
        for i, (frame, kept) in enumerate(frames):
            kept = min(kept, len(frame))
            f.write(struct.pack("<IIII", 0, i, kept, len(frame)) + frame[:kept])


HAND_MADE = [
    # frame: (what, usbmon record)
    ("note", usbmon("C", 0, data=NOTE.encode(), transfer=3, endpoint=0x80)),
    ("bRequest 0x99", usbmon("S", 1, setup=(0x43, 0x99, 0, 0, 0))),
    ("", usbmon("C", 1)),
    ("ISP on, wrong magic", usbmon("S", 2, setup=(0x43, 0x84, 0x1234, 0xF8E2, 0))),
    ("", usbmon("C", 2)),
    ("register 0x105", usbmon("S", 3, setup=(0x43, 0x90, 0, 0x105, 1), data=b"\x01")),
    ("rejected", usbmon("C", 3, status=-32)),
    ("SPI opcode 0x9E", usbmon("S", 4, setup=(0x43, 0x80, 0, 1, 1), data=b"\x9e")),
    ("", usbmon("C", 4)),
    ("write without value", usbmon("S", 5, setup=(0x43, 0x90, 0, 0, 1), length=1)),
    ("", usbmon("C", 5)),
    ("class request", usbmon("S", 6, setup=(0x21, 0x0A, 0, 0, 0))),
    ("", usbmon("C", 6)),
    ("answer without request", usbmon("C", 77, data=b"\x12")),
    ("cut header", usbmon("S", 7, setup=(0xC3, 0x91, 0, 5, 1))[:40]),
    ("read register 5", usbmon("S", 8, setup=(0xC3, 0x91, 0, 5, 1))),
    ("value 0x42", usbmon("C", 8, data=b"\x42")),
    ("read register 6", usbmon("S", 9, setup=(0xC3, 0x91, 0, 6, 1))),
    ("rejected read", usbmon("C", 9, status=-5, data=b"\x77")),
    ("fetch, nothing pending", usbmon("S", 10, setup=(0xC3, 0x82, 0, 0, 2))),
    ("", usbmon("C", 10, data=b"\xab\xcd")),
    ("page program, short", usbmon("S", 11, setup=(0x43, 0x80, 0, 1, 3), data=b"\x02\x00\x01")),
    ("", usbmon("C", 11)),
    ("page program, one packet", usbmon("S", 14, setup=(0x43, 0x80, 0, 1, 6),
                                        data=b"\x02\x00\x20\x00\xaa\xbb")),
    ("", usbmon("C", 14)),
    ("unknown command, open", usbmon("S", 15, setup=(0x43, 0x80, 0, 0, 1), data=b"\x9e")),
    ("", usbmon("C", 15)),
    ("its data", usbmon("S", 16, setup=(0x43, 0x80, 0, 1, 2), data=b"\x06\xc7")),
    ("", usbmon("C", 16)),
    ("other device, ISP on", usbmon("S", 12, device=2, setup=(0x43, 0x84, 0xB6A3, 0xF8E2, 0))),
    ("", usbmon("C", 12, device=2)),
    ("bad note", usbmon("C", 0, device=3, data=b"korvalen-device\nclass=x\n", transfer=3,
                        endpoint=0x80)),
    ("page program, cut", usbmon("S", 13, setup=(0x43, 0x80, 0, 1, 260),
                                 data=b"\x02\x00\x10\x00" + bytes(256)), 64 + 100),
    ("", usbmon("C", 13)),
]


class HandMadeCapture(unittest.TestCase):
    """Requests the chip does not know and broken frames are marked as such."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.dir.name, "hand-made.pcap")
        write_capture(cls.path, [(entry[1], entry[2] if len(entry) > 2 else len(entry[1]))
                                 for entry in HAND_MADE])
        cls.rows = {entry[0]: row for entry, row in zip(HAND_MADE, decode(cls.path)) if entry[0]}

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_requests_the_chip_does_not_take_are_unknown(self):
        for what in ("bRequest 0x99", "ISP on, wrong magic", "register 0x105", "class request"):
            row = self.rows[what]
            self.assertTrue(row["korvalen.unknown"], what)
            self.assertTrue(row["korvalen.summary"].startswith("unknown request"), what)
            self.assertFalse(row["korvalen.isp"] or row["korvalen.reg.num"], what)
        spi = self.rows["SPI opcode 0x9E"]
        self.assertTrue(spi["korvalen.unknown"])
        self.assertIn("unknown SPI command 0x9E", spi["korvalen.summary"])

    def test_the_device_rejecting_a_request_is_marked(self):
        self.assertTrue(self.rows["rejected"]["korvalen.rejected"])
        self.assertIn("REJECTED", self.rows["rejected"]["korvalen.summary"])

    def test_a_rejected_read_shows_no_value(self):
        row = self.rows["rejected read"]
        self.assertTrue(row["korvalen.rejected"])
        self.assertEqual(row["korvalen.reg.value"], "")
        self.assertNotIn("0x77", row["korvalen.summary"])

    def test_truncated_and_unmatched_frames_are_marked_not_decoded(self):
        row = self.rows["write without value"]
        self.assertTrue(row["korvalen.malformed"])
        self.assertEqual(row["korvalen.reg.value"], "")
        self.assertTrue(self.rows["page program, short"]["korvalen.malformed"])
        self.assertTrue(self.rows["answer without request"]["korvalen.unmatched"])
        self.assertEqual(self.rows["cut header"]["korvalen.summary"], "")
        self.assertTrue(self.rows["bad note"]["korvalen.malformed"])
        cut = self.rows["page program, cut"]
        self.assertTrue(cut["korvalen.malformed"])
        self.assertEqual((cut["korvalen.summary"], cut["korvalen.flash.cmd"]),
                         ("cut short in the capture", ""))

    def test_the_data_of_an_unknown_command_is_not_read_as_commands(self):
        data = self.rows["its data"]
        self.assertTrue(data["korvalen.unknown"])
        self.assertEqual(data["korvalen.flash.cmd"], "0x9e")
        self.assertNotIn("write enable", data["korvalen.summary"])

    def test_a_page_program_with_its_data_in_one_packet(self):
        row = self.rows["page program, one packet"]
        self.assertEqual(row["korvalen.summary"], "flash: page program 0x002000, 2 bytes")
        self.assertFalse(row["korvalen.malformed"])

    def test_decoding_goes_on_after_bad_frames(self):
        self.assertEqual(self.rows["value 0x42"]["korvalen.summary"], "bank ?, register 5 = 0x42")
        fetch = self.rows["fetch, nothing pending"]
        self.assertIn("no command pending", fetch["korvalen.summary"])
        self.assertFalse(fetch["korvalen.unknown"])

    def test_devices_without_a_note_are_left_alone_unless_asked(self):
        self.assertEqual(self.rows["other device, ISP on"]["korvalen.summary"], "")
        rows = decode(self.path, "-o", "korvalen.all_devices:TRUE")
        asked = rows[[entry[0] for entry in HAND_MADE].index("other device, ISP on")]
        self.assertEqual(asked["korvalen.summary"], "ISP mode on")

    def test_full_decode_names_the_fields(self):
        text = tshark(self.path, "-V")
        self.assertIn("Unknown request: request 0x99 is not one of the chip's", text)
        self.assertIn("Device: vid_5e1a&pid_f070", text)


# --- Recordings made here with korvalen-fw ------------------------------------


def record(*command, expect=0):
    """Runs korvalen-fw on a simulated device with --record; returns the
    decoded capture and the command's standard output."""
    work = tempfile.mkdtemp(dir=SCRATCH.name)
    capture = os.path.join(work, "capture.pcap")
    done = subprocess.run([ARGS.fw, "--simulate", "--fast", "--record", capture, *command],
                          capture_output=True, text=True, timeout=600, cwd=work)
    if done.returncode != expect:
        raise AssertionError("korvalen-fw %s: exit %d\n%s" % (" ".join(command), done.returncode,
                                                              done.stderr))
    return capture, done.stdout


class FreshRecordings(unittest.TestCase):
    """The I2C engine, the media key, the identity texts and the status."""

    def setUp(self):
        if not ARGS.fw:
            self.skipTest("needs --fw")

    def test_i2c_read_shows_both_address_phases_and_the_bytes(self):
        capture, out = record("--json", "i2c", "read", "0x20", "0", "4")
        values = [number(r["value"]) for r in json.loads(out)["registers"]]
        reqs = requests_of(decode(capture))
        steps = []
        for r in reqs:
            row = r.complete if r["korvalen.request"] == "0x91" else r.submit
            if row["korvalen.i2c.op"] in ("start", "stop", "address", "data", "received"):
                steps.append((row["korvalen.i2c.op"], row["korvalen.i2c.addr"] or
                              row["korvalen.i2c.byte"]))
        # One transaction per register: its number written, a repeated
        # start, the byte read back without acknowledge, stop.
        expected = []
        for register, value in enumerate(values):
            expected += [("start", ""), ("address", "0x20"), ("data", "0x%02x" % register),
                         ("start", ""), ("address", "0x21"), ("received", "0x%02x" % value),
                         ("stop", "")]
        self.assertEqual(steps, expected)
        summaries = [r.complete["korvalen.summary"] for r in reqs]
        self.assertIn("bank 14, register 16 = 0x01 (I2C: 0x20 write, ACK)", summaries)
        self.assertIn("bank 14, register 16 = 0x01 (I2C: 0x21 read, ACK)", summaries)
        self.assertIn("bank 14, register 17 := 0x04 (I2C: set-up)",
                      [r["korvalen.summary"] for r in reqs])

    def test_a_slave_that_never_acknowledges(self):
        capture, _ = record("--fault", "i2c-nak:0x40", "i2c", "read", "0x40", "0", "1", expect=1)
        reqs = requests_of(decode(capture))
        ops = [r["korvalen.i2c.op"] for r in reqs if r["korvalen.i2c.op"]]
        self.assertEqual(ops.count("start"), 10)
        self.assertEqual(ops.count("address"), 10)
        self.assertEqual(ops[-1], "stop")
        acks = {truth(r.complete["korvalen.i2c.ack"]) for r in reqs
                if r.complete["korvalen.i2c.ack"]}
        self.assertEqual(acks, {False})
        self.assertTrue(any("I2C: 0x40 write, NACK" in r.complete["korvalen.summary"]
                            for r in reqs))

    def test_media_key_and_its_answer(self):
        capture, _ = record("key", "play")
        reqs = requests_of(decode(capture))
        key = next(r for r in reqs if r["korvalen.mailbox.cmd"])
        self.assertEqual(key["korvalen.key"], "0x10")
        self.assertIn("mailbox: media key Play", key["korvalen.summary"])
        self.assertIn("mailbox: media key taken", reqs[-1].complete["korvalen.summary"])

    def test_identity_texts_read_from_their_chunks(self):
        capture, _ = record("identity", "--manufacturer", "Norvane-inc", "--vid", "5e1a")
        rows = decode(capture)
        summaries = [r["korvalen.summary"] for r in rows if r["usb.urb_type"] == "'S'"]
        self.assertIn("bank 0, register 144 := 0x10 (mailbox: USB VID text: '5e1a')", summaries)
        chunks = [s for s in summaries if "manufacturer string, chunk" in s]
        self.assertEqual(chunks, [
            "bank 0, register 144 := 0x10 (mailbox: manufacturer string, chunk 0: "
            "length 11, 'Norvane')",
            "bank 0, register 144 := 0x10 (mailbox: manufacturer string, chunk 1: '-inc')"])

    def test_status_reads_as_the_command_line_shows_it(self):
        for playback in ("pcm:3", "dsd:9", "muted", "disconnected"):
            capture, out = record("--playback", playback, "status")
            reqs = requests_of(decode(capture))
            state = next(r for r in reqs if r["korvalen.reg.num"] == "166")
            self.assertTrue(state.complete["korvalen.summary"].endswith(
                "(%s)" % out.strip()), (playback, out))


class FullUpdate(unittest.TestCase):
    """A recorded 256 KiB update: every request decoded, none unknown."""

    def test_every_request_of_a_256_kib_update_is_decoded(self):
        if not ARGS.fw:
            self.skipTest("needs --fw")
        image = os.path.join(tempfile.mkdtemp(dir=SCRATCH.name), "full.bin")
        with open(image, "wb") as f:
            f.write(bytes((i * 7 + 3) % 256 for i in range(0x40000)))
        capture, out = record("--json", "update", "--yes", image)
        report = json.loads(out)
        rows = decode(capture)
        reqs = requests_of(rows)
        self.assertEqual(len(reqs) + 1, report["requests"])
        self.assertEqual([r for r in rows if any(r[p] for p in PROBLEMS)], [])
        self.assertTrue(all(r["korvalen.summary"] and r.complete["korvalen.summary"]
                            for r in reqs))
        programmed = sum(number(r["korvalen.flash.len"]) for r in reqs
                         if r.cmd == 0x02 and r["korvalen.flash.len"])
        self.assertEqual(programmed, 0x40000)
        print("%d frames, %d requests, 0 unknown" % (len(rows), len(reqs)), file=sys.stderr)


def installed_elsewhere():
    """A korvalen.lua that tshark loads by itself would take the protocol's
    name before the one under test."""
    listed = subprocess.run([ARGS.tshark, "-G", "plugins"], capture_output=True, text=True,
                            timeout=120).stdout
    ours = os.path.realpath(ARGS.dissector)
    return [line.split("\t")[-1] for line in listed.splitlines()
            if line.split("\t")[-1].endswith("/korvalen.lua") and
            os.path.realpath(line.split("\t")[-1]) != ours]


def main():
    global ARGS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--tshark", default="tshark")
    parser.add_argument("--dissector", required=True)
    parser.add_argument("--recordings", required=True)
    parser.add_argument("--fw")
    ARGS, rest = parser.parse_known_args()
    ARGS.dissector = os.path.abspath(ARGS.dissector)
    ARGS.recordings = os.path.abspath(ARGS.recordings)
    if ARGS.fw:
        ARGS.fw = os.path.abspath(ARGS.fw)
    shadowing = installed_elsewhere()
    if shadowing:
        sys.exit("tshark loads another dissector by itself (%s), so it cannot load %s: remove "
                 "the installed package first" % (", ".join(shadowing), ARGS.dissector))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
