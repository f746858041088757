; Installs an event handler for motion and the left button with INT 33h
; function 0Ch and waits for three calls, polling DOS for input (INT 21h
; AH=0Bh) in between; each call's registers are recorded and compared with
; what a motion of (+5, 0), a press and a release of the left button give.
; Exits with status 0 when they match, 1 when the calls did not come, 2
; when their registers differ.
;   build: nasm -f bin -o MOUSEEV.COM mouseev.asm
;   run:   with the host events fed by tests/devices/mouse_programs_test.cpp
%include "dostest.inc"

DOS_INPUT_STATUS equ 0Bh
M_RESET       equ 00h
M_HANDLER     equ 0Ch
EVENTS        equ 07h           ; motion, left pressed, left released
CALLS         equ 3
RECORD_WORDS  equ 6             ; AX BX CX DX SI DI
POLLS         equ 1000

        org 100h
        mov ax, M_RESET
        int 33h
        mov ax, M_HANDLER
        mov cx, EVENTS
        mov dx, handler
        int 33h                 ; ES:DX = our handler
        mov bp, POLLS
poll:   mov ah, DOS_INPUT_STATUS
        int 21h
        cmp word [calls], CALLS
        jae check
        dec bp
        jnz poll
        mov al, 1
        jmp fail
check:  mov si, records
        mov di, expected
        mov cx, CALLS * RECORD_WORDS
        cld
        repe cmpsw
        mov al, 2
        jne fail
        mov ax, M_RESET         ; the handler goes before the program does
        int 33h
        mov ax, DOS_EXIT << 8
        int 21h
fail:   mov ah, DOS_EXIT
        int 21h

; Called far by the driver: AX conditions, BX buttons, CX and DX the
; position, SI and DI the mickey counters.
handler:
        push ds
        push cs
        pop ds
        push bx
        mov bx, [next]
        mov [bx], ax
        pop ax
        mov [bx + 2], ax
        mov [bx + 4], cx
        mov [bx + 6], dx
        mov [bx + 8], si
        mov [bx + 10], di
        cmp bx, records + (CALLS - 1) * RECORD_WORDS * 2
        jae .full               ; more calls than expected overwrite the last
        add word [next], RECORD_WORDS * 2
.full:  inc word [calls]
        pop ds
        retf

calls   dw 0
next    dw records
expected:
        dw 01h, 0, 325, 100, 5, 0       ; the motion; the counters are not read
        dw 02h, 1, 325, 100, 5, 0       ; left pressed
        dw 04h, 0, 325, 100, 5, 0       ; left released
records times CALLS * RECORD_WORDS dw 0
