/* qzn.h: the QZN archive library. Plain C (C99 and C++). Every function returns a qzn_status;
 * nothing in the library prints, reads the terminal, installs signal handlers or ends the
 * process. Handles are independent: two threads with two handles need no lock; one handle is
 * used by one thread at a time. A run may use threads of its own and call its callbacks from
 * them, but never two callbacks of one run at the same time. */
#ifndef QZN_H
#define QZN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(QZN_BUILDING_SHARED)
#define QZN_API __declspec(dllexport)
#elif defined(QZN_USING_SHARED)
#define QZN_API __declspec(dllimport)
#else
#define QZN_API
#endif
#else
#define QZN_API __attribute__((visibility("default")))
#endif

#define QZN_VERSION_MAJOR 1
#define QZN_VERSION_MINOR 1
#define QZN_VERSION_PATCH 0
QZN_API const char* qzn_version_string(void); /* "1.1.0" */

typedef enum qzn_status {
    QZN_OK = 0,
    QZN_WARNING = 1,        /* finished, but something was left out or not found (see events) */
    QZN_ERROR_ARGUMENT = 2, /* a bad argument or option */
    QZN_ERROR_OPEN = 3,     /* a file or folder could not be opened or made */
    QZN_ERROR_READ = 4,
    QZN_ERROR_WRITE = 5,   /* includes a full disk */
    QZN_ERROR_DAMAGED = 6, /* not an archive, damaged or truncated, or contents that fail their
                              CRC-32 */
    QZN_ERROR_MEMORY = 7,
    QZN_ERROR_CANCELLED = 8, /* a callback asked to stop; unfinished files were removed */
    QZN_ERROR_NOT_FOUND = 9, /* a name picks nothing in the archive */
    QZN_ERROR_INTERNAL = 10
} qzn_status;

/* A fixed English text for a status. */
QZN_API const char* qzn_status_string(qzn_status status);

/* Paths and names are UTF-8 (on Windows converted to UTF-16 at the edge; on Linux a name that is
 * not UTF-8 keeps its bytes). A path on disk that holds a lone surrogate, as a Windows name may,
 * is passed in and out in its generalized three-byte form (0xED 0xA0..0xBF 0x80..0xBF). Stored
 * paths use '/' between names, as a list shows them. */

/* What a run reports besides its result. `path` may be NULL. `message` is the line the command
 * line would print for it (without its trailing newline). */
typedef enum qzn_event_kind {
    QZN_EVENT_WARNING = 1, /* left out or unreadable: the run's result becomes QZN_WARNING */
    QZN_EVENT_ERROR = 2,   /* an entry failed: it is left out, the rest goes on */
    QZN_EVENT_NOTE = 3     /* informative (settings, memory, statistics) */
} qzn_event_kind;
typedef void (*qzn_event_fn)(void* user, qzn_event_kind kind, qzn_status code, const char* path,
                             const char* message);

/* The console text of a run, byte for byte as the command line prints it (UTF-8, control
 * characters of names made visible): LINE is text as it comes (it may hold several lines or a
 * part of one); PROGRESS a progress line, "\r" and the text padded to 79 columns, which the next
 * one overwrites; ERROR the message of an error that ends the run, which a console starts on a
 * line of its own when a progress line is still open. */
typedef enum qzn_text_kind {
    QZN_TEXT_LINE = 0,
    QZN_TEXT_PROGRESS = 1,
    QZN_TEXT_ERROR = 2
} qzn_text_kind;
typedef void (*qzn_text_fn)(void* user, qzn_text_kind kind, const char* text);

/* Bytes done of total for the current pass; a non-zero return cancels the run, which then
 * removes the files it left unfinished and returns QZN_ERROR_CANCELLED. */
typedef int (*qzn_progress_fn)(void* user, uint64_t done, uint64_t total);

/* An existing file or other non-folder at `path`: what to do. `what` is NULL for a file, else
 * names what is there ("link", "FIFO", "device", "socket", "special file"). Without this
 * callback existing files are kept (an error event each, and QZN_WARNING) unless
 * force_overwrite is set. KEEP leaves the old file and the entry out; STOP ends the run there,
 * keeping what is done (QZN_OK, or QZN_WARNING when something was left out before). Packing asks
 * it about an existing archive: KEEP then stops too. */
typedef enum qzn_overwrite {
    QZN_OVERWRITE_REPLACE = 0,
    QZN_OVERWRITE_KEEP = 1,
    QZN_OVERWRITE_REPLACE_ALL = 2,
    QZN_OVERWRITE_STOP = 3
} qzn_overwrite;
typedef qzn_overwrite (*qzn_overwrite_fn)(void* user, const char* path, const char* what);

/* Reading and writing through callbacks. read returns the bytes read (0 at the end, a negative
 * value on failure); write returns 0 on success, non-zero on failure. */
typedef ptrdiff_t (*qzn_read_fn)(void* user, void* buffer, size_t size);
typedef int (*qzn_write_fn)(void* user, const void* data, size_t size);

