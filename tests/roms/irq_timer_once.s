| Timer 0 at level 3, reloading every 1000 ticks (RR = T0 = 0x10000 - 1000). The handler
| clears TSR bit 7, prints "t" and returns at once. Vector 59 is the only one set: any other
| interrupt or exception jumps to address 0 and the program runs away. The main loop counts
| in d7.
        .text
        .globl  _start
        .equ    UART, 0x80002019
_start:
        .long   0x00010000
        .long   start
start:
        move.l  #timer, 0xEC            | vector 59 = 56 + level 3
        move.w  #0xFC18, 0x80002022     | RR
        move.w  #0xFC18, 0x80002024     | T0
        move.b  #0x03, 0x80002045       | PICR1: timer level 3
        move.w  #0x2000, %sr            | supervisor, mask 0
loop:   addq.l  #1, %d7
        bra.s   loop

timer:  move.b  #0x80, 0x80002020       | TSR: write 1 to clear the reload flag
        move.b  #0x74, UART             | "t"
        rte
