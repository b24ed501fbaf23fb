/* The library's C interface, compiled as C: runs through paths and callbacks give the same
 * results, failures return their status and print nothing, damage never ends the process,
 * callbacks are called, cancelling leaves nothing unfinished, and handles are independent. */
#include <qzn.h>

#include "ApiSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PATH_BYTES 1024

/* ---- The tree every case packs ---------------------------------------------------------- */

enum { kTextBytes = 150000, kBinaryBytes = 120000 };
static unsigned char text[kTextBytes];
static unsigned char binary[kBinaryBytes];

static void fill_contents(void) {
    static const char words[] = "the quick brown fox jumps over the lazy dog; ";
    uint32_t state = 12345;
    size_t i;
    for (i = 0; i < kTextBytes; ++i) text[i] = (unsigned char)words[i % (sizeof words - 1)];
    for (i = 0; i < kTextBytes; i += 97) text[i] = (unsigned char)('0' + i % 10);
    for (i = 0; i < kBinaryBytes; ++i) {
        state = state * 1103515245u + 12345u;
        binary[i] = (unsigned char)(state >> 16);
    }
}

static void join(char* out, const char* folder, const char* name) {
    size_t a = strlen(folder), b = strlen(name);
    if (a + b + 2 > PATH_BYTES) a = b = 0;
    memmove(out, folder, a);
    out[a] = '/';
    memcpy(out + a + 1, name, b + 1);
}

/* folder/root: a.txt, empty.txt, sub/b.bin, sub/c.txt (a copy of a.txt). */
static int make_tree(const char* folder, char* root) {
    char path[PATH_BYTES];
    fill_contents();
    join(root, folder, "root");
    join(path, root, "sub");
    API_CHECK(api_make_folder(path));
    join(path, root, "a.txt");
    API_CHECK(api_write_file(path, text, kTextBytes));
    join(path, root, "empty.txt");
    API_CHECK(api_write_file(path, "", 0));
    join(path, root, "sub/b.bin");
    API_CHECK(api_write_file(path, binary, kBinaryBytes));
    join(path, root, "sub/c.txt");
    API_CHECK(api_write_file(path, text, kTextBytes));
    return 0;
}

/* Whether the file holds exactly these bytes. */
static int holds(const char* path, const void* bytes, size_t size) {
    static unsigned char buffer[kTextBytes + kBinaryBytes];
    long long n = api_read_file(path, buffer, sizeof buffer);
    return n == (long long)size && memcmp(buffer, bytes, size) == 0;
}

static int unpacked_tree_matches(const char* out) {
    char path[PATH_BYTES];
    join(path, out, "a.txt");
    API_CHECK(holds(path, text, kTextBytes));
    join(path, out, "empty.txt");
    API_CHECK(holds(path, "", 0));
    join(path, out, "sub/b.bin");
    API_CHECK(holds(path, binary, kBinaryBytes));
    join(path, out, "sub/c.txt");
    API_CHECK(holds(path, text, kTextBytes));
    return 0;
}

static int64_t find_entry(const qzn_archive* archive, const char* path) {
    uint64_t i, n = qzn_entry_count(archive);
    qzn_entry entry;
    for (i = 0; i < n; ++i)
        if (qzn_entry_get(archive, i, &entry) == QZN_OK && strcmp(entry.path, path) == 0)
            return (int64_t)i;
    return -1;
}

/* ---- Memory as an archive ---------------------------------------------------------------- */

struct memory {
    unsigned char* data;
    size_t size, capacity, position;
};

static int write_memory(void* user, const void* data, size_t size) {
    struct memory* m = (struct memory*)user;
    if (m->size + size > m->capacity) {
        size_t capacity = (m->size + size) * 2;
        unsigned char* grown = (unsigned char*)realloc(m->data, capacity);
        if (!grown) return 1;
        m->data = grown;
        m->capacity = capacity;
    }
    memcpy(m->data + m->size, data, size);
    m->size += size;
    return 0;
}

