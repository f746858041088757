; Terminate-and-stay-resident: TSRKID.COM stays resident (AH=4Dh gives
; 0301h) and its INT 60h handler still answers; HOOKKID.COM exits normally
; and its INT 61h hook is undone. Prints "tsr ok" and exits 0.
;   build: nasm -f bin -o TSR.COM tsr.asm
%include "dostest.inc"
KEEP_PARAS equ 100h

        org 100h
        mov sp, stack_top
        mov bx, KEEP_PARAS
        dos_ok 4Ah, 1
        mov [param + 4], cs
        mov ax, 3561h
        int 21h
        mov [old61], bx
        mov [old61 + 2], es
        mov dx, tsrkid
        mov bx, param
        push ds
        pop es
        mov ax, 4B00h
        int 21h
        jnc ran
        mov al, 2
        jmp fail
ran:    mov ah, 4Dh
        int 21h
        cmp ax, 0301h
        expect_eq 3
        xor ax, ax
        int 60h
        cmp ax, 0BEEFh
        expect_eq 4
        mov dx, hookkid
        mov bx, param
        mov ax, 4B00h
        int 21h
        jnc ran2
        mov al, 5
        jmp fail
ran2:   mov ax, 3561h
        int 21h
        cmp bx, [old61]
        expect_eq 6
        mov ax, es
        cmp ax, [old61 + 2]
        expect_eq 6
        print ok
        mov ax, DOS_EXIT << 8
        int 21h
fail:   mov ah, DOS_EXIT
        int 21h

tsrkid  db "TSRKID.COM", 0
hookkid db "HOOKKID.COM", 0
tail    db 0, 13
ok      db "tsr ok", 13, 10, "$"
param   dw 0, tail, 0, 5Ch, 0, 6Ch, 0
old61   dw 0, 0
        times 512 db 0
stack_top:
