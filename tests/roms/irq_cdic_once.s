| CDIC interrupts (level 4, vector 80) raised by the program itself through XBUF bit 15, two
| ways in turn; vector 80 is the only one set, so any other interrupt runs away.
|   Taken: the main loop raises the request and waits; the handler reads XBUF (which clears
|     the request), counts into 0x1000, prints "c" and returns at once.
|   Polled: with the mask at 7 the loop raises it again, waits past several slice ends, reads
|     XBUF itself and only then lowers the mask: nothing requests the level any more, so no
|     interrupt may follow. Then it prints "p" and counts the round into 0x1004.
        .text
        .globl  _start
        .equ    CDIC, 0x303C00
        .equ    XBUF, CDIC+0x3F6
        .equ    UART, 0x80002019
_start:
        .long   0x00010000
        .long   start
start:
        move.l  #cdint, 0x140           | vector 80
        clr.l   0x1000
        clr.l   0x1004
        move.w  #80, CDIC+0x3FC         | interrupt vector
        move.w  #0x2000, %sr
loop:   move.l  0x1000, %d0
        move.w  #0x8000, XBUF           | raise
1:      cmp.l   0x1000, %d0
        beq.s   1b

        move.w  #0x2700, %sr
        move.w  #0x8000, XBUF
        moveq   #15, %d1
2:      dbra    %d1, 2b
        tst.w   XBUF                    | clears the request
        move.w  #0x2000, %sr
        move.b  #0x70, UART             | "p"
        addq.l  #1, 0x1004
        bra.s   loop

cdint:  tst.w   XBUF
        addq.l  #1, 0x1000
        move.b  #0x63, UART             | "c"
        rte
