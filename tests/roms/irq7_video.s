| Video interrupts at level 7: LIR bits 4-6 = 7 put the video latch on vector 63. The channel-1
| ICA raises one interrupt per field (0x400 is a no-op falling into the interrupt at 0x404).
| The handler counts into 0x1000, prints "V", waits in a 200-pass DBRA loop with the latch
| already cleared by the acknowledge, reads CSR2R and returns, so N frames print exactly N of
| them.
| Every other on-chip vector and autovector counts into 0x1004.
        .include "interrupt_vectors.inc"
        .text
        .globl  _start
_start:
        .long   0x00010000
        .long   start
start:
        point_interrupt_vectors wrong   | autovectors and on-chip sources
        move.l  #vblank, 0xFC           | vector 63 = 56 + level 7
        move.l  #0x10000000, 0x400
        move.l  #0x60000000, 0x404
        clr.l   0x408                   | stop
        clr.l   0x1000
        clr.l   0x1004
        move.b  #0x70, 0x80001001       | LIR: video latch at level 7
        move.w  #0x8200, 0x4FFFF2       | DCR1: display, ICA
        move.w  #0x2000, %sr            | supervisor, mask 0
idle:   stop    #0x2000
        bra     idle

vblank: addq.l  #1, 0x1000
        move.b  #'V', 0x80002019        | UART transmit
        move.w  #200, %d0
wait:   dbra    %d0, wait
        move.w  0x4FFFE0, %d0           | CSR2R: clears the interrupt bits
        rte

wrong:  addq.l  #1, 0x1004
        rte
