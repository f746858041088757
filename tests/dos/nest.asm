; Runs itself as a child, again and again: the ninth level of EXEC ends the
; player with a fatal error (exit code 3).
;   build: nasm -f bin -o NEST.COM nest.asm
        org 100h
        mov sp, stack_top
        mov bx, 100h                    ; keep 4 KB, give the rest back
        mov ah, 4Ah
        int 21h
        mov [param + 4], cs
        mov dx, self
        mov bx, param
        mov ax, 4B00h
        int 21h
        mov ax, 4C01h                   ; not reached
        int 21h

self    db "NEST.COM", 0
tail    db 0, 13
param   dw 0, tail, 0, 5Ch, 0, 6Ch, 0
        times 256 db 0
stack_top:
