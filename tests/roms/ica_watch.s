| Two long writes of a "load VSR and stop" display instruction: one inside the first 8 KB,
| which the bus reports on standard output, and one at 0x2000, which it does not.
        .text
        .globl  _start
_start:
        .long   0x00010000
        .long   start
start:
        move.l  #0x50001234, (0x100).w
        move.l  #0x50001234, (0x2000).w
1:      stop    #0x2700
        bra     1b
