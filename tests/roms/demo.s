| The picture `make demo` shows: eight colour bars (white, yellow, cyan, green, magenta, red,
| blue, black at 75%) drawn through the display control programs, plane A at full weight over
| a plane B at weight 0, and a greeting through the UART. The display programs are those of
| display_bars.s. Bars mix to (c - 16) x 63 >> 6, then (s x 298 + 128) >> 8: white 0xFFBBBBBB,
| red 0xFFBB0000, black 0xFF000000, bar k covering x = 96k .. 96k + 95 on every row.
        .text
        .globl  _start
_start:
        .long   0x00010000              | initial SSP
        .long   start                   | initial PC
start:
        lea     table(%pc), %a0
1:      move.l  (%a0)+, %d0             | address, or -1 at the end
        cmp.l   #-1, %d0
        beq     2f
        move.l  %d0, %a1
        move.l  (%a0)+, (%a1)
        bra     1b
2:      lea     0x2000, %a1             | the bar line: 8 bars of 48 bytes
        moveq   #0, %d1
        moveq   #7, %d2
3:      moveq   #11, %d3
4:      move.l  %d1, (%a1)+
        dbra    %d3, 4b
        add.l   #0x01010101, %d1
        dbra    %d2, 3b
        move.w  #0x8200, 0x4FFFE2       | DCR2: display, ICA
        move.w  #0x8300, 0x4FFFF2       | DCR1: display, ICA, DCA
        lea     hello(%pc), %a0
6:      move.b  (%a0)+, %d0
        beq     5f
        move.b  %d0, 0x80002019         | UART transmit
        bra     6b
5:      stop    #0x2700
        bra     5b

table:  | channel 1 ICA
        .long   0x000400, 0x10000000    | even-field entry: no-op into 0x404
        .long   0x000404, 0xC3000000    | plane A CLUT bank 0
        .long   0x000408, 0x80B4B4B4
        .long   0x00040C, 0x81B4B410
        .long   0x000410, 0x8210B4B4
        .long   0x000414, 0x8310B410
        .long   0x000418, 0x84B410B4
        .long   0x00041C, 0x85B41010
        .long   0x000420, 0x861010B4
        .long   0x000424, 0x87101010
        .long   0x000428, 0xC0000501    | coding: A CLUT8, B DYUV
        .long   0x00042C, 0xC1000808    | both planes opaque
        .long   0x000430, 0xDB00003F    | weight A 63
        .long   0x000434, 0xD8000001    | backdrop (hidden)
        .long   0x000438, 0x20001000    | DCA at 0x1000
        .long   0x00043C, 0x50002000    | plane A line address, stop
        | channel 2 ICA
        .long   0x200400, 0x10000000
        .long   0x200404, 0xCB64965A    | DYUV start Y 100, U 150, V 90
        .long   0x200408, 0xDC000000    | weight B 0
        .long   0x20040C, 0x50002000    | plane B line address, stop
        | channel 1 DCA: the same line every active line
        .long   0x001000, 0x40002000
        .long   0x001004, 0x30001000
        .long   -1
hello:  .ascii  "Vestrel demo: colour bars"
        .byte   0x0A, 0
