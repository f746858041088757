; EXEC: runs CHILD.COM with an open handle (5) and the tail " hello", then
; checks that its own registers and stack came back, that AH=4Dh gives the
; child's status 7 (then 0), that the child's handle writes landed in
; OUT.TXT before its own, and that a missing program (2) and a broken
; executable BAD.EXE (11) fail without taking memory. Prints "exec ok".
;   build: nasm -f bin -o EXEC.COM exec.asm
%include "dostest.inc"
KEEP_PARAS equ 100h

        org 100h
        mov sp, stack_top
        mov bx, KEEP_PARAS
        dos_ok 4Ah, 1                   ; give back what a COM program holds
        mov bx, 0FFFFh
        mov ah, 48h
        int 21h
        mov [largest], bx
        mov dx, out_name
        xor cx, cx
        dos_ok 3Ch, 2
        cmp ax, 5
        expect_eq 2
        mov [handle], ax

        mov [param + 4], cs
        mov bp, 1234h
        mov si, 5678h
        mov [saved_sp], sp
        mov dx, child
        mov bx, param
        mov ax, 4B00h
        int 21h
        jnc ran
        mov al, 3
        jmp fail
ran:    cmp bp, 1234h
        expect_eq 4
        cmp si, 5678h
        expect_eq 4
        cmp sp, [saved_sp]
        expect_eq 4
        mov ax, cs
        mov bx, ds
        cmp ax, bx
        expect_eq 4
        mov ah, 4Dh
        int 21h
        cmp ax, 7
        expect_eq 5
        mov ah, 4Dh
        int 21h
        cmp ax, 0
        expect_eq 5

        mov bx, [handle]
        mov dx, word_parent
        mov cx, 8
        dos_ok 40h, 6
        dos_ok 3Eh, 6

        mov dx, missing
        mov bx, param
        mov ax, 4B00h
        int 21h
        jnc bad7
        cmp ax, 2
        expect_eq 7
        mov dx, bad
        mov bx, param
        mov ax, 4B00h
        int 21h
        jnc bad8
        cmp ax, 11
        expect_eq 8
        mov bx, 0FFFFh
        mov ah, 48h
        int 21h
        cmp bx, [largest]
        expect_eq 9
        print ok
        mov ax, DOS_EXIT << 8
        int 21h
bad7:   mov al, 7
        jmp fail
bad8:   mov al, 8
fail:   mov ah, DOS_EXIT
        int 21h

child       db "CHILD.COM", 0
missing     db "MISSING.COM", 0
bad         db "BAD.EXE", 0
out_name    db "OUT.TXT", 0
tail        db 6, " hello", 13
word_parent db "parent", 13, 10
ok          db "exec ok", 13, 10, "$"
param       dw 0, tail, 0, 5Ch, 0, 6Ch, 0
handle      dw 0
largest     dw 0
saved_sp    dw 0
            times 512 db 0
stack_top:
