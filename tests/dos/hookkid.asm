; A child of TSR.COM that hooks INT 61h and exits normally: DOS must put the
; vector back.
;   build: nasm -f bin -o HOOKKID.COM hookkid.asm
        org 100h
        mov dx, handler
        mov ax, 2561h
        int 21h
        mov ax, 4C00h
        int 21h
handler:
        iret
