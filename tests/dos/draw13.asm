; Mode 13h: sets the mode through INT 10h and fills the screen through the
; graphics window with colour (x + 3 * y) & 255, then marks the picture ready and waits
; for Escape (ready.inc).
;   build: nasm -f bin -o DRAW13.COM draw13.asm
;   check: every pixel of the rendered picture (tests/devices/vga_programs_test.cpp,
;          and through the player in tests/diag/autotest_run_test.cpp)
VIDEO_SET_MODE  equ 0013h       ; INT 10h AH=00h, AL=13h
WINDOW          equ 0A000h
WIDTH           equ 320
HEIGHT          equ 200

%include "ready.inc"

        org 100h
        mov ax, VIDEO_SET_MODE
        int 10h
        mov ax, WINDOW
        mov es, ax
        xor di, di
        xor dx, dx              ; y
row:    mov ax, dx
        mov bx, dx
        shl ax, 1
        add ax, bx              ; AL = 3 * y, the colour at x = 0
        mov cx, WIDTH
col:    stosb
        inc al
        loop col
        inc dx
        cmp dx, HEIGHT
        jb row
        ready_wait_escape
