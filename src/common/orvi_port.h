// The platform layer: board paths, the one command runner, files written
// atomically, clocks. Everything else reaches the board through here, so a
// test can move the board's root into a scratch directory and nothing else
// changes. Thread-safe; called from every thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Board paths. `orvi_path("/data/domivault/x")` is the path to open; on the
// board (and inside the virtual board) it is the path itself.
std::string orvi_path(std::string_view board_path);
// Tests only: put the board's root under `root` ("" restores the real root).
void orvi_port_set_root(const std::string &root);
std::string orvi_port_root(void);

// Quote one word for /bin/sh so that no character of it is interpreted.
std::string orvi_shell_quote(std::string_view word);

// The command runner. Every command the daemon runs goes through these two.
// `out` (may be null) receives standard output, at most `out_limit` bytes;
// standard error goes to the daemon's own. Returns the exit status (0..255),
// 128+signal when killed, or -1 when the command could not be started.
// A non-zero `timeout_ms` kills the command's process group when it expires.
struct orvi_run_opts {
    std::string *out = nullptr;
    size_t out_limit = 1 << 20;
    unsigned timeout_ms = 0;
};
int orvi_port_run_shell(const std::string &cmd, const orvi_run_opts &opts = {});
int orvi_port_run_argv(const std::vector<std::string> &argv, const orvi_run_opts &opts = {});

// Files. Paths given here are board paths already passed through orvi_path.
bool orvi_port_exists(const std::string &path);
long long orvi_port_file_size(const std::string &path);  // -1 when missing
// Reads at most `limit` bytes; false when the file cannot be opened.
bool orvi_port_read(const std::string &path, std::string &out, size_t limit = 16u << 20);
// Writes through a temporary file, fsync and rename: a reader or a power cut
// sees the old content or the new, never a mix.
bool orvi_port_write_atomic(const std::string &path, std::string_view data, unsigned mode = 0644);
// Appends, keeping the file under `cap` bytes by dropping its older half.
bool orvi_port_append_capped(const std::string &path, std::string_view data, size_t cap);

// Clocks and sleeps (monotonic, immune to time setting).
uint64_t orvi_port_monotonic_ms(void);
void orvi_port_sleep_ms(unsigned ms);

// Fill `buf` with `n` bytes from the kernel's cryptographic source.
bool orvi_port_random_bytes(void *buf, size_t n);
