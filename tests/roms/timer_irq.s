| Counts timer-0 interrupts at level 3 (vector 59) into 0x1000 while the CPU waits in STOP.
| Every other on-chip or autovector lands in `wrong`, which counts into 0x1004; a handler that
| finds TSR still set after clearing it counts into 0x1008.
        .include "interrupt_vectors.inc"
        .text
        .globl  _start
_start:
        .long   0x00010000
        .long   start
start:
        point_interrupt_vectors wrong   | autovectors and on-chip sources
        move.l  #timer, 0xEC            | vector 59 = 56 + level 3
        clr.l   0x1000
        clr.l   0x1004
        clr.l   0x1008
        move.w  #0xFF00, 0x80002022     | RR
        move.w  #0xFF00, 0x80002024     | T0: one reload every 256 ticks
        move.b  #0x03, 0x80002045       | PICR1: timer level 3
        move.w  #0x2000, %sr            | supervisor, mask 0
idle:   stop    #0x2000
        bra     idle

timer:  move.b  #0x80, 0x80002020       | clear TSR bit 7 (write 1 to clear)
        tst.b   0x80002020
        beq     3f
        addq.l  #1, 0x1008
3:      addq.l  #1, 0x1000
        rte

wrong:  addq.l  #1, 0x1004
        rte
