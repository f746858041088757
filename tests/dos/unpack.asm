; Behaves like a self-extracting program: jumps out of its first 64 KB
; (through a far jump it writes 64 KB above itself) and comes back to
; "entry", which VRK_UNPACK takes as the original entry point. Without
; VRK_UNPACK it simply exits with status 0.
;   build: nasm -f bin -o UNPACK.COM unpack.asm
WINDOW_PARAS equ 1000h                  ; 64 KB in paragraphs

        org 100h
        mov ax, cs
        add ax, WINDOW_PARAS
        mov es, ax
        mov byte [es:0], 0EAh           ; jmp far cs:entry
        mov word [es:1], entry
        mov [es:3], cs
        push es
        xor ax, ax
        push ax
        retf                            ; out of the window
entry:  mov ax, 4C00h
        int 21h
