; SBDMA.COM - plays 8-bit DMA sound with an IRQ 5 handler, as games do.
;   1. single-cycle: 2048 bytes of a square wave at 11,111 Hz (time constant
;      A6h) on DMA channel 1; the handler acknowledges at 22Eh and sends the
;      EOI; the program waits for that one interrupt.
;   2. auto-init: DMA mode 59h, block size 1024 over the 2048-byte buffer,
;      command 1Ch; the handler counts blocks; after 4 interrupts DAh ends
;      auto-init and the last block's interrupt ends the transfer.
; The speaker is on (D1h) so a WAV capture holds 2048 + at least 5 x 1024
; DSP samples of a square wave of level +-64 x 256 around 0.
; Prints "DMA ok" and exits 0; exits 1 when the DSP does not reset, 2 when
; the single-cycle interrupt never comes, 3 when auto-init stalls.
; Build: nasm -f bin sbdma.asm -o SBDMA.COM
; Run:   VRK_WAVOUT=out.wav halverd --headless --root DIR SBDMA.COM   (needs the DOS kernel)
        org 100h

SB      equ 220h
LEN     equ 2048
TIMEOUT equ 37                      ; BIOS ticks, about 2 s

start:
        ; The buffer must not cross a 64K page: take the first or second
        ; half of a twice-as-long area.
        mov ax, cs
        mov bx, 16
        mul bx                      ; DX:AX = linear address of the segment
        add ax, area
        adc dx, 0
        mov cx, ax
        add cx, LEN
        jnc .fits
        add ax, LEN
        adc dx, 0
        add word [buf_off], LEN
.fits:  mov [lin_lo], ax
        mov [lin_page], dl

        mov di, [buf_off]           ; a square wave of period 50 bytes
        mov cx, LEN
        xor bx, bx
.fill:  mov al, 0C0h
        cmp bx, 25
        jb .high
        mov al, 40h
.high:  mov [di], al
        inc di
        inc bx
        cmp bx, 50
        jb .next
        xor bx, bx
.next:  loop .fill

        mov ax, 350Dh               ; keep and replace the IRQ 5 vector
        int 21h
        mov [old_off], bx
        mov [old_seg], es
        mov dx, irq5
        mov ax, 250Dh
        int 21h
        in al, 21h
        and al, 0DFh                ; unmask IRQ 5
        out 21h, al
        sti

        mov dx, SB+6
        mov al, 1
        out dx, al
        mov cx, 100
.dly:   in al, dx
        loop .dly
        xor al, al
        out dx, al
        call dsp_read
        cmp al, 0AAh
        mov byte [result], 1
        jne done

        mov al, 0D1h                ; speaker on
        call dsp_write
        mov al, 40h
        call dsp_write
        mov al, 0A6h                ; 1000000 / 90 = 11111 Hz
        call dsp_write

        ; single cycle
        mov al, 49h
        call dma_setup
        mov word [irqs], 0
        mov al, 14h
        call dsp_write
        mov al, (LEN - 1) & 0FFh
        call dsp_write
        mov al, (LEN - 1) >> 8
        call dsp_write
        mov byte [result], 2
        mov cx, 1
        call wait_irqs
        jc done

        ; auto-init
        mov al, 59h
        call dma_setup
        mov word [irqs], 0
        mov al, 48h
        call dsp_write
        mov al, (LEN / 2 - 1) & 0FFh
        call dsp_write
        mov al, (LEN / 2 - 1) >> 8
        call dsp_write
        mov al, 1Ch
        call dsp_write
        mov byte [result], 3
        mov cx, 4
        call wait_irqs
        jc done
        mov al, 0DAh                ; leave auto-init: the block ends the transfer
        call dsp_write
        mov cx, 5
        call wait_irqs
        jc done
        mov al, 0D3h
        call dsp_write
        mov byte [result], 0

done:   cli
        in al, 21h
        or al, 20h
        out 21h, al
        push ds
        lds dx, [old_off]
        mov ax, 250Dh
        int 21h
        pop ds
        sti
        mov dx, msg_ok
        cmp byte [result], 0
        je .print
        mov dx, msg_fail
.print: mov ah, 9
        int 21h
        mov al, [result]
        mov ah, 4Ch
        int 21h

; Programs DMA channel 1 with mode AL for the buffer.
dma_setup:
        mov ah, al
        mov al, 05h                 ; mask channel 1
        out 0Ah, al
        xor al, al
        out 0Ch, al                 ; clear the flip-flop
        mov al, ah
        out 0Bh, al
        mov ax, [lin_lo]
        out 02h, al
        mov al, ah
        out 02h, al
        mov al, [lin_page]
        out 83h, al
        mov ax, LEN - 1
        out 03h, al
        mov al, ah
        out 03h, al
        mov al, 01h                 ; unmask channel 1
        out 0Ah, al
        ret

; Waits until [irqs] reaches CX; CF set after the timeout. (INT 1Ah
; returns the tick count in CX:DX, so the target is kept in SI.)
wait_irqs:
        mov si, cx
        xor ah, ah
        int 1Ah
        mov bx, dx
.wait:  cmp [irqs], si
        jae .ok
        xor ah, ah
        int 1Ah
        sub dx, bx
        cmp dx, TIMEOUT
        jb .wait
        stc
        ret
.ok:    clc
        ret

irq5:   push ax
        push dx
        mov dx, SB+0Eh              ; acknowledge the DSP
        in al, dx
        inc word [cs:irqs]
        mov al, 20h                 ; end of interrupt
        out 20h, al
        pop dx
        pop ax
        iret

dsp_read:
        mov cx, 0FFFFh
        mov dx, SB+0Eh
.poll:  in al, dx
        test al, 80h
        jnz .ready
        loop .poll
        xor al, al
        ret
.ready: mov dx, SB+0Ah
        in al, dx
        ret

dsp_write:
        mov ah, al
        mov dx, SB+0Ch
.poll:  in al, dx
        test al, 80h
        jnz .poll
        mov al, ah
        out dx, al
        ret

msg_ok      db "DMA ok", 13, 10, "$"
msg_fail    db "DMA failed", 13, 10, "$"
result      db 0
irqs        dw 0
old_off     dw 0
old_seg     dw 0
lin_lo      dw 0
lin_page    db 0
buf_off     dw area
area:       times 2 * LEN db 80h
