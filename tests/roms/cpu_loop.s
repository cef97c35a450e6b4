| CPU-bound work with no end: register arithmetic, shifts and RAM stores in a counted loop.
        .text
        .globl  _start
_start:
        .long   0x00010000
        .long   start
start:
        moveq   #0, %d0
        moveq   #1, %d1
outer:  lea     0x2000, %a0
        move.w  #255, %d2
inner:  addq.l  #1, %d0
        add.l   %d0, %d1
        move.l  %d1, (%a0)+
        ror.l   #3, %d1
        eor.l   %d0, %d1
        dbra    %d2, inner
        bra     outer
