| Timer 0 at level 7 (vector 63), reloading every 1000 ticks (RR = T0 = 0x10000 - 1000). Level 7
| is taken on its rise, so a handler that does not clear its source at once is not entered
| again while the request stays: it prints "<", counts into 0x1000, waits in a 200-pass DBRA
| loop (well over ten timer ticks of 96 cycles), then clears TSR bit 7 and prints ">". Every
| other on-chip vector and autovector counts into 0x1004. The main loop counts in d7 at mask 0.
        .include "interrupt_vectors.inc"
        .text
        .globl  _start
        .equ    UART, 0x80002019
_start:
        .long   0x00010000
        .long   start
start:
        point_interrupt_vectors wrong   | autovectors and on-chip sources
        move.l  #nmi, 0xFC              | vector 63 = 56 + level 7
        clr.l   0x1000
        clr.l   0x1004
        move.w  #0xFC18, 0x80002022     | RR
        move.w  #0xFC18, 0x80002024     | T0
        move.b  #0x07, 0x80002045       | PICR1: timer level 7
        move.w  #0x2000, %sr            | supervisor, mask 0
loop:   addq.l  #1, %d7
        bra.s   loop

nmi:    move.b  #0x3C, UART             | "<"
        addq.l  #1, 0x1000
        move.w  #200, %d0
wait:   dbra    %d0, wait
        move.b  #0x80, 0x80002020       | TSR: write 1 to clear the reload flag
        move.b  #0x3E, UART             | ">"
        rte

wrong:  addq.l  #1, 0x1004
        rte
