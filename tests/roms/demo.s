| The demo `make demo` runs. It starts on colour bars and a greeting through the UART, asks the
| slave for the disc state, and with a disc in the drive plays it through the CDIC: one read
| with real-time audio of file 1 from LBA 16 (demo_disc_writer's layout), in which
|   - channel 1 carries ADPCM sound, which the CDIC decodes into the audio path by itself;
|   - channel 0 carries the picture: a palette sector, then 384 x 280 CLUT8 pixels. DMA channel 0
|     copies each sector from CDIC RAM; once the palette is in, a display program for the picture
|     is built at 0x3000, and once every pixel is in, the display jumps to it;
|   - the end-of-file sector ends the read, and the handler starts it again, so the tune loops.
| It prints "Vestrel demo: playing the disc" when the read starts and "Vestrel demo: picture
| shown" when the picture is on the screen; with no disc it keeps the bars.
|
| The bars: eight bars (white, yellow, cyan, green, magenta, red, blue, black at 75%) drawn
| through the display control programs of display_bars.s, plane A at full weight over a plane B
| at weight 0. Bars mix to (c - 16) x 63 >> 6, then (s x 298 + 128) >> 8: white 0xFFBBBBBB, red
| 0xFFBB0000, black 0xFF000000, bar k covering x = 96k .. 96k + 95 on every row.
        .text
        .globl  _start
        .equ    CDIC, 0x303C00
        .equ    UART, 0x80002019
        .equ    SLAVE3, 0x310006        | slave channel 3: disc status
        .equ    PICTURE, 0x10000        | the picture's pixels, 107,520 bytes
        .equ    PALETTE, 0x8000         | the palette sector
        .equ    PICICA, 0x3000          | the picture's display program
        .equ    COUNT, 0x1800           | picture sectors in so far, this pass
        .equ    SHOWN, 0x1804           | the picture is on the screen
        .equ    PIXSECTORS, 53          | 107,520 pixels in 2,048-byte sectors
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
        bsr     print

| Wait for the disc: the slave answers B0 00 s 15 to B0 00 00 00, s = 0 with no disc,
| 0x41 while the table of contents is read, 0x44 once the disc is ready.
wait:   move.b  #0xB0, SLAVE3
        move.b  #0, SLAVE3
        move.b  #0, SLAVE3
        move.b  #0, SLAVE3
        move.b  SLAVE3, %d0             | B0
        move.b  SLAVE3, %d0             | 00
        move.b  SLAVE3, %d0             | s
        move.b  SLAVE3, %d1             | 15
        tst.b   %d0
        beq     idle
        cmp.b   #0x44, %d0
        beq     play
        move.l  #100000, %d1            | a while before asking again
5:      subq.l  #1, %d1
        bne     5b
        bra     wait

play:   clr.l   COUNT
        clr.l   SHOWN
        move.l  #cdint, 0x140           | vector 80
        move.w  #80, CDIC+0x3FC         | interrupt vector
        move.w  #0x2300, %sr            | level 4 and up; the slave's level 2 waits
        bsr     readfile
        lea     playing(%pc), %a0
        bsr     print
idle:   stop    #0x2300
        bra     idle

| Starts the read of the demo file: 00:02:16 = LBA 16, file 1, channels 0 and 1, sound from
| channel 1.
readfile:
        move.w  #0x0002, CDIC+0x002
        move.w  #0x1600, CDIC+0x004
        move.w  #0x0100, CDIC+0x006
        clr.w   CDIC+0x008
        move.w  #0x0003, CDIC+0x00A
        move.w  #0x0002, CDIC+0x00C
        move.w  #0x002A, CDIC           | read with real-time audio
        move.w  #0xC000, CDIC+0x3FE     | execute, keep reading
        rts

| Prints the zero-ended text at %a0.
print:  move.b  (%a0)+, %d0
        beq     1f
        move.b  %d0, UART
        bra     print
1:      rts

| A sector arrived.
cdint:  movem.l %d0-%d3/%a0-%a2, -(%sp)
        move.w  CDIC+0x3F6, %d0         | XBUF: clears the request
        move.w  CDIC+0x3FE, %d1         | DBUF: which buffer
        lea     0x300008, %a1           | the subheader copy: file, channel, submode, coding
        move.w  #0x000C, %d2            | CDIC RAM address of the sector's data
        btst    #0, %d1
        beq     1f
        lea     0x300A08, %a1
        move.w  #0x0A0C, %d2
1:      btst    #2, %d1
        beq     2f
        add.l   #0x2800, %a1            | sound, already on its way to the audio path
        bra     next
2:      tst.b   1(%a1)
        bne     next                    | not the picture
        move.l  COUNT, %d0
        lea     PALETTE, %a2
        beq     3f
        cmp.l   #PIXSECTORS, %d0
        bhi     next
        subq.l  #1, %d0
        moveq   #11, %d3
        lsl.l   %d3, %d0
        add.l   #PICTURE, %d0
        move.l  %d0, %a2
3:      move.l  %a2, 0x8000400C         | MAR
        move.w  #1024, 0x8000400A       | MTC: 2,048 bytes
        move.w  #0x0080, 0x80004004     | OCR bit 7 set: to memory
        move.w  %d2, CDIC+0x3F8         | dma_control: runs the transfer
        move.l  COUNT, %d0
        bne     4f
        bsr     buildica
4:      addq.l  #1, %d0
        move.l  %d0, COUNT
        cmp.l   #PIXSECTORS+1, %d0
        bne     next
        tst.l   SHOWN
        bne     next
        bsr     show
next:   btst    #7, 2(%a1)              | end of file: play it again
        beq     9f
        clr.l   COUNT
        bsr     readfile
9:      movem.l (%sp)+, %d0-%d3/%a0-%a2
        rte

| Builds the picture's display program at PICICA from the palette sector: coding, transparency,
| weights, the 256 CLUT entries in four banks of 64, then plane A's first line address.
buildica:
        movem.l %d0-%d4/%a1-%a2, -(%sp)
        lea     PICICA, %a1
        move.l  #0xC0000001, (%a1)+     | coding: A CLUT8, B off
        move.l  #0xC1000008, (%a1)+     | transparency: A opaque, B transparent
        move.l  #0xDB00003F, (%a1)+     | weight A 63
        move.l  #0xDC000000, (%a1)+     | weight B 0
        move.l  #0xD8000000, (%a1)+     | backdrop black
        lea     PALETTE, %a2
        moveq   #0, %d0                 | CLUT bank
1:      move.l  #0xC3000000, %d1
        or.l    %d0, %d1
        move.l  %d1, (%a1)+
        move.l  #0x80000000, %d1        | entry 0 of the bank
        moveq   #63, %d3
2:      moveq   #0, %d2
        move.b  (%a2)+, %d2             | R
        lsl.l   #8, %d2
        move.b  (%a2)+, %d2             | G
        lsl.l   #8, %d2
        move.b  (%a2)+, %d2             | B
        or.l    %d1, %d2
        move.l  %d2, (%a1)+
        add.l   #0x01000000, %d1
        dbra    %d3, 2b
        addq.l  #1, %d0
        cmp.l   #4, %d0
        bne     1b
        move.l  #0x50010000, (%a1)+     | plane A from PICTURE, stop
        movem.l (%sp)+, %d0-%d4/%a1-%a2
        rts

| Puts the picture on the screen: both ICA entries jump to the picture's program, plane B and
| the bars' line program go off.
show:   move.l  #0x40000000+PICICA, 0x404
        move.l  #0x40000000+PICICA, 0x400
        clr.w   0x4FFFE2                | DCR2: off
        move.w  #0x8200, 0x4FFFF2       | DCR1: display, ICA
        move.l  #1, SHOWN
        move.l  %a0, -(%sp)
        lea     shown(%pc), %a0
        bsr     print
        move.l  (%sp)+, %a0
        rts

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
playing: .ascii "Vestrel demo: playing the disc"
        .byte   0x0A, 0
shown:  .ascii  "Vestrel demo: picture shown"
        .byte   0x0A, 0
