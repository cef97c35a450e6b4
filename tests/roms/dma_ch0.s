| DMA channel 0 both ways between RAM at 0x500000 and CDIC RAM from 0x3BFF, which wraps to 0.
| Leaves channel 0's MAR at 0x500200, MTC at 0x500204 and CSR at 0x500206, then prints "DMA".
        .text
        .globl  _start
_start:
        .long   0x00010000
        .long   start
start:
        move.l  #0x01020304, 0x500000
        move.w  #0x0506, 0x500004
        | memory to CDIC RAM
        move.l  #0x00500000, 0x8000400C | MAR
        move.w  #3, 0x8000400A          | MTC: 3 words
        move.w  #0x0000, 0x80004004     | OCR bit 7 clear: from memory
        move.w  #0x3BFF, 0x303FF8       | CDIC dma_control: runs the transfer
        | and back from CDIC RAM to memory
        move.l  #0x00500100, 0x8000400C
        move.w  #3, 0x8000400A
        move.w  #0x0080, 0x80004004     | OCR bit 7 set: to memory
        move.w  #0x3BFF, 0x303FF8
        move.l  0x8000400C, 0x500200
        move.w  0x8000400A, 0x500204
        move.b  0x80004000, 0x500206
        move.b  #'D', 0x80002019
        move.b  #'M', 0x80002019
        move.b  #'A', 0x80002019
1:      stop    #0x2700
        bra     1b
