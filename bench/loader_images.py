#!/usr/bin/env python3
"""Measures the converter on tape images laid out like loaders' tapes.

Writes TZX images record by record (ROM blocks with a BASIC loader, turbo
blocks from 250 T to 5000 T pulses, stepped and clicking pilots, pilots of
a few pulses, pilotless data, many short blocks, generalised data with
unequal halves and 3- or 4-pulse symbols, flow control, signal-level flips,
direct recordings and CSW-sampled pulses, data running on past a header's
length at other bit lengths), plays each with tape2wav at 44.1 kHz (one
image at 48 and 22.05 kHz too, short fast pilots at 96 kHz), clean and through a tape-like sox
path, converts the recordings with tapedecoder-cli and prints, per image
and path: ROM blocks exact, pilot blocks byte-identical, pilotless data
present, blocks lost, phantom good blocks, .tap kept, playing time and
sound against the recording, tzxlist's verdict and the image's size
against the source image's.

    bench/loader_images.py [--cli build/src/cli/tapedecoder-cli] [--work DIR]
                           [--only NAME] [--paths clean,tape,mp3]
                           [--edges build/bench/tapedecoder-edge-compare]
                           [--harsh DIR]

--harsh DIR writes each image's clean recording and its data blocks as
DIR/NAME.wav and DIR/NAME.tap (the blocks a player meets, in order) and
converts nothing: a folder for bench/harsh_bench.cpp.
"""
import argparse
import array
import os
import random
import struct
import subprocess
import sys
import wave

RATE = 44100
TSTATES = 3500000.0


def xor(data):
    x = 0
    for b in data:
        x ^= b
    return x


def with_checksum(data):
    return bytes(data) + bytes([xor(data)])


def payload(n, seed, flag=0xFF):
    rng = random.Random(seed)
    body = bytes([flag]) + bytes(rng.randrange(256) for _ in range(n))
    return with_checksum(body)


def rom_header(name, length, kind=0):
    h = bytes([0x00, kind]) + name.ljust(10).encode()[:10] + struct.pack('<HHH', length, 10, length)
    return with_checksum(h)


def basic_loader():
    # 10 CLEAR 24999: LOAD ""CODE: RANDOMIZE USR 25000, tokenised loosely.
    line = b'\xfd\xb024999:\xef""\xaf:\xf9\xc0\xb025000\x0d'
    prog = struct.pack('>H', 10) + struct.pack('<H', len(line)) + line
    return prog


