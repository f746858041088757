; Memory services: allocate, grow into a freed neighbour, the errors 8 (with
; the largest size in BX) and 9. Prints "mem ok" and exits 0.
;   build: nasm -f bin -o MEM.COM mem.asm
%include "dostest.inc"
KEEP_PARAS equ 100h
BLOCK      equ 100h

        org 100h
        mov bx, KEEP_PARAS
        dos_ok 4Ah, 1
        mov bx, BLOCK
        dos_ok 48h, 2
        mov [a], ax
        mov bx, BLOCK
        dos_ok 48h, 2
        mov [b], ax
        sub ax, [a]
        cmp ax, BLOCK + 1               ; first fit: right behind the first
        expect_eq 2
        mov es, [a]
        mov bx, 2 * BLOCK
        mov ah, 4Ah
        int 21h                         ; the neighbour is in use
        jnc bad3
        cmp ax, 8
        expect_eq 3
        cmp bx, BLOCK
        expect_eq 3
        mov es, [b]
        dos_ok 49h, 4
        mov es, [a]
        mov bx, BLOCK + BLOCK / 2
        dos_ok 4Ah, 5                   ; grows into the freed block
        mov bx, 0FFFFh
        mov ah, 48h
        int 21h
        jnc bad6
        cmp ax, 8
        expect_eq 6
        mov [largest], bx
        dos_ok 48h, 7                   ; exactly the largest block
        mov bx, 1
        mov ah, 48h
        int 21h
        jnc bad8
        cmp bx, 0
        expect_eq 8
        mov ax, 1234h
        mov es, ax
        mov ah, 49h
        int 21h
        jnc bad9
        cmp ax, 9
        expect_eq 9
        print ok
        mov ax, DOS_EXIT << 8
        int 21h
bad3:   mov al, 3
        jmp fail
bad6:   mov al, 6
        jmp fail
bad8:   mov al, 8
        jmp fail
bad9:   mov al, 9
fail:   mov ah, DOS_EXIT
        int 21h

ok      db "mem ok", 13, 10, "$"
a       dw 0
b       dw 0
largest dw 0
