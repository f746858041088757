; SBDETECT.COM - detects the Sound Blaster and the OPL as games do.
;   DSP: reset through 226h (1, wait, 0), poll 22Eh, read AAh from 22Ah;
;        E1h answers version 3.02; E0h 55h answers AAh.
;   OPL: mask and reset both timers, status & E0h = 0; timer 1 = FFh, start,
;        wait over 80 us, status & E0h = C0h; reset again.
; Prints "SB 3.02 OPL ok" and exits 0; on a failure prints what failed and
; exits 1 (no DSP), 2 (version), 3 (identification), 4 (OPL).
; Build: nasm -f bin sbdetect.asm -o SBDETECT.COM
; Run:   halverd --headless --root DIR SBDETECT.COM   (needs the DOS kernel)
        org 100h

SB      equ 220h
OPL     equ 388h

start:
        mov dx, SB+6                ; reset
        mov al, 1
        out dx, al
        mov cx, 100
.delay: in al, dx                   ; a few microseconds
        loop .delay
        xor al, al
        out dx, al
        call dsp_read
        jc no_dsp
        cmp al, 0AAh
        jne no_dsp

        mov al, 0E1h
        call dsp_write
        call dsp_read
        jc bad_version
        cmp al, 3
        jne bad_version
        call dsp_read
        jc bad_version
        cmp al, 2
        jne bad_version

        mov al, 0E0h
        call dsp_write
        mov al, 55h
        call dsp_write
        call dsp_read
        jc bad_ident
        cmp al, 0AAh
        jne bad_ident

        mov ax, 0460h               ; mask both timers
        call opl_write
        mov ax, 0480h               ; reset the flags
        call opl_write
        mov dx, OPL
        in al, dx
        and al, 0E0h
        jnz no_opl
        mov ax, 02FFh               ; timer 1: one 80 us tick
        call opl_write
        mov ax, 0421h               ; start timer 1, mask timer 2
        call opl_write
        call wait_tick              ; much longer than 80 us
        mov dx, OPL
        in al, dx
        and al, 0E0h
        cmp al, 0C0h
        jne no_opl
        mov ax, 0460h
        call opl_write
        mov ax, 0480h
        call opl_write

        mov dx, msg_ok
        mov al, 0
        jmp finish
no_dsp: mov dx, msg_no_dsp
        mov al, 1
        jmp finish
bad_version:
        mov dx, msg_version
        mov al, 2
        jmp finish
bad_ident:
        mov dx, msg_ident
        mov al, 3
        jmp finish
no_opl: mov dx, msg_no_opl
        mov al, 4
finish: push ax
        mov ah, 9
        int 21h
        pop ax
        mov ah, 4Ch
        int 21h

; AL = the next byte from the DSP, CF set when none arrives.
dsp_read:
        mov cx, 0FFFFh
        mov dx, SB+0Eh
.poll:  in al, dx
        test al, 80h
        jnz .ready
        loop .poll
        stc
        ret
.ready: mov dx, SB+0Ah
        in al, dx
        clc
        ret

; Writes AL to the DSP when it is ready.
dsp_write:
        mov ah, al
        mov dx, SB+0Ch
.poll:  in al, dx
        test al, 80h
        jnz .poll
        mov al, ah
        out dx, al
        ret

; Writes AL to OPL register AH, with the customary delays.
opl_write:
        mov dx, OPL
        xchg al, ah
        out dx, al
        mov cx, 6
.d1:    in al, dx
        loop .d1
        inc dx
        mov al, ah
        out dx, al
        dec dx
        mov cx, 35
.d2:    in al, dx
        loop .d2
        ret

; Waits for the BIOS tick count to move on twice: at least one whole tick
; (55 ms), since the first change may come at once.
wait_tick:
        sti
        xor ah, ah
        int 1Ah
        mov bx, dx
.wait:  xor ah, ah
        int 1Ah
        sub dx, bx
        cmp dx, 2
        jb .wait
        ret

msg_ok          db "SB 3.02 OPL ok", 13, 10, "$"
msg_no_dsp      db "no DSP at 220h", 13, 10, "$"
msg_version     db "DSP version is not 3.02", 13, 10, "$"
msg_ident       db "DSP identification failed", 13, 10, "$"
msg_no_opl      db "no OPL timer", 13, 10, "$"