static ptrdiff_t read_memory(void* user, void* buffer, size_t size) {
    struct memory* m = (struct memory*)user;
    size_t left = m->size - m->position;
    size_t n = size < left ? size : left;
    /* In small pieces, as a pipe gives them. */
    if (n > 4000) n = 4000;
    memcpy(buffer, m->data + m->position, n);
    m->position += n;
    return (ptrdiff_t)n;
}

/* ---- Callbacks that record --------------------------------------------------------------- */

struct record {
    int lines, progress_calls, cancel_at, events, not_found_events, overwrite_calls;
    int saw_done, asked_about_a;
    uint64_t last_done, last_total;
    qzn_overwrite answer;
    char last_event[PATH_BYTES], last_event_path[PATH_BYTES];
};

static void on_text(void* user, qzn_text_kind kind, const char* line) {
    struct record* r = (struct record*)user;
    ++r->lines;
    if (kind == QZN_TEXT_PROGRESS && strstr(line, "Done compressing")) r->saw_done = 1;
    if (kind == QZN_TEXT_LINE && strstr(line, "Done compressing")) r->saw_done = 1;
}

static int on_progress(void* user, uint64_t done, uint64_t total) {
    struct record* r = (struct record*)user;
    ++r->progress_calls;
    r->last_done = done;
    r->last_total = total;
    return r->cancel_at != 0 && r->progress_calls >= r->cancel_at;
}

static void on_event(void* user, qzn_event_kind kind, qzn_status code, const char* path,
                     const char* message) {
    struct record* r = (struct record*)user;
    ++r->events;
    snprintf(r->last_event_path, PATH_BYTES, "%s", path ? path : "");
    if (kind == QZN_EVENT_ERROR && code == QZN_ERROR_NOT_FOUND) ++r->not_found_events;
    snprintf(r->last_event, PATH_BYTES, "%s", message);
}

static qzn_overwrite on_overwrite(void* user, const char* path, const char* what) {
    struct record* r = (struct record*)user;
    (void)what;
    ++r->overwrite_calls;
    if (strstr(path, "a.txt")) r->asked_about_a = 1;
    return r->answer;
}

static void options_with(qzn_options* options, struct record* r) {
    qzn_options_init(options);
    memset(r, 0, sizeof *r);
    options->text = on_text;
    options->progress = on_progress;
    options->event = on_event;
    options->overwrite = on_overwrite;
    options->user = r;
}

/* ---- Cases ----------------------------------------------------------------------------------- */

/* Pack, list, test and unpack through paths, printing nothing at all. */
static int paths_round_trip(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], archive_path[PATH_BYTES], out[PATH_BYTES];
    qzn_archive* archive = NULL;
    qzn_entry entry, other;
    int64_t a, c, sub, b;
    if (make_tree(folder, root)) return 1;
    join(archive_path, folder, "a.qzn");
    join(out, folder, "out");
    api_capture_begin();
    API_CHECK(qzn_pack_to_path(root, archive_path, NULL) == QZN_OK);
    API_CHECK(qzn_open_path(archive_path, NULL, &archive) == QZN_OK);
    API_CHECK(qzn_entry_count(archive) == 6);
    a = find_entry(archive, "a.txt");
    c = find_entry(archive, "sub/c.txt");
    sub = find_entry(archive, "sub");
    b = find_entry(archive, "sub/b.bin");
    API_CHECK(a >= 0 && c >= 0 && sub >= 0 && b >= 0 && find_entry(archive, "") == 0);
    API_CHECK(qzn_entry_get(archive, (uint64_t)b, &entry) == QZN_OK);
    API_CHECK(entry.size == kBinaryBytes && !entry.is_folder && entry.parent == sub);
    API_CHECK(strcmp(entry.name, "b.bin") == 0 && entry.crc32 != 0);
    API_CHECK(qzn_entry_get(archive, (uint64_t)sub, &entry) == QZN_OK && entry.is_folder);
    /* One of the two equal files is stored as a copy of the other. */
    API_CHECK(qzn_entry_get(archive, (uint64_t)a, &entry) == QZN_OK);
    API_CHECK(qzn_entry_get(archive, (uint64_t)c, &other) == QZN_OK);
    API_CHECK(entry.copy_of == c || other.copy_of == a);
    API_CHECK(entry.crc32 == other.crc32);
    /* An archive opened from a path takes one run after another. */
    API_CHECK(qzn_test(archive, NULL) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_OK);
    qzn_close(archive);
    API_CHECK(api_capture_end() == 0);
    return unpacked_tree_matches(out);
}

