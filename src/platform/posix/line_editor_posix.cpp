// The line editor on a POSIX terminal: libedit, in its emacs key map, with
// the keys an operator of readline programs expects (arrows, Home/End, Ctrl-A,
// E, K, U, W, Ctrl-R), a history of this run kept in memory, and Tab
// completion of what the shell says the word at the cursor is.
#include "platform/posix/line_editor_posix.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include <dirent.h>
#include <fcntl.h>
#include <histedit.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>

#include "platform/platform.h"

namespace {
EditLine* editor = nullptr;
History* history_list = nullptr;
FILE* editor_in = nullptr;
FILE* editor_out = nullptr;
edit_completer completer = nullptr;
const char* prompt_text = "";
// The editor's encoding of keys and characters; (locale_t)0 keeps the program's.
locale_t editing_locale = static_cast<locale_t>(0);

// Lines the history holds; an operator's session is far shorter.
constexpr int HISTORY_LINES = 1000;

// A path is completed within the size of the longest path the system opens.
constexpr size_t PATH_SIZE = 4096;
// The matches a listing shows: their names go into the pool while it has room.
constexpr int KEPT_MAX = 512;
constexpr size_t POOL_SIZE = 32768;

struct match_set {
    int count = 0;                        // every match found
    int kept = 0;                         // those kept for a listing
    std::array<uint16_t, KEPT_MAX> at{};  // where each kept name starts in the pool
    std::array<char, POOL_SIZE> pool{};   // the names as listed, each terminated
    size_t used = 0;
    std::array<char, PATH_SIZE> common{};  // what every match begins with, the whole word
    size_t common_length = 0;
    bool directory = false;  // the first match is a directory
};
match_set matches;

// The terminal's settings before the editor, for its signal keys (see
// signal_key), and the signal a key asked for, sent once the line is over.
struct termios terminal_before{};
int key_signal = 0;

// The line as the last Tab left it, so that a second Tab on the same line
// lists the matches instead of beeping again.
uint64_t tab_state = 0;
bool tab_was_ambiguous = false;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The length of the beginning a and b share, over at most n bytes; with
// nocase the letter case of A to Z does not count.
size_t shared_length(const char* a, const char* b, size_t n, bool nocase) {
    size_t i = 0;
    while (i < n && (nocase ? lower(a[i]) == lower(b[i]) : a[i] == b[i])) ++i;
    return i;
}

bool holds_any(const char* name, const char* separators) {
    for (const char* s = separators; *s != '\0'; ++s) {
        if (std::strchr(name, *s) != nullptr) return true;
    }
    return false;
}

// Adds one match: the word as it would stand in the line (prefix and name,
// and '/' after a directory), and the name as a listing shows it.
void add_match(const char* prefix, size_t prefix_length, const char* name, bool directory, bool nocase) {
    size_t name_length = std::strlen(name);
    size_t whole = prefix_length + name_length + (directory ? 1 : 0);
    if (whole >= PATH_SIZE) return;
    std::array<char, PATH_SIZE> word;
    std::memcpy(word.data(), prefix, prefix_length);
    std::memcpy(word.data() + prefix_length, name, name_length);
    if (directory) word[whole - 1] = '/';
    word[whole] = '\0';
    if (matches.count == 0) {
        std::memcpy(matches.common.data(), word.data(), whole + 1);
        matches.common_length = whole;
        matches.directory = directory;
    } else {
        size_t n = std::min(matches.common_length, whole);
        matches.common_length = shared_length(matches.common.data(), word.data(), n, nocase);
        matches.common[matches.common_length] = '\0';
    }
    ++matches.count;
    size_t listed = name_length + (directory ? 1 : 0);
    if (matches.kept < KEPT_MAX && matches.used + listed + 1 <= POOL_SIZE) {
        matches.at[static_cast<size_t>(matches.kept++)] = static_cast<uint16_t>(matches.used);
        std::memcpy(matches.pool.data() + matches.used, word.data() + prefix_length, listed);
        matches.pool[matches.used + listed] = '\0';
        matches.used += listed + 1;
    }
}

void find_words(const char* const* words, const char* fragment, size_t length, const char* separators) {
    for (const char* const* w = words; *w != nullptr; ++w) {
        if (std::strlen(*w) < length || shared_length(*w, fragment, length, true) != length) continue;
        if (holds_any(*w, separators)) continue;
        add_match("", 0, *w, false, true);
    }
}

// Whether a directory entry may complete the path: what it is (a link is
// taken for what it leads to; a dangling one is no match), and only
// directories and character devices where devices_only.
bool entry_fits(int dir_fd, const char* name, bool devices_only, bool* directory) {
    struct stat st{};
    if (fstatat(dir_fd, name, &st, 0) != 0) return false;
    *directory = S_ISDIR(st.st_mode);
    return !devices_only || *directory || S_ISCHR(st.st_mode);
}

// The entries of the fragment's directory (the part up to its last '/', or
// the working directory) whose names begin with the rest of it. Hidden names
// only when the rest begins with '.'.
void find_paths(const edit_completion& what, const char* fragment, size_t length) {
    std::array<char, PATH_SIZE> dir_name{};
    const char* slash = static_cast<const char*>(memrchr(fragment, '/', length));
    size_t dir_length = slash == nullptr ? 0 : static_cast<size_t>(slash - fragment) + 1;
    const char* base = fragment + dir_length;
    size_t base_length = length - dir_length;
    if (dir_length == 0) {
        std::memcpy(dir_name.data(), ".", 2);
    } else {
        std::memcpy(dir_name.data(), fragment, dir_length);
    }
    DIR* dir = opendir(dir_name.data());
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (base_length == 0 || base[0] != '.')) continue;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (std::strncmp(name, base, base_length) != 0 || holds_any(name, what.separators)) continue;
        bool directory = false;
        if (!entry_fits(dirfd(dir), name, what.devices_only, &directory)) continue;
        add_match(fragment, dir_length, name, directory, false);
    }
    closedir(dir);
}

