| Prints every pointer packet the slave delivers on channel 0 as "P x,y,buttons" (decimal, one
| line each) through the UART. The packet is read in the level-2 handler (vector 26) while the
| CPU waits in STOP with the mask at 0. An interrupt with nothing waiting on channel 0 (such as
| the disc-status packet on channel 3 after reset) prints nothing; every other vector prints "?".
        .include "interrupt_vectors.inc"
        .text
        .globl  _start
_start:
        .long   0x00010000              | initial SSP
        .long   start                   | initial PC

        .equ    SLAVE_CH0, 0x310001
        .equ    UART_TX, 0x80002019

start:
        point_interrupt_vectors wrong   | autovectors and on-chip sources
        move.l  #slave, 0x68            | vector 26: the slave
        move.w  #0x2000, %sr            | supervisor, mask 0
idle:   stop    #0x2000
        bra     idle

| Packet: b0 = 0x08 | button1 << 4 | button2 << 5 | x >> 7, b1 = x & 0x7F, b2 = y >> 7,
| b3 = y & 0x7F. An empty channel reads 0xFF, which no packet's first byte can be.
slave:  movem.l %d0-%d4/%a0, -(%sp)
        moveq   #0, %d1
        move.b  SLAVE_CH0, %d1          | b0
        cmp.b   #0xFF, %d1
        beq     9f
        moveq   #0, %d2
        move.b  SLAVE_CH0, %d2          | b1
        moveq   #0, %d3
        move.b  SLAVE_CH0, %d3          | b2
        moveq   #0, %d4
        move.b  SLAVE_CH0, %d4          | b3

        moveq   #'P', %d0
        bsr     putc
        moveq   #' ', %d0
        bsr     putc
        move.l  %d1, %d0                | x = (b0 & 7) << 7 | (b1 & 0x7F)
        andi.w  #7, %d0
        lsl.w   #7, %d0
        andi.w  #0x7F, %d2
        or.w    %d2, %d0
        bsr     putdec
        moveq   #',', %d0
        bsr     putc
        move.l  %d3, %d0                | y = b2 << 7 | (b3 & 0x7F)
        lsl.w   #7, %d0
        andi.w  #0x7F, %d4
        or.w    %d4, %d0
        bsr     putdec
        moveq   #',', %d0
        bsr     putc
        move.l  %d1, %d0                | buttons = (b0 >> 4) & 3
        lsr.w   #4, %d0
        andi.w  #3, %d0
        bsr     putdec
        moveq   #0x0A, %d0
        bsr     putc
9:      movem.l (%sp)+, %d0-%d4/%a0
        rte

wrong:  move.l  %d0, -(%sp)
        moveq   #'?', %d0
        bsr     putc
        move.l  (%sp)+, %d0
        rte

putc:   move.b  %d0, UART_TX
        rts

| Prints d0.w (unsigned) in decimal; changes d0.
putdec: movem.l %d1-%d2, -(%sp)
        moveq   #0, %d2                 | digit count
        andi.l  #0xFFFF, %d0
3:      divu    #10, %d0                | quotient low, remainder high
        move.l  %d0, %d1
        swap    %d1
        addi.w  #'0', %d1
        move.w  %d1, -(%sp)
        addq.w  #1, %d2
        andi.l  #0xFFFF, %d0
        bne     3b
4:      move.w  (%sp)+, %d0
        bsr     putc
        subq.w  #1, %d2
        bne     4b
        movem.l (%sp)+, %d1-%d2
        rts
