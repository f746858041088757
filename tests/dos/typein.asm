; Reads keys through the service that the first letter of the command tail
; names and prints every value it gets in hexadecimal, each followed by a
; space, then "end" after Escape:
;   a  INT 16h AH=00h (words)           b  INT 16h AH=10h (words)
;   h  INT 16h AH=01h until a key is shown (the word shown), AH=00h removes it
;   c  INT 21h AH=07h (bytes)           d  INT 21h AH=08h (bytes)
;   e  INT 21h AH=01h (bytes, echoed by DOS before the value)
;   f  INT 21h AH=06h DL=FFh, polled until ZF is clear (bytes)
;   g  INT 21h AH=0Bh, polled until AL=FFh, then AH=08h (bytes)
; Exits with status 0 after Escape, 1 after MAX_KEYS other keys, 2 for an
; unknown letter.
;   build: nasm -f bin -o TYPEIN.COM typein.asm
;   run:   halverd --headless TYPEIN.COM b, with keys typed by a VRK_SCRIPT
;          (tests/diag/autotest_run_test.cpp)
TAIL_LETTER     equ 82h         ; after the blank that starts the tail
MAX_KEYS        equ 64
KEY_ESCAPE      equ 011Bh
CHAR_ESCAPE     equ 1Bh

        org 100h
        mov al, [TAIL_LETTER]
        or al, 20h              ; either case
        mov si, modes
find:   cmp byte [si], 0
        je unknown
        cmp al, [si]
        je found
        add si, 3
        jmp find
found:  mov bx, [si + 1]
        mov [reader], bx
        mov cx, MAX_KEYS
next:   push cx
        call [reader]           ; AX = value, CL = digits, CF = it was Escape
        pushf
        call print_hex
        mov dl, ' '
        call putc
        popf
        pop cx
        jc done
        loop next
        mov ax, 4C01h
        int 21h
done:   mov dx, end_text
        mov ah, 09h
        int 21h
        mov ax, 4C00h
        int 21h
unknown:
        mov ax, 4C02h
        int 21h

read_a: xor ah, ah
        int 16h
word_read:
        mov cl, 4
        cmp ax, KEY_ESCAPE
        je escape
        clc
        ret
escape: stc
        ret

read_b: mov ah, 10h
        int 16h
        jmp word_read

read_h: mov ah, 01h
        int 16h
        jz read_h
        push ax
        xor ah, ah
        int 16h
        pop ax
        jmp word_read

read_c: mov ah, 07h
        int 21h
byte_read:
        xor ah, ah
        mov cl, 2
        cmp al, CHAR_ESCAPE
        je escape
        clc
        ret

read_d: mov ah, 08h
        int 21h
        jmp byte_read

read_e: mov ah, 01h
        int 21h
        jmp byte_read

read_f: mov ah, 06h
        mov dl, 0FFh
        int 21h
        jz read_f
        jmp byte_read

read_g: mov ah, 0Bh
        int 21h
        cmp al, 0FFh
        jne read_g
        jmp read_d

%include "hexout.inc"

modes:  db 'a'
        dw read_a
        db 'b'
        dw read_b
        db 'h'
        dw read_h
        db 'c'
        dw read_c
        db 'd'
        dw read_d
        db 'e'
        dw read_e
        db 'f'
        dw read_f
        db 'g'
        dw read_g
        db 0
end_text:
        db "end", 0Dh, 0Ah, "$"
reader: dw 0
