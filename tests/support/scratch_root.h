// Unit tests run the daemon's code in-process: the board's root is moved to
// a fresh scratch directory and the board tools resolve to the recording
// stand-ins, so nothing a test runs can act on the machine.
#pragma once

#include <string>
#include <vector>

class ScratchRoot {
public:
    // Creates /tmp/orvi-unit-XXXXXX with the board's writable folders and
    // makes it the board's root for this process.
    ScratchRoot();
    ~ScratchRoot();
    ScratchRoot(const ScratchRoot &) = delete;
    ScratchRoot &operator=(const ScratchRoot &) = delete;

    const std::string &dir() const { return dir_; }
    // Host path of a board path.
    std::string path(const std::string &board_path) const { return dir_ + board_path; }
    void write(const std::string &board_path, const std::string &text) const;
    std::string read(const std::string &board_path) const;
    bool exists(const std::string &board_path) const;
    // Command lines the stand-ins recorded, one per run, words separated by blanks.
    std::vector<std::string> commands() const;
    void clear_commands() const;

private:
    std::string dir_;
};

// Stand-in state shared with the tools: a file the stand-ins read (for
// example "ping" deciding whether a probe succeeds).
std::string standin_dir();
