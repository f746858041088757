; A resident child of TSR.COM: hooks INT 60h with a handler that answers
; AX = BEEFh and stays resident with status 1.
;   build: nasm -f bin -o TSRKID.COM tsrkid.asm
        org 100h
        mov dx, handler
        mov ax, 2560h
        int 21h
        mov dx, (resident_end - $$ + 100h + 15) / 16
        mov ax, 3101h
        int 21h
handler:
        mov ax, 0BEEFh
        iret
resident_end:
