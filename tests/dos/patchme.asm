; A target for VRK_PATCH: exits with status 5 unless a patch rewrote the
; status byte at load base + 101h.
;   build: nasm -f bin -o PATCHME.COM patchme.asm
        org 100h
        mov ax, 4C05h
        int 21h
