; The child of EXEC.COM: writes "child" and its command tail to the
; inherited handle 5, prints "in child" and exits with status 7.
;   build: nasm -f bin -o CHILD.COM child.asm
%include "dostest.inc"
INHERITED equ 5

        org 100h
        mov bx, INHERITED
        mov dx, word_child
        mov cx, 5
        mov ah, 40h
        int 21h
        jc failed
        mov cl, [80h]                   ; the tail, after its length byte
        xor ch, ch
        mov dx, 81h
        mov ah, 40h
        int 21h
        mov dx, crlf
        mov cx, 2
        mov ah, 40h
        int 21h
        print in_child
        mov ax, DOS_EXIT << 8 | 7
        int 21h
failed: mov ax, DOS_EXIT << 8 | 99
        int 21h

word_child db "child"
crlf       db 13, 10
in_child   db "in child", 13, 10, "$"
