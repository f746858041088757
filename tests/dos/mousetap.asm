; Shows the mouse driver's view of scripted mouse input. After an INT 33h
; reset it reads keys through INT 16h: for "p" it prints the position, the
; buttons and the motion counters (functions 03h and 0Bh), as
; "X Y BUTTONS MX MY"; for Escape it prints, for the left and then the right
; button, the press count and the last press position (function 05h) and
; the release count and position (06h), each line starting with L or R,
; then "end", and exits with status 0. Other keys are ignored. Without a
; driver it exits with status 1.
;   build: nasm -f bin -o MOUSETAP.COM mousetap.asm
;   run:   halverd --headless MOUSETAP.COM, with a VRK_SCRIPT
;          (tests/diag/autotest_run_test.cpp); all numbers in hexadecimal
KEY_P           equ 1970h
KEY_ESCAPE      equ 011Bh
M_RESET         equ 00h
M_POSITION      equ 03h
M_PRESSES       equ 05h
M_RELEASES      equ 06h
M_MOTION        equ 0Bh
DRIVER_PRESENT  equ 0FFFFh

        org 100h
        mov ax, M_RESET
        int 33h
        cmp ax, DRIVER_PRESENT
        je wait_key
        mov ax, 4C01h
        int 21h

wait_key:
        xor ah, ah
        int 16h
        cmp ax, KEY_P
        je show
        cmp ax, KEY_ESCAPE
        je report
        jmp wait_key

show:   mov ax, M_POSITION
        int 33h
        push bx
        push dx
        mov ax, cx
        call print_word
        pop ax
        call print_word
        pop ax
        call print_word
        mov ax, M_MOTION
        int 33h
        push dx
        mov ax, cx
        call print_word
        pop ax
        call print_word
        call newline
        jmp wait_key

report: mov dl, 'L'
        xor bx, bx
        call button
        mov dl, 'R'
        mov bx, 1
        call button
        mov dx, end_text
        mov ah, 09h
        int 21h
        mov ax, 4C00h
        int 21h

; DL = the line's letter, BX = the button.
button: call putc
        mov dl, ' '
        call putc
        push bx
        mov ax, M_PRESSES
        call counts
        pop bx
        mov ax, M_RELEASES
        call counts
        jmp newline

; Function AX for button BX: prints the count and the position.
counts: int 33h
        push dx
        push cx
        mov ax, bx
        call print_word
        pop ax
        call print_word
        pop ax
        jmp print_word

%include "hexout.inc"

end_text:
        db "end", 0Dh, 0Ah, "$"
