/* A .COM program from C (small model, code, data and stack in one segment):
   prints one line and exits with status 3.
     build: bcc -Md -o CEXIT.COM cexit.c
     run:   CEXIT        (prints "hello from C", exit code 3) */
#include <stdio.h>

#define EXIT_STATUS 3

int main()
{
    printf("hello from C\n");
    return EXIT_STATUS;
}
