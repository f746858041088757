; File control blocks, as older compilers and linkers use them: parsing names
; with 29h, create, sequential write, open, sequential and random reads,
; random block write and read with other record sizes, end of file, file
; size, find first/next, rename and delete. Prints "fcb ok" and exits 0; a
; failing step exits with its number.
;   build: nasm -f bin -o FCB.COM fcb.asm
;   run:   FCB
%include "dostest.inc"

; Offsets in an FCB.
F_DRIVE  equ 00h
F_NAME   equ 01h
F_BLOCK  equ 0Ch
F_RECSZ  equ 0Eh
F_SIZE   equ 10h
F_RECORD equ 20h
F_RANDOM equ 21h

; INT 21h function %1 with DX = %2; exits with status %4 unless AL = %3.
%macro fcb_call 4
        mov dx, %2
        mov ah, %1
        int 21h
        cmp al, %3
        expect_eq %4
%endmacro

; Parses the text at %1 into fcb with flags %2; exits with %4 unless AL = %3.
%macro parse 4
        mov si, %1
        mov di, fcb
        mov al, %2
        mov ah, 29h
        int 21h
        cmp al, %3
        expect_eq %4
%endmacro

        org 100h
        ; ---- 29h
        parse text_out, 1, 0, 1         ; "  c:out.dat": no wildcards
        cmp byte [fcb + F_DRIVE], 3
        expect_eq 2
        mov si, fcb + F_NAME
        mov di, want_out
        mov cx, 11
        repe cmpsb
        expect_eq 3
        parse text_wild, 0, 1, 4        ; "*.ASM": wildcards
        cmp word [fcb + F_NAME], '??'
        expect_eq 5
        cmp byte [fcb + F_NAME + 7], '?'
        expect_eq 5
        cmp byte [fcb + F_DRIVE], 0     ; no drive given, none kept
        expect_eq 5
        parse text_bad, 0, 0FFh, 6      ; "a:x": a drive that does not exist

        ; ---- create and write two records of 128 bytes
        call fcb_out
        fcb_call 16h, fcb, 0, 10
        cmp word [fcb + F_RECSZ], 128
        expect_eq 11
        mov dx, rec
        mov ah, 1Ah                     ; DTA = rec
        int 21h
        mov al, 'A'
        call fill
        fcb_call 15h, fcb, 0, 12
        mov al, 'B'
        call fill
        fcb_call 15h, fcb, 0, 13
        cmp byte [fcb + F_RECORD], 2
        expect_eq 14
        fcb_call 10h, fcb, 0, 15

        ; ---- open and read them back
        call fcb_out
        fcb_call 0Fh, fcb, 0, 20
        cmp word [fcb + F_SIZE], 256
        expect_eq 21
        cmp byte [fcb + F_DRIVE], 3     ; the default drive filled in
        expect_eq 21
        mov byte [fcb + F_RECORD], 0
        fcb_call 14h, fcb, 0, 22
        cmp byte [rec + 127], 'A'
        expect_eq 23
        mov dword [fcb + F_RANDOM], 1
        fcb_call 21h, fcb, 0, 24        ; random read of record 1
        cmp byte [rec], 'B'
        expect_eq 25
        fcb_call 14h, fcb, 0, 26        ; sequential: record 1 again
        fcb_call 14h, fcb, 1, 27        ; then the end of the file

        ; ---- 64-byte records: one written at record 4, then a block read
        mov word [fcb + F_RECSZ], 64
        mov dword [fcb + F_RANDOM], 4
        mov al, 'C'
        call fill
        mov cx, 1
        fcb_call 28h, fcb, 0, 30
        cmp word [fcb + F_SIZE], 320
        expect_eq 31
        cmp byte [fcb + F_RANDOM], 5
        expect_eq 32
        mov dword [fcb + F_RANDOM], 0
        mov dx, big
        mov ah, 1Ah
        int 21h
        mov cx, 6
        fcb_call 27h, fcb, 1, 33        ; six asked, five there: end of file
        cmp cx, 5
        expect_eq 34
        cmp byte [big + 256], 'C'
        expect_eq 35
        cmp byte [big + 128], 'B'
        expect_eq 35
        mov dx, fcb
        mov ah, 24h                     ; random record from the current one
        int 21h
        cmp byte [fcb + F_RANDOM], 5
        expect_eq 36
        fcb_call 10h, fcb, 0, 37

        ; ---- file size in 128-byte records: 320 bytes need 3
        call fcb_out
        mov word [fcb + F_RECSZ], 128
        fcb_call 23h, fcb, 0, 40
        cmp word [fcb + F_RANDOM], 3
        expect_eq 41

        ; ---- find first/next
        mov dx, rec
        mov ah, 1Ah
        int 21h
        parse text_dat, 0, 1, 50        ; "OUT.D?T"
        fcb_call 11h, fcb, 0, 51
        mov si, rec + 1
        mov di, want_out
        mov cx, 11
        repe cmpsb
        expect_eq 52
        fcb_call 12h, fcb, 0FFh, 53

        ; ---- rename OUT.DAT to NEW.DAT with a wildcard, then delete it
        call fcb_out
        mov di, fcb + 11h
        mov si, want_new
        mov cx, 11
        rep movsb
        fcb_call 17h, fcb, 0, 60
        call fcb_out
        fcb_call 0Fh, fcb, 0FFh, 61     ; gone under its old name
        parse text_new, 0, 0, 62
        fcb_call 0Fh, fcb, 0, 63
        fcb_call 10h, fcb, 0, 64
        fcb_call 13h, fcb, 0, 65
        fcb_call 0Fh, fcb, 0FFh, 66
        fcb_call 10h, fcb, 0FFh, 67     ; never opened

        print ok_msg
        mov ax, 4C00h
        int 21h
fail:   mov ah, DOS_EXIT
        int 21h

; fcb = an unopened FCB for OUT.DAT
fcb_out:
        mov di, fcb
        mov cx, 37
        xor al, al
        rep stosb
        mov si, want_out
        mov di, fcb + F_NAME
        mov cx, 11
        rep movsb
        ret

; rec = 128 bytes of AL
fill:   mov di, rec
        mov cx, 128
        rep stosb
        ret

text_out  db "  c:out.dat", 0
text_wild db "*.ASM", 0
text_bad  db "a:x", 0
text_dat  db "out.d?t", 0
text_new  db "new.dat", 0
want_out  db "OUT     DAT"
want_new  db "NEW     ???"
ok_msg    db "fcb ok", 13, 10, "$"
fcb       times 44 db 0
rec       times 128 db 0
big       times 400 db 0
