; Extended memory as a program finds and uses it: the driver through INT 2Fh,
; a block allocated, 4 KB moved into it and back out to another buffer and
; compared, and the refusals of an odd length and of a move past the block's
; end. Prints "xms ok" and exits 0; a failing step exits with its number.
;   build: nasm -f bin -o XMSPROG.COM xmsprog.asm
;   run:   halverd --headless --root DIR XMSPROG.COM
%include "dostest.inc"
BLOCK_KB     equ 64
BYTES        equ 1000h
SRC_BUF      equ 4000h
DST_BUF      equ 6000h
XMS_OFFSET   equ 100h              ; where the data goes in the block
ERR_LENGTH   equ 0A7h
ERR_HANDLE   equ 0A3h

; Far call of XMS function %1; exits with %2 unless AX = 1.
%macro xms_ok 2
        mov ah, %1
        call far [xms]
        cmp ax, 1
        expect_eq %2
%endmacro

        org 100h
        mov ax, 4300h
        int 2Fh
        cmp al, 80h
        expect_eq 1
        mov ax, 4310h
        int 2Fh
        mov [xms], bx
        mov [xms + 2], es
        push ds
        pop es

        mov ah, 00h
        call far [xms]
        cmp ax, 0200h
        jae .version
        mov al, 3
        jmp fail
.version:
        mov dx, BLOCK_KB
        xms_ok 09h, 4
        mov [handle], dx

        mov di, SRC_BUF                 ; a pattern that is not all one byte
        mov cx, BYTES
        xor al, al
.fill:  stosb
        add al, 7
        loop .fill

        mov word [move_len], BYTES      ; in: conventional to the block
        mov word [move_src_h], 0
        mov word [move_src], SRC_BUF
        mov [move_src + 2], ds
        mov ax, [handle]
        mov [move_dst_h], ax
        mov word [move_dst], XMS_OFFSET
        mov word [move_dst + 2], 0
        mov si, move
        xms_ok 0Bh, 5

        mov ax, [handle]                ; out: the block to another buffer
        mov [move_src_h], ax
        mov word [move_src], XMS_OFFSET
        mov word [move_src + 2], 0
        mov word [move_dst_h], 0
        mov word [move_dst], DST_BUF
        mov [move_dst + 2], ds
        mov si, move
        xms_ok 0Bh, 6

        mov si, SRC_BUF
        mov di, DST_BUF
        mov cx, BYTES
        repe cmpsb
        expect_eq 7

        mov word [move_len], 3          ; odd lengths are refused
        mov si, move
        mov ah, 0Bh
        call far [xms]
        test ax, ax
        expect_eq 8
        cmp bl, ERR_LENGTH
        expect_eq 8

        mov word [move_len], 4          ; so is reading past the block's end
        mov word [move_src], BLOCK_KB * 1024 - 2
        mov si, move
        mov ah, 0Bh
        call far [xms]
        test ax, ax
        expect_eq 9
        cmp bl, ERR_HANDLE
        expect_eq 9

        mov dx, [handle]
        xms_ok 0Ah, 10

        print ok
        mov ax, DOS_EXIT << 8
        int 21h
fail:   mov ah, DOS_EXIT
        int 21h

ok      db "xms ok", 13, 10, "$"
xms     dd 0
handle  dw 0
move:                                   ; the move-block parameter record
move_len   dd 0
move_src_h dw 0
move_src   dd 0
move_dst_h dw 0
move_dst   dd 0
