; A .COM program: prints one line through DOS and exits with status 0.
;   build: nasm -f bin -o HELLO.COM hello.asm
;   run:   HELLO        (prints "hello, DOS", exit code 0)
DOS_PRINT    equ 09h            ; INT 21h: write the $-terminated string at DS:DX
DOS_EXIT     equ 4Ch            ; INT 21h: end the program with the status in AL
EXIT_STATUS  equ 0

        org 100h                ; COM images start after the 256-byte PSP
        mov dx, message
        mov ah, DOS_PRINT
        int 21h
        mov ax, DOS_EXIT << 8 | EXIT_STATUS
        int 21h

message db "hello, DOS", 13, 10, "$"
