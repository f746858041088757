; Runs into an opcode the machine does not implement (ARPL, 63h): the player
; must end with the fatal message, the CPU dump and exit code 3.
; Build: nasm -f bin badop.asm -o BADOP.COM
        org 100h
        mov ah, 09h
        mov dx, msg
        int 21h
        arpl [bx], ax
        mov ax, 4C00h
        int 21h
msg:    db 'before', 13, 10, '$'