/* Every failure returns its status and the last error, and prints nothing. */
static int failures_print_nothing(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], missing[PATH_BYTES], archive_path[PATH_BYTES], not_archive[PATH_BYTES];
    qzn_archive* archive = NULL;
    qzn_options options;
    qzn_entry entry;
    const char* nothing[] = {"no/such/file", NULL};
    if (make_tree(folder, root)) return 1;
    join(missing, folder, "missing.qzn");
    join(archive_path, folder, "a.qzn");
    join(not_archive, root, "a.txt");
    api_capture_begin();
    API_CHECK(qzn_open_path(missing, NULL, &archive) == QZN_ERROR_OPEN && archive == NULL);
    API_CHECK(strcmp(qzn_last_error_path(), missing) == 0);
    API_CHECK(strstr(qzn_last_error_message(), "missing.qzn") != NULL);
    API_CHECK(qzn_open_path(root, NULL, &archive) != QZN_OK && archive == NULL);
    API_CHECK(qzn_open_path(not_archive, NULL, &archive) == QZN_ERROR_DAMAGED);
    API_CHECK(qzn_pack_to_path(missing, archive_path, NULL) == QZN_ERROR_OPEN);
    API_CHECK(!api_exists(archive_path));
    qzn_options_init(&options);
    options.level = 9;
    API_CHECK(qzn_pack_to_path(root, archive_path, &options) == QZN_ERROR_ARGUMENT);
    options.level = 2;
    options.channels = 99;
    API_CHECK(qzn_pack_to_path(root, archive_path, &options) == QZN_ERROR_ARGUMENT);
    API_CHECK(qzn_pack_to_path(root, archive_path, NULL) == QZN_OK);
    API_CHECK(qzn_open_path(archive_path, NULL, &archive) == QZN_OK);
    API_CHECK(qzn_entry_get(archive, 99, &entry) == QZN_ERROR_ARGUMENT);
    API_CHECK(qzn_test(archive, nothing) == QZN_ERROR_NOT_FOUND);
    API_CHECK(qzn_last_error_message()[0] != '\0');
    qzn_close(archive);
    API_CHECK(api_capture_end() == 0);
    API_CHECK(strcmp(qzn_status_string(QZN_ERROR_DAMAGED), qzn_status_string(QZN_OK)) != 0);
    return 0;
}

/* A damaged or cut archive is an error, never the end of the process, and prints nothing. */
static int damage_returns_errors(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES];
    struct memory packed = {NULL, 0, 0, 0};
    int variant;
    if (make_tree(folder, root)) return 1;
    API_CHECK(qzn_pack_to_callback(root, write_memory, &packed, NULL) == QZN_OK);
    API_CHECK(packed.size > 1000);
    api_capture_begin();
    for (variant = 0; variant < 12; ++variant) {
        struct memory damaged = packed;
        unsigned char* copy = (unsigned char*)malloc(packed.size);
        qzn_archive* archive = NULL;
        qzn_status status;
        memcpy(copy, packed.data, packed.size);
        damaged.data = copy;
        damaged.position = 0;
        if (variant < 6)
            damaged.size = packed.size * (size_t)(variant + 1) / 7; /* cut */
        else
            copy[packed.size * (size_t)(variant - 5) / 7] ^= 0x5A; /* a changed byte */
        status = qzn_open_callback(read_memory, &damaged, NULL, &archive);
        if (status == QZN_OK) status = qzn_test(archive, NULL);
        qzn_close(archive);
        free(copy);
        API_CHECK(status == QZN_ERROR_DAMAGED);
        API_CHECK(qzn_last_error_message()[0] != '\0');
    }
    API_CHECK(api_capture_end() == 0);
    free(packed.data);
    return 0;
}

