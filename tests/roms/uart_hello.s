| Prints "OK", a line break and one control byte through the UART, then stops for good.
        .text
        .globl  _start
_start:
        .long   0x00010000              | initial SSP
        .long   start                   | initial PC
start:
        lea     message(%pc), %a0
1:      move.b  (%a0)+, %d0
        beq     2f
        move.b  %d0, 0x80002019         | UART transmit
        bra     1b
2:      stop    #0x2700
        bra     2b
message:
        .byte   'O', 'K', 0x0A, 0x1B, 0x0A, 0
