; Mode 12h: sixteen bands of 30 lines in colours 0-15 drawn with write mode 2,
; then through INT 10h AH=0Ch a white pixel at (5, 5) and an XOR pixel of
; colour 3 at (6, 35). Then marks the picture ready and waits for Escape
; (ready.inc).
;   build: nasm -f bin -o DRAW12.COM draw12.asm
;   check: every pixel of the rendered picture (tests/devices/vga_programs_test.cpp,
;          and through the player in tests/diag/autotest_run_test.cpp)
VIDEO_SET_MODE  equ 0012h
WINDOW          equ 0A000h
GC_INDEX        equ 3CEh
LINE_BYTES      equ 80
BAND_LINES      equ 30
COLOURS         equ 16

%include "ready.inc"

        org 100h
        mov ax, VIDEO_SET_MODE
        int 10h
        mov dx, GC_INDEX
        mov ax, 0205h           ; graphics mode: write mode 2
        out dx, ax
        mov ax, WINDOW
        mov es, ax
        xor di, di
        xor bl, bl              ; colour
band:   mov cx, LINE_BYTES * BAND_LINES
        mov al, bl
        rep stosb
        inc bl
        cmp bl, COLOURS
        jb band
        mov ax, 0005h           ; back to write mode 0 for the BIOS
        out dx, ax

        mov ax, 0C0Fh           ; pixel, colour 15
        xor bh, bh
        mov cx, 5
        mov dx, 5
        int 10h
        mov ax, 0C83h           ; pixel, XOR with colour 3
        mov cx, 6
        mov dx, 35
        int 10h
        ready_wait_escape
