; A 32 KB code block: a short routine, a table of every byte value and a
; large filled area, so that the block holds both varied and repeated bits.
        ORG 32768
start:  ld hl, table
        ld de, 16384
        ld bc, 256
        ldir
        ret
table:
        REPT 16
        DB 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        ENDM
        REPT 16
        DB 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77
        DB 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF
        ENDM
        DEFS 30000, 0xA5
        DEFS 2000, 0x3C
