/* Line-by-line reading of the engine's text files (lists, caches, rules):
 * private to the engine, with no tie to the module, so the containers that
 * load files can use it too. */
#ifndef OXLO_LIST_READER_H
#define OXLO_LIST_READER_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reads one text line into buffer without its line end ("\n", "\r\n"); a
 * last line without a newline is read whole. A line that does not fit is
 * consumed to its end and reported as too long (buffer then empty). */
#define OXLO_LINE_OK 0
#define OXLO_LINE_TOO_LONG 1
#define OXLO_LINE_EOF (-1)
int oxlo_read_text_line(FILE *in, char *buffer, size_t size, size_t *length);
/* Walks a list file line by line for the loaders: numbers every line read
 * (over-long and skipped ones too) and skips comments ("#...") and lines
 * shorter than min_length. An over-long line is reported as
 * "[OXLO] <report_path>: line #N is too long, skipped" when report_path is
 * set; without it, it comes back as OXLO_LINE_TOO_LONG for the caller to
 * report in its own words. */
typedef struct oxlo_list_reader {
    FILE *in;
    char *line;
    size_t size;
    const char *report_path;
    size_t min_length;
    unsigned number; /* of the line last read, from 1 */
} oxlo_list_reader;
oxlo_list_reader oxlo_list_reader_start(FILE *in, char *line, size_t size,
                                        const char *report_path, size_t min_length);
/* OXLO_LINE_OK with the next line to process in line, OXLO_LINE_TOO_LONG
 * (only without report_path), or OXLO_LINE_EOF. */
int oxlo_list_reader_next(oxlo_list_reader *r);

#ifdef __cplusplus
}
#endif

#endif
