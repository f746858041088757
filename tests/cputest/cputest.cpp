// cputest DIR [EXCEPTIONS]: runs the single-instruction conformance cases of
// every .cases file in DIR on the interpreter. Each case resets the machine,
// loads its registers and memory, executes one cpu_step and compares every
// register, the flags under the case's mask, the expected memory bytes and,
// after an exception, the FLAGS word the exception pushed. Cases listed in
// the exceptions file (default: exceptions.txt beside this source) are run
// and reported apart: they record where this machine deliberately differs
// from the recording processor.
#include "machine/cpu.h"
#include "machine/hle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Register order of the I and F lines.
enum { C_AX, C_BX, C_CX, C_DX, C_SI, C_DI, C_BP, C_SP, C_CS, C_DS, C_ES, C_SS, C_IP, C_FLAGS, C_NREGS };
const char *const REG_NAMES[C_NREGS] = {"ax", "bx", "cx", "dx", "si", "di", "bp",
                                        "sp", "cs", "ds", "es", "ss", "ip", "flags"};

struct Case {
    std::string id, disasm;
    uint16_t init[C_NREGS] = {}, final[C_NREGS] = {};
    std::vector<std::pair<uint32_t, uint8_t>> mem, want_mem;
    uint16_t mask = 0;
    bool exception = false;
};

uint16_t *reg_slot(int i)
{
    static uint16_t *const slots[C_NREGS] = {
        &AX, &BX, &CX, &DX, &SI, &DI, &BP, &SP, &CS, &DS, &ES, &SS, &IP, nullptr,
    };
    return slots[i];
}

bool parse_regs(std::istringstream &in, uint16_t *out)
{
    for (int i = 0; i < C_NREGS; i++) {
        std::string w;
        if (!(in >> w))
            return false;
        out[i] = (uint16_t)strtoul(w.c_str(), nullptr, 16);
    }
    return true;
}

bool parse_bytes(std::istringstream &in, std::vector<std::pair<uint32_t, uint8_t>> &out)
{
    std::string w;
    while (in >> w) {
        size_t eq = w.find('=');
        if (eq == std::string::npos)
            return false;
        out.emplace_back((uint32_t)strtoul(w.substr(0, eq).c_str(), nullptr, 16),
                         (uint8_t)strtoul(w.substr(eq + 1).c_str(), nullptr, 16));
    }
    return true;
}

// Reads all cases of one file; a malformed line is reported with its number.
bool load_cases(const fs::path &file, std::vector<Case> &cases)
{
    std::ifstream f(file);
    if (!f) {
        fprintf(stderr, "cputest: cannot read %s\n", file.c_str());
        return false;
    }
    std::string line;
    Case c;
    int lineno = 0;
    while (std::getline(f, line)) {
        lineno++;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream in(line.substr(1));
        bool ok = true;
        switch (line[0]) {
        case 'C': {
            c = Case();
            in >> c.id;
            std::getline(in >> std::ws, c.disasm);
            break;
        }
        case 'B': break;
        case 'I': ok = parse_regs(in, c.init); break;
        case 'F': ok = parse_regs(in, c.final); break;
        case 'M': ok = parse_bytes(in, c.mem); break;
        case 'W': ok = parse_bytes(in, c.want_mem); break;
        case 'K': {
            std::string w;
            ok = static_cast<bool>(in >> w);
            c.mask = (uint16_t)strtoul(w.c_str(), nullptr, 16);
            break;
        }
        case 'X': {
            std::string n;
            ok = static_cast<bool>(in >> n);
            c.exception = true;
            break;
        }
        case 'E': cases.push_back(c); break;
        default: ok = false; break;
        }
        if (!ok) {
            fprintf(stderr, "cputest: %s:%d: malformed line\n", file.c_str(), lineno);
            return false;
        }
    }
    return true;
}

// Runs one case; returns the differences found, empty when it passed.
// Flag bits in ignore are not compared; *ignored_differ tells whether they
// differed.
std::string run_case(const Case &c, uint16_t ignore, bool *ignored_differ)
{
    machine_init();
    for (int i = 0; i < C_FLAGS; i++)
        *reg_slot(i) = c.init[i];
    flags_set(c.init[C_FLAGS]);
    for (auto [addr, v] : c.mem)
        wr8l(addr, v);

    cpu_step();

    std::string diff;
    char buf[96];
    for (int i = 0; i < C_FLAGS; i++) {
        uint16_t got = *reg_slot(i);
        if (got != c.final[i]) {
            snprintf(buf, sizeof buf, " %s=%04X want %04X;", REG_NAMES[i], got, c.final[i]);
            diff += buf;
        }
    }
    uint16_t mask = c.mask & ~ignore;
    uint16_t fl = (uint16_t)flags_get();
    *ignored_differ = ((fl ^ c.final[C_FLAGS]) & c.mask & ignore) != 0;
    if ((fl ^ c.final[C_FLAGS]) & mask) {
        snprintf(buf, sizeof buf, " flags=%04X want %04X (mask %04X, differ %04X);", fl,
                 c.final[C_FLAGS], mask, (fl ^ c.final[C_FLAGS]) & mask);
        diff += buf;
    }
    // The exception's FLAGS image is the first word of its frame, below the
    // initial SS:SP. (The X line's address is rounded down to even, so for an
    // odd SP it names the wrong bytes; the frame position is exact.)
    uint32_t img_lo = LIN(c.init[C_SS], c.init[C_SP] - 2), img_hi = LIN(c.init[C_SS], c.init[C_SP] - 1);
    uint16_t want_img = 0;
    for (auto [addr, v] : c.want_mem) {
        if (c.exception && addr == img_lo) {
            want_img |= v;
            continue;
        }
        if (c.exception && addr == img_hi) {
            want_img |= (uint16_t)(v << 8);
            continue;
        }
        uint8_t got = rd8l(addr);
        if (got != v) {
            snprintf(buf, sizeof buf, " [%05X]=%02X want %02X;", addr, got, v);
            diff += buf;
        }
    }
    if (c.exception) {
        uint16_t got = (uint16_t)(rd8l(img_lo) | rd8l(img_hi) << 8);
        if ((got ^ want_img) & c.mask & ignore)
            *ignored_differ = true;
        if ((got ^ want_img) & mask) {
            snprintf(buf, sizeof buf, " pushed flags=%04X want %04X (mask %04X);", got, want_img, mask);
            diff += buf;
        }
    }
    return diff;
}