// The number of characters in n bytes of text, in the editor's encoding (the
// editor deletes characters, not bytes); a byte that is no character counts one.
int characters(const char* text, size_t n) {
    std::mbstate_t state{};
    int count = 0;
    size_t i = 0;
    while (i < n) {
        size_t step = std::mbrtowc(nullptr, text + i, n - i, &state);
        if (step == 0 || step > n - i) {
            step = 1;
            state = std::mbstate_t{};
        }
        i += step;
        ++count;
    }
    return count;
}

uint64_t line_state(const LineInfo* line) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a over the text and the cursor
    for (const char* p = line->buffer; p < line->lastchar; ++p) {
        hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
    }
    return (hash ^ static_cast<uint64_t>(line->cursor - line->buffer)) * 1099511628211ull;
}

const char* listed_name(int sorted_index) { return matches.pool.data() + matches.at[static_cast<size_t>(sorted_index)]; }

// Lists the matches in columns across the terminal, sorted down each column.
void list_matches() {
    int widest = 0;
    for (int i = 0; i < matches.kept; ++i) {
        const char* name = listed_name(i);
        widest = std::max(widest, characters(name, std::strlen(name)));
    }
    int columns = 80;
    el_get(editor, EL_GETTC, "co", &columns);
    int per_row = std::max(1, columns / (widest + 2));
    int rows = (matches.kept + per_row - 1) / per_row;
    std::fputc('\n', editor_out);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < per_row; ++c) {
            int i = c * rows + r;
            if (i >= matches.kept) break;
            const char* name = listed_name(i);
            bool last = c == per_row - 1 || i + rows >= matches.kept;
            std::fprintf(editor_out, "%s%*s", name, last ? 0 : widest + 2 - characters(name, std::strlen(name)), "");
        }
        std::fputc('\n', editor_out);
    }
    if (matches.count > matches.kept) std::fprintf(editor_out, "(%d more)\n", matches.count - matches.kept);
}

// Tab: the word at the cursor becomes what all its matches begin with, and
// the whole match with what follows it when there is one; a second Tab on a
// word with several matches lists them.
unsigned char complete_key(EditLine* e, int) {
    const LineInfo* line = el_line(e);
    int cursor = static_cast<int>(line->cursor - line->buffer);
    edit_completion what = completer(line->buffer, cursor);
    if (what.start < 0 || what.start > cursor) return CC_ERROR;
    const char* fragment = line->buffer + what.start;
    size_t length = static_cast<size_t>(cursor - what.start);
    if (edit_find_matches(what, fragment, length) == 0) return CC_ERROR;

    std::array<char, PATH_SIZE + 2> text{};
    std::memcpy(text.data(), matches.common.data(), matches.common_length + 1);
    if (matches.count == 1 && !matches.directory && what.after != '\0') text[matches.common_length] = what.after;
    size_t text_length = std::strlen(text.data());
    bool changed = text_length != length || std::memcmp(text.data(), fragment, length) != 0;
    bool again = tab_was_ambiguous && line_state(line) == tab_state;
    if (changed) {
        el_deletestr(e, characters(fragment, length));
        if (el_insertstr(e, text.data()) != 0) return CC_ERROR;
    }
    tab_was_ambiguous = matches.count > 1;
    tab_state = line_state(el_line(e));
    if (changed) return CC_REFRESH;
    if (matches.count == 1) return CC_NORM;
    if (!again) return CC_ERROR;
    list_matches();
    return CC_REDISPLAY;
}

