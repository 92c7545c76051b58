#!/bin/sh
# Makes a tape laid out like a game's for the harsh bench: a BASIC loader
# (zmakebas), a screen of 6912 bytes and a code block of 20 KB, each with
# its header, and its recording (tape2wav, 44100 Hz). The screen has a real
# one's runs (zero bytes, solid ink, a few attribute values); the code
# mixes runs of zeros, text and arbitrary bytes. Fixed seed: the same tape
# every time.
#
# usage: make_game_tape.sh WORK   (writes WORK/game.tap and WORK/game.wav)
set -eu
work=$1
mkdir -p "$work/parts"
cat >"$work/parts/game-loader.bas" <<'EOF'
10 BORDER 0: PAPER 0: INK 7: CLEAR 24575
20 LOAD ""SCREEN$
30 LOAD ""CODE
40 RANDOMIZE USR 24576
EOF
zmakebas -a 10 -n game -o "$work/parts/game-loader.tap" "$work/parts/game-loader.bas"
python3 - "$work" <<'EOF'
import random, struct, sys
work = sys.argv[1]
random.seed(7)

def block(flag, data):
    body = bytes([flag]) + data
    check = 0
    for b in body:
        check ^= b
    body += bytes([check])
    return struct.pack('<H', len(body)) + body

def header(name, length, start):
    return block(0, bytes([3]) + name.ljust(10).encode() + struct.pack('<HHH', length, start, 32768))

bitmap = bytearray()
for _ in range(6144):
    r = random.random()
    bitmap.append(0 if r < 0.4 else 0xFF if r < 0.5 else random.randrange(256))
attributes = bytes(random.choice([0x07, 0x47, 0x38, 0x0F, 0x42, 0x16]) for _ in range(768))
code = bytearray()
while len(code) < 20480:
    r = random.random()
    if r < 0.2:
        code += bytes(random.randrange(1, 16))
    elif r < 0.3:
        code += b"SCORE HI-SCORE LIVES PRESS FIRE "[:random.randrange(4, 30)]
    else:
        code += bytes(random.randrange(256) for _ in range(random.randrange(1, 12)))
code = bytes(code[:20480])
loader = open(work + '/parts/game-loader.tap', 'rb').read()
with open(work + '/game.tap', 'wb') as f:
    f.write(loader + header('screen', 6912, 16384) + block(0xFF, bytes(bitmap) + attributes) +
            header('game', len(code), 24576) + block(0xFF, code))
EOF
tape2wav -r 44100 "$work/game.tap" "$work/game.wav" >/dev/null
