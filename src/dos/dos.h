// The DOS kernel: drive C: over a host folder, the handle tables and
// devices, directory searches, conventional memory, program loading and
// EXEC, and the INT 20h-29h services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// DOS error codes, returned in AX with CF set by INT 21h.
enum {
    DOSERR_NONE = 0,
    DOSERR_FUNCTION = 1,        // invalid function
    DOSERR_FILE_NOT_FOUND = 2,
    DOSERR_PATH_NOT_FOUND = 3,
    DOSERR_TOO_MANY_FILES = 4,
    DOSERR_ACCESS_DENIED = 5,
    DOSERR_BAD_HANDLE = 6,
    DOSERR_NO_MEMORY = 8,
    DOSERR_BAD_BLOCK = 9,
    DOSERR_BAD_FORMAT = 11,
    DOSERR_NO_MORE_FILES = 18,
    DOSERR_FILE_EXISTS = 80,
};

enum {
    DOS_ROOT_MAX = 1024,        // dos_root, with its NUL
    DOS_CWD_MAX = 128,          // dos_cwd, with its NUL
    DOS_PATH_MAX = 312,         // a normalised path, with its NUL
    DOS_ARG_MAX = 299,          // a path copied out of emulated memory
    HOST_PATH_MAX = 1100,       // a host path built from dos_root
    DOS_COMPONENTS_MAX = 64,    // components of a normalised path
    DOS_COMPONENT_MAX = 64,     // characters of one component
    SFT_SIZE = 64,
    JFT_SIZE = 20,
    JFT_CLOSED = 0xFF,
    SEARCH_SLOTS = 16,
    SEARCH_ENTRIES = 512,
    DOS_NAME83_MAX = 13,        // "NAME.EXT" with its NUL
    DOS_OWNER_FREE = 0,
    DOS_OWNER_DOS = 8,
    PROC_MAX = 8,               // EXEC nesting levels
};

// Device kinds of an sft record.
enum { SFT_FREE, SFT_FILE, SFT_CON, SFT_NUL, SFT_PRN, SFT_AUX };

// Access modes (the low two bits of an open mode).
enum { ACCESS_READ = 0, ACCESS_WRITE = 1, ACCESS_RW = 2, ACCESS_MASK = 3 };

// Offsets in the program segment prefix.
enum : uint16_t {
    PSP_INT20 = 0x00,
    PSP_MEMTOP = 0x02,
    PSP_FAR_CALL = 0x05,
    PSP_INT22 = 0x0A,
    PSP_INT23 = 0x0E,
    PSP_INT24 = 0x12,
    PSP_PARENT = 0x16,
    PSP_JFT = 0x18,
    PSP_ENV = 0x2C,
    PSP_SAVED_SP = 0x2E,
    PSP_SAVED_SS = 0x30,
    PSP_JFT_SIZE = 0x32,
    PSP_JFT_PTR = 0x34,
    PSP_PREV_PSP = 0x38,
    PSP_VERSION = 0x40,
    PSP_DISPATCH = 0x50,
    PSP_FCB1 = 0x5C,
    PSP_FCB2 = 0x6C,
    PSP_TAIL = 0x80,
    PSP_BYTES = 0x100,
    PSP_PARAS = 0x10,
};

// Offsets in a memory control block.
enum : uint16_t { MCB_TYPE = 0, MCB_OWNER = 1, MCB_SIZE = 3, MCB_NAME = 8, MCB_NAME_LEN = 8 };
enum : uint8_t { MCB_MID = 'M', MCB_LAST = 'Z' };
enum : uint16_t {
    FIRST_MCB_DEFAULT = 0x0600,
    DOS_MEM_END = 0xA000,       // the last block ends at the video memory
    FIRST_MCB_LIN = 0x0524,     // word: the first MCB, just below the list of lists
    LIST_OF_LISTS_BYTE = 0x0510,
};

// One record of the system file table.
struct SftRecord {
    int kind;
    FILE *stream;
    int refs;
    int mode;
    int last_write;             // the stream's last operation was a write
    char dos_name[80];
    char host_path[HOST_PATH_MAX];
};

// One entry of a directory search.
struct SearchEntry {
    char name[DOS_NAME83_MAX];
    uint8_t attr;
    uint32_t size;
    uint16_t time, date;
};

struct SearchSlot {
    SearchEntry entry[SEARCH_ENTRIES];
    int count, next;
};

// ---- names and paths -------------------------------------------------------

extern char dos_root[DOS_ROOT_MAX];
extern char dos_cwd[DOS_CWD_MAX];

