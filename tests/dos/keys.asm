; Reads key words through INT 16h and compares them with the words that the
; test types (Shift+A, Caps Lock then a, Ctrl+C, Alt+X, keypad 7 with Num
; Lock, the grey up key through AH=10h and again through AH=00h, keypad
; Enter, F1 with Shift, F11, F12). Exits with status 0 when all match, else
; with the number of the first key that did not; the words read are stored
; at offset 0400h of the program's segment.
;   build: nasm -f bin -o KEYS.COM keys.asm
;   run:   with the keys typed by tests/devices/vga_programs_test.cpp
KBD_READ        equ 00h         ; INT 16h: read a key, extended keys folded
KBD_READ_EXT    equ 10h         ; INT 16h: read a key of the enhanced keyboard
RESULTS         equ 0400h
DOS_EXIT        equ 4Ch

        org 100h
        mov si, expected
        mov di, RESULTS
        xor bx, bx              ; key number - 1
next:   mov ah, [si]            ; the function to use
        int 16h
        mov [di], ax
        cmp ax, [si + 1]
        jne fail
        add si, 3
        add di, 2
        inc bx
        cmp bx, COUNT
        jb next
        mov ax, DOS_EXIT << 8
        int 21h
fail:   inc bl
        mov al, bl
        mov ah, DOS_EXIT
        int 21h

expected:
        db KBD_READ_EXT
        dw 1E41h                ; Shift+A
        db KBD_READ_EXT
        dw 1E41h                ; Caps Lock, a
        db KBD_READ_EXT
        dw 2E03h                ; Ctrl+C
        db KBD_READ_EXT
        dw 2D00h                ; Alt+X
        db KBD_READ_EXT
        dw 4737h                ; Num Lock, keypad 7
        db KBD_READ_EXT
        dw 48E0h                ; grey up
        db KBD_READ
        dw 4800h                ; grey up
        db KBD_READ_EXT
        dw 1C0Dh                ; keypad Enter
        db KBD_READ_EXT
        dw 5400h                ; Shift+F1
        db KBD_READ_EXT
        dw 8500h                ; F11
        db KBD_READ_EXT
        dw 8600h                ; F12
COUNT   equ ($ - expected) / 3
