/* What the interface tests in C (api_test.c) need from around them: files and folders, the
 * captured standard output and error, threads, and the report of a failed check. */
#ifndef QZN_API_SUPPORT_H
#define QZN_API_SUPPORT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*api_case_fn)(void); /* 0 when every check held */
struct api_case {
    const char* name;
    api_case_fn run;
};
/* Defined by the tests, ended by { NULL, NULL }. */
extern const struct api_case api_cases[];

/* Reports a failed check of the running case. */
void api_fail(const char* file, int line, const char* what);
#define API_CHECK(cond)                                                                            \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            api_fail(__FILE__, __LINE__, #cond);                                                   \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

/* A new empty folder, removed when the program ends; its path stays valid until then. */
const char* api_temp_folder(void);
int api_make_folder(const char* path);
int api_write_file(const char* path, const void* data, size_t size);
/* The size of the file read into buffer (at most capacity bytes), -1 when it cannot be read. */
long long api_read_file(const char* path, void* buffer, size_t capacity);
int api_exists(const char* path);
/* Files below folder (at any depth) whose names end in ".tmp". */
int api_count_leftovers(const char* folder);

/* Everything written to standard output and standard error from begin to end, in bytes. */
void api_capture_begin(void);
size_t api_capture_end(void);

/* Runs fn(a) and fn(b) on two threads at once and waits for both. */
void api_run_two_threads(void (*fn)(void*), void* a, void* b);

#ifdef __cplusplus
}
#endif
#endif