uint8_t dos_upcase(uint8_t c);
void dos_normalize(const char *dospath, char *out);
int dos_resolve_host(const char *normpath, char *out, size_t outsz, int must_exist);
char *dos_host_path(const char *dospath, int create, char *out, size_t outsz);
int dos_file_on_disk(const char *dospath);
int dos_file_exists(const char *dospath);
int dos_name_matches_host(const char *dosname, const char *hostname);
void name_host_to_dos(const char *hostname, char *out);
int valid83(const char *name);
int match83(const char *pattern, const char *name);
int is_device(const char *path);
int dos_chdir(const char *dospath);
// 1 when a host path lies inside the root folder even after following every
// symbolic link on the way, so that writing there cannot reach outside it.
int dos_host_writable(const char *hostpath);
// The UTF-8 text of a code page 437 byte 80h-FFh, into out (4 bytes).
void cp437_to_utf8(uint8_t c, char *out);

// ---- handles and files -----------------------------------------------------

extern SftRecord sft[SFT_SIZE];
extern int con_echo_host;       // CON output also goes to the host's standard output

void sft_reset(void);
int jft_new(int sftindex);
int jft_get(int handle);
uint32_t psp_jft_lin(uint16_t psp);
uint16_t psp_jft_size(uint16_t psp);
void sft_release(int index);
int dos_open(const char *dospath, int mode, int *handle);
int dos_create(const char *dospath, int *handle, int create_new);
int dos_close(int handle);
int dos_dup(int handle, int *newhandle);
int dos_dup2(int handle, int target);
int dos_read_host(int handle, uint8_t *buffer, int count);
// The bytes written; -1 for a bad handle, -2 when the host or the access
// mode refuses.
int dos_write_host(int handle, const uint8_t *data, int count);
int dos_delete(const char *dospath);
void dos_seek_end(int handle);
// Moves a handle (whence: 0 start, 1 current, 2 end); the new position, or
// -1 for a bad handle. Devices stay at 0.
long dos_seek(int handle, int whence, long offset);
// The console output routine: every byte DOS writes to the screen.
void dos_con_putc(uint8_t ch);
// One key from the BIOS keyboard (AX as INT 16h AH=00h gives it), or -1 when
// there is no keyboard service.
int dos_key_read(void);
// 1 when a key waits (INT 16h AH=01h), 0 when none or no keyboard service.
int dos_key_ready(void);

// ---- directory searches ----------------------------------------------------

extern uint16_t dta_seg, dta_off;

void find_reset(void);
int find_first(const char *dospattern, uint8_t attributes);
// Lists what a pattern matches into s, sorted by name: 0, or 3 when the
// directory is missing.
int find_list(const char *dospattern, uint8_t attributes, SearchSlot *s);
int find_next(void);
void fill_dta(int slot, int index);
int shell_list_dir(const char *hostdir, const char *pattern, char (*names)[DOS_NAME83_MAX], int max);
// DOS time and date words of a host time stamp (local time).
void dos_stamp(long t, uint16_t *time, uint16_t *date);

// ---- memory ----------------------------------------------------------------

extern uint16_t dos_first_mcb;

void mcb_set(uint16_t mcb, uint8_t type, uint16_t owner, uint16_t size);
void mcb_coalesce(void);
uint16_t dos_alloc(uint16_t paragraphs, uint16_t owner, uint16_t *largest);
int dos_free(uint16_t segment);
int dos_resize(uint16_t segment, uint16_t paragraphs, uint16_t *maximum);
// Frees every block the PSP owns.
void dos_free_owned(uint16_t psp);

// ---- programs --------------------------------------------------------------

struct DosStart {
    uint16_t cs, ip, ss, sp;
};

extern uint16_t dos_cur_psp, master_env;
extern int dos_last_exit, dos_exit_code, proc_depth;

void dos_init(const char *root);
int dos_run_program(const char *dosname, const char *tail);
int dos_exec(const char *dosname, const char *tail, uint16_t envseg, int load_only, DosStart *start);
[[noreturn]] void dos_terminate(int code, int stay_resident);
void build_psp(uint16_t psp, uint16_t parent, uint16_t env, uint16_t memtop, const char *tail);
int dos_program_exists(const char *dospath);
int dos_program_home(const char *dospath);
// Loads an overlay (EXEC AL=03h) at seg, relocated by reloc.
int dos_load_overlay(const char *dospath, uint16_t seg, uint16_t reloc);

// ---- INT 21h ---------------------------------------------------------------

void dos_int21(void);
void dos_int21_reset(void);
// The file control block functions 0Fh-17h, 21h-24h and 27h-29h.
void dos_fcb_call(uint8_t fn);
// The local time DOS reports, with the date taken from VRK_DATE when it holds one.
void dos_date_now(struct tm *out);

// ---- program patches -------------------------------------------------------

void patch_reset(void);
void tpcrt_patch(uint16_t load_seg, uint32_t size);
void debug_patch(const char *name, uint16_t load_seg);
void tp_delay_loop(void);

// ---- the built-in shell ----------------------------------------------------

int shell_run(const char *line);
