; Mode X with page flipping: mode 13h unchained, page 0 filled with colour 1
; through all four planes at once, page 1 drawn plane by plane with colour
; 64 * (x & 3) + (y & 63), then the CRTC start address moved to page 1 at a
; vertical retrace. Then marks the picture ready and waits for Escape
; (ready.inc).
;   build: nasm -f bin -o MODEX.COM modex.asm
;   check: the rendered picture shows page 1 (tests/devices/vga_programs_test.cpp,
;          and through the player in tests/diag/autotest_run_test.cpp)
VIDEO_SET_MODE  equ 0013h
WINDOW          equ 0A000h
SEQ_INDEX       equ 3C4h
CRTC_INDEX      equ 3D4h
STATUS          equ 3DAh
VRETRACE        equ 08h
PAGE_BYTES      equ 16000       ; 320 x 200 / 4 planes
LINE_BYTES      equ 80
HEIGHT          equ 200

%include "ready.inc"

        org 100h
        mov ax, VIDEO_SET_MODE
        int 10h
        mov dx, SEQ_INDEX
        mov ax, 0604h           ; memory mode: chain-4 off
        out dx, ax
        mov dx, CRTC_INDEX
        mov ax, 0014h           ; underline: doubleword mode off
        out dx, ax
        mov ax, 0E317h          ; mode control: byte mode
        out dx, ax

        mov dx, SEQ_INDEX
        mov ax, 0F02h           ; map mask: all planes
        out dx, ax
        mov ax, WINDOW
        mov es, ax
        xor di, di
        mov cx, PAGE_BYTES
        mov al, 1
        rep stosb

        xor bx, bx              ; plane
plane:  mov dx, SEQ_INDEX
        mov al, 02h
        mov ah, 1
        mov cl, bl
        shl ah, cl
        out dx, ax
        mov di, PAGE_BYTES
        xor si, si              ; y
line:   mov ax, si
        and al, 63
        mov ah, bl
        shl ah, 6
        add al, ah              ; 64 * plane + (y & 63)
        mov cx, LINE_BYTES
        rep stosb
        inc si
        cmp si, HEIGHT
        jb line
        inc bx
        cmp bx, 4
        jb plane

        mov dx, STATUS
wait_end:
        in al, dx               ; let a retrace in progress finish
        test al, VRETRACE
        jnz wait_end
wait_start:
        in al, dx
        test al, VRETRACE
        jz wait_start
        mov dx, CRTC_INDEX
        mov ax, (PAGE_BYTES >> 8) << 8 | 0Ch
        out dx, ax
        mov ax, (PAGE_BYTES & 0FFh) << 8 | 0Dh
        out dx, ax
        ready_wait_escape
