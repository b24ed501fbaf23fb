/* list: prints the entries of a QZN archive, one a line: the stored path (a folder's with a
 * trailing '/'), the size in bytes and the stored CRC-32 in hexadecimal, separated by tabs.
 * Nothing is decoded: only the file table is read.
 *
 *   list archive.qzn
 */
#include <inttypes.h>
#include <stdio.h>

#include <qzn.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s archive\n", argv[0]);
        return 2;
    }
    qzn_archive* archive = NULL;
    qzn_status status = qzn_open_path(argv[1], NULL, &archive);
    if (status != QZN_OK) {
        fprintf(stderr, "%s: %s (%s)\n", argv[1], qzn_last_error_message(),
                qzn_status_string(status));
        return 1;
    }
    const uint64_t count = qzn_entry_count(archive);
    for (uint64_t i = 0; i < count && status == QZN_OK; ++i) {
        qzn_entry entry;
        status = qzn_entry_get(archive, i, &entry);
        if (status != QZN_OK)
            fprintf(stderr, "%s: %s\n", argv[1], qzn_last_error_message());
        else if (entry.is_folder)
            printf("%s/\t-\t-\n", entry.path);
        else
            printf("%s\t%" PRIu64 "\t%08" PRIX32 "\n", entry.path, entry.size, entry.crc32);
    }
    qzn_close(archive);
    return status == QZN_OK ? 0 : 1;
}
