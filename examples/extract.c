/* extract: writes the contents of one stored file of a QZN archive to standard output, checked
 * against its CRC-32; nothing is written to disk.
 *
 *   extract archive.qzn root/docs/readme.txt > readme.txt
 */
#include <stdio.h>
#include <string.h>

#include <qzn.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

typedef struct Output {
    FILE* file;
    uint64_t wanted; /* the entry whose bytes to write */
} Output;

static int onData(void* user, uint64_t entryIndex, const void* bytes, size_t size) {
    Output* out = (Output*)user;
    /* A name with * ? [ in it is a pattern too, which may pick other files: skip their bytes. */
    if (entryIndex != out->wanted) return 0;
    /* A non-zero return cancels the run: standard output was closed or is full. */
    return fwrite(bytes, 1, size, out->file) != size;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s archive stored-path\n", argv[0]);
        return 2;
    }
#ifdef _WIN32
    /* The contents pass unchanged: no CR before each LF. */
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    qzn_archive* archive = NULL;
    qzn_status status = qzn_open_path(argv[1], NULL, &archive);
    if (status != QZN_OK) {
        fprintf(stderr, "%s: %s\n", argv[1], qzn_last_error_message());
        return 1;
    }
    /* The entry of that stored path, which must be a file. */
    const uint64_t count = qzn_entry_count(archive);
    uint64_t found = count;
    for (uint64_t i = 0; i < count && found == count; ++i) {
        qzn_entry entry;
        if (qzn_entry_get(archive, i, &entry) == QZN_OK && !entry.is_folder &&
            strcmp(entry.path, argv[2]) == 0)
            found = i;
    }
    if (found == count) {
        fprintf(stderr, "%s: no file %s\n", argv[1], argv[2]);
        qzn_close(archive);
        return 1;
    }
    Output out = {stdout, found};
    const char* names[] = {argv[2], NULL};
    const qzn_data_callbacks callbacks = {onData, &out};
    /* A file that fails its CRC-32 returns QZN_ERROR_DAMAGED after its bytes were written. */
    status = qzn_extract(archive, names, &callbacks);
    if (status != QZN_OK)
        fprintf(stderr, "%s: %s (%s)\n", argv[1], qzn_last_error_message(),
                qzn_status_string(status));
    qzn_close(archive);
    if (fflush(stdout) != 0) return 1;
    return status == QZN_OK ? 0 : 1;
}