/* Text, progress and events reach their callbacks. */
static int callbacks_are_called(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], archive_path[PATH_BYTES];
    qzn_options options;
    struct record r;
    qzn_archive* archive = NULL;
    const char* names[] = {"a.txt", "none.txt", NULL};
    if (make_tree(folder, root)) return 1;
    join(archive_path, folder, "a.qzn");
    options_with(&options, &r);
    api_capture_begin();
    API_CHECK(qzn_pack_to_path(root, archive_path, &options) == QZN_OK);
    API_CHECK(r.lines > 3 && r.saw_done);
    API_CHECK(r.progress_calls > 0 && r.last_done == r.last_total && r.last_total > 0);
    API_CHECK(qzn_open_path(archive_path, &options, &archive) == QZN_OK);
    API_CHECK(qzn_test(archive, names) == QZN_WARNING);
    API_CHECK(r.not_found_events == 1 && strstr(r.last_event, "none.txt") != NULL);
    API_CHECK(strcmp(r.last_event_path, "none.txt") == 0);
    qzn_close(archive);
    API_CHECK(api_capture_end() == 0);
    return 0;
}

/* Cancelling through the progress callback removes what the run left unfinished. */
static int cancelling_leaves_nothing(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], archive_path[PATH_BYTES], out[PATH_BYTES], path[PATH_BYTES];
    qzn_options options;
    struct record r;
    qzn_archive* archive = NULL;
    if (make_tree(folder, root)) return 1;
    join(archive_path, folder, "a.qzn");
    join(out, folder, "out");
    options_with(&options, &r);
    options.window_bits = 16; /* several chunks, so that files are open when it stops */
    options.threads = 2;
    r.cancel_at = 2;
    API_CHECK(qzn_pack_to_path(root, archive_path, &options) == QZN_ERROR_CANCELLED);
    API_CHECK(!api_exists(archive_path));
    API_CHECK(api_count_leftovers(folder) == 0);
    r.cancel_at = 0;
    API_CHECK(qzn_pack_to_path(root, archive_path, &options) == QZN_OK);
    /* Replacing a finished unpack, cut off midway: the old files stay whole. */
    API_CHECK(qzn_open_path(archive_path, &options, &archive) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_OK);
    join(path, out, "sub/b.bin");
    API_CHECK(api_write_file(path, "old", 3));
    options.force_overwrite = 1;
    r.progress_calls = 0;
    r.cancel_at = 3;
    qzn_close(archive);
    API_CHECK(qzn_open_path(archive_path, &options, &archive) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_ERROR_CANCELLED);
    qzn_close(archive);
    API_CHECK(holds(path, "old", 3));
    API_CHECK(api_count_leftovers(folder) == 0);
    return 0;
}

/* Two handles on two threads at once, with callbacks, need no lock. */
struct job {
    char folder[PATH_BYTES], root[PATH_BYTES];
    int level;
    qzn_status pack, open, test, unpack;
    struct record r;
};

static void run_job(void* user) {
    struct job* j = (struct job*)user;
    char archive_path[PATH_BYTES], out[PATH_BYTES];
    qzn_options options;
    qzn_archive* archive = NULL;
    join(archive_path, j->folder, "a.qzn");
    join(out, j->folder, "out");
    options_with(&options, &j->r);
    options.level = j->level;
    options.threads = 2;
    j->pack = qzn_pack_to_path(j->root, archive_path, &options);
    j->open = qzn_open_path(archive_path, &options, &archive);
    if (j->open != QZN_OK) return;
    j->test = qzn_test(archive, NULL);
    qzn_close(archive);
    j->open = qzn_open_path(archive_path, &options, &archive);
    if (j->open != QZN_OK) return;
    j->unpack = qzn_unpack(archive, out, NULL);
    qzn_close(archive);
}

