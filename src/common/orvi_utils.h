// Stateless file, digest, random and text utilities used across the daemon.
// Safe from any thread. Every path argument is a board path (as written in
// the code, e.g. "/data/domivault/data/x"); the utilities map it through
// orvi_path themselves, and paths they hand back are board paths too.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- Random values. All of them come from the kernel's cryptographic source
// (getrandom), never from a time-seeded generator: keys and passwords made
// from them cannot be predicted from the boot time.

// A uniformly distributed 32-bit value.
// The home's wall clock, "YYYY-MM-DD hh:mm:ss": epoch seconds plus eight
// hours broken down by the local-time conversion, the frame every time the
// host shows or compares uses.
std::string orvi_local_time_text(void);

uint32_t orvi_random_32(void);
// A uniformly distributed value in [0, bound) (rejection sampling, no modulo
// bias); 0 when bound is 0.
uint32_t orvi_random_uniform(uint32_t bound);
// `length` characters from a-z, A-Z, 0-9, then a terminator: `dest` must
// hold length + 1 bytes. Returns 0, or -2 for a null destination.
int generate_random_string(char *dest, size_t length);
std::string generate_random_string(size_t length);
// `length` characters from 0-9, a-z, A-Z, without a terminator. 0 or -2.
int random_key_create(char *dest, size_t length);

// ---- Files and directories.

// Reads the whole file: 1 when read, 0 for an empty file, -1 when it cannot
// be opened ("%s open failed!").
int orvi_file_read(const char *path, std::string &out);
// "mkdir %s" unless the path exists. 0 or -1.
int file_create(const char *path);
// One directory (mode 0755) / every missing directory along the path. 0 or -1.
int create_directory(const char *path);
int create_directories(const char *path);
// Names in `dir` containing `filter`, counted by a shell listing. 0 on error.
int file_counters(const char *dir, const char *filter);
// Regular files in `dir` whose names contain `filter`; -1 when `dir` cannot be opened.
int count_files_in_directory(const char *dir, const char *filter);
// Appends "<dir>/<name>" for each regular file of `dir` whose name contains
// `feature` (in name order) while `names` holds fewer than `capacity`
// entries. Returns the number of names added, -1 when `dir` cannot be opened.
int fileName_extract_in_direction(const char *dir, std::vector<std::string> &names, size_t capacity,
                                  const char *feature);

// ---- Digests (OpenSSL).

// MD5 of a text as 32 upper-case / lower-case hexadecimal digits.
std::string md5_to_hex_string(std::string_view text);
std::string md5_to_hex_string_small(std::string_view text);
// Upper-case MD5 of a file's content up to its first zero byte; empty when unreadable.
std::string md5_compute_file_string(const char *path);
// The digest printed by "md5sum" for the file (32 lower-case digits). 0 or -1.
int file_md5sum_get(const char *path, std::string &out);
// "md5sum -c <file>": 0 when every checked file reports OK, else -1.
int orvi_file_md5_verify(const char *checksum_file);

// ---- Text.

// The text between the first "V" and the following `suffix`. 0 or -1.
int version_extract_in_string(const char *text, std::string &out, const char *suffix);
// Parses "%d月%d日%d时%d分". 0 when all four numbers were read, else -1.
int extract_time_info(const char *text, int *month, int *day, int *hour, int *minute);
// Compares two decimal integer texts by value (any length, optional sign):
// -1, 0 or 1; -2 when either is null or not a decimal integer.
int compare_numeric_strings(const char *a, const char *b);
// The directory part of a path including its last "/", or "./". 0, or -1 for null.
int path_extraction(const char *full_path, std::string &out);
// Index of the first string element of a JSON array equal to `text`, or -1.
int array_contains_string(const cJSON *array, const char *text);
// `src` without any occurrence of `c`.
std::string string_char_filter(std::string_view src, char c);

// Top-level JSON objects in a byte stream. An object is the outermost
// brace-balanced text from the first "{"; braces inside string literals do
// not count.
//
// Copies the first complete object at or after *cursor into `out` and moves
// *cursor just past it. 0, or -1 when no complete object remains.
int get_json_item_iter_str(const char **cursor, std::string &out);
// Copies the first complete object of `src` (zero-terminated) into `dest`
// (capacity bytes, terminated) and returns the position just past it in
// `src`, or null when there is none or it does not fit.
const char *orvi_json_package_get(const char *src, char *dest, size_t capacity);
