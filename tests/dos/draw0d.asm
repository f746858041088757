; Mode 0Dh: a 64 x 40 block of vertical stripes, colour (x / 4) & 15, through
; INT 10h AH=0Ch, then one byte written with set/reset colour 14 under the
; bit mask F0h: pixels 160-163 of line 100. Then marks the picture
; ready and waits for Escape (ready.inc).
;   build: nasm -f bin -o DRAW0D.COM draw0d.asm
;   check: every pixel of the rendered picture (tests/devices/vga_programs_test.cpp,
;          and through the player in tests/diag/autotest_run_test.cpp)
VIDEO_SET_MODE  equ 000Dh
WINDOW          equ 0A000h
GC_INDEX        equ 3CEh
LINE_BYTES      equ 40
BLOCK_W         equ 64
BLOCK_H         equ 40

%include "ready.inc"

        org 100h
        mov ax, VIDEO_SET_MODE
        int 10h
        xor dx, dx              ; y
py:     xor cx, cx              ; x
px:     mov ax, cx
        shr ax, 2
        and al, 15
        mov ah, 0Ch
        xor bh, bh
        int 10h
        inc cx
        cmp cx, BLOCK_W
        jb px
        inc dx
        cmp dx, BLOCK_H
        jb py

        mov dx, GC_INDEX
        mov ax, 0F01h           ; enable set/reset on all planes
        out dx, ax
        mov ax, 0E00h           ; set/reset colour 14
        out dx, ax
        mov ax, 0F008h          ; bit mask: the left four pixels
        out dx, ax
        mov ax, WINDOW
        mov es, ax
        mov al, [es:100 * LINE_BYTES + 20]      ; load the latches
        mov [es:100 * LINE_BYTES + 20], al
        mov ax, 0001h
        out dx, ax
        mov ax, 0FF08h
        out dx, ax
        ready_wait_escape