static int two_handles_on_two_threads(void) {
    static struct job jobs[2];
    char out[PATH_BYTES];
    int i;
    for (i = 0; i < 2; ++i) {
        snprintf(jobs[i].folder, PATH_BYTES, "%s", api_temp_folder());
        if (make_tree(jobs[i].folder, jobs[i].root)) return 1;
        jobs[i].level = 1 + 4 * i;
        jobs[i].pack = jobs[i].open = jobs[i].test = jobs[i].unpack = QZN_ERROR_INTERNAL;
    }
    api_capture_begin();
    api_run_two_threads(run_job, &jobs[0], &jobs[1]);
    API_CHECK(api_capture_end() == 0);
    for (i = 0; i < 2; ++i) {
        API_CHECK(jobs[i].pack == QZN_OK && jobs[i].open == QZN_OK);
        API_CHECK(jobs[i].test == QZN_OK && jobs[i].unpack == QZN_OK);
        API_CHECK(jobs[i].r.saw_done && jobs[i].r.progress_calls > 0);
        join(out, jobs[i].folder, "out");
        if (unpacked_tree_matches(out)) return 1;
    }
    return 0;
}

/* Contents through callbacks: the bytes a path gets, each piece with its entry. */
struct contents {
    const qzn_archive* archive;
    unsigned char* bytes[8];
    size_t sizes[8];
    int failed;
};

static int on_data(void* user, uint64_t index, const void* bytes, size_t size) {
    struct contents* c = (struct contents*)user;
    if (index >= 8) {
        c->failed = 1;
        return 1;
    }
    c->bytes[index] = (unsigned char*)realloc(c->bytes[index], c->sizes[index] + size);
    memcpy(c->bytes[index] + c->sizes[index], bytes, size);
    c->sizes[index] += size;
    return 0;
}

static int extracted(const struct contents* c, int64_t index, const void* bytes, size_t size) {
    return index >= 0 && c->sizes[index] == size &&
           (size == 0 || memcmp(c->bytes[index], bytes, size) == 0);
}

static int callbacks_match_paths(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], archive_path[PATH_BYTES], out[PATH_BYTES];
    struct memory packed = {NULL, 0, 0, 0};
    struct contents c;
    qzn_data_callbacks callbacks;
    qzn_archive* archive = NULL;
    int i;
    if (make_tree(folder, root)) return 1;
    join(archive_path, folder, "a.qzn");
    join(out, folder, "out");
    api_capture_begin();
    API_CHECK(qzn_pack_to_path(root, archive_path, NULL) == QZN_OK);
    API_CHECK(qzn_pack_to_callback(root, write_memory, &packed, NULL) == QZN_OK);
    API_CHECK(holds(archive_path, packed.data, packed.size));
    API_CHECK(qzn_open_callback(read_memory, &packed, NULL, &archive) == QZN_OK);
    memset(&c, 0, sizeof c);
    callbacks.data = on_data;
    callbacks.user = &c;
    API_CHECK(qzn_extract(archive, NULL, &callbacks) == QZN_OK && !c.failed);
    API_CHECK(extracted(&c, find_entry(archive, "a.txt"), text, kTextBytes));
    API_CHECK(extracted(&c, find_entry(archive, "sub/c.txt"), text, kTextBytes));
    API_CHECK(extracted(&c, find_entry(archive, "sub/b.bin"), binary, kBinaryBytes));
    /* The stream has been read: a second run cannot read it again. */
    API_CHECK(qzn_test(archive, NULL) == QZN_ERROR_ARGUMENT);
    qzn_close(archive);
    packed.position = 0;
    API_CHECK(qzn_open_callback(read_memory, &packed, NULL, &archive) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_OK);
    qzn_close(archive);
    API_CHECK(api_capture_end() == 0);
    for (i = 0; i < 8; ++i) free(c.bytes[i]);
    free(packed.data);
    return unpacked_tree_matches(out);
}

