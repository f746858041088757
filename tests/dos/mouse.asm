; Checks the mouse driver through INT 33h: reset and detection, the position
; after a reset, position limits given in either order, show and hide, the
; state size and save, and installing and exchanging an event handler.
; Prints "mouse ok" and exits with status 0, else exits with the number of
; the first check that failed.
;   build: nasm -f bin -o MOUSE.COM mouse.asm
;   run:   MOUSE        (in text mode 3, as the machine starts)
%include "dostest.inc"

M_RESET       equ 00h
M_SHOW        equ 01h
M_HIDE        equ 02h
M_POSITION    equ 03h
M_MOVE        equ 04h
M_X_RANGE     equ 07h
M_Y_RANGE     equ 08h
M_HANDLER     equ 0Ch
M_SWAP        equ 14h
M_STATE_SIZE  equ 15h
M_SAVE        equ 16h
STATE_BYTES   equ 232
STATE_SHOWN   equ 12            ; the show counter in the driver's saved state

%macro mouse 1
        mov ax, %1
        int 33h
%endmacro

        org 100h
        mouse M_RESET
        cmp ax, 0FFFFh          ; a driver is there
        expect_eq 1
        cmp bx, 2               ; with two buttons
        expect_eq 2
        mouse M_POSITION
        cmp cx, 320
        expect_eq 3
        cmp dx, 100
        expect_eq 4
        test bx, bx
        expect_eq 5

        mov cx, 600             ; x from 20 to 600, given backwards
        mov dx, 20
        mouse M_X_RANGE
        mov cx, 10
        mov dx, 150
        mouse M_Y_RANGE
        mov cx, 1000
        xor dx, dx
        mouse M_MOVE
        mouse M_POSITION
        cmp cx, 600
        expect_eq 6
        cmp dx, 10
        expect_eq 7
        xor cx, cx
        mov dx, 1000
        mouse M_MOVE
        mouse M_POSITION
        cmp cx, 20
        expect_eq 8
        cmp dx, 150
        expect_eq 9

        mouse M_SHOW            ; twice shown, once hidden: hidden
        mouse M_SHOW
        mouse M_HIDE
        mouse M_STATE_SIZE
        cmp bx, STATE_BYTES
        expect_eq 10
        mov dx, state
        mouse M_SAVE
        cmp word [state + STATE_SHOWN], 0
        expect_eq 11

        mov cx, 1               ; motion events to our handler
        mov dx, handler
        mouse M_HANDLER
        xor cx, cx              ; exchanged for none
        xor dx, dx
        mov es, dx
        mouse M_SWAP
        mov ax, es
        push cs
        pop es
        mov bx, cs
        cmp ax, bx
        expect_eq 12
        cmp cx, 1
        expect_eq 13
        cmp dx, handler
        expect_eq 14
        mouse M_SWAP            ; and back: none was installed
        test cx, cx
        expect_eq 15
        mouse M_RESET           ; a reset removes the handler too
        mov cx, 0FFh
        mouse M_SWAP
        test cx, cx
        expect_eq 16
        mouse M_RESET

        print ok
        mov ax, DOS_EXIT << 8
        int 21h
fail:   mov ah, DOS_EXIT
        int 21h

handler: retf
ok      db "mouse ok", 13, 10, "$"
state   times STATE_BYTES db 0
