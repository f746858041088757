/* Files through the C library of bcc: writes a line to CFILE.DAT, reads it
   back, compares it, fails to open a missing file and exits 0 (or the failing step), printing "c files ok".
     build: bcc -Md -o CFILES.COM cfiles.c
     run:   CFILES */
#include <stdio.h>
#include <string.h>

#define TEXT "written by C\n"

int main()
{
    FILE *f;
    char line[40];
    f = fopen("CFILE.DAT", "w");
    if (!f)
        return 1;
    fputs(TEXT, f);
    fclose(f);
    f = fopen("CFILE.DAT", "r");
    if (!f)
        return 2;
    if (!fgets(line, sizeof line, f))
        return 3;
    fclose(f);
    if (strcmp(line, TEXT) != 0)
        return 4;
    if (fopen("NOFILE.DAT", "r"))
        return 5;
    printf("c files ok\n");
    return 0;
}
