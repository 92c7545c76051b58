; A 1 KB data table: every byte value, then the same values reversed,
; twice over.
        ORG 40000
        REPT 2
        REPT 16
        DB 0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238, 255
        ENDM
        REPT 16
        DB 255, 238, 221, 204, 187, 170, 153, 136, 119, 102, 85, 68, 51, 34, 17, 0
        ENDM
        ENDM
