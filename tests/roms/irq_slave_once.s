| Slave interrupts (level 2, vector 26): the status channel answers the four-byte command
| B1 00 00 00 with four bytes and raises the request; reading the answer's first byte clears it.
| Two ways in turn; vector 26 is the only one set, so any other interrupt runs away.
|   Taken: the main loop asks and waits; the handler reads the answer, counts into 0x1000,
|     prints "s" and returns at once.
|   Polled: with the mask at 7 the loop asks again, waits past several slice ends, reads the
|     answer's first byte itself and then lowers the mask: nothing requests the level any
|     more, so no interrupt may follow. Then it prints "p" and counts the round into 0x1004.
        .text
        .globl  _start
        .equ    STATUS, 0x310006        | slave channel 3
        .equ    UART, 0x80002019
_start:
        .long   0x00010000
        .long   start
start:
        move.l  #slint, 0x68            | vector 26
        clr.l   0x1000
        clr.l   0x1004
        move.w  #0x2000, %sr
loop:   move.l  0x1000, %d0
        bsr.s   ask
1:      cmp.l   0x1000, %d0
        beq.s   1b

        move.w  #0x2700, %sr
        bsr.s   ask
        moveq   #15, %d1
2:      dbra    %d1, 2b
        tst.b   STATUS                  | the answer's first byte clears the request
        move.w  #0x2000, %sr
        tst.b   STATUS
        tst.b   STATUS
        tst.b   STATUS
        move.b  #0x70, UART             | "p"
        addq.l  #1, 0x1004
        bra.s   loop

slint:  bsr.s   answer
        addq.l  #1, 0x1000
        move.b  #0x73, UART             | "s"
        rte

ask:    move.b  #0xB1, STATUS
        clr.b   STATUS
        clr.b   STATUS
        clr.b   STATUS
        rts

answer: tst.b   STATUS
        tst.b   STATUS
        tst.b   STATUS
        tst.b   STATUS
        rts
