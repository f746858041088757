; FMNOTES.COM - plays FM notes through 388h/389h as music drivers do.
;   1. channel 0: a plain sine (the modulator silent), F-number 241h,
;      block 4, multiplier 1: about 437.7 Hz, held for about 0.5 s, then
;      key-off with release rate 6 (about 0.8 s to silence), then 1 s.
;   2. rhythm mode (BDh bit 5): the bass drum (channel 6) for about 0.5 s,
;      then the hi-hat, each released afterwards.
; A WAV capture shows a dominant 437.7 Hz tone, a release that fades to
; silence, then the percussion. Prints "FM done" and exits 0.
; Build: nasm -f bin fmnotes.asm -o FMNOTES.COM
; Run:   VRK_WAVOUT=out.wav halverd --headless --root DIR FMNOTES.COM   (needs the DOS kernel)
        org 100h

OPL     equ 388h

start:
        sti
        mov si, init_regs
        call write_list
        mov cx, 9                   ; about 0.5 s
        call wait_ticks
        mov ax, 0B012h              ; key-off, same F-number and block
        call opl_write
        mov cx, 36                  ; the release and 1 s of silence
        call wait_ticks

        mov si, drum_regs
        call write_list
        mov cx, 9
        call wait_ticks
        mov ax, 0BD21h              ; bass drum off, hi-hat on
        call opl_write
        mov cx, 9
        call wait_ticks
        mov ax, 0BD20h              ; all percussion off
        call opl_write
        mov cx, 36
        call wait_ticks
        mov ax, 0BD00h
        call opl_write

        mov dx, msg
        mov ah, 9
        int 21h
        mov ax, 4C00h
        int 21h

; Writes the register/value pairs at SI up to the pair 00h, 00h.
write_list:
        lodsw
        test ax, ax
        jz .end
        xchg al, ah                 ; the list holds register, value
        call opl_write
        jmp write_list
.end:   ret

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
        mov cx, 35
        dec dx
.d2:    in al, dx
        loop .d2
        ret

; Waits CX BIOS ticks.
wait_ticks:
        push cx
        xor ah, ah
        int 1Ah
        mov bx, dx
        pop cx
.wait:  push cx
        xor ah, ah
        int 1Ah
        pop cx
        sub dx, bx
        cmp dx, cx
        jb .wait
        ret

init_regs:
        db 01h, 20h                 ; waveform select on
        db 20h, 00h, 40h, 3Fh, 60h, 00h         ; modulator: silent
        db 23h, 21h, 43h, 00h, 63h, 0F0h, 83h, 06h  ; carrier: sustained sine, release 6
        db 0C0h, 00h
        db 0A0h, 41h, 0B0h, 32h     ; F-number 241h, block 4, key-on
        db 0, 0
drum_regs:
        db 30h, 00h, 50h, 3Fh, 70h, 00h         ; channel 6 modulator: silent
        db 33h, 21h, 53h, 00h, 73h, 0F0h, 93h, 05h  ; bass drum carrier
        db 0C6h, 00h, 0A6h, 57h, 0B6h, 09h      ; block 2, no key-on
        db 31h, 21h, 51h, 00h, 71h, 0F0h, 91h, 05h  ; hi-hat (channel 7 modulator)
        db 34h, 21h, 54h, 00h, 74h, 0F0h, 94h, 05h  ; snare (channel 7 carrier)
        db 0A7h, 50h, 0B7h, 09h
        db 32h, 21h, 52h, 00h, 72h, 0F0h, 92h, 05h  ; tom (channel 8 modulator)
        db 35h, 21h, 55h, 00h, 75h, 0F0h, 95h, 05h  ; cymbal (channel 8 carrier)
        db 0A8h, 50h, 0B8h, 09h
        db 0BDh, 30h                ; rhythm mode, bass drum
        db 0, 0
msg     db "FM done", 13, 10, "$"