/* Names pick what a run unpacks, tests or extracts. */
static int selected_names(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], archive_path[PATH_BYTES], out[PATH_BYTES], path[PATH_BYTES];
    const char* one[] = {"sub/b.bin", NULL};
    const char* pattern[] = {"sub/*.txt", NULL};
    qzn_archive* archive = NULL;
    struct contents c;
    qzn_data_callbacks callbacks;
    int i;
    if (make_tree(folder, root)) return 1;
    join(archive_path, folder, "a.qzn");
    join(out, folder, "out");
    API_CHECK(qzn_pack_to_path(root, archive_path, NULL) == QZN_OK);
    API_CHECK(qzn_open_path(archive_path, NULL, &archive) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, one) == QZN_OK);
    join(path, out, "sub/b.bin");
    API_CHECK(holds(path, binary, kBinaryBytes));
    join(path, out, "a.txt");
    API_CHECK(!api_exists(path));
    memset(&c, 0, sizeof c);
    callbacks.data = on_data;
    callbacks.user = &c;
    API_CHECK(qzn_extract(archive, pattern, &callbacks) == QZN_OK);
    API_CHECK(extracted(&c, find_entry(archive, "sub/c.txt"), text, kTextBytes));
    API_CHECK(c.sizes[find_entry(archive, "a.txt")] == 0);
    API_CHECK(c.sizes[find_entry(archive, "sub/b.bin")] == 0);
    API_CHECK(qzn_test(archive, pattern) == QZN_OK);
    qzn_close(archive);
    for (i = 0; i < 8; ++i) free(c.bytes[i]);
    return 0;
}

/* The overwrite callback decides about existing files; without it they are kept. */
static int overwrite_decisions(void) {
    const char* folder = api_temp_folder();
    char root[PATH_BYTES], archive_path[PATH_BYTES], out[PATH_BYTES], path[PATH_BYTES];
    qzn_options options;
    struct record r;
    qzn_archive* archive = NULL;
    if (make_tree(folder, root)) return 1;
    join(archive_path, folder, "a.qzn");
    join(out, folder, "out");
    join(path, out, "a.txt");
    API_CHECK(qzn_pack_to_path(root, archive_path, NULL) == QZN_OK);
    API_CHECK(api_make_folder(out) && api_write_file(path, "old", 3));
    api_capture_begin();
    /* No callback: kept, and said. */
    API_CHECK(qzn_open_path(archive_path, NULL, &archive) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_WARNING);
    qzn_close(archive);
    API_CHECK(holds(path, "old", 3));
    options_with(&options, &r);
    r.answer = QZN_OVERWRITE_KEEP;
    API_CHECK(qzn_open_path(archive_path, &options, &archive) == QZN_OK);
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_WARNING);
    API_CHECK(r.overwrite_calls >= 1 && r.asked_about_a);
    API_CHECK(holds(path, "old", 3));
    r.answer = QZN_OVERWRITE_REPLACE_ALL;
    r.overwrite_calls = 0;
    API_CHECK(qzn_unpack(archive, out, NULL) == QZN_OK);
    API_CHECK(r.overwrite_calls == 1);
    qzn_close(archive);
    API_CHECK(api_capture_end() == 0);
    return unpacked_tree_matches(out);
}

static int version_and_header(void) {
    char expected[32];
    snprintf(expected, sizeof expected, "%d.%d.%d", QZN_VERSION_MAJOR, QZN_VERSION_MINOR,
             QZN_VERSION_PATCH);
    API_CHECK(strcmp(qzn_version_string(), expected) == 0);
    return 0;
}

const struct api_case api_cases[] = {
    {"PathsRoundTrip", paths_round_trip},
    {"FailuresPrintNothing", failures_print_nothing},
    {"DamageReturnsErrors", damage_returns_errors},
    {"CallbacksAreCalled", callbacks_are_called},
    {"CancellingLeavesNothing", cancelling_leaves_nothing},
    {"TwoHandlesOnTwoThreads", two_handles_on_two_threads},
    {"CallbacksMatchPaths", callbacks_match_paths},
    {"SelectedNames", selected_names},
    {"OverwriteDecisions", overwrite_decisions},
    {"VersionAndHeader", version_and_header},
    {NULL, NULL},
};