// Ctrl-D: the end of input on an empty line (without the "^D" the editor's
// own binding shows: a terminal shows nothing there), else the character
// under the cursor goes.
unsigned char end_or_delete_key(EditLine* e, int) {
    const LineInfo* line = el_line(e);
    if (line->buffer == line->lastchar) return CC_EOF;
    if (line->cursor == line->lastchar) return CC_NORM;
    el_cursor(e, 1);
    el_deletestr(e, 1);
    return CC_REFRESH;
}

// The terminal's interrupt, quit and suspend keys (Ctrl-C, Ctrl-Backslash,
// Ctrl-Z) act as they do without the editor, where the terminal turns them
// into signals for its foreground process group: the terminal shows the key
// ("^C"), and the signal goes to that group. Ctrl-C and Ctrl-Backslash end the
// line first, so the terminal's settings are back when the signal ends the
// program (edit_read sends it); while the program is stopped by Ctrl-Z the
// editor's own handler puts them back, and the line is drawn again after it.
// (The editor's handling of a signal sent to the program by another passes
// it on to the program's process group.)
void signal_to_terminal_group(int signal_number) {
    pid_t group = tcgetpgrp(fileno(editor_in));
    // A terminal that is not the program's own sends no signal.
    if (group > 0) kill(-group, signal_number);
}

unsigned char signal_key(EditLine*, int key) {
    tcflag_t echo = terminal_before.c_lflag;
    if ((echo & ECHO) != 0 && (echo & ECHOCTL) != 0 && key < 0x20) {
        std::fprintf(editor_out, "^%c", static_cast<char>(key + '@'));
    } else if ((echo & ECHO) != 0) {
        std::fputc(key, editor_out);
    }
    if (key == terminal_before.c_cc[VSUSP]) {
        signal_to_terminal_group(SIGTSTP);
        return CC_REDISPLAY;  // going on: the prompt and the line again
    }
    key_signal = key == terminal_before.c_cc[VQUIT] ? SIGQUIT : SIGINT;
    return CC_EOF;
}

// The terminal's signal keys become keys of the editor while it edits a line.
void bind_signal_keys() {
    if (tcgetattr(fileno(editor_in), &terminal_before) != 0 || (terminal_before.c_lflag & ISIG) == 0) return;
    el_wset(editor, EL_ADDFN, L"qv-signal", L"Act as the terminal's signal key does", signal_key);
    const std::array<int, 3> keys = {VINTR, VQUIT, VSUSP};
    for (int index : keys) {
        cc_t key = terminal_before.c_cc[index];
        if (key == _POSIX_VDISABLE || key >= 0x80) continue;
        const char binding[2] = {static_cast<char>(key), '\0'};
        el_set(editor, EL_BIND, binding, "qv-signal", nullptr);
    }
    el_set(editor, EL_SETTY, "-d", "-isig", nullptr);
}

char* prompt_of(EditLine*) { return const_cast<char*>(prompt_text); }

// The environment's character encoding (LC_CTYPE), or UTF-8 where it names
// only ASCII (the C locale): the editor would drop every other byte typed.
// The rest of the program stays in the C locale.
locale_t editing_locale_new() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc != static_cast<locale_t>(0) && std::strcmp(nl_langinfo_l(CODESET, loc), "ANSI_X3.4-1968") != 0) {
        return loc;
    }
    if (loc != static_cast<locale_t>(0)) freelocale(loc);
    return newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
}

// The keys beyond the emacs map's own: readline's Ctrl-R, Ctrl-U and Ctrl-W,
// the Home, End and Delete keys as terminals send them, Ctrl with the
// arrows, Tab and Ctrl-D.
void bind_keys() {
    // The wide form: the narrow one keeps copies of the names that it never frees.
    el_wset(editor, EL_ADDFN, L"qv-complete", L"Complete the word at the cursor", complete_key);
    el_wset(editor, EL_ADDFN, L"qv-end-or-delete", L"End of input on an empty line, else delete", end_or_delete_key);
    const char* const bindings[][2] = {
        {"^I", "qv-complete"},           {"^D", "qv-end-or-delete"},     {"^R", "em-inc-search-prev"},
        {"^U", "vi-kill-line-prev"},     {"^W", "ed-delete-prev-word"},  {"\033[H", "ed-move-to-beg"},
        {"\033[F", "ed-move-to-end"},    {"\033OH", "ed-move-to-beg"},   {"\033OF", "ed-move-to-end"},
        {"\033[1~", "ed-move-to-beg"},   {"\033[4~", "ed-move-to-end"},  {"\033[7~", "ed-move-to-beg"},
        {"\033[8~", "ed-move-to-end"},   {"\033[3~", "ed-delete-next-char"}, {"\033[1;5D", "ed-prev-word"},
        {"\033[1;5C", "em-next-word"},
    };
    for (const auto& binding : bindings) el_set(editor, EL_BIND, binding[0], binding[1], nullptr);
}
}  // namespace