class Tzx:
    """A TZX image and the data blocks a player meets, in playing order."""

    def __init__(self):
        self.out = bytearray(b'ZXTape!\x1a\x01\x14')
        self.expect = []  # (bytes, kind) kind: rom, pilot, pure

    def rom(self, data, pause=1000):
        self.out += bytes([0x10]) + struct.pack('<HH', pause, len(data)) + data
        self.expect.append((bytes(data), 'rom'))

    def turbo(self, data, pilot=2168, pilots=3223, sync1=667, sync2=735, zero=855, one=1710, used=8,
              pause=1000):
        self.out += bytes([0x11]) + struct.pack('<HHHHHHBH', pilot, sync1, sync2, zero, one, pilots, used,
                                                pause)
        self.out += struct.pack('<I', len(data))[:3] + data
        # (the unplayed bits of a last byte used in part are zero on replay)
        played = bytes(data[:-1]) + bytes([data[-1] & (0xFF00 >> used) & 0xFF])
        self.expect.append((played, 'pilot' if pilots > 0 else 'pure'))

    def pure(self, data, zero, one, used=8, pause=0):
        self.out += bytes([0x14]) + struct.pack('<HHBH', zero, one, used, pause)
        self.out += struct.pack('<I', len(data))[:3] + data
        self.expect.append((bytes(data), 'pure'))

    def tone(self, length, count):
        self.out += bytes([0x12]) + struct.pack('<HH', length, count)

    def pulses(self, lengths):
        for k in range(0, len(lengths), 255):
            part = lengths[k:k + 255]
            self.out += bytes([0x13, len(part)]) + b''.join(struct.pack('<H', p) for p in part)

    def pause(self, ms):
        self.out += bytes([0x20]) + struct.pack('<H', ms)

    def level(self, high):
        self.out += bytes([0x2B]) + struct.pack('<IB', 1, 1 if high else 0)

    def loop(self, count):
        self.out += bytes([0x24]) + struct.pack('<H', count)

    def loop_end(self):
        self.out += bytes([0x25])

    def jump(self, records):
        self.out += bytes([0x23]) + struct.pack('<h', records)

    def direct(self, samples_bits, tstates_per_sample=79, pause=0):
        # samples_bits: list of 0/1, packed MSB first.
        nbytes = (len(samples_bits) + 7) // 8
        data = bytearray(nbytes)
        for k, b in enumerate(samples_bits):
            if b:
                data[k // 8] |= 0x80 >> (k % 8)
        used = len(samples_bits) % 8 or 8
        self.out += bytes([0x15]) + struct.pack('<HHB', tstates_per_sample, pause, used)
        self.out += struct.pack('<I', nbytes)[:3] + data

    def csw(self, pulses, rate=44100, pause=0):
        """A CSW record's sound: pulses (T-states) of whole samples at `rate`.
        libspectrum 1.5 reads no CSW record (0x18), so the same pulses go in
        pulse lists (0x13) and a pause: the recording is the same."""
        whole = [max(1, int(round(p * rate / TSTATES))) * TSTATES / rate for p in pulses]
        self.pulses([int(round(p)) for p in whole])
        if pause:
            self.pause(pause)

    def generalised(self, data, pilot, pilots, sync, zero_pulses, one_pulses, pause=1000):
        """0x19: a pilot symbol repeated, a sync symbol, then one bit a symbol."""
        asp, npp = 2, max(2, len(sync))
        psym = bytes([0]) + struct.pack('<' + 'H' * npp, *([pilot] + [0] * (npp - 1)))
        psym += bytes([0]) + struct.pack('<' + 'H' * npp, *(list(sync) + [0] * (npp - len(sync))))
        prle = bytes([0]) + struct.pack('<H', pilots) + bytes([1]) + struct.pack('<H', 1)
        npd = max(len(zero_pulses), len(one_pulses))
        dsym = bytes([0]) + struct.pack('<' + 'H' * npd, *(list(zero_pulses) + [0] * (npd - len(zero_pulses))))
        dsym += bytes([0]) + struct.pack('<' + 'H' * npd, *(list(one_pulses) + [0] * (npd - len(one_pulses))))
        body = struct.pack('<HIBBIBB', pause, 2, npp, asp, len(data) * 8, npd, 2)
        body += psym + prle + dsym + bytes(data)
        self.out += bytes([0x19]) + struct.pack('<I', len(body)) + body
        self.expect.append((bytes(data), 'pilot'))


def pair_pulses(data, zero, one, used=8):
    """The pulses of data played as pulse pairs (zero, one: each a pair)."""
    out = []
    for k, byte in enumerate(data):
        bits = used if k == len(data) - 1 else 8
        for b in range(bits):
            out += list(one if byte & (0x80 >> b) else zero)
    return out


def doubled(data):
    """Each bit of data twice, MSB first."""
    out = bytearray()
    for byte in data:
        for half in (byte >> 4, byte & 15):
            v = 0
            for b in range(4):
                if half & (8 >> b):
                    v |= 0xC0 >> (2 * b)
            out.append(v)
    return bytes(out)


def sampled(pulses, tstates_per_sample, high=0):
    """Pulses as a direct recording's samples (each pulse whole samples)."""
    bits, t, at = [], 0.0, 0.0
    level = high
    for p in pulses:
        t += p
        n = int(round(t / tstates_per_sample)) - int(round(at / tstates_per_sample))
        bits += [level] * n
        at = t
        level ^= 1
    return bits


def standard():
    t = Tzx()
    prog = with_checksum(b'\xff' + basic_loader())
    t.rom(rom_header('standard', len(prog) - 2), 1000)
    t.rom(prog, 1000)
    t.rom(rom_header('screen', 6912, 3), 1000)
    t.rom(payload(6912, 1), 1000)
    t.rom(rom_header('code', 3000, 3), 1000)
    t.rom(payload(3000, 2), 2000)
    return t


def loader_start(t, name):
    prog = with_checksum(b'\xff' + basic_loader())
    t.rom(rom_header(name, len(prog) - 2), 1000)
    t.rom(prog, 500)


def speedlock():
    t = Tzx()
    loader_start(t, 'speedlock')
    # A clicking pilot: tone stretches broken by short click pairs.
    for k in range(12):
        t.tone(2168, 190)
        t.pulses([300, 300])
    t.turbo(payload(3000, 3), pilot=2168, pilots=200, sync1=667, sync2=735, zero=570, one=1140, pause=0)
    # Data straight on, no pilot.
    t.pure(payload(6000, 4), 570, 1140, pause=0)
    t.tone(2168, 400)
    t.pulses([667, 735])
    t.pure(payload(1200, 5), 570, 1140, pause=1000)
    # Many small blocks with short pilots.
    for k in range(8):
        t.turbo(payload(40 + 10 * k, 10 + k), pilot=2168, pilots=300, sync1=667, sync2=735, zero=570,
                one=1140, pause=40)
    t.pause(1500)
    return t


def alkatraz():
    t = Tzx()
    loader_start(t, 'alkatraz')
    t.turbo(payload(800, 20, 0x00), pilot=2168, pilots=3000, sync1=1000, sync2=450, zero=500, one=1000,
            pause=0)
    t.pulses([2000, 2000, 2000])  # odd pulses between blocks
    t.turbo(payload(20000, 21), pilot=2168, pilots=2000, sync1=1000, sync2=450, zero=500, one=1000,
            pause=500)
    t.turbo(payload(700, 22), pilot=1600, pilots=800, sync1=450, sync2=520, zero=480, one=960, used=5,
            pause=1000)
    return t


def generalised():
    t = Tzx()
    loader_start(t, 'gdb')
    t.generalised(payload(4000, 30), 2000, 2500, (600, 700), (520, 780), (1040, 1560), pause=800)
    t.generalised(payload(1000, 31), 1700, 1200, (500, 500), (600, 600), (1200, 1200), pause=1000)
    return t


def shortblocks():
    t = Tzx()
    loader_start(t, 'short')
    for k in range(30):
        t.turbo(payload(16 + 7 * k, 40 + k), pilot=1500, pilots=256, sync1=400, sync2=450, zero=450, one=900,
                pause=30 if k % 5 else 200)
    return t


def polarity():
    t = Tzx()
    loader_start(t, 'polarity')
    t.level(True)
    t.turbo(payload(2000, 50), pilot=2168, pilots=2000, sync1=667, sync2=735, zero=600, one=1200, pause=700)
    t.level(False)
    t.turbo(payload(2000, 51), pilot=2168, pilots=2000, sync1=667, sync2=735, zero=600, one=1200, pause=700)
    # A header announcing 157 bytes before a data block that runs on to 3000.
    t.rom(rom_header('game', 157, 3), 1000)
    t.rom(payload(3000, 52), 1000)
    return t


def flow():
    t = Tzx()
    loader_start(t, 'flow')
    t.loop(5)
    t.tone(2168, 300)
    t.pulses([667, 735])
    t.pure(payload(100, 60), 600, 1200, pause=100)
    t.loop_end()
    # The five copies the loop plays.
    data = t.expect.pop()
    t.expect.extend([data] * 5)
    t.jump(2)
    t.turbo(payload(500, 61), pilot=2168, pilots=1000, sync1=667, sync2=735, zero=600, one=1200, pause=500)
    t.expect.pop()  # jumped over
    t.pause(300)
    bits = []
    rng = random.Random(5)
    # A direct-recording stretch: a wobbly square wave (no structure).
    level = 0
    for k in range(6000):
        if rng.random() < 0.08:
            level ^= 1
        bits.append(level)
    t.direct(bits, 79, pause=500)
    t.turbo(payload(1500, 62), pilot=2168, pilots=1500, sync1=667, sync2=735, zero=600, one=1200, pause=1000)
    return t


def stepped():
    t = Tzx()
    loader_start(t, 'stepped')
    # A stepped pilot: three tones of falling length, then sync and data;
    # the data switches to faster bits straight on, with no pilot.
    t.tone(2168, 1200)
    t.tone(1900, 300)
    t.tone(1650, 300)
    t.turbo(payload(1500, 70), pilot=1400, pilots=100, sync1=420, sync2=480, zero=560, one=1120, pause=0)
    t.pure(payload(2500, 71), 420, 840, pause=800)
    # Clicks every 64 pulses all through the pilot, up to the sync.
    for k in range(20):
        t.tone(2168, 63)
        t.pulses([250])
    t.turbo(payload(900, 72), pilot=2168, pilots=30, sync1=667, sync2=735, zero=560, one=1120, pause=1000)
    return t


def tinyblocks():
    t = Tzx()
    loader_start(t, 'tiny')
    for k in range(40):
        t.turbo(payload(3 + (k % 9), 80 + k, 0x00 if k % 2 else 0xFF), pilot=1000, pilots=150 + 10 * (k % 5),
                sync1=300, sync2=330, zero=350, one=700, pause=20 + (k % 3) * 40)
    return t


def capture():
    t = Tzx()
    prog = payload(290, 90)
    t.rom(rom_header('capture', len(prog) - 2), 1000)
    t.rom(prog, 1000)
    t.turbo(payload(6911, 91), pilot=2168, pilots=3000, sync1=667, sync2=735, zero=540, one=1080, pause=1500)
    t.turbo(payload(20479, 92), pilot=2168, pilots=3000, sync1=667, sync2=735, zero=540, one=1080, pause=2000)
    return t


def fastturbo():
    t = Tzx()
    loader_start(t, 'fast')
    # 3 to 8 samples a pulse at 44.1 kHz.
    t.turbo(payload(1500, 100), pilot=600, pilots=1500, sync1=190, sync2=240, zero=250, one=500, pause=300)
    t.turbo(payload(2500, 101), pilot=700, pilots=1200, sync1=280, sync2=320, zero=300, one=600, pause=300)
    t.turbo(payload(800, 102, 0x00), pilot=620, pilots=400, sync1=200, sync2=200, zero=260, one=520, pause=800)
    return t


def slowturbo():
    t = Tzx()
    loader_start(t, 'slow')
    t.turbo(payload(120, 103), pilot=5000, pilots=300, sync1=1500, sync2=1700, zero=1500, one=3000, pause=800)
    t.turbo(payload(60, 104), pilot=4000, pilots=200, sync1=1200, sync2=1300, zero=1300, one=2800, pause=800)
    return t


def shortpilots():
    t = Tzx()
    loader_start(t, 'shortpil')
    # A few dozen pulses of pilot.
    for k in range(6):
        t.turbo(payload(100 + 30 * k, 110 + k), pilot=1600, pilots=24 + 8 * k, sync1=480, sync2=560, zero=520,
                one=1040, pause=60)
    # Pilots of a few pulses, then sync and data.
    for k, count in enumerate((4, 6, 8, 12)):
        t.tone(2000, count)
        t.pulses([600, 650])
        t.pure(payload(300, 120 + k), 550, 1100, pause=200)
        t.expect[-1] = (t.expect[-1][0], 'pilot')
    return t


def asymmetric():
    t = Tzx()
    loader_start(t, 'asym')
    # Bits whose two halves differ: zero 400+600, one 800+1000.
    t.generalised(payload(1500, 130), 1800, 1500, (500, 600), (400, 600), (800, 1000), pause=600)
    t.generalised(payload(900, 131), 2000, 1200, (550, 650), (700, 420), (1300, 900), pause=600)
    # Three pulses a bit: data in symbols of their own.
    t.generalised(payload(300, 132), 2168, 800, (667, 735), (350, 350, 700), (700, 700, 350), pause=600)
    # Four pulses a bit, two like pairs: pulse-pair data with every bit
    # twice, byte-identical as such.
    t.generalised(payload(400, 133), 2168, 800, (667, 735), (400, 400, 400, 400), (800, 800, 800, 800),
                  pause=800)
    t.expect[-1] = (doubled(t.expect[-1][0]), 'pilot')
    return t


def direct():
    t = Tzx()
    loader_start(t, 'direct')
    # A turbo block as a direct recording (one bit a sample at 44.1 kHz).
    data = payload(1200, 140)
    pulses = [2168] * 1500 + [667, 735] + pair_pulses(data, (560, 560), (1120, 1120))
    t.direct(sampled(pulses, 79), 79, pause=800)
    t.expect.append((data, 'pilot'))
    # Pilotless data as a direct recording at 22 kHz-like samples.
    data = payload(800, 141)
    t.direct(sampled(pair_pulses(data, (600, 600), (1200, 1200)), 158), 158, pause=800)
    t.expect.append((data, 'pure'))
    # A turbo block inside a CSW record.
    data = payload(1500, 142)
    t.csw([2168] * 1200 + [667, 735] + pair_pulses(data, (520, 520), (1040, 1040)), pause=800)
    t.expect.append((data, 'pilot'))
    # A CSW record holding no data: a wobbling square wave.
    rng = random.Random(143)
    t.csw([rng.choice((900, 1500, 2600, 3100)) for _ in range(600)], pause=800)
    return t


def clickrepeat():
    t = Tzx()
    loader_start(t, 'clickrep')
    # A pilot broken every few pulses by a click pair: the pattern read as
    # bits repeats (a checksum over a whole number of periods verifies).
    for k in range(200):
        t.tone(2168, 4)
        t.pulses([1084, 1084])
    t.tone(2168, 200)
    t.turbo(payload(1000, 150), pilot=2168, pilots=30, sync1=667, sync2=735, zero=560, one=1120, pause=600)
    # A pilot, a sync-like click pair, then a repeating click pattern.
    t.tone(2168, 400)
    t.pulses([667, 735])
    for k in range(300):
        t.tone(2168, 2)
        t.pulses([1084, 1084])
    t.tone(2168, 300)
    t.turbo(payload(700, 151), pilot=2168, pilots=50, sync1=667, sync2=735, zero=560, one=1120, pause=1000)
    return t


def steppedturbo():
    t = Tzx()
    loader_start(t, 'steptur')
    # A pilot stepping down in ten stretches, then sync and fast data.
    for k in range(10):
        t.tone(2400 - 60 * k, 80)
    t.turbo(payload(2000, 160), pilot=1800, pilots=60, sync1=500, sync2=560, zero=400, one=800, pause=0)
    t.pure(payload(1500, 161), 330, 660, pause=800)
    return t


def runon():
    t = Tzx()
    # A header announcing 157 bytes; its data goes straight on past them at
    # a loader's own bit lengths, after a flip of the signal's polarity.
    t.rom(rom_header('runon', 155, 3), 1000)
    t.rom(payload(155, 170), 0)
    t.pulses([1400])
    t.pure(payload(3000, 171), 600, 1200, pause=1000)
    t.rom(rom_header('runon2', 155, 3), 1000)
    t.rom(payload(155, 172), 0)
    t.pure(payload(2000, 173), 500, 1000, pause=1000)
    return t


def replay():
    t = Tzx()
    loader_start(t, 'replay')
    # Short pilots of 363 T before fast bits: a replay played at 96 kHz.
    t.turbo(payload(1133, 180), pilot=363, pilots=256, sync1=120, sync2=150, zero=300, one=600, pause=400)
    t.turbo(payload(4007, 181), pilot=363, pilots=256, sync1=120, sync2=150, zero=280, one=560, pause=1000)
    return t


def oneturbo():
    t = Tzx()
    # One turbo block and nothing else: no 1-byte flag-00 "block" of its pilot.
    t.turbo(payload(2000, 190), pilot=1800, pilots=3000, sync1=500, sync2=600, zero=400, one=800, pause=1000)
    return t


def clickpilot():
    t = Tzx()
    loader_start(t, 'clickpil')
    # Pilots clicking all through in patterns that read as repeating bits
    # (a single click, a click pair, a click inside a pulse), each before
    # a block of its own.
    for k, click in enumerate(([700], [350, 350], [1084, 1084], [300, 1868])):
        for m in range(40):
            t.tone(2168, 6 + k % 2)
            t.pulses(click)
        t.tone(2168, 40)
        t.turbo(payload(600 + 100 * k, 200 + k), pilot=2168, pilots=24, sync1=667, sync2=735, zero=570,
                one=1140, pause=500)
    return t


def longrunon():
    t = Tzx()
    # A header announcing 157 bytes; its data block runs on to 35384 bytes,
    # which verify as a whole, with the signal's polarity flipped (an edge
    # added) after the 157 the header announced.
    data = payload(35382, 210)
    t.rom(rom_header('trick', 155, 3), 1000)
    t.rom(data[:157], 0)
    t.pulses([855])
    t.pure(data[157:], 855, 1710, pause=1000)
    t.expect[-2:] = [(data, 'rom')]
    return t


def syncequal():
    t = Tzx()
    loader_start(t, 'synceq')
    # Syncs no different from a data pulse: two zero-length pulses, then one.
    t.turbo(payload(1200, 220), pilot=2168, pilots=1500, sync1=570, sync2=570, zero=570, one=1140, pause=600)
    t.tone(2168, 1200)
    t.pulses([570])
    t.pure(payload(900, 221), 570, 1140, pause=600)
    t.expect[-1] = (t.expect[-1][0], 'pilot')
    t.turbo(payload(700, 222), pilot=2168, pilots=1500, sync1=1140, sync2=1140, zero=570, one=1140, pause=1000)
    return t


def between():
    t = Tzx()
    loader_start(t, 'between')
    # A turbo block straight on into the next one's pilot (no pause), a
    # pure tone and a long irregular pulse sequence between blocks.
    t.turbo(payload(1500, 230), pilot=2168, pilots=1200, sync1=667, sync2=735, zero=600, one=1200, pause=0)
    t.turbo(payload(800, 231), pilot=2168, pilots=1200, sync1=667, sync2=735, zero=600, one=1200, pause=300)
    t.tone(1200, 600)
    t.pause(300)
    rng = random.Random(232)
    t.pulses([rng.choice((400, 700, 1300, 2500, 3100)) for _ in range(1500)])
    t.pause(400)
    t.turbo(payload(1000, 233), pilot=2168, pilots=1500, sync1=667, sync2=735, zero=600, one=1200, pause=1000)
    return t


FAMILIES = {
    'standard': standard,
    'speedlock': speedlock,
    'alkatraz': alkatraz,
    'generalised': generalised,
    'shortblocks': shortblocks,
    'polarity': polarity,
    'flow': flow,
    'stepped': stepped,
    'tinyblocks': tinyblocks,
    'capture': capture,
    'fastturbo': fastturbo,
    'slowturbo': slowturbo,
    'shortpilots': shortpilots,
    'asymmetric': asymmetric,
    'direct': direct,
    'clickrepeat': clickrepeat,
    'steppedturbo': steppedturbo,
    'runon': runon,
    'turbo48k': (capture, 48000),
    'turbo22k': (capture, 22050),
    'replay96k': (replay, 96000),
    'oneturbo': oneturbo,
    'clickpilot': clickpilot,
    'longrunon': longrunon,
    'syncequal': syncequal,
    'between': between,
    'replay48k': (replay, 48000),
    'replay22k': (replay, 22050),
}


def run(cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def read_wav(path):
    """Sample rate and frames of a mono or stereo 8/16-bit WAV (first channel)."""
    with wave.open(path, 'rb') as w:
        rate, n, width, ch = w.getframerate(), w.getnframes(), w.getsampwidth(), w.getnchannels()
        raw = w.readframes(n)
    if width == 1:
        s = array.array('b', bytes((b - 128) & 0xFF for b in raw))
    else:
        s = array.array('h', raw)
    if ch > 1:
        s = s[::ch]
    return rate, s


def sound_seconds(path):
    """Seconds of the recording that are not pause: gaps between level
    changes of 10 ms or less summed (a square wave from tape2wav)."""
    rate, s = read_wav(path)
    last = None
    prev = 0
    total = 0
    limit = int(0.010 * rate)
    for k in range(len(s)):
        v = s[k]
        sign = 1 if v > 0 else (-1 if v < 0 else 0)
        if sign != 0 and sign != prev:
            if last is not None and k - last <= limit:
                total += k - last
            last = k
            prev = sign
    return len(s) / rate, total / rate


def tzx_blocks(path):
    """The data records of a TZX image: (id, bytes)."""
    data = open(path, 'rb').read()
    at = 10
    blocks = []
    counts = {}
    while at < len(data):
        bid = data[at]
        at += 1
        counts[bid] = counts.get(bid, 0) + 1
        if bid == 0x10:
            n = struct.unpack_from('<H', data, at + 2)[0]
            blocks.append((bid, data[at + 4:at + 4 + n]))
            at += 4 + n
        elif bid == 0x11:
            n = int.from_bytes(data[at + 15:at + 18], 'little')
            blocks.append((bid, data[at + 18:at + 18 + n]))
            at += 18 + n
        elif bid == 0x12:
            at += 4
        elif bid == 0x13:
            at += 1 + 2 * data[at]
        elif bid == 0x14:
            n = int.from_bytes(data[at + 7:at + 10], 'little')
            blocks.append((bid, data[at + 10:at + 10 + n]))
            at += 10 + n
        elif bid == 0x15:
            at += 8 + int.from_bytes(data[at + 5:at + 8], 'little')
        elif bid == 0x19:
            # Generalised data: its bytes where a symbol is a bit.
            size = struct.unpack_from('<I', data, at)[0]
            totp, npp, asp, totd, npd, asd = struct.unpack_from('<IBBIBB', data, at + 6)
            asp, asd = asp or 256, asd or 256
            body = at + 18
            if totp:
                body += asp * (1 + 2 * npp) + 3 * totp
            if totd:
                body += asd * (1 + 2 * npd)
                if asd == 2:
                    blocks.append((bid, data[body:body + (totd + 7) // 8]))
            at += 4 + size
        elif bid == 0x18:
            at += 4 + struct.unpack_from('<I', data, at)[0]
        elif bid == 0x20 or bid == 0x23 or bid == 0x24:
            at += 2
        elif bid == 0x21 or bid == 0x30:
            at += 1 + data[at]
        elif bid in (0x22, 0x25):
            pass
        elif bid == 0x32:
            at += 2 + struct.unpack_from('<H', data, at)[0]
        elif bid == 0x35:
            at += 20 + struct.unpack_from('<I', data, at + 16)[0]
        elif bid == 0x2B:
            at += 4 + struct.unpack_from('<I', data, at)[0]
        else:
            raise ValueError('record %02x' % bid)
    return blocks, counts


def tap_blocks(path):
    data = open(path, 'rb').read()
    out, at = [], 0
    while at + 2 <= len(data):
        n = data[at] | data[at + 1] << 8
        out.append(data[at + 2:at + 2 + n])
        at += 2 + n
    return out


def degrade(src, dst, how, work, rate=RATE):
    # A tape path: hiss (kind, level), band (high-pass, low-pass), gain and
    # speed. sox -R on every step: the same hiss and dither on every run, so
    # runs compare.
    paths = {'tape': ('whitenoise', 0.03, 150, 6500, -8, 1.004),
             'worn': ('pinknoise', 0.06, 300, 5000, -12, 0.98)}
    if how in paths:
        kind, level, highpass, lowpass, gain, speed = paths[how]
        noise = os.path.join(work, 'noise.wav')
        dur = len(read_wav(src)[1]) / rate / speed + 1
        run(['sox', '-R', '-n', '-r', str(rate), '-c', '1', '-b', '16', noise, 'synth', '%.2f' % dur, kind,
             'vol', str(level)])
        mid = os.path.join(work, 'mid.wav')
        run(['sox', '-R', src, '-b', '16', mid, 'highpass', str(highpass), 'lowpass', str(lowpass), 'gain', str(gain),
             'speed', str(speed), 'rate', str(rate)])
        run(['sox', '-R', '-m', mid, noise, '-b', '16', dst, 'trim', '0', '%.2f' % (dur - 1)])
    elif how == 'mp3':
        mp3 = os.path.join(work, 'tape.mp3')
        r = run(['sox', src, '-C', '128', mp3, 'highpass', '200', 'lowpass', '7000', 'gain', '-6'])
        if r.returncode != 0:
            return False
        run(['sox', mp3, '-b', '16', dst])
    return True


def measure(name, tzx, how, cli, work, edge_tool=None, rate=RATE):
    src_tzx = os.path.join(work, name + '.src.tzx')
    open(src_tzx, 'wb').write(tzx.out)
    clean = os.path.join(work, name + '.clean.wav')
    if not os.path.exists(clean) or os.path.getmtime(clean) < os.path.getmtime(src_tzx):
        run(['tape2wav', '-r', str(rate), src_tzx, clean])
    wav = clean
    if how != 'clean':
        wav = os.path.join(work, name + '.' + how + '.wav')
        if not degrade(clean, wav, how, work, rate):
            return None
    outdir = os.path.join(work, name + '.' + how)
    os.makedirs(outdir, exist_ok=True)
    for f in os.listdir(outdir):
        os.remove(os.path.join(outdir, f))
    title = os.path.splitext(os.path.basename(wav))[0]
    r = run([cli, '--format', 'tzx,tap,pzx', '-q', '-o', outdir, wav])
    ours = os.path.join(outdir, title + '.tzx')
    if not os.path.exists(ours):
        return {'error': r.stderr.decode()[-200:]}
    lister = run(['tzxlist', ours])
    listed = lister.returncode == 0
    # The image's own playing time (tape2wav lengthens each pulse to whole
    # samples, as it did making the recording: compare sound shares only).
    total = lister.stdout.decode(errors='replace').split('Total tape duration:')[-1]
    nominal = 0.0
    fields = total.replace(',', '').split()
    for k in range(1, len(fields)):
        if fields[k].startswith('min'):
            nominal += 60 * float(fields[k - 1])
        elif fields[k].startswith('sec'):
            nominal += float(fields[k - 1])
    played = os.path.join(outdir, 'played.wav')
    run(['tape2wav', '-r', str(rate), ours, played])
    rec_len, _ = sound_seconds(wav)
    _, src_sound = sound_seconds(clean)
    our_len, our_sound = sound_seconds(played)
    blocks, counts = tzx_blocks(ours)
    got = [b for _, b in blocks]
    roms = [(b, i) for i, b in blocks if i == 0x10]
    res = {'rom': [0, 0], 'pilot': [0, 0], 'pure': [0, 0], 'lost': []}
    # Blocks that run straight on into the next at the same timing play as
    # one stream: a data record holding several in a row holds each.
    joined = set()
    expect = tzx.expect
    for k in range(len(expect)):
        whole = expect[k][0]
        for m in range(k + 1, len(expect)):
            whole += expect[m][0]
            if whole in got:
                joined.update(d for d, _ in expect[k:m + 1])
                joined.add(whole)
    for data, kind in tzx.expect:
        if kind == 'pulses':
            continue  # no pulse-pair data: judged by its timing alone
        if data in joined and data not in got:
            res['lost'].append('%s %d joined' % (kind, len(data)))
            res[kind][1] += 1
            continue
        res[kind][1] += 1
        if kind == 'rom':
            ok = any(b == data for i, b in blocks if i == 0x10) or any(b == data for b in got)
        elif kind == 'pilot':
            ok = data in got
        else:
            # present as data: identical, or a data record of about its length
            ok = data in got or any(abs(len(b) - len(data)) <= max(2, len(data) // 50) for b in got)
        res[kind][0] += ok
        if not ok:
            res['lost'].append('%s %d' % (kind, len(data)))
    known = set(d for d, _ in tzx.expect) | joined
    tap = tap_blocks(os.path.join(outdir, title + '.tap'))
    res['phantoms'] = sum(1 for b in tap if len(b) >= 2 and xor(b) == 0 and b not in known)
    verifying = [d for d, kind in tzx.expect if xor(d) == 0 and kind != 'pulses']
    res['tapkept'] = (sum(1 for d in set(verifying) if d in tap), len(set(verifying)))
    res['time'] = (nominal / rec_len - 1) * 100
    # Sound: the image's playing time less its pauses, against the
    # recording's level changes no more than 10 ms apart.
    paused = 0.0
    lines = lister.stdout.decode(errors='replace').splitlines()
    for k, line in enumerate(lines):
        line = line.strip()
        if line.startswith('Pause length:') or (line.startswith('Length:') and line.endswith(' ms')):
            paused += float(line.split(':')[1].split()[0]) / 1000.0
    res['sound'] = (nominal - paused) / src_sound * 100 if src_sound else 0
    res['tzxlist'] = listed
    res['size'] = (os.path.getsize(ours), len(tzx.out))
    res['records'] = sum(counts.values())
    # The replay's edges against the recording's: each image played exactly
    # (libspectrum's T-states) by the edge-comparison tool, if it is built;
    # the ROM blocks left out (tape2wav's whole samples run them up to 2 %
    # slow in the recording, and the image keeps them at ROM timing).
    res['edges'] = {}
    if edge_tool and os.path.exists(edge_tool):
        env = dict(os.environ, EDGE_SKIP_ROM='1')
        for ext in ('tzx', 'pzx'):
            out = subprocess.run([edge_tool, wav, os.path.join(outdir, title + '.' + ext)], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=env).stdout.decode()
            for line in out.splitlines():
                if line.startswith('edge error us:'):
                    f = line.split()
                    res['edges'][ext] = (float(f[4]), int(f[11]))
    res['kinds'] = ' '.join('%02x:%d' % kv for kv in sorted(counts.items()))
    return res


def write_harsh(folder, only):
    os.makedirs(folder, exist_ok=True)
    for name, make in FAMILIES.items():
        if only and name not in only.split(','):
            continue
        make, rate = make if isinstance(make, tuple) else (make, RATE)
        tzx = make()
        src = os.path.join(folder, name + '.src.tzx')
        open(src, 'wb').write(tzx.out)
        run(['tape2wav', '-r', str(rate), src, os.path.join(folder, name + '.wav')])
        with open(os.path.join(folder, name + '.tap'), 'wb') as tap:
            for data, kind in tzx.expect:
                if kind != 'pulses':
                    tap.write(struct.pack('<H', len(data)) + data)
        print('%-12s %d blocks at %d Hz' % (name, sum(1 for _, k in tzx.expect if k != 'pulses'), rate))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--cli', default='build/src/cli/tapedecoder-cli')
    ap.add_argument('--work', default='/tmp/loader_images')
    ap.add_argument('--only', default='')
    ap.add_argument('--paths', default='clean,tape')
    ap.add_argument('--kinds', action='store_true', help='print the record counts of each image')
    ap.add_argument('--edges', default='build/bench/tapedecoder-edge-compare',
                    help='the edge-comparison tool (the replay-edge columns: largest error in us, edges over 50 us)')
    ap.add_argument('--harsh', default='', help='write NAME.wav and NAME.tap for harsh-bench here, and stop')
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    if a.harsh:
        write_harsh(a.harsh, a.only)
        return
    print('%-12s %-5s %6s %6s %6s %5s %4s %7s %7s %4s %15s %14s %14s %s' %
          ('image', 'path', 'rom', 'pilot', 'pure', 'phant', 'tap', 'time%', 'sound%', 'list', 'size/src',
           'tzx edge us/>50', 'pzx edge us/>50', 'lost'))
    for name, make in FAMILIES.items():
        if a.only and name not in a.only.split(','):
            continue
        make, rate = make if isinstance(make, tuple) else (make, RATE)
        tzx = make()
        for how in a.paths.split(','):
            r = measure(name, tzx, how, os.path.abspath(a.cli), a.work, os.path.abspath(a.edges), rate)
            if r is None:
                print('%-12s %-5s (path unavailable)' % (name, how))
                continue
            if 'error' in r:
                print('%-12s %-5s error %s' % (name, how, r['error']))
                continue
            f = lambda p: '%d/%d' % tuple(p)
            e = lambda ext: '%7.1f/%-6d' % r['edges'][ext] if ext in r['edges'] else '-'
            print('%-12s %-5s %6s %6s %6s %5d %4s %+7.2f %7.1f %4s %7d/%-7d %14s %14s %s' %
                  (name, how, f(r['rom']), f(r['pilot']), f(r['pure']), r['phantoms'], f(r['tapkept']),
                   r['time'], r['sound'], 'ok' if r['tzxlist'] else 'FAIL', r['size'][0], r['size'][1],
                   e('tzx'), e('pzx'), ', '.join(r['lost'])))
            if a.kinds:
                print('    %d records: %s' % (r['records'], r['kinds']))
            sys.stdout.flush()


if __name__ == '__main__':
    main()
