; The demo: a DOS program that greets through the DOS console and tells
; which DOS version it runs on.
;   build: nasm -f bin -o DEMO.COM demo.asm
;   run:   halverd --headless --root DIR DEMO.COM
        org 100h
        mov dx, greeting
        mov ah, 09h                     ; write the $-terminated string
        int 21h
        mov ah, 30h                     ; DOS version: AL major, AH minor
        int 21h
        add al, '0'
        add ah, '0'
        mov [major], al
        mov [minor], ah
        mov dx, version
        mov ah, 09h
        int 21h
        mov ax, 4C00h
        int 21h

greeting db "Hello from halverd!", 13, 10, "$"
version  db "This is DOS "
major    db "?."
minor    db "?", 13, 10, "$"