int edit_find_matches(const edit_completion& what, const char* fragment, size_t length) {
    matches.count = 0;
    matches.kept = 0;
    matches.used = 0;
    matches.common_length = 0;
    matches.common[0] = '\0';
    matches.directory = false;
    // A NUL byte (Ctrl-V Ctrl-@ puts one in the line) is in no word or name.
    if (length >= PATH_SIZE || std::memchr(fragment, '\0', length) != nullptr) return 0;
    if (what.words != nullptr) {
        find_words(what.words, fragment, length, what.separators);
    } else {
        find_paths(what, fragment, length);
    }
    std::sort(matches.at.begin(), matches.at.begin() + matches.kept, [](uint16_t a, uint16_t b) {
        return std::strcmp(matches.pool.data() + a, matches.pool.data() + b) < 0;
    });
    return matches.count;
}

const char* edit_common_text() { return matches.common.data(); }
bool edit_match_is_directory() { return matches.count == 1 && matches.directory; }
const char* edit_listed(int index) { return index < 0 || index >= matches.kept ? nullptr : listed_name(index); }

bool edit_start(FILE* in, FILE* out, edit_completer complete) {
    if (editor != nullptr || !plat_is_terminal(in) || !plat_is_terminal(out) || complete == nullptr) return false;
    editing_locale = editing_locale_new();
    locale_t previous = uselocale(editing_locale);
    editor = el_init("quorvantis-host", in, out, out);
    uselocale(previous);
    history_list = history_init();
    if (editor == nullptr || history_list == nullptr) {
        edit_end();
        return false;
    }
    editor_in = in;
    editor_out = out;
    completer = complete;
    HistEvent event;
    history(history_list, &event, H_SETSIZE, HISTORY_LINES);
    history(history_list, &event, H_SETUNIQUE, 1);
    el_set(editor, EL_HIST, history, history_list);
    el_set(editor, EL_PROMPT, prompt_of);
    el_set(editor, EL_EDITOR, "emacs");
    // The editor's handlers put the terminal back before a signal ends or
    // stops the program, and redraw the line when it goes on.
    el_set(editor, EL_SIGNAL, 1);
    bind_keys();
    bind_signal_keys();
    // The operator's own settings ($EDITRC, else ~/.editrc), after ours.
    el_source(editor, nullptr);
    return true;
}

void edit_end() {
    if (editor != nullptr) el_end(editor);
    if (history_list != nullptr) history_end(history_list);
    if (editing_locale != static_cast<locale_t>(0)) freelocale(editing_locale);
    editor = nullptr;
    history_list = nullptr;
    editing_locale = static_cast<locale_t>(0);
    completer = nullptr;
}

const char* edit_read(const char* prompt, int* length) {
    *length = 0;
    if (editor == nullptr) return nullptr;
    prompt_text = prompt != nullptr ? prompt : "";
    const char* line = nullptr;
    int count = 0;
    for (;;) {
        tab_was_ambiguous = false;
        key_signal = 0;
        locale_t previous = uselocale(editing_locale);
        // The terminal takes keys for the editor before the prompt shows, so
        // that a key typed as soon as it shows is not echoed by the terminal
        // as well as drawn by the editor.
        el_set(editor, EL_PREP_TERM, 1);
        line = el_gets(editor, &count);
        uselocale(previous);
        if (key_signal == 0) break;
        // The terminal is as it was: the signal ends the program, unless a
        // handler takes it (or the terminal is not the program's own); then
        // the line typed is dropped, as the terminal drops it.
        signal_to_terminal_group(key_signal);
        std::fputc('\n', editor_out);
    }
    prompt_text = "";
    if (line == nullptr || count <= 0) return nullptr;
    *length = count;
    return line;
}

void edit_remember(const char* line) {
    if (history_list == nullptr || line == nullptr) return;
    HistEvent event;
    history(history_list, &event, H_ENTER, line);
}
