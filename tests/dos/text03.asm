; Text mode 03h: row 0 holds full blocks in the sixteen foreground colours,
; row 1 a blinking yellow "B" (attribute 8Eh) and a white-on-blue "W"
; (1Fh), written with INT 10h AH=09h; the cursor is left at row 2, column 3.
; Then marks the picture ready and waits for Escape (ready.inc).
;   build: nasm -f bin -o TEXT03.COM text03.asm
;   check: colours, blink phases and cursor in the rendered picture
;          (tests/devices/vga_programs_test.cpp,
;          and through the player in tests/diag/autotest_run_test.cpp)
VIDEO_SET_MODE  equ 0003h
FULL_BLOCK      equ 0DBh
COLOURS         equ 16

%include "ready.inc"

        org 100h
        mov ax, VIDEO_SET_MODE
        int 10h
        xor bx, bx              ; BL = colour, BH = page 0
colour: mov ah, 02h             ; cursor to row 0, column = colour
        xor dh, dh
        mov dl, bl
        int 10h
        mov ax, 0900h | FULL_BLOCK
        mov cx, 1
        int 10h
        inc bl
        cmp bl, COLOURS
        jb colour

        mov ah, 02h
        mov dx, 0100h           ; row 1, column 0
        int 10h
        mov ax, 0900h | 'B'
        mov bl, 8Eh
        mov cx, 1
        int 10h
        mov ah, 02h
        mov dx, 0101h
        int 10h
        mov ax, 0900h | 'W'
        mov bl, 1Fh
        int 10h
        mov ah, 02h
        mov dx, 0203h           ; row 2, column 3
        int 10h
        ready_wait_escape
