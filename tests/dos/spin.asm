; Prints a line, then loops for ever with interrupts on, so that a test can
; stop the player with a signal.
; Build: nasm -f bin spin.asm -o SPIN.COM
        org 100h
        mov ah, 09h
        mov dx, msg
        int 21h
.again: inc ax
        jmp .again
msg:    db 'spinning', 13, 10, '$'
