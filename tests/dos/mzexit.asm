; format: exe
; An MZ executable with a hand-made header: one code segment, the stack in the
; memory after the image, no relocations. Exits with status 42.
;   build: nasm -f bin -o MZEXIT.EXE mzexit.asm
;   run:   MZEXIT       (exit code 42)
DOS_EXIT      equ 4Ch           ; INT 21h: end the program with the status in AL
EXIT_STATUS   equ 42
PAGE_BYTES    equ 512           ; the header counts the file in 512-byte pages
PARA_BYTES    equ 16
HEADER_PARAS  equ 2             ; this header is 32 bytes long
STACK_BYTES   equ 256
IMAGE_BYTES   equ image_end - image
STACK_SEG     equ (IMAGE_BYTES + PARA_BYTES - 1) / PARA_BYTES
FILE_BYTES    equ HEADER_PARAS * PARA_BYTES + IMAGE_BYTES

        db "MZ"                                  ; signature
        dw FILE_BYTES % PAGE_BYTES               ; bytes used in the last page
        dw (FILE_BYTES + PAGE_BYTES - 1) / PAGE_BYTES ; pages in the file
        dw 0                                     ; relocation entries
        dw HEADER_PARAS                          ; header size in paragraphs
        dw STACK_SEG + STACK_BYTES / PARA_BYTES  ; paragraphs needed after the image
        dw 0FFFFh                                ; paragraphs wanted at most
        dw STACK_SEG                             ; SS, relative to the image
        dw STACK_BYTES                           ; SP
        dw 0                                     ; checksum (unused)
        dw start - image                         ; IP
        dw 0                                     ; CS, relative to the image
        dw 1Ch                                   ; relocation table offset
        dw 0                                     ; overlay number
        times HEADER_PARAS * PARA_BYTES - ($ - $$) db 0

image:
start:  mov ax, DOS_EXIT << 8 | EXIT_STATUS
        int 21h
image_end:
