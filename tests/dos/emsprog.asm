; Expanded memory as a program finds and uses it: the driver by its device
; name (opened as a file and read at offset 0Ah of the INT 67h segment),
; four pages allocated and mapped into the frame, data written across the
; whole frame and found again after remapping the pages elsewhere.
; Prints "ems ok" and exits 0; a failing step exits with its number.
;   build: nasm -f bin -o EMSPROG.COM emsprog.asm
;   run:   halverd --headless --root DIR EMSPROG.COM
%include "dostest.inc"
EMS_INT      equ 67h
NAME_OFF     equ 0Ah
NAME_LEN     equ 8
PAGES        equ 4
PAGE_PARAS   equ 400h              ; paragraphs of one 16 KB page
FRAME_WORDS  equ 8000h             ; the 64 KB frame in words

%macro ems_ok 2
        mov ah, %1
        int EMS_INT
        test ah, ah
        jz %%ok
        mov al, %2
        jmp fail
%%ok:
%endmacro

        org 100h
        mov dx, devname
        mov ax, 3D00h                   ; open the driver like a file
        int 21h
        jnc .opened
        mov al, 1
        jmp fail
.opened:
        mov bx, ax
        dos_ok 3Eh, 1

        mov ax, 3500h + EMS_INT         ; the name in the driver's segment
        int 21h
        mov di, NAME_OFF
        mov si, devname
        mov cx, NAME_LEN
        repe cmpsb
        expect_eq 2

        ems_ok 40h, 3
        ems_ok 41h, 4
        mov [frame], bx
        ems_ok 42h, 5
        mov [free], bx
        cmp dx, 512
        expect_eq 5
        mov bx, PAGES
        ems_ok 43h, 6
        mov [handle], dx
        ems_ok 42h, 7
        add bx, PAGES
        cmp bx, [free]
        expect_eq 7

        xor bx, bx                      ; logical page n into physical page n
.map:   mov al, bl
        mov dx, [handle]
        push bx
        ems_ok 44h, 8
        pop bx
        inc bx
        cmp bx, PAGES
        jb .map

        mov es, [frame]                 ; every word holds its frame offset
        xor di, di
        mov cx, FRAME_WORDS
.fill:  mov ax, di
        stosw
        loop .fill

        mov al, 3                       ; logical page 0 now in physical page 3
        xor bx, bx
        mov dx, [handle]
        ems_ok 44h, 9
        mov al, 0                       ; and logical page 3 in physical page 0
        mov bx, 3
        mov dx, [handle]
        ems_ok 44h, 9
        mov ax, [frame]
        add ax, 3 * PAGE_PARAS
        mov es, ax
        cmp word [es:1234h], 1234h
        expect_eq 10
        mov es, [frame]
        cmp word [es:0], 0C000h
        expect_eq 11
        cmp word [es:3FFEh], 0FFFEh
        expect_eq 11

        mov al, 0                       ; past the handle's pages
        mov bx, PAGES
        mov dx, [handle]
        mov ah, 44h
        int EMS_INT
        cmp ah, 8Ah
        expect_eq 12

        mov dx, [handle]
        ems_ok 45h, 13
        ems_ok 42h, 13
        cmp bx, [free]
        expect_eq 13

        print ok
        mov ax, DOS_EXIT << 8
        int 21h
fail:   mov ah, DOS_EXIT
        int 21h

devname db "EMMXXXX0", 0
ok      db "ems ok", 13, 10, "$"
frame   dw 0
free    dw 0
handle  dw 0