// One line per difference between this machine and the recording processor:
//   <case id> <reason>               the whole case
//   <form> flags <mask> <reason>     flag bits not compared in a whole form
// Lines starting with '#' are comments.
struct Exceptions {
    std::map<std::string, std::string> cases;
    std::map<std::string, std::pair<uint16_t, std::string>> form_flags;
};

bool load_exceptions(const fs::path &file, Exceptions &out)
{
    std::ifstream f(file);
    std::string line;
    int lineno = 0;
    while (std::getline(f, line)) {
        lineno++;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream in(line);
        std::string id, word, reason;
        in >> id >> word;
        if (word == "flags") {
            std::string m;
            in >> m;
            std::getline(in >> std::ws, reason);
            char *end = nullptr;
            unsigned long mask = strtoul(m.c_str(), &end, 16);
            if (m.empty() || *end || mask > 0xFFFF || reason.empty()) {
                fprintf(stderr, "cputest: %s:%d: expected '<form> flags <hex mask> <reason>'\n",
                        file.c_str(), lineno);
                return false;
            }
            out.form_flags[id] = {(uint16_t)mask, reason};
        } else {
            std::getline(in >> std::ws, reason);
            reason = word + (reason.empty() ? "" : " " + reason);
            if (word.empty()) {
                fprintf(stderr, "cputest: %s:%d: expected '<case id> <reason>'\n", file.c_str(), lineno);
                return false;
            }
            out.cases[id] = reason;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: cputest DIR [EXCEPTIONS]\n");
        return 2;
    }
    fs::path dir = argv[1];
    fs::path exc_file = argc == 3 ? fs::path(argv[2]) : fs::path(__FILE__).parent_path() / "exceptions.txt";
    if (argc == 3 && !fs::exists(exc_file)) {
        fprintf(stderr, "cputest: no exceptions file %s\n", exc_file.c_str());
        return 2;
    }
    Exceptions excepted;
    if (!load_exceptions(exc_file, excepted))
        return 2;

    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".cases")
            files.push_back(e.path());
    if (ec || files.empty()) {
        fprintf(stderr, "cputest: no .cases files in %s\n", dir.c_str());
        return 2;
    }
    std::sort(files.begin(), files.end());

    long passed = 0, failed = 0;
    std::vector<std::string> excepted_lines, stale;
    for (const fs::path &file : files) {
        std::vector<Case> cases;
        if (!load_cases(file, cases))
            return 2;
        std::string form = file.stem().string();
        auto ff = excepted.form_flags.find(form);
        uint16_t ignore = ff != excepted.form_flags.end() ? ff->second.first : 0;
        long form_excepted = 0;
        std::vector<std::string> fails;
        for (const Case &c : cases) {
            bool ignored_differ = false;
            std::string diff = run_case(c, ignore, &ignored_differ);
            auto ex = excepted.cases.find(c.id);
            if (ex != excepted.cases.end()) {
                if (diff.empty() && !ignored_differ)
                    stale.push_back("case " + c.id + " (" + form + ")");
                else
                    excepted_lines.push_back("  " + c.id + " " + c.disasm + ": " + ex->second);
            } else if (!diff.empty()) {
                failed++;
                fails.push_back("  " + c.id + " " + c.disasm + ":" + diff);
            } else if (ignored_differ) {
                form_excepted++;
            } else {
                passed++;
            }
        }
        if (ignore) {
            if (form_excepted)
                excepted_lines.push_back("  form " + form + ": " + std::to_string(form_excepted) +
                                         " cases differ only in flags " + ff->second.second);
            else
                stale.push_back("form " + form + " flags");
        }
        if (!fails.empty()) {
            printf("form %s: %zu of %zu failed\n", form.c_str(), fails.size(), cases.size());
            for (const std::string &s : fails)
                printf("%s\n", s.c_str());
        }
    }
    if (!excepted_lines.empty()) {
        printf("excepted (%s):\n", exc_file.filename().c_str());
        for (const std::string &s : excepted_lines)
            printf("%s\n", s.c_str());
    }
    for (const std::string &s : stale)
        printf("note: excepted %s matches the recording; remove it from the list\n", s.c_str());
    printf("%ld passed, %ld failed\n", passed, failed);
    return failed ? 1 : 0;
}
