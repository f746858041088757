; File and directory services: create, write, seek, read, rename, attributes,
; mkdir/chdir/rmdir, find first/next in name order, delete. Prints "files ok"
; and exits 0; a failing step exits with its number.
;   build: nasm -f bin -o FILES.COM files.asm
;   run:   FILES
%include "dostest.inc"
DTA_NAME equ 80h + 1Eh

        org 100h
        mov dx, name1
        xor cx, cx
        dos_ok 3Ch, 1                   ; create TEST.DAT
        mov [handle], ax
        mov bx, ax
        mov dx, digits
        mov cx, 10
        dos_ok 40h, 2                   ; write 10 bytes
        cmp ax, 10
        expect_eq 2
        xor cx, cx
        mov dx, 4
        mov al, 0
        dos_ok 42h, 3                   ; seek to 4
        cmp ax, 4
        expect_eq 3
        mov dx, buf
        mov cx, 3
        dos_ok 3Fh, 4                   ; read 3 bytes
        cmp ax, 3
        expect_eq 4
        cmp word [buf], '45'
        expect_eq 4
        mov cx, 0FFFFh
        mov dx, 0FFFFh
        mov al, 1
        dos_ok 42h, 5                   ; one byte back
        cmp ax, 6
        expect_eq 5
        xor cx, cx
        xor dx, dx
        mov al, 2
        dos_ok 42h, 5                   ; to the end
        cmp ax, 10
        expect_eq 5
        dos_ok 3Eh, 5                   ; close
        mov dx, name1
        mov di, name2
        push ds
        pop es
        dos_ok 56h, 6                   ; rename TEST.DAT to RENAMED.DAT
        mov dx, name1
        mov ax, 3D00h
        int 21h
        jnc bad7
        cmp ax, 2                       ; the old name is gone
        expect_eq 7
        mov dx, name2
        mov al, 0
        dos_ok 43h, 8
        cmp cx, 20h
        expect_eq 8

        mov dx, subdir
        dos_ok 39h, 9                   ; mkdir
        dos_ok 3Bh, 9                   ; chdir
        mov si, cwdbuf
        mov dl, 0
        dos_ok 47h, 10
        cmp word [cwdbuf], 'SU'
        expect_eq 10
        mov si, names                   ; C.DAT, A.DAT, B.DAT
make:   mov dx, si
        xor cx, cx
        dos_ok 3Ch, 11
        mov bx, ax
        dos_ok 3Eh, 11
        add si, 6
        cmp byte [si], 0
        jne make
        mov dx, dotdot
        dos_ok 3Bh, 12

        mov dx, pattern                 ; SUBDIR\*.DAT
        xor cx, cx
        dos_ok 4Eh, 13
        mov di, found
next:   mov al, [DTA_NAME]
        mov [di], al
        inc di
        mov ah, 4Fh
        int 21h
        jnc next
        cmp ax, 18
        expect_eq 13
        cmp word [found], 'AB'
        expect_eq 13
        cmp byte [found + 2], 'C'
        expect_eq 13

        mov dx, subdir
        mov ah, 3Ah
        int 21h                         ; not empty: refused
        jnc bad14
        mov dx, delpats
        mov si, delpats
del:    mov dx, si
        dos_ok 41h, 15
        add si, 13
        cmp byte [si], 0
        jne del
        mov dx, subdir
        dos_ok 3Ah, 16                  ; now empty
        mov dx, name2
        dos_ok 41h, 17
        print ok
        mov ax, DOS_EXIT << 8
        int 21h
bad7:   mov al, 7
        jmp fail
bad14:  mov al, 14
fail:   mov ah, DOS_EXIT
        int 21h

name1   db "test.dat", 0
name2   db "RENAMED.DAT", 0
digits  db "0123456789"
subdir  db "SUBDIR", 0
dotdot  db "..", 0
names   db "C.DAT", 0, "A.DAT", 0, "B.DAT", 0, 0
pattern db "SUBDIR\*.DAT", 0
delpats db "SUBDIR\A.DAT", 0, "SUBDIR\B.DAT", 0, "SUBDIR\C.DAT", 0, 0
ok      db "files ok", 13, 10, "$"
handle  dw 0
buf     times 4 db 0
found   times 4 db 0
cwdbuf     times 64 db 0
