| Reads sectors of a test disc through the CDIC's registers and prints one line per sector
| that arrives, from the level-4 handler (vector 80):
|   "TTTTTTMM K SSSS\n"  the buffer's header (BCD minute, second, frame, mode), K = 'A' when
|                        the sector went to the audio buffer (DBUF bit 2) else 'D', and the
|                        16-bit byte sum of the 2,332 bytes from the subheader on.
| The reads, one after the other (each waits for the previous one's sectors, counted at 0x1000):
|   A  0x2A read with audio from LBA 100, file 1, channel 0 only: five sectors up to an
|      end-of-file sector, which ends the read
|   B  0x23 single sector at LBA 10
|   C  0x29 data read from LBA 200, cancelled by command 0x2B after two sectors
| then "DMA SSSS\n": channel 0 copies the last sector's 2,332 bytes from CDIC RAM to 0x8000
| and SSSS is their sum there; then "END\n".
        .text
        .globl  _start
        .equ    CDIC, 0x303C00
        .equ    UART, 0x80002019
_start:
        .long   0x00010000
        .long   start
start:
        move.l  #cdint, 0x140           | vector 80
        clr.l   0x1000
        move.w  #80, CDIC+0x3FC         | interrupt vector
        move.w  #0x2300, %sr            | mask 3: the slave's disc-inserted interrupt (level 2) waits

        move.w  #0x0003, CDIC+0x002     | A: 00:03:25 = LBA 100
        move.w  #0x2500, CDIC+0x004
        move.w  #0x0100, CDIC+0x006     | file 1
        clr.w   CDIC+0x008
        move.w  #0x0001, CDIC+0x00A     | channel 0
        move.w  #0x002A, CDIC
        move.w  #0xC000, CDIC+0x3FE     | execute, keep reading
        moveq   #5, %d7
        bsr     await

        move.w  #0x0002, CDIC+0x002     | B: 00:02:10 = LBA 10
        move.w  #0x1000, CDIC+0x004
        move.w  #0x0023, CDIC
        move.w  #0xC000, CDIC+0x3FE
        moveq   #6, %d7
        bsr     await

        move.w  #0x0004, CDIC+0x002     | C: 00:04:50 = LBA 200
        move.w  #0x5000, CDIC+0x004
        move.w  #0x0029, CDIC
        move.w  #0xC000, CDIC+0x3FE
        moveq   #8, %d7
        bsr     await
        move.w  #0x002B, CDIC           | cancel
        move.w  #0xC000, CDIC+0x3FE

        move.w  #8, %d0                 | the last sector's data in CDIC RAM
        btst    #0, 0x1005
        beq     3f
        move.w  #0x0A08, %d0
3:      move.l  #0x00008000, 0x8000400C | MAR
        move.w  #1166, 0x8000400A       | MTC: 2,332 bytes
        move.w  #0x0080, 0x80004004     | OCR bit 7 set: to memory
        move.w  %d0, CDIC+0x3F8         | dma_control: runs the transfer
        lea     dmatext(%pc), %a0
        bsr     print
        lea     0x8000, %a1
        bsr     sum
        swap    %d0
        moveq   #3, %d4
        bsr     hexn
        move.b  #0x0A, UART

        lea     done(%pc), %a0
        bsr     print
2:      stop    #0x2300
        bra     2b

| Prints the zero-ended text at %a0.
print:  move.b  (%a0)+, %d0
        beq     1f
        move.b  %d0, UART
        bra     print
1:      rts

| %d0 = 16-bit sum of the 2,332 bytes at %a1.
sum:    moveq   #0, %d0
        moveq   #0, %d3
        move.w  #2331, %d2
1:      move.b  (%a1)+, %d3
        add.w   %d3, %d0
        dbra    %d2, 1b
        rts

| Waits until the sector count at 0x1000 reaches %d7.
await:  cmp.l   0x1000, %d7
        bgt     await
        rts

cdint:  movem.l %d0-%d4/%a0-%a1, -(%sp)
        move.w  CDIC+0x3F6, %d0         | XBUF: clears the request
        move.w  CDIC+0x3FE, %d1         | DBUF: which buffer
        move.w  %d1, 0x1004
        lea     0x300000, %a0
        btst    #0, %d1
        beq     1f
        lea     0x300A00, %a0
1:      move.l  (%a0), %d0              | header
        moveq   #7, %d4
        bsr     hexn
        move.b  #' ', UART
        lea     8(%a0), %a1
        moveq   #'D', %d2
        btst    #2, %d1
        beq     2f
        lea     0x2808(%a0), %a1
        moveq   #'A', %d2
2:      move.b  %d2, UART
        move.b  #' ', UART
        bsr     sum
        swap    %d0
        moveq   #3, %d4
        bsr     hexn
        move.b  #0x0A, UART
        addq.l  #1, 0x1000
        movem.l (%sp)+, %d0-%d4/%a0-%a1
        rte

| Prints the top %d4 + 1 nibbles of %d0 in hex.
hexn:   rol.l   #4, %d0
        move.b  %d0, %d3
        and.w   #15, %d3
        move.b  digits(%pc,%d3.w), UART
        dbra    %d4, hexn
        rts
digits: .ascii  "0123456789ABCDEF"
dmatext: .ascii "DMA "
        .byte   0
done:   .byte   'E', 'N', 'D', 0x0A, 0