/* Settings of a run. Initialise with qzn_options_init, which sets the defaults; sizes outside
 * their ranges are brought into them as the command line does. NULL options mean the defaults. */
typedef struct qzn_options {
    uint32_t struct_size;        /* sizeof(qzn_options), set by qzn_options_init */
    int level;                   /* 1..6, default 2 */
    int window_bits;             /* 16..27, default 23 */
    int hash_bits;               /* 7..17, default 13 */
    int table_bits;              /* 7..12, default 12 */
    int skip_crc;                /* non-zero: store no CRC-32 values */
    int channels;                /* 0 (none) or 1..16: the channel filter */
    int threads;                 /* 0: every core (at most 64) */
    int force_overwrite;         /* unpack: replace existing files without asking */
    const char* const* excludes; /* pack: patterns of what to leave out, NULL-terminated, or NULL */
    const char* stream_name; /* how messages name an archive or output reached through callbacks;
                                NULL: "the stream" */
    qzn_progress_fn progress;
    qzn_event_fn event;
    qzn_overwrite_fn overwrite;
    qzn_text_fn text;
    void* user; /* passed to every callback */
} qzn_options;
QZN_API void qzn_options_init(qzn_options* options);
/* Brings the three sizes into their ranges, as a pack uses them. */
QZN_API void qzn_options_clamp(qzn_options* options);

/* Pack a file or folder. */
QZN_API qzn_status qzn_pack_to_path(const char* input_path, const char* archive_path,
                                    const qzn_options* options);
QZN_API qzn_status qzn_pack_to_callback(const char* input_path, qzn_write_fn write,
                                        void* write_user, const qzn_options* options);

/* An open archive: its file table is read at open; nothing is decoded until a run. */
typedef struct qzn_archive qzn_archive;
QZN_API qzn_status qzn_open_path(const char* archive_path, const qzn_options* options,
                                 qzn_archive** archive);
QZN_API qzn_status qzn_open_callback(qzn_read_fn read, void* read_user, const qzn_options* options,
                                     qzn_archive** archive);
QZN_API void qzn_close(qzn_archive* archive); /* NULL is allowed */

/* The entries in the order a list shows them: each folder, then its subfolders with everything
 * in them, then its files; an archive of a single file has no folder. The stored root folder
 * (the folder that was packed) has an empty name, and the paths below it start with their first
 * name ("sub/name"), as names pick them. */
typedef struct qzn_entry {
    const char* path; /* stored path, valid until qzn_close */
    const char* name; /* its last name, valid until qzn_close */
    uint64_t size;    /* 0 for a folder */
    uint32_t crc32;   /* as stored: 0 in an archive packed without CRC-32 values */
    int is_folder;
    int64_t copy_of; /* index of the entry this file is a copy of, or -1 */
    int64_t parent;  /* index of the folder that holds it, or -1 */
} qzn_entry;
QZN_API uint64_t qzn_entry_count(const qzn_archive* archive);
QZN_API qzn_status qzn_entry_get(const qzn_archive* archive, uint64_t index, qzn_entry* entry);

/* A run reads the archive's contents once: on an archive opened through a callback, only one run
 * is possible (another returns QZN_ERROR_ARGUMENT); an archive opened from a path is read again.
 * `names` (NULL-terminated, or NULL for all) pick stored paths, folders and patterns with
 * * ? [...] within one name; a name that picks nothing is an error event and QZN_WARNING, and
 * QZN_ERROR_NOT_FOUND when nothing is picked at all. With names, an archive read through a
 * callback is read to its end, so that a writer into a pipe finishes. The output folder of
 * unpack takes the place of the stored root folder (or the output file that of a single file). */
QZN_API qzn_status qzn_unpack(qzn_archive* archive, const char* output_path,
                              const char* const* names);
QZN_API qzn_status qzn_test(qzn_archive* archive, const char* const* names);
/* Contents entry by entry, nothing written: the bytes of each selected file (copies included) in
 * the order they are stored, which is not the entries' order: the top folder's files, then each
 * folder's below it, breadth first. They come in pieces, each with the index of its entry. A
 * non-zero return cancels. A file whose bytes fail their CRC-32 is an error event, and the run
 * returns QZN_ERROR_DAMAGED. */
typedef int (*qzn_data_fn)(void* user, uint64_t entry_index, const void* bytes, size_t size);
typedef struct qzn_data_callbacks {
    qzn_data_fn data;
    void* user;
} qzn_data_callbacks;
QZN_API qzn_status qzn_extract(qzn_archive* archive, const char* const* names,
                               const qzn_data_callbacks* callbacks);

/* The last error of the calling thread: its text and the path it concerns ("" when none).
 * Valid until the next call into the library on that thread. */
QZN_API const char* qzn_last_error_message(void);
QZN_API const char* qzn_last_error_path(void);
/* The identifier of the internal consistency check that stopped the last run (a damaged archive
 * or a fault), 0 when none did. The command line ends with status 3 for it. */
QZN_API int qzn_last_error_check(void);

#ifdef __cplusplus
}
#endif
#endif
