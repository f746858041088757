; The Turbo Pascal CRT delay loop, diverted to a real-time wait: the
; calibration call against the BIOS tick count returns at once as if 55,000
; iterations had run; a call with 100,000 iterations then waits 100 ms of
; real time, with the timer interrupt served meanwhile (its own INT 08h
; handler counts ticks), and ends with CF set and DX:AX = FFFF:FFFF. Exits 0,
; or the number of the failing step.
;   build: nasm -f bin -o DELAY.COM delay.asm
%include "dostest.inc"
CALIBRATION equ 55000
WAIT_US     equ 100000

        org 100h
        mov dx, timer
        mov ax, 2508h
        int 21h
        mov ax, 40h
        mov es, ax
        mov di, 6Ch                     ; the tick count: a calibration run
        mov ax, 0FFFFh
        mov dx, 0FFFFh
        stc
        call delay
        jc bad1
        cmp dx, 0FFFFh
        expect_eq 1
        cmp ax, 0FFFFh - CALIBRATION
        expect_eq 1
        push ds
        pop es
        mov di, flag
        mov bl, [flag]                  ; the byte stays: the full wait
        mov ax, WAIT_US & 0FFFFh
        mov dx, WAIT_US >> 16
        call delay
        jnc bad2
        cmp ax, 0FFFFh
        expect_eq 2
        cmp dx, 0FFFFh
        expect_eq 2
        cmp word [ticks], 0             ; 100 ms hold at least one 55 ms tick
        jne done
        mov al, 3
        jmp fail
done:   mov ax, DOS_EXIT << 8
        int 21h
bad1:   mov al, 1
        jmp fail
bad2:   mov al, 2
fail:   mov ah, DOS_EXIT
        int 21h

; The loop as the CRT unit has it, byte for byte: sub ax, 1; sbb dx, 0;
; jb +5; cmp bl, es:[di]; je -13; ret.
delay:  db 2Dh, 01h, 00h, 83h, 0DAh, 00h, 72h, 05h, 26h, 3Ah, 1Dh, 74h, 0F3h, 0C3h

timer:  inc word [cs:ticks]
        push ax
        mov al, 20h                     ; end of interrupt
        out 20h, al
        pop ax
        iret

flag    db 5Ah
ticks   dw 0
