| Halts the CPU at once: the supervisor stack pointer is odd, so the frame of the first
| exception (an illegal instruction) faults while it is being pushed. Prints "H" first, so a
| run shows that the ROM did start.
        .text
        .globl  _start
_start:
        .long   0x00010001              | initial SSP: odd
        .long   start                   | initial PC
start:
        move.b  #'H', 0x80002019        | UART transmit
        illegal
